# A Mandelbrot escape count in reals (see mandel.rill).
def main():
    k, zr = 0, 0.0
    for j in range(1, 321):
        ci = j * 0.0075 - 1.2
        for i in range(1, 481):
            cr = i * 0.00625 - 2.1
            zr, zi = 0.0, 0.0
            for _ in range(1000):
                if zr * zr + zi * zi > 4.0:
                    break
                t = zr * zr - zi * zi + cr
                zi = 2.0 * zr * zi + ci
                zr = t
                k += 1
    print("%d %f" % (k, zr))


main()
