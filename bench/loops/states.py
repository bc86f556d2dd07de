# A state machine of if-blocks, left with a break (see states.rill).
def main():
    x, n = 7, 0
    for _ in range(200000):
        st = k = 0
        for _ in range(64):
            x = x * 75 + 74
            x = x - x // 65537 * 65537
            k += 1
            if st == 2:
                if x < 30000:
                    break
                st = 0
            if st == 1 and x < 20000:
                st = 2
            if st == 0 and x > 40000:
                st = 1
        n += k
    print(x, n)


main()
