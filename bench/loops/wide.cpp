// A wide body of reals (see wide.rill).
#include <cstdio>

int main() {
    double p1 = 0.1, p2 = 0.2, p3 = 0.3, p4 = 0.4;
    for (int i = 0; i < 4000000; ++i) {
        double a = p1 * 0.375 + p2 * 0.125;
        double b = p2 * 0.375 + p3 * 0.125;
        double c = p3 * 0.375 + p4 * 0.125;
        double d = p4 * 0.375 + p1 * 0.125;
        double e = a * b - c * d + 0.0625;
        double f = b * c - d * a + 0.0625;
        double g = (a + b) * 0.25 - (c - d) * 0.125 + p4 * 0.375;
        double h = (c + d) * 0.25 - (a - b) * 0.125 + p1 * 0.375;
        p1 = a + e * 0.5 + h * 0.0625;
        p2 = b + f * 0.5 + g * 0.0625;
        p3 = c + g * 0.25 + e * 0.0625;
        p4 = d + h * 0.25 + f * 0.0625;
    }
    std::printf("%f %f %f %f\n", p1, p2, p3, p4);
}
