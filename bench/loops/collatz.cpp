// Collatz steps (see collatz.rill).
#include <cstdio>

int main() {
    int s = 0, m = 0;
    for (int n = 1; n <= 100000; ++n) {
        int x = n, c = 0;
        while (x != 1) {
            if (x % 2 == 0)
                x /= 2;
            else
                x = x * 3 + 1;
            ++c;
        }
        s += c;
        if (c > m) m = c;
    }
    std::printf("%d %d\n", s, m);
}
