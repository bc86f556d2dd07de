// Runs a program as rill does, with an identifier table that runs out of
// memory: "rill_short_memory N FILE" makes the table's Nth allocation fail
// (each new name takes two: its record, then its text).
#include <cstdlib>

#include "driver/driver.h"
#include "lexer/symbols.h"

namespace {

long allocations_left;

void* failing_allocate(size_t size) {
    return --allocations_left == 0 ? nullptr : std::malloc(size);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 64;
    allocations_left = std::atol(argv[1]);
    symbol_allocate = failing_allocate;
    char* run_argv[] = {argv[0], argv[2], nullptr};
    return run_interpreter(2, run_argv);
}
