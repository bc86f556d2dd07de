# A loop whose count is a variable the outer body changes (see varcount.rill).
def main():
    g, s, h = 7, 0, 0
    for _ in range(1000000):
        g = (g * 75 + 74) % 65537
        m = g // 1600
        for j in range(1, m + 1):
            s += j
        h += m
        s %= 1048576
    print(s, h, g)


main()
