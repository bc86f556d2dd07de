// If-blocks whose tests follow a short repeating pattern (see blocks.rill).
#include <cstdio>

int main() {
    unsigned a = 0, b = 0, s = 0;
    int c = 0;
    for (int i = 0; i < 10000000; ++i) {
        ++c;
        if (c > 4) c = 0;
        if (c < 3) a += c;
        if (c >= 3) b += 2;
        if (c == 1) s = s + a - b;
    }
    std::printf("%d %d %d\n", int(a), int(b), int(s));
}
