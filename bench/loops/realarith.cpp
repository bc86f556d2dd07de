// Real arithmetic: pi by the rectangle rule, and the logistic map (see realarith.rill).
#include <cstdio>

int main() {
    double h = 1.0 / 40000000;
    double t = 0, s = 0, x = 0.3;
    for (int a = 0; a < 4000; ++a) {
        for (int b = 0; b < 10000; ++b) {
            t += h;
            s += 4.0 / (1.0 + t * t);
            x = 3.9 * x * (1.0 - x);
        }
    }
    std::printf("%f %f %f\n", s, s * h, x);
}
