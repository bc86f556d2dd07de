// Console input's conversions against the C library's own "%d" and "%lf",
// read from a stream over the same text: the same numbers stored, and the
// same characters left for whatever reads next.
#include "engine/number_input.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    bool stored = false;
    int32_t integer = 0;
    double real = 0;
    std::string rest;  // what the next read would see

    bool operator==(const Outcome& o) const {
        return stored == o.stored && integer == o.integer && std::memcmp(&real, &o.real, sizeof real) == 0 &&
               rest == o.rest;
    }
};

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << (o.stored ? "stored " : "nothing ") << o.integer << " " << o.real << ", left "
        << testing::PrintToString(o.rest);
}

Outcome by_library(const std::string& text, bool real) {
    Outcome o;
    FILE* f = text.empty() ? std::fopen("/dev/null", "r") : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (!f) return o;
    o.stored = real ? std::fscanf(f, "%lf", &o.real) == 1 : std::fscanf(f, "%d", &o.integer) == 1;
    for (int c; (c = std::fgetc(f)) != EOF;) o.rest += static_cast<char>(c);
    std::fclose(f);
    return o;
}

Outcome by_rill(const std::string& text, bool real) {
    InputReader reader;
    reader.ahead.assign(text.begin(), text.end());
    reader.ready = text.size();
    reader.ended = true;
    Outcome o;
    o.stored = real ? input_real(reader, &o.real) : input_integer(reader, &o.integer);
    o.rest.assign(reader.ahead.begin() + static_cast<std::ptrdiff_t>(reader.next), reader.ahead.end());
    return o;
}

void expect_same(const std::string& text) {
    for (bool real : {false, true})
        EXPECT_EQ(by_rill(text, real), by_library(text, real))
            << (real ? "%lf" : "%d") << " on " << testing::PrintToString(text);
}

TEST(NumberInput, MatchesTheLibraryOnTheTable) {
    const char* const inputs[] = {
        // blanks, signs, what stays
        "42",
        " \t\n\v\f\r42abc",
        "-17",
        "+5",
        "-",
        "+",
        "- 5",
        "+-3",
        "--1",
        "abc",
        "",
        "   ",
        "12\r\n",
        // integers out of range, leading zeros, a hexadecimal prefix
        "2147483647",
        "2147483648",
        "-2147483649",
        "4294967297",
        "99999999999999999999",
        "-99999999999999999999",
        "007",
        "0x1A",
        "-0",
        // points and exponents, complete or cut short
        "3.7",
        ".5",
        "-.5",
        ".",
        "-.",
        "5.",
        "1.5.3",
        "1..2",
        "1e5",
        "1E+5",
        "1e-5x",
        "1e",
        "1e+",
        "1e-x",
        "1ex",
        "100ergs",
        ".e5",
        "1.e3",
        // infinities and NaN, complete or cut short
        "inf",
        "-INF",
        "+Infinity",
        "infinit",
        "infx",
        "infix",
        "in",
        "i",
        "nan",
        "NaN(1)",
        "-nan",
        "na",
        "nax",
        "n",
        // hexadecimal reals
        "0x",
        "-0x",
        "0xg",
        "0x1p3",
        "0X1.8P+1",
        "0x.8",
        "0x1p",
        "0x1p-",
        "0xAp-2z",
        "0x1e",
        // beyond the range of a double
        "1e400",
        "-1e400",
        "1e-400",
        "4.9e-324",
        "0.1",
        "123456789012345678901234567890",
    };
    for (const char* text : inputs) expect_same(text);
}

// Random texts over the characters that matter, to catch what the table misses.
TEST(NumberInput, MatchesTheLibraryOnRandomTexts) {
    const char alphabet[] = "0123456789+-.eEpPxXaAfFiInNtTyY \t\n.e+-0";
    std::mt19937 random(12345);
    for (int i = 0; i < 30000 && !HasFailure(); ++i) {
        std::string text;
        for (size_t n = random() % 10; n > 0; --n) text += alphabet[random() % (sizeof alphabet - 1)];
        expect_same(text);
    }
}

// Over a stream fed in pieces, a read takes only its number and leaves every
// later byte, also those that came in the same piece, for the next reader.
TEST(NumberInput, LeavesTheRestOfThePieceInTheReader) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    InputReader reader;
    reader.fd = p[0];
    std::thread writer([fd = p[1]] {
        (void)!write(fd, "  4", 3);
        usleep(50000);  // the read waits for the number's end
        (void)!write(fd, "2 P(x);", 7);
        close(fd);
    });
    int32_t x = 0;
    EXPECT_TRUE(input_integer(reader, &x));
    writer.join();
    EXPECT_EQ(x, 42);
    char buf[16];
    ASSERT_EQ(read_source(reader, buf, 16), 6);
    EXPECT_EQ(std::string(buf, 6), " P(x);");
    close(p[0]);
}

}  // namespace
