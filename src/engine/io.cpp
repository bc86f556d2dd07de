// The program's own input and output. Write failures are remembered, not
// reported as they happen: close_outputs reports them once, at the end.
#include "engine/io.h"

#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "errors/errors.h"
#include "engine/machine.h"
#include "engine/number_input.h"
#include "lexer/tokens.h"

namespace {

const char* output_name;  // the header's file name, once it was opened
int console_error;        // errno of the first failed console write, or 0
int output_error;         // errno of the first failed output-file write, or 0
bool output_unavailable;  // the header's file could not be opened
bool console_line_open;   // the last character written to standard output was not a line feed

void note_write(FILE* f, int written) {
    if (written >= 0) return;
    int& slot = f == stdout ? console_error : output_error;
    note_write_failure(errno);
    if (!slot) slot = errno ? errno : EIO;
}

void step_output() {
    output_progress = static_cast<std::sig_atomic_t>(static_cast<unsigned>(output_progress) + 1u);
}

// A print's outcome. One that met a pipe whose reader has gone ends the run.
// Every print done is progress: a loop pass that writes a great deal to a
// reader draining it slowly is moving, not stuck, though it meets no safe
// point for a while.
void note_print(FILE* f, int written) {
    step_output();
    if (written >= 0) return;
    note_write(f, written);
    if (pipe_broken) stop_broken_pipe();
}

}  // namespace

void print_text(FILE* f, const char* text) {
    if (!f) return;
    size_t n = std::strlen(text);
    if (n == 0) return;
    if (f == stdout) console_line_open = text[n - 1] != '\n';
    note_print(f, std::fwrite(text, 1, n, f) == n ? 0 : -1);
}

size_t format_value(const Symbol* sym, char (&text)[VALUE_TEXT_SIZE]) {
    // Infinities and NaN as glibc's printf writes them, a NaN's sign
    // included, so that every system's run prints the same bytes (other C
    // libraries drop the sign, or spell them otherwise).
    if (sym->type && !std::isfinite(sym->value.real)) {
        const char* word = std::isnan(sym->value.real) ? "nan" : "inf";
        size_t n = 0;
        if (std::signbit(sym->value.real)) text[n++] = '-';
        for (; *word; ++word) text[n++] = *word;
        return n;
    }
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    // The same characters as printf's "%d" and "%f" (to_chars rounds the
    // exact binary value to six decimals, as printf does), without parsing
    // a format on every print.
    std::to_chars_result r{};
    if (!sym->type)
        r = std::to_chars(text, text + VALUE_TEXT_SIZE, sym->value.integer);
    else
        r = std::to_chars(text, text + VALUE_TEXT_SIZE, sym->value.real, std::chars_format::fixed, 6);
    if (r.ptr && r.ec == std::errc()) return static_cast<size_t>(r.ptr - text);
#endif
    int n = sym->type ? std::snprintf(text, VALUE_TEXT_SIZE, "%f", sym->value.real)
                      : std::snprintf(text, VALUE_TEXT_SIZE, "%d", sym->value.integer);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

void print_value(FILE* f, const Symbol* sym) {
    if (!f) return;
    char text[VALUE_TEXT_SIZE];
    size_t n = format_value(sym, text);
    if (f == stdout) console_line_open = true;
    note_print(f, std::fwrite(text, 1, n, f) == n ? 0 : -1);
}

void print_newline(FILE* f) {
    if (!f) return;
    if (f == stdout) console_line_open = false;
    note_print(f, std::fputc('\n', f));
}

bool console_line_unfinished() {
    return console_line_open;
}

void read_input(Symbol* sym) {
    console_line_open = true;
    InputReader& in = console_reader();
    if (!await_number(in)) note_print(stdout, std::fputs(">> ", stdout));
    if (std::fflush(stdout) != 0) note_print(stdout, -1);
    // A session's Ctrl-C is left for the caller to take, which stops the
    // statement or loop reading.
    if (interrupt_signal) {
        if (!interrupt_recoverable()) stop_interrupted();
        return;
    }
    if (sym->type) {
        double x;
        if (input_real(in, &x)) sym->value.real = x;
    } else {
        int32_t x;
        if (input_integer(in, &x)) sym->value.integer = x;
    }
}

#ifdef RILL_FUZZING
void spend_loop_pass() {
    static long passes;
    if (++passes < 2000000) return;
    close_outputs();
    std::_Exit(0);
}
#endif

void open_output(const char* name) {
#ifdef RILL_FUZZING
    // A fuzzed header must not write outside the working directory.
    if (std::strchr(name, '/') && std::strcmp(name, "/dev/full") != 0) name = "/dev/null";
#endif
    const char* reason = nullptr;
    machine.output = open_for_writing(name, scanner.input, &reason);
    if (machine.output) {
        claim_stream(machine.output);
        output_name = name;
        return;
    }
    output_unavailable = true;
    char message[512];
    (void)std::snprintf(message, sizeof message, "cannot open output file \"%.400s\": %s", name, reason);
    report_error(message);
}

void halt_division_by_zero(const Instruction* at) {
    report_error("division by zero");
    write_help(located(at->line, 0, "the divisor is 0 in the statement on this line"));
    machine.halted = 1;
}

void halt_interrupted() {
    take_interrupt();
    machine.halted = 1;
}

void flush_output_file() {
    if (machine.output && machine.output != stdout && std::fflush(machine.output) != 0) note_write(machine.output, -1);
}

bool close_outputs() {
    bool ok = !output_unavailable;
    bool console_is_output = machine.output == stdout;
    if (pipe_broken && console_error == EPIPE) {
        // Its reader has gone: nothing more is written there, not even by exit.
        discard_buffered(stdout);
    } else if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        note_write(stdout, -1);
    }
    step_output();
    if (machine.output && !console_is_output) {
        if (std::fflush(machine.output) != 0 || std::ferror(machine.output)) note_write(machine.output, -1);
        step_output();
        if (std::fclose(machine.output) != 0) note_write(machine.output, -1);
        step_output();
    }
    machine.output = nullptr;
    // The process ends by SIGPIPE, which says enough.
    if (pipe_broken) return false;

    char message[512];
    if (console_error) {
        (void)std::snprintf(message, sizeof message, "cannot write standard output: %s", std::strerror(console_error));
        report_error(message);
        ok = false;
    }
    if (output_error) {
        (void)std::snprintf(message, sizeof message, "cannot write output file \"%.400s\": %s", output_name,
                            std::strerror(output_error));
        report_error(message);
        ok = false;
    }
    // Last, since report_error flushes standard output.
    if (console_is_output && std::fclose(stdout) != 0 && !console_error) {
        (void)std::fprintf(stderr, "cannot write standard output: %s\n", std::strerror(errno));
        ok = false;
    }
    return ok;
}
