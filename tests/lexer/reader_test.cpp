// The source reader over a real pipe. Text-mode translation must not depend
// on where the reads happen to split the input, least of all between a CR
// and its LF; a 0x1A byte ends the input and nothing after it is read.
#include "lexer/reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// What the program must see: CR LF as LF, nothing from the first 0x1A on.
std::string translated(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size() && raw[i] != '\x1a'; ++i)
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) out += raw[i];
    return out;
}

struct Pipe {
    Pipe(const std::string& raw) {
        if (pipe(fd) != 0) return;
        EXPECT_EQ(write(fd[1], raw.data(), raw.size()), static_cast<ssize_t>(raw.size()));
        close(fd[1]);
    }
    ~Pipe() { close(fd[0]); }
    int fd[2] = {-1, -1};
};

// Everything the reader hands out, with the first read() cut after split
// bytes (a pipe returns no more than is asked) and later ones at room.
std::string read_all(InputReader& reader, int split, int room) {
    std::string got;
    char buf[READ_CHUNK];
    for (int ask = split, n; (n = read_source(reader, buf, ask)) != 0; ask = room) {
        if (n < 0) return got + "<error>";
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

const char* const RAW_INPUTS[] = {
    "ab\r\ncd\r\n", "\r\n\r\n", "a\r\r\nb\rc\r", "\r", "x\r\n\x1a\r\ny", "p\r\x1aq", "\x1a", "ab\x1a\r\n",
};

TEST(ReadSource, TranslationDoesNotDependOnWhereReadsSplit) {
    for (const std::string raw : RAW_INPUTS) {
        for (int split = 1; split <= static_cast<int>(raw.size()) + 1; ++split) {
            for (int room : {1, 2, READ_CHUNK}) {
                Pipe p(raw);
                InputReader reader;
                reader.fd = p.fd[0];
                EXPECT_EQ(read_all(reader, split, room), translated(raw))
                    << "input " << testing::PrintToString(raw) << ", split " << split << ", room " << room;
            }
        }
    }
}

TEST(ReadSource, EndStaysAndNothingAfterSubstituteCharacterIsRead) {
    Pipe p("a\x1atail");
    InputReader reader;
    reader.fd = p.fd[0];
    char buf[16];
    ASSERT_EQ(read_source(reader, buf, 2), 1);  // reads "a\x1a" only
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(read_source(reader, buf, 16), 0);
    EXPECT_EQ(read_source(reader, buf, 16), 0);
    char rest[16];
    EXPECT_EQ(read(p.fd[0], rest, sizeof rest), 4) << "the bytes after 0x1A stay unread";
}

TEST(ReadSource, FailedReadIsReportedEveryTime) {
    int fd = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    InputReader reader;
    reader.fd = fd;
    char buf[16];
    EXPECT_EQ(read_source(reader, buf, 16), -1);
    EXPECT_EQ(read_source(reader, buf, 16), -1);
    close(fd);
}

// The console's look-ahead and the scanner's reads share one stream: what
// one takes, the other never sees, and every other byte comes out in order.
TEST(ReadSource, LookAheadAndReadsShareTheStream) {
    Pipe p("12\r\n345\r");
    InputReader reader;
    reader.fd = p.fd[0];
    char buf[16];
    ASSERT_EQ(read_source(reader, buf, 1), 1);
    EXPECT_EQ(input_peek(reader, 0), '2');
    EXPECT_EQ(input_peek(reader, 1), '\n');
    EXPECT_EQ(input_peek(reader, 5), '\r');  // the last CR, once the end shows it has no LF
    EXPECT_EQ(input_peek(reader, 6), -1);
    input_take(reader, 2);
    ASSERT_EQ(read_source(reader, buf, 16), 4);
    EXPECT_EQ(std::string(buf, 4), "345\r");
    EXPECT_EQ(read_source(reader, buf, 16), 0);
}

}  // namespace
