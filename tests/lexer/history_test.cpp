#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "lexer/line_editor.h"

namespace {

// Any bytes at all, each entry one line of the file, come back as they were.
TEST(History, EveryByteSurvivesTheFile) {
    std::mt19937 random(7);
    std::vector<std::string> lines;
    for (int i = 0; i < 300; ++i) {
        std::string line(1 + random() % 40, ' ');
        for (char& c : line) c = static_cast<char>(random() % 256);
        if (line.find_first_not_of(" \t") == std::string::npos) line = "x" + line;
        lines.push_back(line);
    }
    std::string text = format_history(lines);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 301);
    EXPECT_EQ(parse_history(text, true, 1000), lines);
}

TEST(History, KeepsTheLastLinesAndDropsACutFirstLine) {
    std::string text = format_history({"one", "two", "three", "four"});
    EXPECT_EQ(parse_history(text, true, 2), (std::vector<std::string>{"three", "four"}));
    // Read from inside "two": that line is not whole.
    std::string tail = text.substr(text.find("wo"));
    EXPECT_EQ(parse_history(tail, false, 10), (std::vector<std::string>{"three", "four"}));
}

// Files the line editor wrote itself use other escapes for the same bytes.
TEST(History, ReadsTheEditorsOwnEscapes) {
    std::string text = "_HiStOrY_V2_\nP(\"a\"\\040\\\\n);\n\\^A\\M-a\\M^B\\t\\s\\$x\nend\\q\n";
    EXPECT_EQ(parse_history(text, true, 10),
              (std::vector<std::string>{"P(\"a\" \\n);", std::string("\x01\xe1\x82\t x"), "end\\q"}));
}

}  // namespace
