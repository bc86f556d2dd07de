// Prime counting by trial division (see primes.rill).
#include <cstdio>

int main() {
    int c = 0, d = 0;
    for (int n = 2; n <= 1000000; ++n) {
        int p = 1;
        for (d = 2; d * d <= n; ++d) {
            if (n % d == 0) {
                p = 0;
                break;
            }
        }
        c += p;
    }
    std::printf("%d %d\n", c, d);
}
