// A state machine of if-blocks, left with a break (see states.rill).
#include <cstdio>

int main() {
    int x = 7, n = 0;
    for (int i = 0; i < 200000; ++i) {
        int st = 0, k = 0;
        for (int j = 0; j < 64; ++j) {
            x = x * 75 + 74;
            x = x - x / 65537 * 65537;
            ++k;
            if (st == 2) {
                if (x < 30000) break;
                st = 0;
            }
            if (st == 1 && x < 20000) st = 2;
            if (st == 0 && x > 40000) st = 1;
        }
        n += k;
    }
    std::printf("%d %d\n", x, n);
}
