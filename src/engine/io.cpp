// The program's own input and output. Write failures are remembered, not
// reported as they happen: close_outputs reports them once, at the end.
#include "engine/io.h"

#if __has_include(<stdio_ext.h>)
#include <stdio_ext.h>
#endif

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Sleeps for up to ms milliseconds. An interrupt, even one that came just
// before, stops the run here, a safe point; a session's Ctrl-C instead
// gives up what was waited for, and the result is false.
bool pause_unless_interrupted(int ms) {
    sigset_t interrupts, old;
    sigemptyset(&interrupts);
    for (int sig : INTERRUPT_SIGNALS) sigaddset(&interrupts, sig);
    (void)sigprocmask(SIG_BLOCK, &interrupts, &old);
    const timespec pause{0, static_cast<long>(ms) * 1000000L};
    if (!interrupt_signal) (void)ppoll(nullptr, 0, &pause, &old);
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
    if (!interrupt_signal) return true;
    take_interrupt();
    return false;
}

// Opens name for writing, creating it. A FIFO without a reader is waited
// for here rather than in open(), which no signal would end.
int open_writable(const char* name) {
    for (int ms = 1;; ms = ms < 64 ? ms * 2 : ms) {
        int fd = open(name, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // The description is this process's own; writes to it wait.
            int flags = fcntl(fd, F_GETFL);
            if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) return fd;
            int saved = errno;
            (void)close(fd);
            errno = saved;
            return -1;
        }
        int failed = errno;
        struct stat fifo {};
        if (failed != ENXIO || stat(name, &fifo) != 0 || !S_ISFIFO(fifo.st_mode)) {
            errno = failed;
            return -1;
        }
        if (!pause_unless_interrupted(ms)) {
            errno = EINTR;
            return -1;
        }
    }
}

// Why writing to file would overwrite what the run reads or writes
// elsewhere: it is the program's own source (by any path or link), whose
// text the scanner has still to read, or the regular file a standard
// stream is connected to. Null when it is none of them. Terminals and
// devices such as /dev/null are not emptied by writing.
const char* clash_of(const struct stat& file) {
    if (S_ISCHR(file.st_mode)) return nullptr;
    auto same = [&file](int fd) {
        struct stat other {};
        return fstat(fd, &other) == 0 && other.st_dev == file.st_dev && other.st_ino == file.st_ino;
    };
    if (same(fileno(scanner.input ? scanner.input : stdin))) return "it is the program's source";
    if (!S_ISREG(file.st_mode)) return nullptr;
    if (same(STDIN_FILENO)) return "it is where standard input comes from";
    if (same(STDOUT_FILENO)) return "it is where standard output goes";
    if (same(STDERR_FILENO)) return "it is where standard error goes";
    return nullptr;
}

// The file opened as fopen's "w" does, unless emptying it would lose what
// the run still reads or has written (clash_of). The check is made on the
// opened file, before it is emptied, so no rename in between can slip past
// it. On failure, *reason says why.
FILE* open_for_writing(const char* name, const char** reason) {
    int fd = open_writable(name);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return nullptr;
    }
    struct stat file {};
    bool known = fstat(fd, &file) == 0;
    const char* clash = known ? clash_of(file) : nullptr;
    if (clash) {
        (void)close(fd);
        *reason = clash;
        return nullptr;
    }
    bool emptied = (known && !S_ISREG(file.st_mode)) || ftruncate(fd, 0) == 0;
    FILE* f = emptied ? fdopen(fd, "w") : nullptr;
    if (!f) {
        *reason = std::strerror(errno);
        (void)close(fd);
    }
    return f;
}

#ifdef __GLIBC__
// Writes all n bytes to the descriptor the cookie holds. A non-blocking
// description that takes no more for now (EAGAIN) is waited on until it
// does, as a blocking one would be; its flags are left alone, since other
// processes share them. Every write that moves is progress. On a real
// failure, returns -1 with errno set: the stream's error flag then reports it.
ssize_t write_when_ready(void* cookie, const char* data, size_t n) {
    int fd = *static_cast<int*>(cookie);
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, data + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            step_output();
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready{fd, POLLOUT, 0};
            if (poll(&ready, 1, -1) < 0 && errno != EINTR) return -1;
        } else if (w == 0 || errno != EINTR) {
            if (w == 0) errno = EIO;
            return -1;
        }
    }
    return static_cast<ssize_t>(done);
}

int close_descriptor(void* cookie) {
    return close(*static_cast<int*>(cookie));
}

// f, standard output or error on descriptor fd, again, writing through
// write_when_ready when that descriptor is non-blocking (the C library would drop what did not fit), with the same
// buffering; f itself when it is not, or when that cannot be had.
FILE* patient(FILE* f, int fd, int buffering) {
    static int descriptors[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
    int flags = fcntl(fd, F_GETFL);
    if (fd < 1 || fd > 2 || flags < 0 || !(flags & O_NONBLOCK)) return f;
    cookie_io_functions_t io{nullptr, write_when_ready, nullptr, close_descriptor};
    FILE* wrapped = fopencookie(&descriptors[fd], "w", io);
    if (!wrapped) return f;
    (void)setvbuf(wrapped, nullptr, buffering, BUFSIZ);
    // fileno() still names the descriptor, for what asks the terminal behind
    // it (its size, for the line editor); every write goes through the cookie.
    wrapped->_fileno = fd;
    return wrapped;
}
#endif

}  // namespace

void wait_on_full_outputs() {
#ifdef __GLIBC__
    // The C library lets its standard streams be replaced.
    stdout = patient(stdout, STDOUT_FILENO, isatty(STDOUT_FILENO) == 1 ? _IOLBF : _IOFBF);
    stderr = patient(stderr, STDERR_FILENO, _IONBF);
#endif
}

void claim_stream(FILE* f) {
#if __has_include(<stdio_ext.h>)
    (void)__fsetlocking(f, FSETLOCKING_BYCALLER);
#else
    (void)f;
#endif
}

volatile std::sig_atomic_t output_progress;

void print_text(FILE* f, const char* text) {
    if (!f) return;
    size_t n = std::strlen(text);
    if (n == 0) return;
    if (f == stdout) console_line_open = text[n - 1] != '\n';
    note_print(f, std::fwrite(text, 1, n, f) == n ? 0 : -1);
}

size_t format_value(const Symbol* sym, char (&text)[VALUE_TEXT_SIZE]) {
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    // The same characters as printf's "%d" and "%f" (to_chars rounds the
    // exact binary value to six decimals, as printf does), without parsing
    // a format on every print. Infinities and NaN are left to printf.
    std::to_chars_result r{};
    if (!sym->type)
        r = std::to_chars(text, text + VALUE_TEXT_SIZE, sym->value.integer);
    else if (std::isfinite(sym->value.real))
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
    machine.output = open_for_writing(name, &reason);
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
#if __has_include(<stdio_ext.h>)
        __fpurge(stdout);
#endif
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
