// The platform layer on Windows. The console's events take the place of
// signals: Ctrl-C and Ctrl-Break stop a run as SIGINT does, closing the
// console as SIGHUP does; a write to a pipe whose reader has gone fails with
// EPIPE, which ends the run as SIGPIPE would. Every stream carries bytes
// unchanged (binary mode): the reader translates CR LF itself, and output
// has LF line ends, as on Linux.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // GetCurrentThreadStackLimits
#endif
#include <windows.h>
// After windows.h, which they need.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "errors/errors.h"
#include "platform/platform.h"

const char END_OF_INPUT_KEYS[] = "Ctrl-Z and Enter";

volatile std::sig_atomic_t output_progress;

namespace {

// What cmd and PowerShell report for a program that Ctrl-C ended.
constexpr UINT STATUS_CONTROL_C_EXIT_CODE = 0xC000013AU;

HANDLE handle_of(int fd) {
    intptr_t h = _get_osfhandle(fd);
    // The C runtime hands out handles as integers.
    return h == -1 || h == -2 ? INVALID_HANDLE_VALUE
                              : reinterpret_cast<HANDLE>(h);  // NOLINT(performance-no-int-to-ptr)
}

bool is_console(HANDLE h) {
    DWORD mode;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

std::wstring wide(const char* text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    (void)MultiByteToWideChar(CP_UTF8, 0, text, -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

std::string narrow(const wchar_t* text, int length) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    (void)WideCharToMultiByte(CP_UTF8, 0, text, length, s.data(), n, nullptr, nullptr);
    if (length < 0) s.resize(static_cast<size_t>(n - 1));
    return s;
}

// The console's code pages as they were, put back when the run ends.
UINT saved_output_cp;
UINT saved_input_cp;

void restore_console() {
    if (saved_output_cp) (void)SetConsoleOutputCP(saved_output_cp);
    if (saved_input_cp) (void)SetConsoleCP(saved_input_cp);
    saved_output_cp = saved_input_cp = 0;
}

// Set when an interrupt comes, so that a wait ends at once; cleared by a
// wait that starts once a session has taken the interrupt.
HANDLE interrupt_event;

void clear_taken_interrupt() {
    if (!interrupt_signal && interrupt_event) (void)ResetEvent(interrupt_event);
}
HANDLE main_thread;
void (*interrupt_handler)(int);
void (*broken_pipe_handler)();

BOOL WINAPI on_console_event(DWORD event) {
    int sig = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGNAL_HANGUP;
    interrupt_handler(sig);
    if (interrupt_event) (void)SetEvent(interrupt_event);
    // A console read under way gives up, returning nothing, which the
    // reader takes as the interrupt, not as the end of the input. Ctrl-C
    // ends it by itself; cancelling that read as well would leave the
    // console handing the next line to the read given up.
    if (event != CTRL_C_EVENT && main_thread) (void)CancelSynchronousIo(main_thread);
    // Once the console is closing, the process ends as soon as this returns:
    // the run writes out and ends itself meanwhile.
    if (sig == SIGNAL_HANGUP) Sleep(INFINITE);
    return TRUE;
}

// A source that names a directory reads through this descriptor, whose
// first read fails as a directory's does elsewhere.
int directory_fd = -1;

}  // namespace

void take_arguments(int* argc, char*** argv) {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args || count < 1) return;
    // Kept for the whole run, as the C runtime's own argv is.
    char** converted = new char*[static_cast<size_t>(count) + 1];
    for (int i = 0; i < count; ++i) {
        std::string s = narrow(args[i], -1);
        converted[i] = new char[s.size() + 1];
        std::memcpy(converted[i], s.c_str(), s.size() + 1);
    }
    converted[count] = nullptr;
    (void)LocalFree(args);
    *argc = count;
    *argv = converted;
}

void prepare_standard_streams() {
    for (int fd = 0; fd < 3; ++fd) {
        if (handle_of(fd) == INVALID_HANDLE_VALUE) {
            // A stream the parent left closed: the null device, for reading
            // only, so that writes to it still fail and are reported.
            int filler = _wopen(L"NUL", _O_RDONLY | _O_BINARY | _O_NOINHERIT);
            if (filler >= 0 && filler != fd) {
                (void)_dup2(filler, fd);
                (void)_close(filler);
            }
        }
        (void)_setmode(fd, _O_BINARY);
    }
    // Programs and their output are UTF-8, as the console then shows them.
    if (is_console(handle_of(STDOUT_FD)) || is_console(handle_of(STDERR_FD))) {
        UINT out = GetConsoleOutputCP();
        if (out != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) saved_output_cp = out;
    }
    if (is_console(handle_of(STDIN_FD))) {
        UINT in = GetConsoleCP();
        if (in != CP_UTF8 && SetConsoleCP(CP_UTF8)) saved_input_cp = in;
    }
    (void)std::atexit(restore_console);
}

bool is_terminal(int fd) {
    // Not _isatty, which is true for the null device too.
    return is_console(handle_of(fd));
}

void wait_on_full_outputs() {}

void claim_stream(FILE*) {}

void discard_buffered(FILE*) {}

int output_queued() {
    return -1;
}

void install_interrupt_handlers(void (*on_interrupt)(int), void (*on_broken_pipe)()) {
    interrupt_handler = on_interrupt;
    broken_pipe_handler = on_broken_pipe;
    interrupt_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    (void)DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
    // A process started with Ctrl-C ignored (as a new process group is)
    // keeps it ignored: only Ctrl-Break and the console's closing reach it.
    (void)SetConsoleCtrlHandler(on_console_event, TRUE);
}

// The C runtime reports a pipe whose reader has gone as EPIPE or, for the
// system's "the pipe is being closed" or "no process is on the other end",
// as EINVAL: the system's own error says.
void note_write_failure(int err) {
    DWORD system_error = GetLastError();
    bool broken = err == EPIPE || system_error == ERROR_NO_DATA || system_error == ERROR_BROKEN_PIPE ||
                  system_error == ERROR_PIPE_NOT_CONNECTED;
    if (broken && broken_pipe_handler) broken_pipe_handler();
}

namespace {

void (*watch_tick)();
volatile LONG watch_on;

DWORD WINAPI watch_thread(LPVOID) {
    for (;;) {
        Sleep(1000);
        if (watch_on) watch_tick();
    }
}

}  // namespace

void start_watch(void (*tick)()) {
    static HANDLE thread;
    watch_tick = tick;
    watch_on = 1;
    if (!thread) thread = CreateThread(nullptr, 0, watch_thread, nullptr, 0, nullptr);
}

void stop_watch() {
    watch_on = 0;
}

void end_by_signal(int sig) {
    restore_console();
    UINT status = sig == SIGINT || sig == SIGNAL_HANGUP ? STATUS_CONTROL_C_EXIT_CODE : 128u + static_cast<UINT>(sig);
    ExitProcess(status);
}

bool wait_until_readable(int fd, void (*before_waiting)()) {
    HANDLE h = handle_of(fd);
    DWORD type = h == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : GetFileType(h);
    clear_taken_interrupt();
    if (type == FILE_TYPE_PIPE) {
        bool waiting = false;
        for (DWORD ms = 1;; ms = ms < 16 ? ms * 2 : ms) {
            if (interrupt_signal) return false;
            DWORD available = 0;
            // A pipe whose writer has gone fails here: its end is there to read.
            if (!PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr) || available > 0) return true;
            if (!waiting) {
                before_waiting();
                waiting = true;
            }
            (void)WaitForSingleObject(interrupt_event, ms);
        }
    }
    if (interrupt_signal) return false;
    if (is_console(h)) {
        DWORD events = 0;
        // The read that follows waits for the line; an interrupt cancels it.
        if (!GetNumberOfConsoleInputEvents(h, &events) || events == 0) before_waiting();
    }
    return true;
}

bool readable_now(int fd) {
    HANDLE h = handle_of(fd);
    DWORD type = h == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : GetFileType(h);
    if (type == FILE_TYPE_PIPE) {
        DWORD available = 0;
        return !PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr) || available > 0;
    }
    // A console's next line may be a long way off.
    return !is_console(h);
}

namespace {

// Console input as UTF-8, whatever the code page: read as UTF-16 and
// converted here. What did not fit the caller's room waits for the next read.
std::string console_pending;

long read_console(HANDLE h, char* dest, size_t n) {
    if (console_pending.empty()) {
        clear_taken_interrupt();
        wchar_t text[4096];
        DWORD got = 0;
        BOOL ok = ReadConsoleW(h, text, 4096, &got, nullptr);
        if (!ok && GetLastError() != ERROR_OPERATION_ABORTED) {
            errno = EIO;
            return -1;
        }
        if (got == 0 || interrupt_signal) {
            // Nothing read is Ctrl-C, whose handler runs on a thread of its
            // own and may not have set the flag yet; the caller reads again
            // if it never comes.
            (void)WaitForSingleObject(interrupt_event, 1000);
            errno = EINTR;
            return -1;
        }
        // Ctrl-Z at the start of a line ends the input, as Ctrl-D does elsewhere.
        if (text[0] == 0x1A) return 0;
        console_pending = narrow(text, static_cast<int>(got));
    }
    size_t k = n < console_pending.size() ? n : console_pending.size();
    std::memcpy(dest, console_pending.data(), k);
    console_pending.erase(0, k);
    return static_cast<long>(k);
}

}  // namespace

long read_bytes(int fd, char* dest, size_t n) {
    if (fd >= 0 && fd == directory_fd) {
        errno = EISDIR;
        return -1;
    }
    HANDLE h = handle_of(fd);
    if (is_console(h)) return read_console(h, dest, n);
    return _read(fd, dest, static_cast<unsigned>(n < INT_MAX ? n : INT_MAX));
}

void sleep_unless_interrupted(int ms) {
    clear_taken_interrupt();
    if (!interrupt_signal) (void)WaitForSingleObject(interrupt_event, static_cast<DWORD>(ms));
}

namespace {

bool is_directory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

FILE* open_source(const char* path) {
    std::wstring name = wide(path);
    bool directory = is_directory(name);
    int fd = _wopen(directory ? L"NUL" : name.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) return nullptr;
    FILE* f = _fdopen(fd, "rb");
    if (!f) {
        int saved = errno;
        (void)_close(fd);
        errno = saved;
        return nullptr;
    }
    if (directory) directory_fd = fd;
    return f;
}

namespace {

// Why writing to the file open on fd would overwrite what the run reads or
// writes elsewhere; null when it is none of them. The console and devices
// such as NUL are not emptied by writing.
const char* clash_of(int fd, FILE* source) {
    DWORD type = GetFileType(handle_of(fd));
    if (type == FILE_TYPE_CHAR) return nullptr;
    if (same_file(fd, _fileno(source ? source : stdin))) return "it is the program's source";
    if (type != FILE_TYPE_DISK) return nullptr;
    if (same_file(fd, STDIN_FD)) return "it is where standard input comes from";
    if (same_file(fd, STDOUT_FD)) return "it is where standard output goes";
    if (same_file(fd, STDERR_FD)) return "it is where standard error goes";
    return nullptr;
}

}  // namespace

FILE* open_for_writing(const char* name, FILE* source, const char** reason) {
    std::wstring path = wide(name);
    if (is_directory(path)) {
        *reason = std::strerror(EISDIR);
        return nullptr;
    }
    // Not emptied on opening: only once it is known to clash with nothing.
    int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return nullptr;
    }
    const char* clash = clash_of(fd, source);
    if (clash) {
        (void)_close(fd);
        *reason = clash;
        return nullptr;
    }
    bool disk = GetFileType(handle_of(fd)) == FILE_TYPE_DISK;
    FILE* f = !disk || _chsize_s(fd, 0) == 0 ? _fdopen(fd, "wb") : nullptr;
    if (!f) {
        *reason = std::strerror(errno);
        (void)_close(fd);
    }
    return f;
}

// By the volume and the file's index on it: the C runtime's st_ino is 0
// for every file.
bool same_file(int a, int b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    HANDLE ha = handle_of(a), hb = handle_of(b);
    if (ha == INVALID_HANDLE_VALUE || hb == INVALID_HANDLE_VALUE) return false;
    if (!GetFileInformationByHandle(ha, &x) || !GetFileInformationByHandle(hb, &y)) return false;
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

bool is_regular_file(int fd) {
    HANDLE h = handle_of(fd);
    return h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_DISK && fd != directory_fd;
}

std::string default_history_path() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    if (!local || !local[0]) return "";
    return narrow(local, -1) + "\\rill\\history";
}

uintptr_t stack_floor() {
    static uintptr_t floor = [] {
        ULONG_PTR low = 0, high = 0;
        GetCurrentThreadStackLimits(&low, &high);
        return static_cast<uintptr_t>(low);
    }();
    return floor;
}

bool memory_limited() {
    return false;
}

// Only native loops use them.
#ifdef RILL_NATIVE

size_t page_size() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

void* map_pages(size_t size) {
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_pages(void* pages, size_t) {
    (void)VirtualFree(pages, 0, MEM_RELEASE);
}

bool protect_pages(void* pages, size_t size, bool executable) {
    DWORD old;
    if (!VirtualProtect(pages, size, executable ? PAGE_EXECUTE_READ : PAGE_READWRITE, &old)) return false;
    if (executable) (void)FlushInstructionCache(GetCurrentProcess(), pages, size);
    return true;
}

#endif
