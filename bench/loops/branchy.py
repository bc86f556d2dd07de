# Branches driven by a small congruential generator (see branchy.rill).
def main():
    x, a, b, c, d = 1, 0, 0, 0, 0
    for _ in range(2000):
        for _ in range(10000):
            x = (x * 75 + 74) % 65537
            if x < 16384:
                a += 1
            if x >= 49152:
                b += x // 1024
            if x > 30000:
                if x < 40000:
                    c += 3
            if x % 2 == 0:
                d += 1
    print(a, b, c, d, x)


main()
