# If-blocks whose tests follow a short repeating pattern (see blocks.rill).
# Sums wrap as 32-bit integers, as rill's do.
def wrap(x):
    return (x + 2147483648) % 4294967296 - 2147483648


def main():
    c = a = b = s = 0
    for _ in range(10000000):
        c += 1
        if c > 4:
            c = 0
        if c < 3:
            a = wrap(a + c)
        if c >= 3:
            b = wrap(b + 2)
        if c == 1:
            s = wrap(wrap(s + a) - b)
    print(a, b, s)


main()
