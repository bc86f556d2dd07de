#include "engine/number_input.h"

#include <cstdlib>
#include <string>

namespace {

bool is_blank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

bool is_hex_digit(int c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int lower(int c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

// The characters of one conversion, each taken as it is read; only the last
// one read can be given back, as a stream's formatted input allows.
class Cursor {
public:
    explicit Cursor(InputReader& r) : reader(r) {}
    ~Cursor() { input_take(reader, count); }
    int next() {
        c = input_peek(reader, count);
        if (c >= 0) ++count;
        return c;
    }
    void give_back() {
        if (c >= 0) --count;
    }
    int last() const { return c; }

private:
    InputReader& reader;
    size_t count = 0;
    int c = 0;
};

// Skips blanks; returns the first other character (taken), or -1 at the end.
int skip_blanks(Cursor& in) {
    int c;
    do c = in.next();
    while (c >= 0 && is_blank(c));
    return c;
}

// Reads the characters of lexeme in any case after the first; false, with
// the mismatching character taken, when they are not there.
bool expect_rest(Cursor& in, const char* lexeme, std::string& text) {
    for (const char* p = lexeme; *p; ++p) {
        if (in.next() < 0 || lower(in.last()) != *p) return false;
        text += static_cast<char>(in.last());
    }
    return true;
}

// The characters of a real as the stream reads them: a sign; "nan", "inf"
// or "infinity"; or digits with one point and an exponent, hexadecimal
// after "0x" with a "p" exponent. Reading stops at the first character that
// cannot continue; that one is given back. Returns false on a mismatch the
// stream does not recover from.
bool real_text(Cursor& in, int c, std::string& text) {
    bool got_sign = false;
    if (c == '-' || c == '+') {
        got_sign = true;
        text += static_cast<char>(c);
        if ((c = in.next()) < 0) return false;
    }
    if (lower(c) == 'n') {
        text += static_cast<char>(c);
        return expect_rest(in, "an", text);
    }
    if (lower(c) == 'i') {
        text += static_cast<char>(c);
        if (!expect_rest(in, "nf", text)) return false;
        if (in.next() >= 0) {
            if (lower(in.last()) != 'i') {
                in.give_back();
                return true;
            }
            text += static_cast<char>(in.last());
            return expect_rest(in, "nity", text);
        }
        return true;
    }

    bool hex = false, got_digit = false, got_dot = false, got_exponent = false;
    char exponent_mark = 'e';
    if (c == '0') {
        text += '0';
        c = in.next();
        if (lower(c) == 'x') {
            text += static_cast<char>(c);
            hex = true;
            exponent_mark = 'p';
            c = in.next();
        } else {
            got_digit = true;
        }
    }
    for (;;) {
        if (is_digit(c) || (hex && !got_exponent && is_hex_digit(c))) {
            text += static_cast<char>(c);
            got_digit = true;
        } else if (got_exponent && text.back() == exponent_mark && (c == '-' || c == '+')) {
            text += static_cast<char>(c);
        } else if (got_digit && !got_exponent && lower(c) == exponent_mark) {
            text += exponent_mark;
            got_exponent = got_dot = true;
        } else if (!got_dot && c == '.') {
            text += '.';
            got_dot = true;
        } else {
            in.give_back();
            break;
        }
        if ((c = in.next()) < 0) break;
    }
    // Nothing but a sign, or a "0x" with no digits after it, is no number.
    size_t prefix = (got_sign ? 1 : 0) + (hex ? 2 : 0);
    return text.size() > prefix;
}

}  // namespace

bool input_integer(InputReader& reader, int32_t* value) {
    Cursor in(reader);
    int c = skip_blanks(in);
    if (c < 0) return false;
    std::string text;
    if (c == '-' || c == '+') {
        text += static_cast<char>(c);
        c = in.next();
    }
    while (is_digit(c)) {
        text += static_cast<char>(c);
        c = in.next();
    }
    in.give_back();
    if (text.empty() || !is_digit(text.back())) return false;
    // Out of range saturates to the limits of a long, then keeps the low 32
    // bits, as the C library's conversion into an int does.
    long v = std::strtol(text.c_str(), nullptr, 10);
    *value = static_cast<int32_t>(v);
    return true;
}

bool input_real(InputReader& reader, double* value) {
    Cursor in(reader);
    int c = skip_blanks(in);
    if (c < 0) return false;
    std::string text;
    if (!real_text(in, c, text)) return false;
    char* end;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) return false;
    *value = v;
    return true;
}
