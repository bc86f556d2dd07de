// The reader of src/parser/grammar.txt, shared by the table builder
// (tools/make_tables.cpp) and the test that holds the parser to the file
// (tests/parser/grammar_test.cpp), so that both read it the same way.
#pragma once

#include <fstream>
#include <map>
#include <string>
#include <vector>

struct Rule {
    int number;
    int lhs;
    std::vector<int> rhs;
    std::string action;  // as written after "=>", or empty
};

struct Grammar {
    std::map<std::string, int> symbols;  // as the rules write them
    std::map<int, int> code_of;          // terminal -> token code; "*" has none
    int undefined = -1;                  // the terminal that stands for every other code
    int first_nonterminal = 0, symbol_count = 0;
    std::vector<Rule> rules;   // rules[r - 1] is rule r
    std::map<int, int> level;  // operator terminal -> precedence, 1 the loosest
    std::string error;         // the first fault found in the file

    bool terminal(int s) const { return s < first_nonterminal; }
};

// Splits a line into words; a double-quoted lexeme is one word, quotes kept.
inline std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> w;
    for (size_t i = 0; i < line.size();) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        size_t end = line[i] == '"' ? line.find('"', i + 1) + 1 : line.find_first_of(" \t", i);
        if (end == 0 || end == std::string::npos) end = line.size();
        w.push_back(line.substr(i, end - i));
        i = end;
    }
    return w;
}

inline Grammar read_grammar(const std::string& path) {
    Grammar g;
    std::ifstream in(path);
    if (!in) g.error = "cannot read " + path;
    int line_number = 0;
    for (std::string line; g.error.empty() && std::getline(in, line);) {
        ++line_number;
        std::string where = "line " + std::to_string(line_number) + ": ";
        std::vector<std::string> w = words_of(line);
        std::string action;  // the words after a bare "=>", as one text
        for (size_t i = 0; i < w.size(); ++i) {
            if (w[i] != "=>") continue;
            for (size_t j = i + 1; j < w.size(); ++j) action += (j > i + 1 ? " " : "") + w[j];
            w.resize(i);
            break;
        }
        if (w.empty() || w[0][0] == '#') continue;
        if ((w[0] == "terminal" && w.size() == 4) || (w[0] == "nonterminal" && w.size() == 3)) {
            int n = std::stoi(w[1]);
            if (n != g.symbol_count) g.error = where + "symbols must be numbered 0, 1, 2, ... in order";
            if (w[0] == "terminal") {
                if (g.first_nonterminal) g.error = where + "a terminal after the nonterminals";
                if (w[2] == "*")
                    g.undefined = n;
                else
                    g.code_of[n] = std::stoi(w[2]);
            } else if (!g.first_nonterminal) {
                g.first_nonterminal = n;
            }
            g.symbols[w.back()] = n;
            ++g.symbol_count;
        } else if (w[0] == "left" && w.size() >= 2) {
            int level = static_cast<int>(g.level.size()) + 1;
            for (size_t i = 1; i < w.size(); ++i) {
                auto s = g.symbols.find(w[i]);
                if (s == g.symbols.end())
                    g.error = where + "unknown operator " + w[i];
                else
                    g.level[s->second] = level;
            }
        } else if (w[0] == "rule" && w.size() >= 4 && w[3] == "->") {
            Rule r{std::stoi(w[1]), -1, {}, action};
            if (r.number != static_cast<int>(g.rules.size()) + 1) g.error = where + "rules must be numbered 1, 2, ...";
            for (size_t i = 2; i < w.size(); ++i) {
                if (i == 3) continue;
                auto s = g.symbols.find(w[i]);
                if (s == g.symbols.end())
                    g.error = where + "unknown symbol " + w[i];
                else if (i == 2)
                    r.lhs = s->second;
                else
                    r.rhs.push_back(s->second);
            }
            if (r.lhs >= 0 && g.terminal(r.lhs)) g.error = where + "a terminal on the left";
            g.rules.push_back(r);
        } else {
            g.error = where + "not a terminal, nonterminal or rule line";
        }
    }
    return g;
}
