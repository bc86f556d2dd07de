# Three nested loops, each left early by a break (see nested.rill).
def main():
    a = n = k = 0
    for _ in range(1000):
        a += 1
        if a * a > 160000:
            break
        b = 0
        for _ in range(1000):
            b += 1
            if b > a:
                break
            c = 0
            for _ in range(1000):
                c += 1
                t = a * b + c * c
                if t > 300000:
                    break
                n += t // 65536
                k += 1
    print(a, n, k)


main()
