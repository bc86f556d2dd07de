# Digit sums by repeated division (see digits.rill).
def main():
    s, t = 0, 0
    for i in range(1, 3000001):
        x = i
        while True:
            q = x // 10
            s += x - q * 10
            x = q
            if x == 0:
                break
        x = i
        while True:
            q = x // 7
            t += x - q * 7
            x = q
            if x == 0:
                break
    print(s, t)


main()
