// If-blocks whose tests no pattern predicts (see jumpy.rill).
#include <cstdio>

int main() {
    int x = 1, a = 0, b = 0;
    for (int i = 0; i < 10000000; ++i) {
        x = x * 1103 + 12345;
        x = x - x / 65536 * 65536;
        int h = x / 4096;
        if (h < 8) a += h;
        if (h >= 8) b += 1;
        int t = x / 256;
        if (t / 2 * 2 == t) a -= 1;
    }
    std::printf("%d %d %d\n", x, a, b);
}
