// rand in every position of a loop (see randoms.rill), with the same
// generator: linear congruential, 15-bit draws.
#include <cstdio>
#include <ctime>

int main() {
    unsigned state = unsigned(std::time(nullptr));
    int n = 0, bad = 0;
    for (int i = 0; i < 10000000; ++i) {
        state = state * 214013u + 2531011u;
        int a = int((state >> 16) & 0x7fff) * 100 / 32768;
        if (a > 99) ++bad;
        state = state * 214013u + 2531011u;
        double r = double((state >> 16) & 0x7fff) * 1.0 / 32768.0;
        if (r >= 1.0) ++bad;
        ++n;
    }
    std::printf("%d %d\n", n, bad);
}
