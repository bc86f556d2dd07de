// A loop whose count is a variable the outer body changes (see varcount.rill).
#include <cstdio>

int main() {
    int g = 7, s = 0, h = 0;
    for (int k = 0; k < 1000000; ++k) {
        g = (g * 75 + 74) % 65537;
        int m = g / 1600;
        for (int j = 1; j <= m; ++j) s += j;
        h += m;
        s %= 1048576;
    }
    std::printf("%d %d %d\n", s, h, g);
}
