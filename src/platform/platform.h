// What rill asks of the operating system, in one place: the standard
// streams, interrupts and how a run ends by one, waiting for input, opening
// files, code memory and the stack. posix.cpp implements it for Linux and
// the browser build (whose host, web/host.cpp, adds the stop the page asks
// for), windows.cpp for Windows; CMake compiles the one that fits.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

constexpr int STDIN_FD = 0;
constexpr int STDOUT_FD = 1;
constexpr int STDERR_FD = 2;

// The events that stop a run, by the numbers POSIX gives their signals.
// Windows has only SIGINT and SIGTERM of them: there the others name the
// same events (a console closed, a reader gone) by the same numbers.
#ifdef _WIN32
constexpr int SIGNAL_HANGUP = 1;
constexpr int SIGNAL_BROKEN_PIPE = 13;
constexpr int SIGNAL_CPU_LIMIT = 24;
#else
constexpr int SIGNAL_HANGUP = SIGHUP;
constexpr int SIGNAL_BROKEN_PIPE = SIGPIPE;
constexpr int SIGNAL_CPU_LIMIT = SIGXCPU;
#endif

// The keys that end input typed at a terminal, as the hint names them.
extern const char END_OF_INPUT_KEYS[];

// The command line as UTF-8, whatever the system's own encoding; on Windows
// argv is replaced by one made from the wide command line.
void take_arguments(int* argc, char*** argv);

// Fills descriptors 0, 1 and 2 where they are closed, so that no file the
// program opens can take their numbers, and sets them up to carry bytes
// unchanged (on Windows: binary mode, and a UTF-8 console until the end).
void prepare_standard_streams();

// Whether descriptor fd is a terminal (a console on Windows) a person uses.
bool is_terminal(int fd);

// Where standard output or error is non-blocking (a description shared
// with whoever left it so), makes writes that find it full wait until it
// takes more, rather than fail and lose what did not fit. Called once at the
// start, before anything is written.
void wait_on_full_outputs();

// Counts the prints done and the steps of writing output out, so that a
// watcher can tell a run whose output moves from one that is stuck. Safe to
// read in a signal handler.
extern volatile std::sig_atomic_t output_progress;

// Makes f this thread's alone: every call on it then skips the stream's
// lock, which printing a number at a time would otherwise take thousands of
// times over. rill runs on one thread.
void claim_stream(FILE* f);

// Drops what f holds buffered, unwritten: its reader has gone.
void discard_buffered(FILE* f);

// Bytes written to standard output that its reader has not taken yet, or
// -1 when that cannot be told.
int output_queued();

// Makes on_interrupt(sig) run when a run is asked to stop (Ctrl-C, kill,
// the terminal or console going away, the CPU time limit), and
// on_broken_pipe when a write meets a pipe whose reader has gone. An
// interrupt ignored from the start stays ignored. Both handlers run as
// signal handlers do: they only set flags, or end the process.
void install_interrupt_handlers(void (*on_interrupt)(int), void (*on_broken_pipe)());

// Told of every failed write, with its errno: where a broken pipe raises no
// signal (Windows), EPIPE is taken for one and on_broken_pipe runs.
void note_write_failure(int err);

// Calls tick once a second from now on, until stop_watch; tick runs as a
// signal handler does.
void start_watch(void (*tick)());
void stop_watch();

// Ends the process by sig as if it had not been caught (with its default
// action; on Windows with the status that event gives there). Safe in a
// signal handler.
[[noreturn]] void end_by_signal(int sig);

// Waits until fd has input (or its end, or an error to report); false when
// an interrupt came first, even just before. before_waiting runs once when
// the input is not there at once.
bool wait_until_readable(int fd, void (*before_waiting)());

// Whether fd has input (or its end, or an error) that a read takes
// without waiting.
bool readable_now(int fd);

// One read of at most n bytes from fd: the count, 0 at the end, -1 on
// failure with errno set (EINTR when an interrupt cut it short).
long read_bytes(int fd, char* dest, size_t n);

// Sleeps up to ms milliseconds; returns early when an interrupt comes.
void sleep_unless_interrupted(int ms);

// Opens the program's source for reading, without waiting for a writer at
// a FIFO; null with errno set when it cannot be opened. A directory opens,
// and its first read fails (EISDIR), on every system.
FILE* open_source(const char* path);

// The file opened as fopen's "w" does, unless emptying it would lose what
// the run still reads or has written: the program's source (source, by any
// path or link) or the regular file a standard stream is connected to.
// On failure, null, and *reason says why.
FILE* open_for_writing(const char* name, FILE* source, const char** reason);

// Whether descriptors a and b are open on the same file, by whatever path.
bool same_file(int a, int b);

// Whether fd is a regular file on disk, whose reads never wait.
bool is_regular_file(int fd);

// Where a session's history is kept unless RILL_HISTORY says otherwise;
// empty when there is nowhere.
std::string default_history_path();

// The lowest address the stack may grow to under its limit, or 0 when it
// cannot be told.
uintptr_t stack_floor();

// Whether the process runs under a limit on its address space or data. The
// page of code kept for the next loop may then be what the rest of the
// program lacks, where the threaded replay would have finished; without a
// limit, keeping it spares every loop a map and an unmap.
bool memory_limited();

// Pages for machine code, page_size() bytes each: mapped readable and
// writable (null when they cannot be had), given back, and made writable or
// executable (never both; executable with the caches made coherent).
size_t page_size();
void* map_pages(size_t size);
void unmap_pages(void* pages, size_t size);
bool protect_pages(void* pages, size_t size, bool executable);

#ifdef __EMSCRIPTEN__
// The browser build has no signals: the page asks a run to stop through its
// host, which poll_host asks (and lets stream output) every host_poll_countdown
// loop passes, a count the host sets so that the polls come about a
// millisecond apart. See web/host.cpp.
extern int32_t host_poll_countdown;
void poll_host();
#endif
