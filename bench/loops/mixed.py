# Mixed integer and real updates with conversions (see mixed.rill).
def main():
    i, n, m, s, t, x, y = 0, 0, 0, 0, 0, 0.0, 0.0
    for _ in range(2000):
        for _ in range(10000):
            i += 1
            x = x * 0.5 + i * 0.25
            n = int(x)
            m = n // 3 + i // 5
            y = y + m * 0.001
            s = s + n - m
        i = 0
        t += s // 1000
        s = 0
    print("%d %f %f" % (t, x, y))


main()
