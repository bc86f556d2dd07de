# Integer arithmetic: 10^8 passes of a small body (see intarith.rill).
def main():
    s = i = 0
    for _ in range(10000):
        i += 1
        j = 0
        for _ in range(10000):
            j += 1
            s = s // 2 + i * j - j // 3
    print(s)


main()
