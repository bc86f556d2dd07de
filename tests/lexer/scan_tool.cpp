// Prints the token stream of a file, one token a line ("IDENT x", "';'"), so
// that tests and the scanner benchmark can see the scanner alone. With --count it prints only
// the number of tokens. The source is read exactly as rill reads it.
#include <cstdio>
#include <cstring>
#include <string>

#include "lexer/symbols.h"
#include "lexer/tokens.h"

namespace {

void print_escaped(const char* s) {
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '\n')
            std::fputs("\\n", stdout);
        else if (c == '\\')
            std::fputs("\\\\", stdout);
        else if (c < 32 || c >= 127)
            std::printf("\\x%02x", c);
        else
            std::putchar(c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool count_only = argc > 2 && std::strcmp(argv[2], "--count") == 0;
    if (argc > 1) scanner.input = std::fopen(argv[1], "r");
    long tokens = 0;
    for (int t; (t = next_token()) != 0; ++tokens) {
        if (count_only) continue;
        if (const char* name = token_name(t))
            std::fputs(name, stdout);
        else if (t > 32 && t < 127)
            std::printf("'%c'", t);
        else
            std::printf("'\\x%02x'", static_cast<unsigned>(t));
        switch (t) {
        case IDENT: std::printf(" %s", scanner.token_value.symbol->name); break;
        case INT_CONST: std::printf(" %d", scanner.token_value.integer); break;
        case REAL_CONST: std::printf(" %.17g", scanner.token_value.real); break;
        case STRING_CONST: {
            // From the source, since a remark's text is not kept: up to the
            // closing quote, or to a NUL, which ends a string's text.
            std::string text = token_text() + 1;
            if (!text.empty() && text.back() == '"') text.pop_back();
            std::fputs(" \"", stdout);
            print_escaped(text.c_str());
            std::putchar('"');
            break;
        }
        default: break;
        }
        std::putchar('\n');
    }
    if (count_only) std::printf("%ld\n", tokens);
    return 0;
}
