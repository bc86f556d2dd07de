// Holds the parser to src/parser/grammar.txt: the tables' rules and token
// translation, the actions, and the language itself. The parser is built
// alone into this test: a queue of token codes stands in for the scanner and
// issue routines that only record stand in for the engine, so no sentence
// has an effect. A general (Earley) recognizer that reads nothing but the
// grammar file decides which token streams belong to the language, and each
// generated sentence's derivation says which instructions, with which
// operands, its reductions must issue. Anything parser.cpp starts to call
// outside the parser needs a stand-in here.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine/instructions.h"
#include "engine/machine.h"
#include "grammar_reader.h"
#include "parser/parser.h"
#include "parser/tables.h"

// What the parser needs from outside the parser.
Scanner scanner;
MachineState machine;

namespace {

std::vector<int32_t> token_queue;
std::vector<Symbol> token_values;  // token i carries &token_values[i] as its value
size_t queued;                     // the index of the next token handed out

struct Call {
    std::string routine;
    int32_t op;
    const Symbol* operand;  // the symbol view of a constant or variable operand
};
std::vector<Call> calls;

// The engine's own parameter type for an operation, so that the stand-ins
// below define the routines instructions.h declares.
template <class>
struct FirstParameter;
template <class R, class A, class... B>
struct FirstParameter<R(A, B...)> {
    using type = A;
};
using Op = FirstParameter<decltype(issue_plain)>::type;

}  // namespace

// The scanner's and the engine's globals that the parser keeps up to date.
int32_t issue_line;

int next_token() {
    if (queued >= token_queue.size()) return 0;
    scanner.token_value.symbol = &token_values[queued];
    return token_queue[queued++];
}

// The help after a diagnostic reads the scanner's buffer, which is not here.
void explain_syntax_error(int32_t, const int16_t*, int) {}
void explain_stack_overflow(int32_t) {}

// A session's recovery, recorded among the issue calls.
void discard_rest_of_line() {
    calls.push_back({"discard_line", 0, nullptr});
}
void return_to_top_level() {
    calls.push_back({"top_level", 0, nullptr});
}

void issue_plain(Op op) {
    calls.push_back({"issue_plain", static_cast<int32_t>(op), nullptr});
}
void issue_const(Op op, TokenValue v) {
    calls.push_back({"issue_const", static_cast<int32_t>(op), v.symbol});
}
void issue_var(Op op, Symbol* s) {
    calls.push_back({"issue_var", static_cast<int32_t>(op), s});
}

namespace {

const Grammar& grammar() {
    static const Grammar g = read_grammar(RILL_GRAMMAR);
    return g;
}

// ---- What a rule's action issues, as the file says ----

const std::map<std::string, int32_t> op_of = {
    {"OP_PUSH_INT", OP_PUSH_INT},
    {"OP_PUSH_REAL", OP_PUSH_REAL},
    {"OP_ADD", OP_ADD},
    {"OP_SUB", OP_SUB},
    {"OP_MUL", OP_MUL},
    {"OP_DIV", OP_DIV},
    {"OP_STORE", OP_STORE},
    {"OP_LOAD", OP_LOAD},
    {"OP_ADD_TO", OP_ADD_TO},
    {"OP_SUB_FROM", OP_SUB_FROM},
    {"OP_MUL_BY", OP_MUL_BY},
    {"OP_DIV_BY", OP_DIV_BY},
    {"OP_INC", OP_INC},
    {"OP_DEC", OP_DEC},
    {"OP_MODE_OF", OP_MODE_OF},
    {"OP_MODE_REAL", OP_MODE_REAL},
    {"OP_MODE_INT", OP_MODE_INT},
    {"OP_MAKE_REAL", OP_MAKE_REAL},
    {"OP_MAKE_INT", OP_MAKE_INT},
    {"OP_IF_EQ", OP_IF_EQ},
    {"OP_IF_NE", OP_IF_NE},
    {"OP_IF_LE", OP_IF_LE},
    {"OP_IF_GE", OP_IF_GE},
    {"OP_IF_LT", OP_IF_LT},
    {"OP_IF_GT", OP_IF_GT},
    {"OP_END_IF", OP_END_IF},
    {"OP_PRINT_VAR", OP_PRINT_VAR},
    {"OP_PRINT_STR", OP_PRINT_STR},
    {"OP_PRINT_NL", OP_PRINT_NL},
    {"OP_FPRINT_VAR", OP_FPRINT_VAR},
    {"OP_FPRINT_STR", OP_FPRINT_STR},
    {"OP_FPRINT_NL", OP_FPRINT_NL},
    {"OP_INPUT", OP_INPUT},
    {"OP_LOOP", OP_LOOP},
    {"OP_LOOP_END", OP_LOOP_END},
    {"OP_LOOP_VAR", OP_LOOP_VAR},
    {"OP_BREAK", OP_BREAK},
    {"OP_RAND", OP_RAND},
    {"OP_OPEN_OUT", OP_OPEN_OUT},
    {"OP_OUT_CONSOLE", OP_OUT_CONSOLE},
};

struct Issue {
    std::string routine;  // empty when the rule has no action
    int32_t op = 0;
    int offset = 0;  // the operand is top[offset]
    bool has_operand = false;
    std::string error;
};

Issue issue_of(const Rule& r) {
    static const std::regex call(R"((issue_\w+)\((OP_\w+)(?:, top\[(-?\d+)\])?\))");
    Issue is;
    if (r.action.empty()) return is;
    std::smatch m;
    if (!std::regex_match(r.action, m, call))
        is.error = "cannot read action " + r.action;
    else if (!op_of.count(m[2]))
        is.error = "unknown operation " + m[2].str();
    else {
        is.routine = m[1];
        is.op = op_of.at(m[2]);
        is.has_operand = m[3].matched;
        if (is.has_operand) is.offset = std::stoi(m[3]);
    }
    return is;
}

// ---- An independent recognizer: Earley's, over the grammar file ----

struct Recognizer {
    const Grammar& g;
    std::vector<std::vector<int>> rules_of;  // by nonterminal
    std::vector<bool> nullable;

    explicit Recognizer(const Grammar& gr) : g(gr), rules_of(gr.symbol_count), nullable(gr.symbol_count) {
        for (size_t r = 0; r < g.rules.size(); ++r) rules_of[g.rules[r].lhs].push_back(static_cast<int>(r));
        for (bool changed = true; changed;) {
            changed = false;
            for (const Rule& r : g.rules) {
                bool all = true;
                for (int s : r.rhs) all = all && nullable[s];
                if (all && !nullable[r.lhs]) nullable[r.lhs] = changed = true;
            }
        }
    }

    // Whether the terminals derive from the start symbol (the first rule's left side).
    bool accepts(const std::vector<int>& input) const {
        struct Item {
            int rule, dot, origin;
            bool operator<(const Item& o) const {
                return std::tie(rule, dot, origin) < std::tie(o.rule, o.dot, o.origin);
            }
        };
        size_t n = input.size();
        std::vector<std::set<Item>> seen(n + 1);
        std::vector<std::vector<Item>> sets(n + 1);
        auto add = [&](size_t at, Item it) {
            if (seen[at].insert(it).second) sets[at].push_back(it);
        };
        for (int r : rules_of[g.rules[0].lhs]) add(0, {r, 0, 0});
        for (size_t i = 0; i <= n; ++i) {
            for (size_t k = 0; k < sets[i].size(); ++k) {
                Item it = sets[i][k];
                const Rule& rule = g.rules[it.rule];
                if (it.dot == static_cast<int>(rule.rhs.size())) {
                    // Complete: advance every item of its origin that waited for it.
                    for (size_t j = 0; j < sets[it.origin].size(); ++j) {
                        Item w = sets[it.origin][j];
                        const Rule& wr = g.rules[w.rule];
                        if (w.dot < static_cast<int>(wr.rhs.size()) && wr.rhs[w.dot] == rule.lhs)
                            add(i, {w.rule, w.dot + 1, w.origin});
                    }
                    continue;
                }
                int next = rule.rhs[it.dot];
                if (g.terminal(next)) {
                    if (i < n && input[i] == next) add(i + 1, {it.rule, it.dot + 1, it.origin});
                    continue;
                }
                for (int r : rules_of[next]) add(i, {r, 0, static_cast<int>(i)});
                // An empty next symbol may be passed over at once.
                if (nullable[next]) add(i, {it.rule, it.dot + 1, it.origin});
            }
        }
        for (const Item& it : sets[n])
            if (it.origin == 0 && g.rules[it.rule].lhs == g.rules[0].lhs &&
                it.dot == static_cast<int>(g.rules[it.rule].rhs.size()))
                return true;
        return false;
    }
};

// ---- Random sentences of bounded depth ----

struct Expected {
    std::string routine;
    int32_t op;
    int operand;  // the index of the token whose value is passed, or -1
};

struct Sentence {
    std::vector<int> terminals;
    std::vector<Expected> issues;  // in the order the reductions issue them
    std::vector<int> stack;        // while generating: the value stack, as token indexes
};

struct Generator {
    const Grammar& g;
    std::mt19937& rng;
    std::vector<std::vector<int>> rules_of;
    std::vector<int> height;  // the least derivation height of each symbol

    Generator(const Grammar& gr, std::mt19937& r)
        : g(gr), rng(r), rules_of(gr.symbol_count), height(gr.symbol_count, 1 << 20) {
        for (size_t i = 0; i < g.rules.size(); ++i) rules_of[g.rules[i].lhs].push_back(static_cast<int>(i));
        for (int s = 0; s < g.first_nonterminal; ++s) height[s] = 0;
        for (bool changed = true; changed;) {
            changed = false;
            for (const Rule& r : g.rules) {
                int h = 0;
                for (int s : r.rhs) h = std::max(h, height[s]);
                if (h + 1 < height[r.lhs]) height[r.lhs] = h + 1, changed = true;
            }
        }
    }

    int rule_height(int r) const {
        int h = 0;
        for (int s : g.rules[r].rhs) h = std::max(h, height[s]);
        return h + 1;
    }

    // The precedence of a rule "X -> X op X", or 0 for any other rule.
    int level_of(int r) const {
        const Rule& rule = g.rules[r];
        if (rule.rhs.size() != 3 || rule.rhs[0] != rule.lhs || rule.rhs[2] != rule.lhs) return 0;
        auto l = g.level.find(rule.rhs[1]);
        return l == g.level.end() ? 0 : l->second;
    }

    // Below the depth limit mostly rules that derive something, so that
    // sentences are not mostly empty; at it, only rules that end soonest.
    // An operator rule below level is left out: the tree is then the one the
    // precedence picks, and its reductions are the parser's.
    void expand(int symbol, int depth, int level, Sentence& out) {
        if (g.terminal(symbol)) {
            out.terminals.push_back(symbol);
            out.stack.push_back(static_cast<int>(out.terminals.size()) - 1);
            return;
        }
        bool grow = depth > 0 && std::uniform_int_distribution<int>(0, 3)(rng) != 0;
        std::vector<int> choices;
        for (int r : rules_of[symbol]) {
            if (level_of(r) && level_of(r) < level) continue;
            if (depth > 0 ? !grow || !g.rules[r].rhs.empty() : rule_height(r) == height[symbol]) choices.push_back(r);
        }
        if (choices.empty())
            for (int r : rules_of[symbol])
                if (!level_of(r)) choices.push_back(r);
        int r = choices[std::uniform_int_distribution<size_t>(0, choices.size() - 1)(rng)];
        const std::vector<int>& rhs = g.rules[r].rhs;
        int op = level_of(r);
        for (size_t i = 0; i < rhs.size(); ++i) expand(rhs[i], depth - 1, op ? (i == 0 ? op : op + 1) : 0, out);

        // The reduction, as the parser's value stack would see it: the value
        // of the first right-hand symbol replaces the right-hand side.
        Issue is = issue_of(g.rules[r]);
        size_t height = out.stack.size();
        if (!is.routine.empty()) {
            int operand = is.has_operand ? out.stack[height - 1 + static_cast<size_t>(is.offset)] : -1;
            out.issues.push_back({is.routine, is.op, operand});
        }
        int value = rhs.empty() ? -1 : out.stack[height - rhs.size()];
        out.stack.resize(height - rhs.size());
        out.stack.push_back(value);
    }

    Sentence sentence(int depth) {
        Sentence out;
        expand(g.rules[0].lhs, depth, 0, out);
        return out;
    }
};

// ---- The table-driven parser over a stream of terminals ----

int32_t code_for(const Grammar& g, int terminal) {
    if (terminal == g.undefined) return 1;  // a control character: no terminal of its own
    return g.code_of.at(terminal);
}

ParseResult parse_terminals(const Grammar& g, const std::vector<int>& terminals) {
    token_queue.clear();
    for (int t : terminals) token_queue.push_back(code_for(g, t));
    token_values.assign(terminals.size(), Symbol{});
    queued = 0;
    calls.clear();
    return parse_program();
}

// "parse error" goes to standard error; the mutations would print it by the thousand.
struct QuietErrors {
    int saved = dup(2);
    QuietErrors() {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
    }
    ~QuietErrors() {
        dup2(saved, 2);
        close(saved);
    }
};

std::string show(const Grammar& g, const std::vector<int>& terminals) {
    std::map<int, std::string> name;
    for (const auto& [text, n] : g.symbols) name[n] = text;
    std::string s;
    for (int t : terminals) s += name[t] + " ";
    return s;
}

TEST(Grammar, FileReadsCleanly) {
    ASSERT_EQ(grammar().error, "");
}

TEST(Grammar, TablesHaveItsRulesAndSymbols) {
    const Grammar& g = grammar();
    ASSERT_EQ(g.error, "");
    EXPECT_EQ(FIRST_NONTERMINAL, g.first_nonterminal);
    EXPECT_EQ(NONTERMINAL_COUNT, g.symbol_count - g.first_nonterminal);
    EXPECT_EQ(SYMBOL_COUNT, g.symbol_count);
    EXPECT_EQ(ERROR_TERMINAL, g.symbols.at("error"));
    ASSERT_EQ(RULE_COUNT, static_cast<int>(g.rules.size()));
    for (const Rule& r : g.rules) {
        EXPECT_EQ(rule_lhs[r.number], r.lhs) << "rule " << r.number;
        EXPECT_EQ(rule_length[r.number], static_cast<int>(r.rhs.size())) << "rule " << r.number;
    }
    // Every code reaches its terminal; every other code the undefined one.
    std::map<int, int> terminal_of;
    for (const auto& [t, code] : g.code_of) terminal_of[code] = t;
    for (int code = 0; code < TOKEN_TRANSLATION_SIZE; ++code) {
        auto t = terminal_of.find(code);
        EXPECT_EQ(token_translation[code], t == terminal_of.end() ? g.undefined : t->second) << "code " << code;
    }
}

// The scanner's named tokens (lexer/tokens.h) are the file's terminals with
// codes from 256 up: the same codes, each named as the file writes it.
TEST(Grammar, ScannerTokensAreItsTerminals) {
    const Grammar& g = grammar();
    std::map<int, std::string> written;  // by code
    for (const auto& [text, n] : g.symbols)
        if (g.terminal(n) && g.code_of.count(n) && g.code_of.at(n) > 256) written[g.code_of.at(n)] = text;
    for (int code = FIRST_NAMED_TOKEN; code <= LAST_NAMED_TOKEN; ++code) {
        ASSERT_TRUE(written.count(code)) << token_name(code) << " (" << code << ") is no terminal of the file";
        const std::string& text = written[code];
        if (text[0] == '"')
            EXPECT_TRUE(token_words(code) == std::string("'").append(text, 1, text.size() - 2) + "'" ||
                        token_words(code) == text)
                << "code " << code << " is " << token_words(code) << " in lexer/tokens.h, " << text << " in the file";
        else
            EXPECT_EQ(token_name(code), text) << "code " << code;
    }
    for (const auto& [code, text] : written)
        EXPECT_TRUE(code >= FIRST_NAMED_TOKEN && code <= LAST_NAMED_TOKEN) << text << " has no token in lexer/tokens.h";
}

// Each rule's action, run over a value stack whose entries are told apart by
// their symbol, issues what the file says, with the operand it names.
TEST(Grammar, ActionsIssueWhatTheFileSays) {
    const Grammar& g = grammar();
    ASSERT_EQ(g.error, "");

    constexpr int DEPTH = 10;
    Symbol entries[DEPTH];
    TokenValue stack[DEPTH];
    for (int i = 0; i < DEPTH; ++i) stack[i].symbol = &entries[i];
    const TokenValue* top = &stack[DEPTH - 1];

    for (const Rule& r : g.rules) {
        Issue is = issue_of(r);
        ASSERT_EQ(is.error, "") << "rule " << r.number;
        calls.clear();
        reduce_action(r.number, top);
        if (is.routine.empty()) {
            EXPECT_TRUE(calls.empty()) << "rule " << r.number << " has no action in the grammar";
            continue;
        }
        ASSERT_EQ(calls.size(), 1u) << "rule " << r.number;
        EXPECT_EQ(calls[0].routine, is.routine) << "rule " << r.number;
        EXPECT_EQ(calls[0].op, is.op) << "rule " << r.number;
        EXPECT_EQ(calls[0].operand, is.has_operand ? top[is.offset].symbol : nullptr) << "rule " << r.number;
    }
}

// The tables accept every sentence of the grammar, and a stream one token
// away from a sentence exactly when the general recognizer does.
TEST(Grammar, TablesAcceptItsLanguage) {
    const Grammar& g = grammar();
    ASSERT_EQ(g.error, "");
    std::mt19937 rng(20260);
    Generator gen(g, rng);
    Recognizer earley(g);
    std::vector<int> alphabet;  // every terminal the scanner can return
    for (int t = 0; t < g.first_nonterminal; ++t)
        if (t != g.symbols.at("$end")) alphabet.push_back(t);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };

    QuietErrors quiet;
    int sentences = 0, mutants_in = 0, mutants_out = 0;
    for (int round = 0; round < 4000; ++round) {
        Sentence sentence = gen.sentence(3 + round % 12);
        const std::vector<int>& s = sentence.terminals;
        ASSERT_TRUE(earley.accepts(s)) << show(g, s);
        ASSERT_EQ(parse_terminals(g, s), PARSE_ACCEPTED) << show(g, s);
        // The reductions came in the order of the tree, each with its operand.
        ASSERT_EQ(calls.size(), sentence.issues.size()) << show(g, s);
        for (size_t k = 0; k < calls.size(); ++k) {
            const Expected& e = sentence.issues[k];
            const Symbol* operand = e.operand < 0 ? nullptr : &token_values[static_cast<size_t>(e.operand)];
            ASSERT_EQ(calls[k].routine, e.routine) << "issue " << k << " of " << show(g, s);
            ASSERT_EQ(calls[k].op, e.op) << "issue " << k << " of " << show(g, s);
            ASSERT_EQ(calls[k].operand, operand) << "issue " << k << " of " << show(g, s);
        }
        ++sentences;
        for (int k = 0; k < 5; ++k) {
            std::vector<int> m = s;
            size_t at = pick(m.size() + 1);
            int kind = at == m.size() ? 2 : static_cast<int>(pick(3));
            if (kind == 0)
                m[at] = alphabet[pick(alphabet.size())];
            else if (kind == 1)
                m.erase(m.begin() + static_cast<std::ptrdiff_t>(at));
            else
                m.insert(m.begin() + static_cast<std::ptrdiff_t>(at), alphabet[pick(alphabet.size())]);
            bool in = earley.accepts(m);
            ParseResult result = parse_terminals(g, m);
            ASSERT_EQ(result, in ? PARSE_ACCEPTED : PARSE_ERROR) << show(g, m);
            ++(in ? mutants_in : mutants_out);
        }
    }
    // Both outcomes must have been met for the comparison to mean anything.
    EXPECT_GT(mutants_in, 500);
    EXPECT_GT(mutants_out, 5000);
    RecordProperty("sentences", sentences);
}

}  // namespace

namespace {

// In a session an error drops the statement in progress and the parse goes
// on after the header, which is not issued again; at the end of the input
// the program is accepted.
TEST(Grammar, SessionStartsAgainAfterTheHeader) {
    QuietErrors quiet;
    struct Case {
        std::vector<int32_t> tokens;
        std::vector<std::string> routines;
    } cases[] = {
        // i++; ) i++;
        {{IDENT, INCREMENT, ';', RPAREN, IDENT, INCREMENT, ';'},
         {"issue_plain", "issue_var", "discard_line", "top_level", "issue_var"}},
        // # "f" loop(2) { ) i++;
        {{'#', STRING_CONST, KW_LOOP, LPAREN, INT_CONST, RPAREN, '{', RPAREN, IDENT, INCREMENT, ';'},
         {"issue_const", "issue_const", "discard_line", "top_level", "issue_var"}},
        // # ) # "f" i++;   (no header yet: it may still come)
        {{'#', RPAREN, '#', STRING_CONST, IDENT, INCREMENT, ';'},
         {"discard_line", "top_level", "issue_const", "issue_var"}},
    };
    scanner.interactive = true;
    for (const Case& c : cases) {
        token_queue = c.tokens;
        token_values.assign(token_queue.size(), Symbol{});
        queued = 0;
        calls.clear();
        parse_errors_survived = 0;
        EXPECT_EQ(parse_program(), PARSE_ACCEPTED);
        EXPECT_EQ(parse_errors_survived, 1);
        std::vector<std::string> routines;
        for (const Call& call : calls) routines.push_back(call.routine);
        EXPECT_EQ(routines, c.routines);
    }
    scanner.interactive = false;
}

}  // namespace
