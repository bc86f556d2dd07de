#include "lexer/tokens.h"

#include <cstdio>

namespace {

struct TokenNames {
    const char* code_name;
    const char* words;
};

constexpr TokenNames named_tokens[] = {
#define TOKEN_NAMES(name, code, words) {#name, words},
    TOKEN_LIST(TOKEN_NAMES)
#undef TOKEN_NAMES
};

// The table is indexed by code, so the codes must run in order without a gap.
constexpr bool codes_run_in_order() {
    constexpr int codes[] = {
#define TOKEN_CODE_OF(name, code, words) code,
        TOKEN_LIST(TOKEN_CODE_OF)
#undef TOKEN_CODE_OF
    };
    int expected = FIRST_NAMED_TOKEN;
    for (int code : codes)
        if (code != expected++) return false;
    return expected == LAST_NAMED_TOKEN + 1;
}
static_assert(codes_run_in_order());

}  // namespace

const char* token_name(int code) {
    if (code < FIRST_NAMED_TOKEN || code > LAST_NAMED_TOKEN) return nullptr;
    return named_tokens[code - FIRST_NAMED_TOKEN].code_name;
}

std::string token_words(int code) {
    if (code <= 0) return "end of input";
    if (code >= FIRST_NAMED_TOKEN && code <= LAST_NAMED_TOKEN) {
        const char* words = named_tokens[code - FIRST_NAMED_TOKEN].words;
        return words ? words : "";
    }
    if (code == TOKEN_NUL) code = 0;
    if (code > 255) return "";
    // A single character, shown as itself when it can be read.
    char text[32];
    if (code > 32 && code < 127)
        (void)std::snprintf(text, sizeof text, "'%c'", code);
    else
        (void)std::snprintf(text, sizeof text, "character 0x%02x", static_cast<unsigned>(code));
    return text;
}
