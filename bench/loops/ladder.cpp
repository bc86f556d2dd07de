// A branch ladder on residues (see ladder.rill).
#include <cstdio>

int main() {
    int i = 0, a = 0, b = 0, c = 0, d = 0;
    for (int k = 0; k < 2000; ++k) {
        for (int j = 0; j < 10000; ++j) {
            ++i;
            int q = i / 12;
            int r = i - q * 12;
            if (r < 4) a += r;
            if (r >= 9) {
                ++b;
                if (r == 11) d += q / 1000;
            }
            if (r == 6) c += 3;
        }
    }
    std::printf("%d %d %d %d\n", a, b, c, d);
}
