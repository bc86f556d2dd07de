#include "lexer/line_editor.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "errors/errors.h"
#include "lexer/reader.h"

#ifdef RILL_EDIT
#include <histedit.h>
#endif

std::string history_path() {
    const char* setting = std::getenv("RILL_HISTORY");
    if (setting && std::strcmp(setting, "0") == 0) return "";
    // A relative XDG_STATE_HOME is invalid and is passed over.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return std::string(state) + "/rill/history";
    const char* home = std::getenv("HOME");
    if (home && home[0]) return std::string(home) + "/.local/state/rill/history";
    return "";
}

#ifdef RILL_EDIT

namespace {

constexpr int HISTORY_SIZE = 1000;  // lines kept

EditLine* editor;
History* history_list;
std::string history_file;  // empty: no history kept
bool history_dir_made;
const char* current_prompt = "";

char* prompt_of(EditLine*) {
    return const_cast<char*>(current_prompt);
}

// The editor's characters come from here rather than from its own read, so
// that an interrupt ends the wait (it returns -1, and the editor gives up
// with the terminal put back as it was) and nothing is read past the line.
int read_char(EditLine*, wchar_t* c) {
    std::mbstate_t state{};
    for (;;) {
        *c = 0;
        if (!await_input(STDIN_FILENO)) return -1;
        char byte;
        ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return static_cast<int>(n);
        // Ctrl-D typed before the editor took the terminal over (typed
        // ahead, in the terminal's own line mode) arrives as a NUL; a NUL
        // ends a program's input anyway.
        if (byte == '\0') return 0;
        wchar_t w;
        size_t r = std::mbrtowc(&w, &byte, 1, &state);
        if (r == static_cast<size_t>(-2)) continue;  // more bytes of one character
        *c = r == static_cast<size_t>(-1) ? static_cast<wchar_t>(static_cast<unsigned char>(byte)) : w;
        return 1;
    }
}

// Makes each missing directory of the history file's path, for the user alone.
void make_parents(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        (void)mkdir(path.substr(0, slash).c_str(), 0700);
}

void keep_in_history(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) return;
    HistEvent ev;
    (void)history(history_list, &ev, H_ENTER, line.c_str());
    if (history_file.empty()) return;
    if (!history_dir_made) {
        make_parents(history_file);
        history_dir_made = true;
    }
    // Saved after every line, so that an interrupt loses none. A history
    // that cannot be written costs the next session its lines, not this one.
    (void)history(history_list, &ev, H_SAVE, history_file.c_str());
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
    (void)std::setlocale(LC_CTYPE, "");
    editor = el_init("rill", stdin, shown_on, quiet);
    history_list = history_init();
    if (!editor || !history_list) return false;
    HistEvent ev;
    (void)history(history_list, &ev, H_SETSIZE, HISTORY_SIZE);
    (void)history(history_list, &ev, H_SETUNIQUE, 1);
    history_file = history_path();
    if (!history_file.empty()) (void)history(history_list, &ev, H_LOAD, history_file.c_str());
    el_set(editor, EL_EDITOR, "emacs");
    el_set(editor, EL_PROMPT, prompt_of);
    el_set(editor, EL_HIST, history, history_list);
    el_set(editor, EL_GETCFN, read_char);
    (void)el_source(editor, nullptr);  // the user's own key bindings, if any
    return true;
}

}  // namespace

bool line_editor_ready() {
    static const bool ready = start_editor();
    return ready;
}

int line_editor_read(const char* prompt, bool keep, std::string& line) {
    current_prompt = prompt;
    int count = 0;
    const char* got = el_gets(editor, &count);
    if (!got || count <= 0) return count < 0 ? -1 : 0;
    line.append(got, static_cast<size_t>(count));
    if (keep) keep_in_history(std::string(got, static_cast<size_t>(count)));
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
