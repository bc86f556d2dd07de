# A branch ladder on residues (see ladder.rill).
def main():
    i, a, b, c, d = 0, 0, 0, 0, 0
    for _ in range(2000):
        for _ in range(10000):
            i += 1
            q = i // 12
            r = i - q * 12
            if r < 4:
                a += r
            if r >= 9:
                b += 1
                if r == 11:
                    d += q // 1000
            if r == 6:
                c += 3
    print(a, b, c, d)


main()
