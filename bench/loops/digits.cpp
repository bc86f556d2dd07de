// Digit sums by repeated division (see digits.rill).
#include <cstdio>

int main() {
    int s = 0, t = 0;
    for (int i = 1; i <= 3000000; ++i) {
        int x = i;
        do {
            int q = x / 10;
            s += x - q * 10;
            x = q;
        } while (x != 0);
        x = i;
        do {
            int q = x / 7;
            t += x - q * 7;
            x = q;
        } while (x != 0);
    }
    std::printf("%d %d\n", s, t);
}
