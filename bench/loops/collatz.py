# Collatz steps (see collatz.rill).
def main():
    s, m = 0, 0
    for n in range(1, 100001):
        x, c = n, 0
        while x != 1:
            if x % 2 == 0:
                x //= 2
            else:
                x = x * 3 + 1
            c += 1
        s += c
        if c > m:
            m = c
    print(s, m)


main()
