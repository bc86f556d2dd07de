// Three nested loops, each left early by a break (see nested.rill).
#include <cstdio>

int main() {
    int a = 0, n = 0, k = 0;
    for (int i = 0; i < 1000; ++i) {
        ++a;
        if (a * a > 160000) break;
        int b = 0;
        for (int j = 0; j < 1000; ++j) {
            ++b;
            if (b > a) break;
            int c = 0;
            for (int l = 0; l < 1000; ++l) {
                ++c;
                int t = a * b + c * c;
                if (t > 300000) break;
                n += t / 65536;
                ++k;
            }
        }
    }
    std::printf("%d %d %d\n", a, n, k);
}
