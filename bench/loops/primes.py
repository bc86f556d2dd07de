# Prime counting by trial division (see primes.rill).
def main():
    c, d = 0, 0
    for n in range(2, 1000001):
        p = 1
        d = 2
        while d * d <= n:
            if n % d == 0:
                p = 0
                break
            d += 1
        c += p
    print(c, d)


main()
