# Real arithmetic: pi by the rectangle rule, and the logistic map (see realarith.rill).
def main():
    h = 1.0 / 40000000
    t = s = 0.0
    x = 0.3
    for _ in range(4000):
        for _ in range(10000):
            t += h
            s += 4.0 / (1.0 + t * t)
            x = 3.9 * x * (1.0 - x)
    print("%f %f %f" % (s, s * h, x))


main()
