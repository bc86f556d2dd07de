// Three nested loops whose counts are the loops' own variables (see triangle.rill).
#include <cstdio>

int main() {
    int n = 0, s = 0, k = 0;
    for (int i = 0; i < 1000; ++i) {
        ++n;
        int m = 0;
        for (int j = 0; j < n; ++j) {
            ++m;
            for (int l = 0; l < m; ++l) {
                s += m;
                if (s > 1000000) s -= 1000000;
                ++k;
            }
        }
    }
    std::printf("%d %d %d\n", n, s, k);
}
