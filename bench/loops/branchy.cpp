// Branches driven by a small congruential generator (see branchy.rill).
#include <cstdio>

int main() {
    int x = 1, a = 0, b = 0, c = 0, d = 0;
    for (int i = 0; i < 2000; ++i) {
        for (int j = 0; j < 10000; ++j) {
            x = (x * 75 + 74) % 65537;
            if (x < 16384) ++a;
            if (x >= 49152) b += x / 1024;
            if (x > 30000) {
                if (x < 40000) c += 3;
            }
            if (x % 2 == 0) ++d;
        }
    }
    std::printf("%d %d %d %d %d\n", a, b, c, d, x);
}
