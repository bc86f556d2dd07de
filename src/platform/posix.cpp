// The platform layer on Linux (and, with web/host.cpp, in the browser).
#include "platform/platform.h"

#if __has_include(<stdio_ext.h>)
#include <stdio_ext.h>
#endif

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifndef __EMSCRIPTEN__
#include <pthread.h>
#include <sys/resource.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "errors/errors.h"

const char END_OF_INPUT_KEYS[] = "Ctrl-D";

volatile std::sig_atomic_t output_progress;

void take_arguments(int*, char***) {}

void prepare_standard_streams() {
    // One look at all three: poll marks a descriptor that is not open.
    pollfd standard[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (poll(standard, 3, 0) < 0) std::_Exit(1);
    for (int fd = 0; fd < 3; ++fd) {
        if (!(standard[fd].revents & POLLNVAL)) continue;
        // What fills them is open for reading only: a closed standard input
        // reads as its end, and a write to a closed output still fails and
        // is reported.
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

bool is_terminal(int fd) {
    return isatty(fd) == 1;
}

namespace {

#ifdef __GLIBC__
void step_output() {
    output_progress = static_cast<std::sig_atomic_t>(static_cast<unsigned>(output_progress) + 1u);
}

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

void discard_buffered(FILE* f) {
#if __has_include(<stdio_ext.h>)
    __fpurge(f);
#else
    (void)f;
#endif
}

int output_queued() {
    int queued = 0;
    if (ioctl(STDOUT_FILENO, FIONREAD, &queued) != 0) queued = -1;
    return queued;
}

namespace {

// Returns false when the handler that was there could not be read back.
bool install(int sig, void (*handler)(int), struct sigaction* previous = nullptr) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(sig, &action, previous) == 0;
}

void (*watch_tick)();

void on_alarm(int) {
    watch_tick();
    (void)alarm(1);
}

}  // namespace

// Restarted system calls keep a write that a signal meets from failing; the
// waits for input are the only calls that must end early, and they are made
// so that a signal always ends them. A signal ignored from the start stays
// ignored, as for a job started in the background; so does SIGPIPE, whose
// writes then fail and are reported. Caught, SIGPIPE lets the other output
// be written before the run ends by it.
// Each handler is swapped in with one call, and an ignored signal's
// disposition put back; the signals are blocked meanwhile, and one that
// came in between is dropped as it should be when SIG_IGN is put back.
void install_interrupt_handlers(void (*on_interrupt)(int), void (*on_broken_pipe)()) {
    static void (*broken_pipe)();
    broken_pipe = on_broken_pipe;
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
    for (int sig : INTERRUPT_SIGNALS) take(sig, on_interrupt);
    take(SIGPIPE, [](int) { broken_pipe(); });
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
    // Past the file-size limit a write fails (EFBIG) and is reported as any
    // failed write is, rather than the signal ending the run unannounced.
    (void)signal(SIGXFSZ, SIG_IGN);
}

// SIGPIPE has said it already, or was ignored: then the failure is reported
// as any other is.
void note_write_failure(int) {}

void start_watch(void (*tick)()) {
    watch_tick = tick;
    install(SIGALRM, on_alarm);
    (void)alarm(1);
}

void stop_watch() {
    (void)alarm(0);
}

void end_by_signal(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    (void)sigaction(sig, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
    (void)raise(sig);
    _exit(128 + sig);  // not reached: the default action ends the process
}

// Interrupts are blocked except inside ppoll, so one that arrives between
// the test of the flag and the wait still ends the wait.
bool wait_until_readable(int fd, void (*before_waiting)()) {
    sigset_t interrupts, old;
    sigemptyset(&interrupts);
    for (int sig : INTERRUPT_SIGNALS) sigaddset(&interrupts, sig);
    sigprocmask(SIG_BLOCK, &interrupts, &old);
    pollfd p{fd, POLLIN, 0};
    const timespec no_wait{0, 0};
    bool waiting = false;  // input was not there at once
    for (;;) {
        if (interrupt_signal) {
            sigprocmask(SIG_SETMASK, &old, nullptr);
            return false;
        }
        int r = ppoll(&p, 1, waiting ? nullptr : &no_wait, &old);
        if (r > 0 || (r < 0 && errno != EINTR)) break;
        if (r == 0) {
            before_waiting();
            waiting = true;
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return true;
}

bool readable_now(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

long read_bytes(int fd, char* dest, size_t n) {
    return read(fd, dest, n);
}

void sleep_unless_interrupted(int ms) {
    sigset_t interrupts, old;
    sigemptyset(&interrupts);
    for (int sig : INTERRUPT_SIGNALS) sigaddset(&interrupts, sig);
    (void)sigprocmask(SIG_BLOCK, &interrupts, &old);
    const timespec pause{0, static_cast<long>(ms) * 1000000L};
    if (!interrupt_signal) (void)ppoll(nullptr, 0, &pause, &old);
    (void)sigprocmask(SIG_SETMASK, &old, nullptr);
}

// A FIFO is opened without waiting for a writer: the wait moves to the first
// read, where a signal can end it. On a regular file O_NONBLOCK changes
// nothing, so it stays rather than cost two more system calls; on anything
// else it is cleared, for reads that wait.
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

namespace {

// Opens name for writing, creating it. A FIFO without a reader is waited
// for here rather than in open(), which no signal would end. An interrupt,
// even one that came just before, stops the run while it waits, a safe
// point; a session's Ctrl-C instead gives up (EINTR).
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
        sleep_unless_interrupted(ms);
        if (interrupt_signal) {
            take_interrupt();
            errno = EINTR;
            return -1;
        }
    }
}

// Why writing to file would overwrite what the run reads or writes
// elsewhere (see open_for_writing). Null when it is none of them. Terminals
// and devices such as /dev/null are not emptied by writing.
const char* clash_of(int fd, const struct stat& file, FILE* source) {
    if (S_ISCHR(file.st_mode)) return nullptr;
    if (same_file(fd, fileno(source ? source : stdin))) return "it is the program's source";
    if (!S_ISREG(file.st_mode)) return nullptr;
    if (same_file(fd, STDIN_FILENO)) return "it is where standard input comes from";
    if (same_file(fd, STDOUT_FILENO)) return "it is where standard output goes";
    if (same_file(fd, STDERR_FILENO)) return "it is where standard error goes";
    return nullptr;
}

}  // namespace

// The check is made on the opened file, before it is emptied, so no rename
// in between can slip past it.
FILE* open_for_writing(const char* name, FILE* source, const char** reason) {
    int fd = open_writable(name);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return nullptr;
    }
    struct stat file {};
    bool known = fstat(fd, &file) == 0;
    const char* clash = known ? clash_of(fd, file, source) : nullptr;
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

bool same_file(int a, int b) {
    struct stat x {
    }, y{};
    return fstat(a, &x) == 0 && fstat(b, &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

bool is_regular_file(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

std::string default_history_path() {
    // A relative XDG_STATE_HOME is invalid and is passed over.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return std::string(state) + "/rill/history";
    const char* home = std::getenv("HOME");
    if (home && home[0]) return std::string(home) + "/.local/state/rill/history";
    return "";
}

#ifndef __EMSCRIPTEN__

// Found once: the limit cannot change while rill runs.
uintptr_t stack_floor() {
    static uintptr_t floor = [] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return uintptr_t{0};
        void* low = nullptr;
        size_t size = 0;
        int failed = pthread_attr_getstack(&attr, &low, &size);
        pthread_attr_destroy(&attr);
        return failed ? uintptr_t{0} : reinterpret_cast<uintptr_t>(low);
    }();
    return floor;
}

bool memory_limited() {
    static const bool limited = [] {
        rlimit as{}, data{};
        return (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) ||
               (getrlimit(RLIMIT_DATA, &data) == 0 && data.rlim_cur != RLIM_INFINITY);
    }();
    return limited;
}

#else

uintptr_t stack_floor() {
    return 0;
}

bool memory_limited() {
    return false;
}

#endif

// Only native loops use them.
#ifdef RILL_NATIVE

size_t page_size() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

void* map_pages(size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void unmap_pages(void* pages, size_t size) {
    (void)munmap(pages, size);
}

bool protect_pages(void* pages, size_t size, bool executable) {
    if (executable) {
        char* start = static_cast<char*>(pages);
        __builtin___clear_cache(start, start + size);
    }
    return mprotect(pages, size, executable ? PROT_READ | PROT_EXEC : PROT_READ | PROT_WRITE) == 0;
}

#endif
