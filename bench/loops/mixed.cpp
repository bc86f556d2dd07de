// Mixed integer and real updates with conversions (see mixed.rill).
#include <cstdio>

int main() {
    int i = 0, n = 0, m = 0, s = 0, t = 0;
    double x = 0.0, y = 0.0;
    for (int k = 0; k < 2000; ++k) {
        for (int j = 0; j < 10000; ++j) {
            ++i;
            x = x * 0.5 + i * 0.25;
            n = static_cast<int>(x);
            m = n / 3 + i / 5;
            y = y + m * 0.001;
            s = s + n - m;
        }
        i = 0;
        t += s / 1000;
        s = 0;
    }
    std::printf("%d %f %f\n", t, x, y);
}
