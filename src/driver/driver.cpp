#include "driver/driver.h"

#include <cstdio>
#include <ctime>

#include "engine/io.h"
#include "engine/machine.h"
#include "engine/random.h"
#include "errors/errors.h"
#include "lexer/tokens.h"
#include "parser/parser.h"

namespace {

FILE* source_file;      // the file the driver opened, or null when reading standard input

void close_outputs_at_exit() {
    (void)close_outputs();
}

// The exit status: 0 only for a program read to its end, accepted, and all
// of whose output was written.
int exit_status(ParseResult result, bool outputs_written, bool input_cut_short) {
    switch (result) {
    case PARSE_ACCEPTED: return outputs_written && !input_cut_short ? 0 : 1;
    case PARSE_ERROR:    return 1;
    case PARSE_OVERFLOW: return 2;
    case PARSE_HALTED:   return 1;     // the engine stopped the run and said why
    }
    return 1;
}

}  // namespace

int run_interpreter(int argc, char** argv) {
    set_exit_cleanup(close_outputs_at_exit);
    seed_random(static_cast<uint32_t>(std::time(nullptr)));
    const char* path = argc > 1 && argv[1] ? argv[1] : "sample.txt";
    // A source that cannot be opened is not reported: the program comes from standard input.
    source_file = std::fopen(path, "r");
    yy_input_stream = source_file;

    ParseResult result = parse_program();

    if (source_file) (void)std::fclose(source_file);    // read-only: nothing can be lost
    bool written = close_outputs();
    return exit_status(result, written, yy_input_cut_short);
}
