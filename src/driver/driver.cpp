#include "driver/driver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <new>

#include "engine/io.h"
#include "engine/random.h"
#include "errors/errors.h"
#include "lexer/reader.h"
#include "lexer/tokens.h"
#include "parser/parser.h"
#include "platform/platform.h"

namespace {

FILE* source_file;  // the file the driver opened, or null when reading standard input

const char USAGE[] =
    "usage: rill [FILE]\n"
    "Runs the rill program in FILE, or in sample.txt when none is named.\n"
    "When FILE cannot be opened, the program is read from standard input:\n"
    "  rill - < program.rill\n"
    "Options, taken only when no file of that name opens:\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n";

// At a terminal, "interrupted" starts a line of its own even when the
// program's output or a session's prompt left one unfinished; elsewhere the
// bytes stay as written.
// Whether both are terminals is asked at the start: closing the outputs
// may close standard output.
bool output_at_terminal;

void end_line_for_interrupted() {
    if (interrupt_signal && ((output_at_terminal && console_line_unfinished()) || prompt_waiting()))
        (void)std::fputc('\n', stderr);
}

void close_outputs_at_exit() {
    (void)close_outputs();
    end_line_for_interrupted();
}

// Closes the outputs at the end of the run, once; a reader that has gone
// away ends the process here by SIGPIPE. Returns whether all was written.
bool finish_outputs() {
    set_exit_cleanup(nullptr);
    bool written = close_outputs();
    if (pipe_broken) end_by_signal(SIGNAL_BROKEN_PIPE);
    return written;
}

// The exit status: 0 only for a program read to its end, accepted, and all
// of whose output was written.
// A session that went on after an error ends with 1 too.
int exit_status(ParseResult result, bool outputs_written, bool input_cut_short) {
    switch (result) {
    case PARSE_ACCEPTED: return outputs_written && !input_cut_short && parse_errors_survived == 0 ? 0 : 1;
    case PARSE_ERROR: return 1;
    case PARSE_OVERFLOW: return 2;
    case PARSE_HALTED: return 1;  // the engine stopped the run and said why
    }
    return 1;
}

// What shows that the run moves while a further signal waits: the prints
// done and the steps of the write-out, and the bytes queued in standard
// output's pipe, which a reader drains while a write waits for room.
struct Progress {
    std::sig_atomic_t steps;
    int queued;
};
volatile std::sig_atomic_t watching;  // a further signal came; the watch runs
Progress watched;                     // touched only by the handlers

Progress progress_now() {
    return {output_progress, output_queued()};
}

// Once a second: a run that has not moved since the last look is stuck
// (a reader that has stopped), and the signal that is waiting ends it.
void watch_progress() {
    Progress now = progress_now();
    if (now.steps == watched.steps && now.queued == watched.queued) end_by_signal(interrupt_signal);
    watched = now;
}

volatile std::sig_atomic_t in_session;  // the program is typed at a terminal

// A signal after the first never cuts the write-out short while it makes
// progress, lest the tail of a file or "interrupted" be lost; it starts a
// watch that ends a run that has stopped moving. In a session, where Ctrl-C
// costs only a statement, a SIGTERM or SIGHUP after it still ends the run.
void note_interrupt(int sig) {
    if (!interrupt_signal || (in_session && interrupt_signal == SIGINT && sig != SIGINT)) {
        interrupt_signal = sig;
        return;
    }
    if (watching) return;
    watching = 1;
    watched = progress_now();
    start_watch(watch_progress);
}

// Ctrl-C in a session: the statement in progress is dropped by the caller,
// and the session goes on as if no signal had come.
void take_session_interrupt() {
    end_line_for_interrupted();
    report_error("interrupted");
    stop_watch();
    interrupt_signal = 0;
    watching = 0;
}

void note_broken_pipe() {
    pipe_broken = 1;
}

// The run stops at its next safe point (a loop pass, a source read, a
// console read), where everything printed so far is written out.
// The first argument when it named no file that opens: help and the version
// end the run here (returning the status); anything else falls through to
// reading standard input, which at a terminal gets one line of explanation.
bool answer_option(const char* arg, int open_errno, int* status) {
    if (arg && (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0)) {
        (void)std::fputs(USAGE, stdout);
        *status = finish_outputs() ? 0 : 1;
        return true;
    }
    if (arg && std::strcmp(arg, "--version") == 0) {
        (void)std::fputs("rill " RILL_VERSION "\n", stdout);
        *status = finish_outputs() ? 0 : 1;
        return true;
    }
    if (is_terminal(STDIN_FD)) {
        char hint[96];
        (void)std::snprintf(hint, sizeof hint, "reading a program from the terminal; end it with %s",
                            END_OF_INPUT_KEYS);
        // Without an argument, the file it looked for is sample.txt.
        if (!arg || std::strcmp(arg, "-") != 0)
            (void)std::fprintf(stderr, "rill: cannot open \"%s\" (%s); %s\n", arg ? arg : "sample.txt",
                               std::strerror(open_errno), hint);
        else
            (void)std::fprintf(stderr, "rill: %s\n", hint);
    }
    return false;
}

// The standard library's allocations (containers, strings) end the run as
// every other allocation failure does, with the outputs flushed and closed.
[[noreturn]] void out_of_memory() {
    fatal_error("out of memory");
}

}  // namespace

int run_interpreter(int argc, char** argv) {
    take_arguments(&argc, &argv);
    prepare_standard_streams();
    output_at_terminal = is_terminal(STDOUT_FD) && is_terminal(STDERR_FD);
    set_exit_cleanup(close_outputs_at_exit);
    std::set_new_handler(out_of_memory);
    install_interrupt_handlers(note_interrupt, note_broken_pipe);
    wait_on_full_outputs();
    claim_stream(stdout);
    seed_random(static_cast<uint32_t>(std::time(nullptr)));
    const char* arg = argc > 1 ? argv[1] : nullptr;
    const char* path = arg ? arg : "sample.txt";
    // A file that opens always wins, even one named like an option.
    source_file = open_source(path);
    if (!source_file) {
        int open_errno = errno;
        int status;
        if (answer_option(arg, open_errno, &status)) return status;
        // Memory running out is no reason to run another program instead.
        if (open_errno == ENOMEM) fatal_error("out of memory");
    }
    set_source_name(source_file ? path : "<stdin>");
    scanner.input = source_file;
    scanner.interactive = !source_file && is_terminal(STDIN_FD);
    if (scanner.interactive) {
        in_session = true;
        set_interrupt_taker(take_session_interrupt);
        set_before_session_line(flush_output_file);
    }

    ParseResult result = parse_program();
    // A signal caught after the last safe point still ends the run by it.
    if (interrupt_signal) stop_interrupted();
    if (pipe_broken) stop_broken_pipe();

    if (source_file) (void)std::fclose(source_file);  // read-only: nothing can be lost
    bool written = finish_outputs();
    // So does one caught during the final write-out, which is complete.
    if (interrupt_signal) {
        end_line_for_interrupted();
        stop_interrupted();
    }
    return exit_status(result, written, scanner.input_cut_short);
}
