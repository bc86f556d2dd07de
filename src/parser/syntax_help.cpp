// Help after the parser's diagnostics, in a user's words: what came, what
// the tables could have taken there, and where in the source.
#include <string>
#include <vector>

#include "errors/errors.h"
#include "lexer/tokens.h"
#include "parser/parser.h"
#include "parser/tables.h"

namespace {

// The token code of each internal terminal, read back from the translation.
int code_of_terminal(int terminal) {
    if (terminal == 0) return TOKEN_END;
    for (int code = 1; code < TOKEN_TRANSLATION_SIZE; ++code)
        if (token_translation[code] == terminal) return code;
    return -1;
}

// How the message names the token that came: its text where that helps.
std::string unexpected_words(int32_t token) {
    std::string text = token_text();
    if (text.size() > 40) text = text.substr(0, 40) + "...";
    switch (token) {
    case IDENT: return "name '" + text + "'";
    case INT_CONST:
    case REAL_CONST: return "number " + text;
    case STRING_CONST: return "string";
    default: return token_words(token);
    }
}

std::string located_help(int32_t token, const std::string& text) {
    SourcePlace place = token_place(token);
    std::string help = located(place.line, place.column, text);
    if (!place.text.empty() || place.cut_before || place.cut_after)
        help += source_excerpt(place.text, place.caret, place.cut_before, place.cut_after);
    return help + token_note(token);
}

}  // namespace

std::string expected_tokens(const int16_t* states, int count) {
    std::vector<bool> takes(FIRST_NONTERMINAL, false);
    for (int k = 0; k < count; ++k) {
        int base = action_base[states[k]];
        if (base == NO_ACTION_FLAG) continue;
        for (int t = 0; t < FIRST_NONTERMINAL; ++t) {
            int i = base + t;
            if (i >= 0 && i <= LAST_INDEX && action_check[i] == t && action_table[i] != 0) takes[t] = true;
        }
    }
    // The end of input reads best last; an integer or a real is a number.
    std::vector<std::string> words;
    auto add = [&](const std::string& w) {
        if (w.empty()) return;
        for (const std::string& seen : words)
            if (seen == w) return;
        words.push_back(w);
    };
    int integer = token_translation[INT_CONST], real = token_translation[REAL_CONST];
    for (int t = ERROR_TERMINAL + 2; t < FIRST_NONTERMINAL; ++t) {
        if (!takes[t]) continue;
        if ((t == integer || t == real) && takes[integer] && takes[real])
            add("a number");
        else
            add(token_words(code_of_terminal(t)));
    }
    if (takes[0]) add(token_words(TOKEN_END));

    std::string list;
    for (size_t k = 0; k < words.size(); ++k) {
        if (k > 0) list += k + 1 == words.size() ? " or " : ", ";
        list += words[k];
    }
    return list;
}

void explain_syntax_error(int32_t lookahead, const int16_t* states, int count) {
    // An end of input that the identifier table made has been explained.
    if (lookahead == TOKEN_END && scanner.input_cut_short) return;
    std::string text = "unexpected " + unexpected_words(lookahead);
    std::string expected = expected_tokens(states, count);
    if (!expected.empty()) text += "; expected " + expected;
    write_help(located_help(lookahead, text));
}

void explain_stack_overflow(int32_t lookahead) {
    if (!help_wanted()) return;
    write_help(located_help(lookahead,
                            "too many statements in one list, or too deep a nesting; a list holds about "
                            "5000 statements: wrap long stretches in blocks (if (1 == 1) { ... }; is one "
                            "statement)"));
}
