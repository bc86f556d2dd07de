#include "errors/errors.h"

#include <cstdio>
#include <cstdlib>

namespace {

void (*exit_cleanup)();

void run_cleanup() {
    void (*cleanup)() = exit_cleanup;
    exit_cleanup = nullptr;     // a fault inside the clean-up must not run it twice
    if (cleanup) cleanup();
}

}  // namespace

int32_t issue_line;
volatile std::sig_atomic_t interrupt_signal;

void report_error(const char* text) {
    // A failed flush leaves the stream's error flag, which the end of the run reports.
    (void)std::fflush(stdout);
    (void)std::fprintf(stderr, "%s\n", text);
}

void set_exit_cleanup(void (*cleanup)()) {
    exit_cleanup = cleanup;
}

void fatal_error(const char* text) {
    report_error(text);
    run_cleanup();
    std::exit(1);
}

void stop_interrupted() {
    int sig = interrupt_signal;
    run_cleanup();
    report_error("interrupted");
    (void)std::signal(sig, SIG_DFL);
    (void)std::raise(sig);
    std::_Exit(128 + sig);      // not reached: the default action ends the process
}
