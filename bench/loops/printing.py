# Output: a million formatted lines (see printing.rill).
import sys


def main():
    write = sys.stdout.write
    x = 0.0
    for i in range(1, 1001):
        for j in range(1, 1001):
            x += 0.25
            write("row %d col %d x %f\n" % (i, j, x))


main()
