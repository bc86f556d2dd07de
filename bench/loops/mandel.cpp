// A Mandelbrot escape count in reals (see mandel.rill).
#include <cstdio>

int main() {
    int k = 0;
    double zr = 0.0;
    for (int j = 1; j <= 320; ++j) {
        double ci = j * 0.0075 - 1.2;
        for (int i = 1; i <= 480; ++i) {
            double cr = i * 0.00625 - 2.1;
            double zi = 0.0;
            zr = 0.0;
            for (int n = 0; n < 1000; ++n) {
                if (zr * zr + zi * zi > 4.0) break;
                double t = zr * zr - zi * zi + cr;
                zi = 2.0 * zr * zi + ci;
                zr = t;
                ++k;
            }
        }
    }
    std::printf("%d %f\n", k, zr);
}
