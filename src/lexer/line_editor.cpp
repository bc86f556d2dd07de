#include "lexer/line_editor.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"

std::string history_path() {
    const char* setting = std::getenv("RILL_HISTORY");
    if (setting && std::strcmp(setting, "0") == 0) return "";
    return default_history_path();
}

namespace {

const char HISTORY_COOKIE[] = "_HiStOrY_V2_";

// One character of a history line as the file keeps it: a backslash, a
// blank and every control character as three octal digits, so that each
// entry is one line.
void escape_into(std::string& out, unsigned char c) {
    if (c != '\\' && c > ' ' && c != 0x7f) {
        out += static_cast<char>(c);
        return;
    }
    out += '\\';
    out += static_cast<char>('0' + (c >> 6));
    out += static_cast<char>('0' + ((c >> 3) & 7));
    out += static_cast<char>('0' + (c & 7));
}

// Undoes the file's escapes: the octal ones written above, and those a
// history written by the line editor itself may hold (\^X, \M-x, \M^X and
// the C forms). An escape it does not know stays as it stands.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        size_t j = i + 1;
        unsigned meta = 0;
        if (s[j] == 'M' && j + 1 < s.size() && (s[j + 1] == '-' || s[j + 1] == '^')) {
            meta = 0x80;
            j += s[j + 1] == '-' ? 2 : 1;
            if (j == s.size()) {
                out += s.substr(i);
                break;
            }
        }
        unsigned char c = static_cast<unsigned char>(s[j]);
        unsigned value;
        if (c >= '0' && c <= '7' && !meta) {
            value = 0;
            size_t k = j;
            for (; k < s.size() && k < j + 3 && s[k] >= '0' && s[k] <= '7'; ++k) value = value * 8 + (s[k] - '0');
            j = k - 1;
        } else if (c == '^' && j + 1 < s.size()) {
            ++j;
            value = s[j] == '?' ? 0x7f : static_cast<unsigned char>(s[j]) & 0x1f;
        } else if (meta && s[j - 1] == '^') {
            value = s[j] == '?' ? 0x7f : c & 0x1f;
        } else if (meta) {
            value = c;
        } else {
            const char* from = "\\nrtbavfs0E$";
            const char* to = "\\\n\r\t\b\a\v\f \0\x1b";
            const char* at = std::strchr(from, c);
            if (!at || !c) {
                out += s[i];
                continue;
            }
            value = c == '$' ? 0 : static_cast<unsigned char>(to[at - from]);
            if (c == '$') {  // a hidden marker that stands for nothing
                i = j;
                continue;
            }
        }
        out += static_cast<char>((value | meta) & 0xff);
        i = j;
    }
    return out;
}

}  // namespace

std::vector<std::string> parse_history(const std::string& text, bool from_start, size_t keep) {
    std::vector<std::string> lines;
    size_t at = 0;
    if (!from_start) {
        // The bytes begin inside a line: it is not whole.
        size_t nl = text.find('\n');
        at = nl == std::string::npos ? text.size() : nl + 1;
    }
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line == HISTORY_COOKIE || line.empty()) continue;
        lines.push_back(unescape(line));
    }
    if (lines.size() > keep) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(keep));
    return lines;
}

std::string format_history(const std::vector<std::string>& lines) {
    std::string text = std::string(HISTORY_COOKIE) + "\n";
    for (const std::string& line : lines) {
        for (char c : line) escape_into(text, static_cast<unsigned char>(c));
        text += '\n';
    }
    return text;
}
