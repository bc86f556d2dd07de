// The token stream, seen through rill_scan: one token a line, "code value".
#include <string>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

struct Scan {
    std::string tokens;     // one line a token, joined with blanks
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
    EXPECT_EQ(tokens_of("x=-1"), "258 x 266 259 1");
    EXPECT_EQ(tokens_of("x= -1"), "258 x 264 291 259 1");
    EXPECT_EQ(tokens_of("x=++y"), "258 x 265 290 258 y");
    EXPECT_EQ(tokens_of("a<=b =< => == =! =* =/ -- ++"), "258 a 274 264 258 b 272 273 271 276 267 268 270 269");
    EXPECT_EQ(tokens_of("P(x)"), "282 262 258 x 263");
    EXPECT_EQ(tokens_of("\\q \\n"), "92 258 q 277");
}

TEST(Scanner, Numbers) {
    EXPECT_EQ(tokens_of("1. .5 1.5.3"), "259 1 46 46 259 5 260 1.5 46 259 3");
    // Literals wrap modulo 2^32.
    EXPECT_EQ(tokens_of("2147483647 2147483648 4294967297 99999999999"),
              "259 2147483647 259 -2147483648 259 1 259 1215752191");
    EXPECT_EQ(tokens_of("0.1 007"), "260 0.10000000000000001 259 7");
}

TEST(Scanner, IdentifiersAndKeywords) {
    EXPECT_EQ(tokens_of("a_b a__b9 ab1_ if_x a_b_c _a"),
              "258 a_b 258 a__b9 258 ab1_ 258 if_x 258 a_b 95 258 c 95 258 a");
    EXPECT_EQ(tokens_of("loop if P F S D rand dbl int out"), "283 286 282 281 284 289 279 287 288 278");
    EXPECT_EQ(tokens_of("loopy Px P_ Loop p in ifx outs"),
              "258 loopy 258 Px 258 P_ 258 Loop 258 p 258 in 258 ifx 258 outs");
}

TEST(Scanner, Strings) {
    EXPECT_EQ(tokens_of("\"a\nb\" \"\" \"%d\\n\""), "261 \"a\\nb\" 261 \"\" 261 \"%d\\\\n\"");
    // An unterminated quote is the character 34; scanning resumes after it.
    EXPECT_EQ(tokens_of("x \"abc"), "258 x 34 258 abc");
    EXPECT_EQ(tokens_of("' \"remark\" '"), "280 261 \"remark\" 280");
}

TEST(Scanner, NulBytes) {
    // Outside a string a NUL is the character 0, which ends the stream here.
    EXPECT_EQ(tokens_of(std::string("ab\0cd", 5)), "258 ab");
    // Inside a string it stays part of the match and ends the value.
    EXPECT_EQ(tokens_of(std::string("\"ab\0cd\" x", 9)), "261 \"ab\" 258 x");
}

TEST(Scanner, LineEndsAndHighBytes) {
    EXPECT_EQ(tokens_of("a\r\nb"), "258 a 258 b");
    EXPECT_EQ(tokens_of("\"a\r\nb\""), "261 \"a\\nb\"");
    EXPECT_EQ(tokens_of("a\rb"), "258 a 13 258 b");
    EXPECT_EQ(tokens_of("a\x1a b"), "258 a");
    // Bytes above 127 are characters of their own outside strings, text inside.
    EXPECT_EQ(tokens_of("\xe9x \"\x83\x81\""), "233 258 x 261 \"\\x83\\x81\"");
}

TEST(Scanner, EmptyAndUnfinishedInput) {
    EXPECT_EQ(tokens_of(""), "");
    EXPECT_EQ(tokens_of("abc"), "258 abc");
    EXPECT_EQ(tokens_of("12"), "259 12");
}

// The first read takes 8192 bytes; these texts put a token, or a CR LF pair,
// across that boundary and check that nothing changes.
TEST(Scanner, ChunkBoundary) {
    std::string pad(8188, ' ');
    EXPECT_EQ(tokens_of(pad + "abcdefgh"), "258 abcdefgh");
    EXPECT_EQ(tokens_of(pad + "\"long string\""), "261 \"long string\"");
    std::string cr_last(8191, ' ');
    EXPECT_EQ(tokens_of(cr_last + "\r\nx"), "258 x");
    EXPECT_EQ(tokens_of(cr_last + "\rx"), "13 258 x");
    EXPECT_EQ(tokens_of(std::string(8190, ' ') + "\"\r\n\""), "261 \"\\n\"");
}

TEST(Scanner, TokenLengthLimit) {
    Scan ok = scan_text(std::string(16381, 'a') + " b");
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.tokens.size(), 4 + 16381 + 6u);

    Scan over = scan_text(std::string(16382, 'a') + " b");
    EXPECT_EQ(over.status, 1);
    EXPECT_EQ(over.err, "fatal error - scanner input buffer overflow\n");

    // An unterminated quote keeps the whole rest as a pending match.
    Scan short_rest = scan_text("\"" + std::string(16380, 'x'));
    EXPECT_EQ(short_rest.status, 0);
    EXPECT_EQ(short_rest.tokens.substr(0, 7), "34 258 ");
    Scan long_rest = scan_text("\"" + std::string(16381, 'x'));
    EXPECT_EQ(long_rest.status, 1);
    EXPECT_EQ(long_rest.err, "fatal error - scanner input buffer overflow\n");
}

TEST(Scanner, ReadsStandardInputWithoutFile) {
    std::string dir = make_scratch_dir("scan-stdin");
    write_file(dir + "/in.txt", "P(x)\r\n;");
    ProcessResult r = run_process({RILL_SCAN}, dir, dir + "/in.txt");
    remove_tree(dir);
    EXPECT_EQ(r.out, "282\n262\n258 x\n263\n59\n");
}

}  // namespace
