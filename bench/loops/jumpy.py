# If-blocks whose tests no pattern predicts (see jumpy.rill).
def main():
    x, a, b = 1, 0, 0
    for _ in range(10000000):
        x = x * 1103 + 12345
        x = x - x // 65536 * 65536
        h = x // 4096
        if h < 8:
            a += h
        if h >= 8:
            b += 1
        t = x // 256
        if t // 2 * 2 == t:
            a -= 1
    print(x, a, b)


main()
