// The line editor (libedit) on a POSIX terminal, where rill is built with
// it; without it, line_editor_ready says so and a session reads the
// terminal's own lines. See lexer/line_editor.h.
#include "lexer/line_editor.h"

#ifdef RILL_EDIT

#include <fcntl.h>
#include <histedit.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "errors/errors.h"
#include "lexer/reader.h"

namespace {

constexpr int HISTORY_SIZE = 1000;        // lines kept
constexpr off_t HISTORY_BYTES = 4 << 20;  // read of the history at most: its tail
constexpr off_t EDITRC_BYTES = 1 << 20;   // a larger key binding file is not read
constexpr wchar_t RAW_BYTE = 0xDC00;      // + a byte the locale cannot decode

EditLine* editor;
History* history_list;
std::string history_file;  // empty: no history kept
bool history_warned;       // a failed save says so once
const char* current_prompt = "";
bool input_ended;  // the editor's last read met the end of the input
int read_errno;    // why its last read failed

char* prompt_of(EditLine*) {
    return const_cast<char*>(current_prompt);
}

// Bytes typed, as the editor's characters. A byte completes at most the
// bytes pending before it and itself, all handed out before the next byte
// is read.
struct Decoder {
    std::mbstate_t state{};
    char pending[MB_LEN_MAX];  // the start of a character
    size_t pending_count = 0;
    wchar_t ready[MB_LEN_MAX + 1];
    size_t ready_count = 0;
    size_t ready_next = 0;

    void push(wchar_t c) { ready[ready_count++] = c; }
};
Decoder decoder;

// Takes one byte typed; the characters it completes are ready. A byte that
// the user's locale cannot decode is kept as itself (RAW_BYTE + byte), so
// that every byte typed reaches the program unchanged.
void decode(unsigned char byte) {
    Decoder& d = decoder;
    char b = static_cast<char>(byte);
    wchar_t w = 0;
    size_t r = std::mbrtowc(&w, &b, 1, &d.state);
    if (r == static_cast<size_t>(-2) && d.pending_count + 1 < sizeof d.pending) {
        d.pending[d.pending_count++] = b;
        return;
    }
    if (r == static_cast<size_t>(-1) || r == static_cast<size_t>(-2)) {
        // What came before starts no character; this byte may.
        for (size_t i = 0; i < d.pending_count; ++i)
            d.push(static_cast<wchar_t>(RAW_BYTE + static_cast<unsigned char>(d.pending[i])));
        d.pending_count = 0;
        d.state = std::mbstate_t{};
        r = std::mbrtowc(&w, &b, 1, &d.state);
        if (r == static_cast<size_t>(-2)) {
            d.pending[d.pending_count++] = b;
            return;
        }
        if (r == static_cast<size_t>(-1)) {
            d.state = std::mbstate_t{};
            d.push(static_cast<wchar_t>(RAW_BYTE + byte));
            return;
        }
    }
    d.pending_count = 0;
    d.push(r == 0 ? L'\0' : w);
}

// The editor's characters come from here rather than from its own read, so
// that an interrupt ends the wait (it returns -1, and the editor gives up
// with the terminal put back as it was) and nothing is read past the line.
int read_char(EditLine*, wchar_t* c) {
    for (;;) {
        if (decoder.ready_next < decoder.ready_count) {
            *c = decoder.ready[decoder.ready_next++];
            return 1;
        }
        decoder.ready_count = decoder.ready_next = 0;
        *c = 0;
        if (!await_input(STDIN_FILENO)) return -1;
        unsigned char byte;
        ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            read_errno = errno;
            return -1;
        }
        if (n == 0) {
            input_ended = true;
            return 0;
        }
        // A NUL typed (Ctrl-Space) is a character like any other: the
        // editor's binding for it acts.
        decode(byte);
    }
}

// The editor's line as the bytes typed.
std::string encode(const wchar_t* line, int count) {
    std::string bytes;
    char buffer[MB_LEN_MAX];
    for (int i = 0; i < count; ++i) {
        wchar_t w = line[i];
        if (w >= RAW_BYTE && w <= RAW_BYTE + 0xff) {
            bytes += static_cast<char>(w - RAW_BYTE);
            continue;
        }
        std::mbstate_t state{};
        size_t n = std::wcrtomb(buffer, w, &state);
        if (n == static_cast<size_t>(-1)) {
            bytes += static_cast<char>(w & 0xff);
            continue;
        }
        bytes.append(buffer, n);
    }
    return bytes;
}

// Opens path for reading when it is a regular file of at most limit bytes
// (limit 0: any size), without waiting on a FIFO; -1 otherwise, with
// *reason set unless the file is simply missing.
int open_regular(const std::string& path, const char** reason) {
    *reason = nullptr;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno != ENOENT) *reason = std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *reason = "not a regular file";
        (void)close(fd);
        return -1;
    }
    return fd;
}

void say(const char* what, const std::string& path, const char* reason, const char* after) {
    (void)std::fprintf(stderr, "rill: %s \"%s\": %s%s\n", what, path.c_str(), reason, after);
}

// The history's last lines; *usable false when there is a file that is not
// to be read (it is then not written either).
std::vector<std::string> read_history(const std::string& path, bool* usable, const char** reason) {
    *usable = true;
    int fd = open_regular(path, reason);
    if (fd < 0) {
        *usable = *reason == nullptr;
        return {};
    }
    struct stat st;
    off_t size = fstat(fd, &st) == 0 ? st.st_size : 0;
    off_t from = size > HISTORY_BYTES ? size - HISTORY_BYTES : 0;
    std::string text;
    char chunk[65536];
    for (off_t at = from;;) {
        ssize_t n = pread(fd, chunk, sizeof chunk, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || at - from >= HISTORY_BYTES) break;
        text.append(chunk, static_cast<size_t>(n));
        at += n;
    }
    (void)close(fd);
    return parse_history(text, from == 0, HISTORY_SIZE);
}

// Makes each missing directory of the history file's path, for the user alone.
void make_parents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        (void)mkdir(path.substr(0, slash).c_str(), 0700);
}

// The file a link names, followed to its end, so that saving replaces the
// file and keeps the link.
std::string final_target(std::string path) {
    char target[PATH_MAX];
    for (int hops = 0; hops < 40; ++hops) {
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0) break;
        std::string next(target, static_cast<size_t>(n));
        if (next[0] != '/') next.insert(0, path, 0, path.rfind('/') + 1);
        path = next;
    }
    return path;
}

bool write_all(int fd, const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// Adds line to the history file: the file as it is now (with what other
// sessions added since), the line, the last HISTORY_SIZE lines of that
// written to a new file that then replaces the old one. A save that fails
// leaves the old file whole.
void save_line(const std::string& line) {
    std::string path = final_target(history_file);
    std::string dir = path.substr(0, path.rfind('/') + 1);
    make_parents(path);
    // Sessions that save at once take turns on the folder.
    int lock = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock >= 0) {
        for (int tries = 0; tries < 50 && flock(lock, LOCK_EX | LOCK_NB) != 0; ++tries) (void)usleep(10000);
    }
    bool usable;
    const char* reason = nullptr;
    std::vector<std::string> lines = read_history(path, &usable, &reason);
    if (usable) {
        if (lines.empty() || lines.back() != line) lines.push_back(line);
        if (lines.size() > HISTORY_SIZE) lines.erase(lines.begin());
        std::string temporary = path + "." + std::to_string(getpid()) + ".new";
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        bool written = fd >= 0 && write_all(fd, format_history(lines));
        int saved = errno;
        if (fd >= 0 && close(fd) != 0 && written) {
            written = false;
            saved = errno;
        }
        if (written && rename(temporary.c_str(), path.c_str()) != 0) {
            written = false;
            saved = errno;
        }
        if (!written) {
            (void)unlink(temporary.c_str());
            reason = std::strerror(saved ? saved : EIO);
        }
    }
    if (lock >= 0) (void)close(lock);
    if (reason && !history_warned) {
        history_warned = true;
        say("cannot save the history", history_file, reason, "; the file is left as it was");
    }
}

void keep_in_history(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) return;
    HistEvent ev;
    (void)history(history_list, &ev, H_ENTER, line.c_str());
    // Saved after every line, so that an interrupt loses none.
    if (!history_file.empty()) save_line(line);
}

// Loads the history, a safe point: Ctrl-C there ends the session.
void load_history() {
    history_file = history_path();
    if (history_file.empty()) return;
    bool usable;
    const char* reason;
    std::vector<std::string> lines = read_history(history_file, &usable, &reason);
    if (interrupt_signal) stop_interrupted();
    if (reason) {
        say("cannot read the history", history_file, reason, "; going on without it");
        history_warned = true;
        if (!usable) history_file.clear();
    }
    HistEvent ev;
    for (const std::string& line : lines) (void)history(history_list, &ev, H_ENTER, line.c_str());
}

// The user's own key bindings ($EDITRC, or ~/.editrc), read only from a
// regular file of a sensible size.
void load_key_bindings() {
    const char* named = std::getenv("EDITRC");
    const char* home = std::getenv("HOME");
    std::string path = named ? named : home && home[0] ? std::string(home) + "/.editrc" : "";
    if (path.empty()) return;
    const char* reason;
    int fd = open_regular(path, &reason);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > EDITRC_BYTES) reason = "larger than 1 MiB";
    if (reason) say("cannot read key bindings", path, reason, "; going on without them");
    if (fd < 0) return;
    if (!reason) (void)el_source(editor, ("/dev/fd/" + std::to_string(fd)).c_str());
    (void)close(fd);
}

// Where the locale cannot decode what a terminal sends (the C locale takes
// no byte above 127), the editor decodes UTF-8 instead, as terminals send.
void choose_locale() {
    (void)std::setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    if (std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || std::strcmp(codeset, "ASCII") == 0)
        (void)std::setlocale(LC_CTYPE, "C.UTF-8");
}

bool start_editor() {
    termios t;
    if (tcgetattr(STDIN_FILENO, &t) != 0 || !(t.c_lflag & ECHO) || !(t.c_lflag & ICANON)) return false;
    FILE* shown_on = isatty(STDERR_FILENO) == 1 ? stderr : isatty(STDOUT_FILENO) == 1 ? stdout : nullptr;
    if (!shown_on) return false;
    // The editor's complaints (no terminal description, for one) are not the program's.
    FILE* quiet = std::fopen("/dev/null", "w");
    if (!quiet) return false;
    // Typed text in the user's own encoding, as the editor counts columns.
    choose_locale();
    editor = el_init("rill", stdin, shown_on, quiet);
    history_list = history_init();
    if (!editor || !history_list) return false;
    HistEvent ev;
    (void)history(history_list, &ev, H_SETSIZE, HISTORY_SIZE);
    (void)history(history_list, &ev, H_SETUNIQUE, 1);
    load_history();
    el_set(editor, EL_EDITOR, "emacs");
    el_set(editor, EL_PROMPT, prompt_of);
    el_set(editor, EL_HIST, history, history_list);
    el_set(editor, EL_GETCFN, read_char);
    load_key_bindings();
    return true;
}

// A line typed ahead while the program ran waits whole in the terminal's
// own line mode, which alone tells a Ctrl-D (the end of the input) from a
// NUL typed; it is taken from there, as typed. 1 for a line, 0 at the
// end, -1 when there is none whole.
int typed_ahead(std::string& line) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) return -1;
    char text[4096];
    ssize_t n;
    while ((n = read(STDIN_FILENO, text, sizeof text)) < 0 && errno == EINTR) {
    }
    if (n < 0) return -1;
    line.append(text, static_cast<size_t>(n));
    return n > 0 ? 1 : 0;
}

}  // namespace

bool line_editor_ready() {
    static const bool ready = start_editor();
    return ready;
}

int line_editor_read(const char* prompt, bool keep, std::string& line) {
    current_prompt = prompt;
    size_t before = line.size();
    int got = typed_ahead(line);
    if (got < 0) {
        int count = 0;
        input_ended = false;
        read_errno = 0;
        // The terminal leaves its line mode before the prompt is drawn, so
        // that a Ctrl-D typed at the prompt comes as itself, never as the
        // NUL the line mode keeps for it; the editor puts the mode back.
        (void)el_set(editor, EL_PREP_TERM, 1);
        const wchar_t* typed = el_wgets(editor, &count);
        if (!typed || count <= 0) {
            // Ctrl-D on an empty line, or the terminal's end.
            if (count == 0 || input_ended || interrupt_signal) return 0;
            errno = read_errno ? read_errno : EIO;
            return -1;
        }
        line += encode(typed, count);
    } else if (got == 0) {
        return 0;
    }
    if (keep) keep_in_history(line.substr(before));
    return 1;
}

#else

bool line_editor_ready() {
    return false;
}

int line_editor_read(const char*, bool, std::string&) {
    return 0;
}

#endif
