// Runs a program as rill does with RILL_REPLAY=native, then writes to a file
// how many loops ran as native code and how many fell back to the threaded
// replay: "compiled N declined M". Lets tests see that the back end handled
// every loop it was given, rather than only that the results were right.
// With a third argument, every compiled loop's instructions are listed in
// that file (tools/loop_instructions.py counts a pass of them).
#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"
#include "native/native.h"

int main(int argc, char** argv) {
    if (argc < 3) return 64;
    setenv("RILL_REPLAY", "native", 1);
    if (argc > 3 && !(native_listing = std::fopen(argv[3], "w"))) return 65;
    char* run_argv[] = {argv[0], argv[1], nullptr};
    int status = run_interpreter(2, run_argv);
    FILE* report = std::fopen(argv[2], "w");
    if (!report) return 65;
    NativeCounts counts = native_counts();
    std::fprintf(report, "compiled %d declined %d\n", counts.compiled, counts.declined);
    std::fclose(report);
    if (native_listing) std::fclose(native_listing);
    return status;
}
