// Runs a program as rill does, short of memory. "rill_short_memory N FILE"
// makes the identifier table's Nth allocation fail (each new name takes two:
// its record, then its text); "rill_short_memory heap N FILE" makes the Nth
// allocation through operator new fail, as the standard library's would.
#include <cstdlib>
#include <cstring>
#include <new>

#include "driver/driver.h"
#include "lexer/symbols.h"

namespace {

long allocations_left;
long heap_allocations_left;  // 0: operator new never fails

void* failing_allocate(size_t size) {
    return --allocations_left == 0 ? nullptr : std::malloc(size);
}

}  // namespace

// The replaceable allocation functions, failing as a real shortage would:
// the installed handler is called, and without one std::bad_alloc thrown.
void* operator new(size_t size) {
    for (;;) {
        bool fail = heap_allocations_left > 0 && --heap_allocations_left == 0;
        if (void* p = fail ? nullptr : std::malloc(size ? size : 1)) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

int main(int argc, char** argv) {
    bool heap = argc > 1 && std::strcmp(argv[1], "heap") == 0;
    if (argc < (heap ? 4 : 3)) return 64;
    if (heap) {
        ++argv;
        heap_allocations_left = std::atol(argv[1]);
    } else {
        allocations_left = std::atol(argv[1]);
        symbol_allocate = failing_allocate;
    }
    char* run_argv[] = {argv[0], argv[2], nullptr};
    return run_interpreter(2, run_argv);
}
