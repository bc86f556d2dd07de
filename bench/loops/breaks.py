# Nested loops left early by breaks at two depths (see breaks.rill).
def main():
    s, k = 0, 0
    for a in range(1, 4001):
        for b in range(1, 4001):
            if a * b > 4000000:
                break
            for c in range(1, 61):
                if c > b:
                    break
                t = a + b + c
                q = t // 7
                if t == q * 7:
                    k += 1
                    break
                s += c
    print(s, k)


main()
