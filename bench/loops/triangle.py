# Three nested loops whose counts are the loops' own variables (see triangle.rill).
def main():
    n = s = k = 0
    for _ in range(1000):
        n += 1
        m = 0
        for _ in range(n):
            m += 1
            for _ in range(m):
                s += m
                if s > 1000000:
                    s -= 1000000
                k += 1
    print(n, s, k)


main()
