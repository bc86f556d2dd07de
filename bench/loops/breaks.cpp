// Nested loops left early by breaks at two depths (see breaks.rill).
#include <cstdio>

int main() {
    int s = 0, k = 0;
    for (int a = 1; a <= 4000; ++a) {
        for (int b = 1; b <= 4000; ++b) {
            if (a * b > 4000000) break;
            for (int c = 1; c <= 60; ++c) {
                if (c > b) break;
                int t = a + b + c;
                int q = t / 7;
                if (t == q * 7) {
                    ++k;
                    break;
                }
                s += c;
            }
        }
    }
    std::printf("%d %d\n", s, k);
}
