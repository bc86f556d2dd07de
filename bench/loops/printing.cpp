// Output: a million formatted lines (see printing.rill).
#include <cstdio>

int main() {
    double x = 0;
    for (int i = 1; i <= 1000; ++i) {
        for (int j = 1; j <= 1000; ++j) {
            x += 0.25;
            std::printf("row %d col %d x %f\n", i, j, x);
        }
    }
}
