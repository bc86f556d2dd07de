// Builds the parser's tables from src/parser/grammar.txt and writes
// src/parser/tables.h and src/parser/tables.cpp: "make tables" runs it.
//
// LALR(1) over the LR(0) states, numbered as they are first reached (each
// state's successors in the order of their symbols), with an added start
// transition, a state that shifts the end of input, a final state, and one
// unused state after it.
// Conflicts: a shift and a reduction on an operator are settled by the
// operators' precedence and associativity ("left" lines); any other shift
// wins over a reduction, and of two reductions the earlier rule wins. A
// state's most frequent reduction becomes its default, taken on every
// lookahead without an explicit action. The explicit actions and gotos are
// packed into one table, the widest rows first, each at the lowest base
// where it fits.
//
// Usage: rill_make_tables GRAMMAR_FILE OUTPUT_DIRECTORY
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "grammar_reader.h"

namespace {

constexpr int NO_ACTION = -32768;

struct State {
    std::vector<int> kernel;  // item indices, ascending
    int symbol = 0;           // the symbol that enters it
    std::vector<int> shifts;  // successor states, by ascending symbol; -1 once a precedence removed one
    std::vector<int> reductions;
};

struct Builder {
    const Grammar& g;
    int tokens = 0, symbols = 0, start = 0;
    std::vector<int> items;                     // every rule's right side, each ended by -rule
    std::vector<int> rule_item;                 // by rule: its first item
    std::vector<std::vector<int>> first_rules;  // by nonterminal: the rules that can begin it
    std::vector<State> states;
    std::vector<int> precedence;  // by terminal; 0 none
    std::vector<int> rule_precedence;
    int final_state = 0;

    explicit Builder(const Grammar& grammar) : g(grammar) {
        tokens = g.first_nonterminal;
        symbols = g.symbol_count;
        start = g.rules[0].lhs;
        rule_item.assign(g.rules.size() + 1, 0);
        precedence.assign(tokens, 0);
        for (auto [t, level] : g.level) precedence[t] = level;
        rule_precedence.assign(g.rules.size() + 1, 0);
        for (const Rule& r : g.rules) {
            rule_item[r.number] = static_cast<int>(items.size());
            for (int s : r.rhs) {
                items.push_back(s);
                // A rule takes the precedence of its last terminal.
                if (s < tokens) rule_precedence[r.number] = precedence[s];
            }
            items.push_back(-r.number);
        }
        // The nonterminals each can begin with, itself included, and their rules.
        std::vector<std::set<int>> begins(symbols);
        for (int a = tokens; a < symbols; ++a) begins[a].insert(a);
        for (bool grew = true; grew;) {
            grew = false;
            for (const Rule& r : g.rules)
                if (!r.rhs.empty() && r.rhs[0] >= tokens)
                    for (int b : std::set<int>(begins[r.rhs[0]]))
                        for (int a = tokens; a < symbols; ++a)
                            if (begins[a].count(r.lhs) && begins[a].insert(b).second) grew = true;
        }
        first_rules.assign(symbols, {});
        for (int a = tokens; a < symbols; ++a)
            for (const Rule& r : g.rules)
                if (begins[a].count(r.lhs)) first_rules[a].push_back(r.number);
    }

    std::vector<int> closure(const std::vector<int>& kernel) const {
        std::set<int> rules;
        if (kernel.empty()) rules.insert(first_rules[start].begin(), first_rules[start].end());
        for (int i : kernel)
            if (items[i] >= tokens) rules.insert(first_rules[items[i]].begin(), first_rules[items[i]].end());
        std::vector<int> set = kernel;
        for (int r : rules) set.push_back(rule_item[r]);
        std::sort(set.begin(), set.end());
        return set;
    }

    void build_states() {
        states.push_back(State{});
        std::map<std::vector<int>, int> by_kernel;
        for (size_t s = 0; s < states.size(); ++s) {
            std::vector<int> set = closure(states[s].kernel);
            std::map<int, std::vector<int>> next;  // by symbol: the items after it
            for (int i : set) {
                if (items[i] > 0) next[items[i]].push_back(i + 1);
                if (items[i] < 0) states[s].reductions.push_back(-items[i]);
            }
            for (auto& [symbol, kernel] : next) {
                auto found = by_kernel.find(kernel);
                int target;
                if (found != by_kernel.end()) {
                    target = found->second;
                } else {
                    target = static_cast<int>(states.size());
                    by_kernel[kernel] = target;
                    State t;
                    t.kernel = kernel;
                    t.symbol = symbol;
                    states.push_back(t);
                }
                states[s].shifts.push_back(target);
            }
        }
        // The start symbol's transition from state 0, to a state that shifts
        // the end of input to a state whose shift of it reaches the final state.
        int accept_from = static_cast<int>(states.size());
        auto& first = states[0].shifts;
        auto at = std::find_if(first.begin(), first.end(), [&](int t) { return states[t].symbol > start; });
        first.insert(at, accept_from);
        State s1;
        s1.symbol = start;
        s1.shifts = {accept_from + 1};
        State s2;
        s2.shifts = {accept_from + 2};
        states.push_back(s1);
        states.push_back(s2);
        states.push_back(State{});
        final_state = accept_from + 2;
    }

    // ---- LALR(1) lookaheads ----

    std::vector<bool> nullable;
    std::map<std::pair<int, int>, std::set<int>> follow;     // by (state, nonterminal) transition
    std::map<std::pair<int, int>, std::set<int>> lookahead;  // by (state, rule)

    int go(int s, int symbol) const {
        for (int t : states[s].shifts)
            if (t >= 0 && states[t].symbol == symbol) return t;
        return -1;
    }

    void compute_lookaheads() {
        nullable.assign(symbols, false);
        for (bool grew = true; grew;) {
            grew = false;
            for (const Rule& r : g.rules)
                if (!nullable[r.lhs] &&
                    std::all_of(r.rhs.begin(), r.rhs.end(), [&](int s) { return s >= tokens && nullable[s]; })) {
                    nullable[r.lhs] = true;
                    grew = true;
                }
        }
        // Direct reads, then reads through nullable nonterminals, includes
        // and lookbacks, all to a fixed point.
        std::vector<std::pair<int, int>> transitions;
        for (int s = 0; s < static_cast<int>(states.size()); ++s)
            for (int t : states[s].shifts)
                if (states[t].symbol >= tokens) transitions.push_back({s, states[t].symbol});
        for (auto tr : transitions) {
            int r = go(tr.first, tr.second);
            for (int t : states[r].shifts)
                if (states[t].symbol < tokens) follow[tr].insert(states[t].symbol);
        }
        // includes: (p, A) includes (p', B) when B -> beta A gamma, gamma nullable, p' --beta--> p.
        std::vector<std::pair<std::pair<int, int>, std::pair<int, int>>> edges;  // from gets to's set
        for (auto tr : transitions) {
            int r = go(tr.first, tr.second);
            for (int t : states[r].shifts)
                if (states[t].symbol >= tokens && nullable[states[t].symbol])
                    edges.push_back({tr, {r, states[t].symbol}});
        }
        for (auto tr : transitions) {
            for (const Rule& rule : g.rules) {
                if (rule.lhs != tr.second) continue;
                int p = tr.first;
                for (size_t k = 0; k < rule.rhs.size() && p >= 0; ++k) {
                    int x = rule.rhs[k];
                    if (x >= tokens) {
                        bool rest_nullable = true;
                        for (size_t m = k + 1; m < rule.rhs.size(); ++m)
                            if (rule.rhs[m] < tokens || !nullable[rule.rhs[m]]) rest_nullable = false;
                        if (rest_nullable) edges.push_back({{p, x}, tr});
                    }
                    p = go(p, x);
                }
            }
        }
        for (bool grew = true; grew;) {
            grew = false;
            for (auto& [to, from] : edges)
                for (int t : std::set<int>(follow[from]))
                    if (follow[to].insert(t).second) grew = true;
        }
        for (auto tr : transitions) {
            for (const Rule& rule : g.rules) {
                if (rule.lhs != tr.second) continue;
                int q = tr.first;
                for (int x : rule.rhs)
                    if (q >= 0) q = go(q, x);
                if (q >= 0) lookahead[{q, rule.number}].insert(follow[tr].begin(), follow[tr].end());
            }
        }
    }

    // ---- Actions ----

    bool consistent(int s) const {
        const State& st = states[s];
        if (st.reductions.empty()) return true;
        // Precedence may have struck shifts out (-1), so look at every one left.
        bool shifts_terminal =
            std::any_of(st.shifts.begin(), st.shifts.end(), [&](int t) { return t >= 0 && states[t].symbol < tokens; });
        return !(st.reductions.size() > 1 || shifts_terminal);
    }

    // Settles shift-reduce conflicts on operators by precedence.
    void resolve(int s) {
        if (consistent(s)) return;
        State& st = states[s];
        std::set<int> shifted;
        for (int t : st.shifts)
            if (t >= 0 && states[t].symbol < tokens) shifted.insert(states[t].symbol);
        for (int rule : st.reductions) {
            int rp = rule_precedence[rule];
            if (!rp) continue;
            std::set<int>& la = lookahead[{s, rule}];
            for (int t = 0; t < tokens; ++t) {
                if (!la.count(t) || !shifted.count(t) || !precedence[t]) continue;
                // Every operator is left-associative: equal precedence reduces.
                if (precedence[t] <= rp) {
                    for (int& target : st.shifts)
                        if (target >= 0 && states[target].symbol == t) target = -1;
                    shifted.erase(t);
                } else {
                    la.erase(t);
                }
            }
        }
    }

    // The state's actions by terminal (0: none) and its default rule (0: an error).
    int action_row(int s, std::vector<int>& row) {
        const State& st = states[s];
        row.assign(tokens, 0);
        bool lookaheads = !consistent(s);
        if (lookaheads)
            for (auto r = st.reductions.rbegin(); r != st.reductions.rend(); ++r)
                for (int t : lookahead[{s, *r}]) row[t] = -*r;
        for (int t : st.shifts)
            if (t >= 0 && states[t].symbol < tokens) row[states[t].symbol] = t;
        if (st.reductions.empty()) return 0;
        if (!lookaheads) return st.reductions[0];
        int best = 0, most = 0;
        for (int r : st.reductions) {
            int count = static_cast<int>(std::count(row.begin(), row.end(), -r));
            if (count > most) {
                most = count;
                best = r;
            }
        }
        if (most > 0)
            for (int& a : row)
                if (a == -best) a = 0;
        return best;
    }
};

struct Vector {
    std::vector<int> from, to;
    int width() const { return from.empty() ? 0 : from.back() - from.front() + 1; }
    int tally() const { return static_cast<int>(from.size()); }
};

std::string rows(const std::vector<int>& values, bool flag_none) {
    std::ostringstream out;
    for (size_t i = 0; i < values.size(); i += 10) {
        out << "   ";
        for (size_t j = i; j < values.size() && j < i + 10; ++j) {
            char cell[16];
            if (flag_none && values[j] == NO_ACTION)
                std::snprintf(cell, sizeof cell, " %3s,", "F");
            else
                std::snprintf(cell, sizeof cell, " %3d,", values[j]);
            out << cell;
        }
        out << "  // " << i << "\n";
    }
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: rill_make_tables GRAMMAR_FILE OUTPUT_DIRECTORY\n");
        return 2;
    }
    Grammar g = read_grammar(argv[1]);
    if (!g.error.empty()) {
        std::fprintf(stderr, "%s: %s\n", argv[1], g.error.c_str());
        return 1;
    }
    Builder b(g);
    b.build_states();
    b.compute_lookaheads();
    int nstates = static_cast<int>(b.states.size());
    for (int s = 0; s < nstates; ++s) b.resolve(s);

    // Rows: the states' terminal actions, then the nonterminals' gotos.
    int nvars = b.symbols - b.tokens;
    std::vector<Vector> vectors(nstates + nvars);
    std::vector<int> default_reduction(nstates), default_goto(nvars);
    std::vector<int> row;
    for (int s = 0; s < nstates; ++s) {
        default_reduction[s] = b.action_row(s, row);
        for (int t = 0; t < b.tokens; ++t)
            if (row[t]) {
                vectors[s].from.push_back(t);
                vectors[s].to.push_back(row[t]);
            }
    }
    for (int a = 0; a < nvars; ++a) {
        std::vector<std::pair<int, int>> gotos;  // (from, to), by from state
        for (int s = 0; s < nstates; ++s)
            for (int t : b.states[s].shifts)
                if (t >= 0 && b.states[t].symbol == b.tokens + a) gotos.push_back({s, t});
        std::vector<int> count(nstates, 0);
        for (auto [from, to] : gotos) ++count[to];
        int best = -1, most = 0;
        for (int s = 0; s < nstates; ++s)
            if (count[s] > most) {
                most = count[s];
                best = s;
            }
        default_goto[a] = best;
        for (auto [from, to] : gotos)
            if (to != best) {
                vectors[nstates + a].from.push_back(from);
                vectors[nstates + a].to.push_back(to);
            }
    }

    // The widest rows first, then the fullest; ties keep their order.
    std::vector<int> order;
    for (int i = 0; i < static_cast<int>(vectors.size()); ++i) {
        if (vectors[i].tally() == 0) continue;
        int w = vectors[i].width(), t = vectors[i].tally();
        auto at = order.end();
        while (at != order.begin()) {
            const Vector& p = vectors[*(at - 1)];
            if (p.width() > w || (p.width() == w && p.tally() >= t)) break;
            --at;
        }
        order.insert(at, i);
    }
    std::vector<int> base(vectors.size(), NO_ACTION), pos;
    std::vector<int> table(4096, 0), check(4096, -1);
    int low = 0, high = 0;
    for (size_t v = 0; v < order.size(); ++v) {
        const Vector& vec = vectors[order[v]];
        int place = NO_ACTION;
        // A state whose row equals an earlier one's shares its place.
        if (order[v] < nstates)
            for (size_t p = v; p-- > 0;) {
                const Vector& o = vectors[order[p]];
                if (o.width() != vec.width() || o.tally() != vec.tally()) break;
                if (o.from == vec.from && o.to == vec.to) {
                    place = base[order[p]];
                    break;
                }
            }
        if (place == NO_ACTION) {
            for (int j = low - vec.from[0];; ++j) {
                bool ok = std::find(pos.begin(), pos.end(), j) == pos.end();
                for (int k = 0; ok && k < vec.tally(); ++k)
                    if (table[j + vec.from[k]] != 0) ok = false;
                if (!ok) continue;
                for (int k = 0; k < vec.tally(); ++k) {
                    table[j + vec.from[k]] = vec.to[k];
                    check[j + vec.from[k]] = vec.from[k];
                    high = std::max(high, j + vec.from[k]);
                }
                while (table[low] != 0) ++low;
                place = j;
                break;
            }
        }
        pos.push_back(place);
        base[order[v]] = place;
    }

    // Token translation: by code, the terminal; every other code the undefined one.
    int max_code = 0;
    for (auto [t, code] : g.code_of) max_code = std::max(max_code, code);
    std::vector<int> translation(max_code + 1, g.undefined);
    for (auto [t, code] : g.code_of) translation[code] = t;
    int error_code = g.code_of.count(1) ? g.code_of.at(1) : 0;

    std::vector<int> lhs{0}, length{0};
    for (const Rule& r : g.rules) {
        lhs.push_back(r.lhs);
        length.push_back(static_cast<int>(r.rhs.size()));
    }
    std::vector<int> state_base(base.begin(), base.begin() + nstates), goto_base(base.begin() + nstates, base.end());
    // The tables have always held one more state after the final one, with
    // base 0 and no default; nothing enters it. Kept, so that the tables
    // stay as they were.
    ++nstates;
    default_reduction.push_back(0);
    state_base.push_back(0);
    std::vector<int> packed_table(table.begin(), table.begin() + high + 1);
    std::vector<int> packed_check(check.begin(), check.begin() + high + 1);

    // The same tables unpacked, for the driver: one look-up a step, with
    // what the packed look-up would find. A terminal's default reduction is
    // told from an explicit one, since only the default is noted for help;
    // the last column stands for every terminal number past the grammar's.
    constexpr int DEFAULT_REDUCTION = 1000;
    auto packed = [&](int base_of, int key, int fallback) {
        int i = base_of + key;
        bool found = base_of != NO_ACTION && i >= 0 && i <= high && packed_check[i] == key;
        return found ? packed_table[i] : fallback;
    };
    std::vector<int> terminal_actions, gotos;
    for (int st = 0; st < nstates; ++st)
        for (int t = 0; t <= b.tokens; ++t)
            terminal_actions.push_back(
                packed(state_base[st], t < b.tokens ? t : b.symbols, -(DEFAULT_REDUCTION + default_reduction[st])));
    for (int a = 0; a < nvars; ++a)
        for (int st = 0; st < nstates; ++st) gotos.push_back(packed(goto_base[a], st, default_goto[a]));

    std::string dir = argv[2];
    char line[128];
    std::ostringstream h;
    h << "// The parser's constant tables. Internal symbol numbers: 0 end of input,\n"
         "// 1 the error terminal, 2 any undefined terminal, 3 to "
      << b.tokens - 1 << " the grammar's other\n// terminals, " << b.tokens << " to " << b.symbols - 1
      << " its nonterminals.\n"
         "#pragma once\n\n#include <cstdint>\n\n// clang-format off\n";
    auto constant = [&](const char* name, int value) {
        std::snprintf(line, sizeof line, "constexpr int %-22s = %d;", name, value);
        h << line;
    };
    constant("PARSE_STATE_COUNT", nstates);
    h << "\n";
    constant("FIRST_NONTERMINAL", b.tokens);
    h << "\n";
    constant("NONTERMINAL_COUNT", nvars);
    h << "\n";
    constant("SYMBOL_COUNT", b.symbols);
    h << "     // a terminal lookup with it always takes the default\n";
    constant("RULE_COUNT", static_cast<int>(g.rules.size()));
    h << "\n";
    constant("LAST_INDEX", high);
    h << "\n";
    constant("FINAL_STATE", b.final_state);
    h << "\n";
    constant("ERROR_TERMINAL", 1);
    h << "\n";
    constant("TOKEN_TRANSLATION_SIZE", max_code + 1);
    h << "\nconstexpr int16_t NO_ACTION_FLAG     = -32768;\n\n"
         "extern const int8_t  token_translation[TOKEN_TRANSLATION_SIZE];\n"
         "extern const int8_t  rule_lhs[RULE_COUNT + 1];\n"
         "extern const int8_t  rule_length[RULE_COUNT + 1];\n"
         "extern const int16_t default_reduction[PARSE_STATE_COUNT];\n"
         "extern const int16_t action_base[PARSE_STATE_COUNT];\n"
         "extern const int16_t default_goto[NONTERMINAL_COUNT];\n"
         "extern const int16_t goto_base[NONTERMINAL_COUNT];\n"
         "extern const int16_t action_table[LAST_INDEX + 1];\n"
         "extern const int16_t action_check[LAST_INDEX + 1];\n\n"
         "// Unpacked: the action of state s on terminal t (t above the grammar's: FIRST_NONTERMINAL),\n"
         "// and the state a reduction to nonterminal a reaches from state s.\n"
         "constexpr int TERMINAL_COLUMNS       = FIRST_NONTERMINAL + 1;\n"
         "constexpr int DEFAULT_REDUCTION      = "
      << DEFAULT_REDUCTION
      << ";   // an action of -(DEFAULT_REDUCTION + r): rule r, the state's default\n"
         "extern const int16_t terminal_action[PARSE_STATE_COUNT * TERMINAL_COLUMNS];  // [s * TERMINAL_COLUMNS + t]\n"
         "extern const int16_t goto_table[NONTERMINAL_COUNT * PARSE_STATE_COUNT];      // [a * PARSE_STATE_COUNT + s]\n"
         "// clang-format on\n";

    std::ostringstream c;
    c << "// The LALR(1) tables of the grammar, packed with default reductions. They are\n"
         "// data: regenerate them whole from the grammar rather than editing entries.\n"
         "#include \"parser/tables.h\"\n\n"
         "// clang-format off\n"
         "namespace {\nconstexpr int16_t F = NO_ACTION_FLAG;\n}\n\n"
      << "// By token code 0 to " << max_code << ": the internal terminal number. " << error_code
      << " is the error\n// terminal; " << g.undefined << " stands for every code the grammar does not use.\n"
      << "const int8_t token_translation[TOKEN_TRANSLATION_SIZE] = {\n"
      << rows(translation, false) << "};\n\n"
      << "// By rule: the internal number of its left-hand nonterminal.\n"
         "const int8_t rule_lhs[RULE_COUNT + 1] = {\n"
      << rows(lhs, false) << "};\n\n"
      << "// By rule: the number of symbols on its right-hand side.\n"
         "const int8_t rule_length[RULE_COUNT + 1] = {\n"
      << rows(length, false) << "};\n\n"
      << "// By state: the rule reduced when the lookahead has no explicit action; 0 is a syntax error.\n"
         "const int16_t default_reduction[PARSE_STATE_COUNT] = {\n"
      << rows(default_reduction, false) << "};\n\n"
      << "// By state: where its terminal actions start in action_table, or F when it always takes its "
         "default.\n"
         "const int16_t action_base[PARSE_STATE_COUNT] = {\n"
      << rows(state_base, true) << "};\n\n"
      << "// By nonterminal - " << b.tokens
      << ": the state reached from every state not listed explicitly.\n"
         "const int16_t default_goto[NONTERMINAL_COUNT] = {\n"
      << rows(default_goto, false) << "};\n\n"
      << "// By nonterminal - " << b.tokens
      << ": where its explicit gotos start in action_table, or F.\n"
         "const int16_t goto_base[NONTERMINAL_COUNT] = {\n"
      << rows(goto_base, true) << "};\n\n"
      << "// Shared by all: a terminal action (above 0 shift, below 0 reduce, 0 error, FINAL_STATE accept) "
         "or a goto target.\n"
         "const int16_t action_table[LAST_INDEX + 1] = {\n"
      << rows(packed_table, false) << "};\n\n"
      << "// Beside action_table: the terminal, or the goto's source state, for which the entry is valid.\n"
         "const int16_t action_check[LAST_INDEX + 1] = {\n"
      << rows(packed_check, false) << "};\n\n"
      << "// By state, then terminal: what action_base, action_table and default_reduction give.\n"
         "const int16_t terminal_action[PARSE_STATE_COUNT * TERMINAL_COLUMNS] = {\n"
      << rows(terminal_actions, false) << "};\n\n"
      << "// By nonterminal - " << b.tokens
      << ", then state: what goto_base, action_table and default_goto give.\n"
         "const int16_t goto_table[NONTERMINAL_COUNT * PARSE_STATE_COUNT] = {\n"
      << rows(gotos, false) << "};\n"
      << "// clang-format on\n";

    for (auto [name, text] : {std::pair{"/tables.h", h.str()}, std::pair{"/tables.cpp", c.str()}}) {
        std::ofstream out(dir + name);
        out << text;
        if (!out) {
            std::fprintf(stderr, "cannot write %s%s\n", dir.c_str(), name);
            return 1;
        }
    }
    return 0;
}
