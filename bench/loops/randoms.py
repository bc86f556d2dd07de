# rand in every position of a loop (see randoms.rill), with the same
# generator: linear congruential, 15-bit draws.
import time


def main():
    state = int(time.time()) % 4294967296
    n = bad = 0
    for _ in range(10000000):
        state = (state * 214013 + 2531011) % 4294967296
        a = (state // 65536 % 32768) * 100 // 32768
        if a > 99:
            bad += 1
        state = (state * 214013 + 2531011) % 4294967296
        r = (state // 65536 % 32768) * 1.0 / 32768.0
        if r >= 1.0:
            bad += 1
        n += 1
    print(n, bad)


main()
