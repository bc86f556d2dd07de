// Runs every program under tests/programs/<group>/<name>.txt in a process of
// its own (the interpreter's records start zeroed and are never reset) and
// compares what it did with the files beside it:
//   <name>.in      standard input (default: empty)
//   <name>.out     expected standard output (default: empty)
//   <name>.err     expected standard error (default: empty)
//   <name>.status  expected exit status (default: 0)
//   <name>.args    arguments, one per line, in place of the program's path;
//                  a line "{}" stands for that path (default: the path alone)
//   <name>.files/  every file in it must exist in the working directory of
//                  the run, with the same bytes
// Each run gets a fresh, empty working directory.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"

namespace {

// Every program file, as "group/name" without the .txt.
std::vector<std::string> find_programs() {
    std::vector<std::string> found;
    for (const std::string& group : list_dir(RILL_PROGRAMS_DIR)) {
        std::string dir = std::string(RILL_PROGRAMS_DIR) + "/" + group;
        if (!is_dir(dir)) continue;
        for (const std::string& file : list_dir(dir))
            if (file.size() > 4 && file.compare(file.size() - 4, 4, ".txt") == 0)
                found.push_back(group + "/" + file.substr(0, file.size() - 4));
    }
    return found;
}

// Standard output as expected on this machine. A NaN's sign is the
// processor's, so a program that prints one keeps, beside its .out, the
// output of each machine that differs: name.aarch64.out.
std::string expected_out(const std::string& base) {
    std::string text;
    if (read_file(base + "." RILL_MACHINE ".out", &text)) return text;
    return read_or_empty(base + ".out");
}

class Program : public testing::TestWithParam<std::string> {};

TEST_P(Program, Runs) {
    const std::string base = std::string(RILL_PROGRAMS_DIR) + "/" + GetParam();
    const std::string program = base + ".txt";
    // The list is discovered ahead of the run; a program removed since must not pass silently.
    ASSERT_EQ(access(program.c_str(), R_OK), 0) << program << " is gone: rebuild to refresh the list";

    std::vector<std::string> args{program};
    std::string args_text;
    if (read_file(base + ".args", &args_text)) {
        args.clear();
        std::istringstream lines(args_text);
        for (std::string line; std::getline(lines, line);) args.push_back(line == "{}" ? program : line);
    }
    std::string in_path = base + ".in";
    if (access(in_path.c_str(), R_OK) != 0) in_path = "/dev/null";

    std::string dir = make_scratch_dir(GetParam());
    ASSERT_FALSE(dir.empty()) << "cannot make a scratch directory: " << std::strerror(errno);
    args.insert(args.begin(), RILL_BINARY);
    ProcessResult r = run_process(args, dir, in_path);

    EXPECT_FALSE(r.timed_out) << "still running after 60 s";
    EXPECT_EQ(r.out, expected_out(base)) << "standard output";
    EXPECT_EQ(r.err, read_or_empty(base + ".err")) << "standard error";
    std::string status_text;
    int expected_status = read_file(base + ".status", &status_text) ? std::atoi(status_text.c_str()) : 0;
    EXPECT_EQ(r.status, expected_status) << "exit status";

    for (const std::string& f : list_dir(base + ".files")) {
        std::string expected = read_or_empty(base + ".files/" + f);
        std::string actual;
        EXPECT_TRUE(read_file(dir + "/" + f, &actual)) << "output file " << f << " was not written";
        EXPECT_EQ(actual, expected) << "output file " << f;
    }
    if (!HasFailure()) remove_tree(dir);
}

// The loop programs once more through each way of running a loop body,
// chosen by RILL_REPLAY; "declared" puts a declaration at the head of every
// loop body instead, which sends the body to the general walk whatever the
// path. Every way must do exactly what the expected files say.
using LoopPath = std::tuple<std::string, std::string>;
class LoopWalk : public testing::TestWithParam<LoopPath> {};

std::string with_declaration_in_loops(const std::string& text) {
    static const std::regex loop_head(R"((loop\s*\(\s*\w+\s*\)\s*\{))");
    return std::regex_replace(text, loop_head, "$1 int walk__; ");
}

TEST_P(LoopWalk, MatchesExpected) {
    const auto& [name, path] = GetParam();
    const std::string base = std::string(RILL_PROGRAMS_DIR) + "/" + name;
    std::string dir = make_scratch_dir(name + "." + path);
    ASSERT_FALSE(dir.empty());
    std::string text = read_or_empty(base + ".txt");
    if (path == "declared") text = with_declaration_in_loops(text);
    const std::string program = dir + "/loop_program.txt";
    write_file(program, text);
    std::string in_path = base + ".in";
    if (access(in_path.c_str(), R_OK) != 0) in_path = "/dev/null";

    // Through env, so that the child alone sees the knob.
    std::vector<std::string> args{"/usr/bin/env"};
    if (path == "declared")
        args.insert(args.end(), {"-u", "RILL_REPLAY"});
    else
        args.push_back("RILL_REPLAY=" + path);
    args.insert(args.end(), {RILL_BINARY, program});
    ProcessResult r = run_process(args, dir, in_path);
    EXPECT_FALSE(r.timed_out) << "still running after 60 s";
    EXPECT_EQ(r.out, expected_out(base)) << "standard output";
    EXPECT_EQ(r.err, read_or_empty(base + ".err")) << "standard error";
    std::string status_text;
    int expected_status = read_file(base + ".status", &status_text) ? std::atoi(status_text.c_str()) : 0;
    EXPECT_EQ(r.status, expected_status) << "exit status";
    for (const std::string& f : list_dir(base + ".files"))
        EXPECT_EQ(read_or_empty(dir + "/" + f), read_or_empty(base + ".files/" + f)) << "output file " << f;
#ifdef RILL_NATIVE_COUNT
    // Right results could also come from loops that quietly fell back to the
    // threaded replay: every loop given to the back end must have compiled.
    if (path == "native") {
        const std::string report = dir + "/native_counts";
        run_process({RILL_NATIVE_COUNT, program, report}, dir, in_path);
        EXPECT_NE(read_or_empty(report).find(" declined 0\n"), std::string::npos) << read_or_empty(report);
    }
#endif
    if (!HasFailure()) remove_tree(dir);
}

// Programs of the engine's groups that hold a loop and take no arguments.
std::vector<std::string> find_loop_programs() {
    std::vector<std::string> found;
    for (const std::string& name : find_programs()) {
        std::string group = name.substr(0, name.find('/'));
        if (group == "scanner" || group == "parser" || group == "limits" || group == "driver") continue;
        std::string base = std::string(RILL_PROGRAMS_DIR) + "/" + name;
        if (access((base + ".args").c_str(), R_OK) == 0) continue;
        if (read_or_empty(base + ".txt").find("loop") != std::string::npos) found.push_back(name);
    }
    return found;
}

INSTANTIATE_TEST_SUITE_P(All, Program, testing::ValuesIn(find_programs()),
                         [](const auto& info) { return identifier_of(info.param); });
INSTANTIATE_TEST_SUITE_P(All, LoopWalk,
                         testing::Combine(testing::ValuesIn(find_loop_programs()),
                                          testing::Values("walk", "threaded", "native", "declared")),
                         [](const auto& info) {
                             return identifier_of(std::get<0>(info.param) + "_" + std::get<1>(info.param));
                         });

}  // namespace
