// The token stream, seen through rill_scan: one token a line, "NAME value",
// or a single character in quotes.
#include <string>

#include <gtest/gtest.h>

#include "lexer/reader.h"
#include "support/process.h"

namespace {

struct Scan {
    std::string tokens;  // one line a token, joined with blanks
    std::string err;
    int status;
};

Scan scan_text(const std::string& text) {
    std::string dir = make_scratch_dir("scan");
    write_file(dir + "/src.txt", text);
    ProcessResult r = run_process({RILL_SCAN, dir + "/src.txt"}, dir, "/dev/null");
    remove_tree(dir);
    std::string joined;
    for (char c : r.out) joined += c == '\n' ? ' ' : c;
    if (!joined.empty()) joined.pop_back();
    return {joined, r.err, r.status};
}

std::string tokens_of(const std::string& text) {
    return scan_text(text).tokens;
}

TEST(Scanner, LongestMatchAndTieBreaks) {
    EXPECT_EQ(tokens_of("x=-1"), "IDENT x SUB_ASSIGN INT_CONST 1");
    EXPECT_EQ(tokens_of("x= -1"), "IDENT x ASSIGN MINUS INT_CONST 1");
    EXPECT_EQ(tokens_of("x=++y"), "IDENT x ADD_ASSIGN PLUS IDENT y");
    EXPECT_EQ(tokens_of("a<=b =< => == =! =* =/ -- ++"),
              "IDENT a LT ASSIGN IDENT b LE GE EQ NE MUL_ASSIGN DIV_ASSIGN DECREMENT INCREMENT");
    EXPECT_EQ(tokens_of("P(x)"), "KW_P LPAREN IDENT x RPAREN");
    EXPECT_EQ(tokens_of("\\q \\n"), "'\\' IDENT q NEWLINE_MARK");
}

TEST(Scanner, Numbers) {
    EXPECT_EQ(tokens_of("1. .5 1.5.3"), "INT_CONST 1 '.' '.' INT_CONST 5 REAL_CONST 1.5 '.' INT_CONST 3");
    // Literals wrap modulo 2^32.
    EXPECT_EQ(tokens_of("2147483647 2147483648 4294967297 99999999999"),
              "INT_CONST 2147483647 INT_CONST -2147483648 INT_CONST 1 INT_CONST 1215752191");
    EXPECT_EQ(tokens_of("0.1 007"), "REAL_CONST 0.10000000000000001 INT_CONST 7");
}

TEST(Scanner, IdentifiersAndKeywords) {
    EXPECT_EQ(tokens_of("a_b a__b9 ab1_ if_x a_b_c _a"),
              "IDENT a_b IDENT a__b9 IDENT ab1_ IDENT if_x IDENT a_b '_' IDENT c '_' IDENT a");
    EXPECT_EQ(tokens_of("loop if P F S D rand dbl int out"),
              "KW_LOOP KW_IF KW_P KW_F KW_S KW_D KW_RAND KW_DBL KW_INT KW_OUT");
    EXPECT_EQ(tokens_of("loopy Px P_ Loop p in ifx outs"),
              "IDENT loopy IDENT Px IDENT P_ IDENT Loop IDENT p IDENT in IDENT ifx IDENT outs");
}

TEST(Scanner, Strings) {
    EXPECT_EQ(tokens_of("\"a\nb\" \"\" \"%d\\n\""),
              "STRING_CONST \"a\\nb\" STRING_CONST \"\" STRING_CONST \"%d\\\\n\"");
    // An unterminated quote is the character 34; scanning resumes after it.
    EXPECT_EQ(tokens_of("x \"abc"), "IDENT x '\"' IDENT abc");
    EXPECT_EQ(tokens_of("' \"remark\" '"), "QUOTE STRING_CONST \"remark\" QUOTE");
}

TEST(Scanner, NulBytes) {
    // Outside a string a NUL is the character 0, which ends the stream here.
    EXPECT_EQ(tokens_of(std::string("ab\0cd", 5)), "IDENT ab");
    // Inside a string it stays part of the match and ends the value.
    EXPECT_EQ(tokens_of(std::string("\"ab\0cd\" x", 9)), "STRING_CONST \"ab\" IDENT x");
}

TEST(Scanner, LineEndsAndHighBytes) {
    EXPECT_EQ(tokens_of("a\r\nb"), "IDENT a IDENT b");
    EXPECT_EQ(tokens_of("\"a\r\nb\""), "STRING_CONST \"a\\nb\"");
    EXPECT_EQ(tokens_of("a\rb"), "IDENT a '\\x0d' IDENT b");
    EXPECT_EQ(tokens_of("a\x1a b"), "IDENT a");
    // Bytes above 127 are characters of their own outside strings, text inside.
    EXPECT_EQ(tokens_of("\xe9x \"\x83\x81\""), "'\\xe9' IDENT x STRING_CONST \"\\x83\\x81\"");
}

TEST(Scanner, EmptyAndUnfinishedInput) {
    EXPECT_EQ(tokens_of(""), "");
    EXPECT_EQ(tokens_of("abc"), "IDENT abc");
    EXPECT_EQ(tokens_of("12"), "INT_CONST 12");
}

// The first read takes READ_CHUNK bytes; these texts put a token, or a CR LF
// pair, across that boundary and check that nothing changes.
TEST(Scanner, ChunkBoundary) {
    std::string pad(READ_CHUNK - 4, ' ');
    EXPECT_EQ(tokens_of(pad + "abcdefgh"), "IDENT abcdefgh");
    EXPECT_EQ(tokens_of(pad + "\"long string\""), "STRING_CONST \"long string\"");
    std::string cr_last(READ_CHUNK - 1, ' ');
    EXPECT_EQ(tokens_of(cr_last + "\r\nx"), "IDENT x");
    EXPECT_EQ(tokens_of(cr_last + "\rx"), "'\\x0d' IDENT x");
    EXPECT_EQ(tokens_of(std::string(READ_CHUNK - 2, ' ') + "\"\r\n\""), "STRING_CONST \"\\n\"");
}

TEST(Scanner, TokenLengthLimit) {
    Scan ok = scan_text(std::string(16381, 'a') + " b");
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.tokens, "IDENT " + std::string(16381, 'a') + " IDENT b");

    Scan over = scan_text(std::string(16382, 'a') + " b");
    EXPECT_EQ(over.status, 1);
    EXPECT_EQ(over.err, "fatal error - scanner input buffer overflow\n");

    // An unterminated quote keeps the whole rest as a pending match.
    Scan short_rest = scan_text("\"" + std::string(16380, 'x'));
    EXPECT_EQ(short_rest.status, 0);
    EXPECT_EQ(short_rest.tokens.substr(0, 10), "'\"' IDENT ");
    Scan long_rest = scan_text("\"" + std::string(16381, 'x'));
    EXPECT_EQ(long_rest.status, 1);
    EXPECT_EQ(long_rest.err, "fatal error - scanner input buffer overflow\n");
}

TEST(Scanner, ReadsStandardInputWithoutFile) {
    std::string dir = make_scratch_dir("scan-stdin");
    write_file(dir + "/in.txt", "P(x)\r\n;");
    ProcessResult r = run_process({RILL_SCAN}, dir, dir + "/in.txt");
    remove_tree(dir);
    EXPECT_EQ(r.out, "KW_P\nLPAREN\nIDENT x\nRPAREN\n';'\n");
}

}  // namespace
