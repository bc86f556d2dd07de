// Integer arithmetic: 10^8 passes of a small body (see intarith.rill).
#include <cstdio>

int main() {
    int s = 0, i = 0;
    for (int a = 0; a < 10000; ++a) {
        ++i;
        int j = 0;
        for (int b = 0; b < 10000; ++b) {
            ++j;
            s = s / 2 + i * j - j / 3;
        }
    }
    std::printf("%d\n", s);
}
