#include "driver/driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <new>

#include "engine/io.h"
#include "engine/random.h"
#include "errors/errors.h"
#include "lexer/tokens.h"
#include "parser/parser.h"

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

void close_outputs_at_exit() {
    (void)close_outputs();
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

void note_interrupt(int sig) {
    if (interrupt_signal) {
        // A second one: the run has not reached a safe point (a write may
        // be stuck on a reader that has stopped), so it ends now.
        (void)std::signal(sig, SIG_DFL);
        (void)std::raise(sig);
        return;
    }
    interrupt_signal = sig;
}

// The run stops at its next safe point (a loop pass, a source read, a
// console read), where everything printed so far is written out. Restarted
// system calls keep a write that a signal meets from failing; the waits for
// input are the only calls that must end early, and they are made so that a
// signal always ends them. A second signal ends the process at once. A
// signal ignored from the start stays ignored, as for a job started in the
// background.
void install_interrupt_handlers() {
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = note_interrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        (void)sigaction(sig, &action, nullptr);
    }
}

// The first argument when it named no file that opens: help and the version
// end the run here (returning the status); anything else falls through to
// reading standard input, which at a terminal gets one line of explanation.
bool answer_option(const char* arg, int open_errno, int* status) {
    if (arg && (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0)) {
        (void)std::fputs(USAGE, stdout);
        *status = close_outputs() ? 0 : 1;
        return true;
    }
    if (arg && std::strcmp(arg, "--version") == 0) {
        (void)std::fputs("rill " RILL_VERSION "\n", stdout);
        *status = close_outputs() ? 0 : 1;
        return true;
    }
    if (isatty(STDIN_FILENO) == 1) {
        const char* hint = "reading a program from the terminal; end it with Ctrl-D";
        if (arg && std::strcmp(arg, "-") != 0)
            (void)std::fprintf(stderr, "rill: cannot open \"%s\" (%s); %s\n", arg, std::strerror(open_errno), hint);
        else
            (void)std::fprintf(stderr, "rill: %s\n", hint);
    }
    return false;
}

// Fills descriptors 0, 1 and 2 where they are closed, so that no file the
// program opens can take their numbers (a header's file would otherwise
// receive console output, or diagnostics). What fills them is open for
// reading only: a closed standard input reads as its end, and a write to a
// closed output still fails and is reported.
void open_standard_streams() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int filler = open("/dev/null", O_RDONLY);
        if (filler < 0) {
            // Without /dev/null, a pipe's read end whose write end is closed.
            int ends[2];
            if (pipe(ends) != 0) std::_Exit(1);
            filler = ends[0];
            (void)close(ends[1]);
        }
        // Lower descriptors are open by now, so the filler took this one.
        if (filler != fd) std::_Exit(1);
    }
}

// The standard library's allocations (containers, strings) end the run as
// every other allocation failure does, with the outputs flushed and closed.
[[noreturn]] void out_of_memory() {
    fatal_error("out of memory");
}

}  // namespace

int run_interpreter(int argc, char** argv) {
    open_standard_streams();
    set_exit_cleanup(close_outputs_at_exit);
    std::set_new_handler(out_of_memory);
    install_interrupt_handlers();
    claim_stream(stdout);
    seed_random(static_cast<uint32_t>(std::time(nullptr)));
    const char* arg = argc > 1 ? argv[1] : nullptr;
    const char* path = arg ? arg : "sample.txt";
    // A file that opens always wins, even one named like an option.
    source_file = std::fopen(path, "r");
    if (!source_file) {
        int open_errno = errno;
        int status;
        if (answer_option(arg, open_errno, &status)) return status;
        // Memory running out is no reason to run another program instead.
        if (open_errno == ENOMEM) fatal_error("out of memory");
    }
    set_source_name(source_file ? path : "<stdin>");
    yy_input_stream = source_file;
    yy_interactive = !source_file && isatty(STDIN_FILENO) == 1;

    ParseResult result = parse_program();
    // A signal caught after the last safe point still ends the run by it.
    if (interrupt_signal) stop_interrupted();

    if (source_file) (void)std::fclose(source_file);  // read-only: nothing can be lost
    bool written = close_outputs();
    return exit_status(result, written, yy_input_cut_short);
}
