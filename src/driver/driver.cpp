#include "driver/driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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
#include "lexer/reader.h"
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
    if (pipe_broken) end_by_signal(SIGPIPE);
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
    int queued = 0;
    if (ioctl(STDOUT_FILENO, FIONREAD, &queued) != 0) queued = -1;
    return {output_progress, queued};
}

// Once a second: a run that has not moved since the last look is stuck
// (a reader that has stopped), and the signal that is waiting ends it.
void watch_progress(int) {
    Progress now = progress_now();
    if (now.steps == watched.steps && now.queued == watched.queued) end_by_signal(interrupt_signal);
    watched = now;
    (void)alarm(1);
}

// Returns false when the handler that was there could not be read back.
bool install(int sig, void (*handler)(int), struct sigaction* previous = nullptr) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(sig, &action, previous) == 0;
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
    install(SIGALRM, watch_progress);
    (void)alarm(1);
}

// Ctrl-C in a session: the statement in progress is dropped by the caller,
// and the session goes on as if no signal had come.
void take_session_interrupt() {
    end_line_for_interrupted();
    report_error("interrupted");
    (void)alarm(0);
    interrupt_signal = 0;
    watching = 0;
}

void note_broken_pipe(int) {
    pipe_broken = 1;
}

// The run stops at its next safe point (a loop pass, a source read, a
// console read), where everything printed so far is written out. Restarted
// system calls keep a write that a signal meets from failing; the waits for
// input are the only calls that must end early, and they are made so that a
// signal always ends them. A signal ignored from the start stays ignored, as
// for a job started in the background; so does SIGPIPE, whose writes then
// fail and are reported. Caught, SIGPIPE lets the other output be written
// before the run ends by it.
// Each handler is swapped in with one call, and an ignored signal's
// disposition put back; the signals are blocked meanwhile, and one that
// came in between is dropped as it should be when SIG_IGN is put back.
void install_signal_handlers() {
    sigset_t handled, old;
    sigemptyset(&handled);
    for (int sig : INTERRUPT_SIGNALS) sigaddset(&handled, sig);
    sigaddset(&handled, SIGPIPE);
    (void)sigprocmask(SIG_BLOCK, &handled, &old);
    auto take = [](int sig, void (*handler)(int)) {
        struct sigaction previous;
        if (install(sig, handler, &previous) && previous.sa_handler == SIG_IGN)
            (void)sigaction(sig, &previous, nullptr);
    };
    for (int sig : INTERRUPT_SIGNALS) take(sig, note_interrupt);
    take(SIGPIPE, note_broken_pipe);
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
    // Past the file-size limit a write fails (EFBIG) and is reported as any
    // failed write is, rather than the signal ending the run unannounced.
    (void)signal(SIGXFSZ, SIG_IGN);
}

// Opens the program for reading. A FIFO is opened without waiting for a
// writer: the wait moves to the first read, where a signal can end it. On a
// regular file O_NONBLOCK changes nothing, so it stays rather than cost two
// more system calls; on anything else it is cleared, for reads that wait.
FILE* open_source(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    int flags = regular ? 0 : fcntl(fd, F_GETFL);
    FILE* f = regular || (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) ? fdopen(fd, "r") : nullptr;
    if (!f) {
        int saved = errno;
        (void)close(fd);
        errno = saved;
    }
    return f;
}

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
    if (isatty(STDIN_FILENO) == 1) {
        const char* hint = "reading a program from the terminal; end it with Ctrl-D";
        // Without an argument, the file it looked for is sample.txt.
        if (!arg || std::strcmp(arg, "-") != 0)
            (void)std::fprintf(stderr, "rill: cannot open \"%s\" (%s); %s\n", arg ? arg : "sample.txt",
                               std::strerror(open_errno), hint);
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
    // One look at all three: poll marks a descriptor that is not open.
    pollfd standard[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (poll(standard, 3, 0) < 0) std::_Exit(1);
    for (int fd = 0; fd < 3; ++fd) {
        if (!(standard[fd].revents & POLLNVAL)) continue;
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
    output_at_terminal = isatty(STDOUT_FILENO) == 1 && isatty(STDERR_FILENO) == 1;
    set_exit_cleanup(close_outputs_at_exit);
    std::set_new_handler(out_of_memory);
    install_signal_handlers();
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
    scanner.interactive = !source_file && isatty(STDIN_FILENO) == 1;
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
