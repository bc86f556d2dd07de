// Running a built program as a child process, for tests that need the
// interpreter's (or a tool's) fresh global state on every run.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    std::string out, err;
    int status = -1;         // the exit status, or 128 + the signal that ended it
    bool timed_out = false;  // killed after the time limit
};

// Runs argv[0] with argv in dir, standard input from stdin_path; standard
// output and error are captured. Waits at most limit_ms.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& dir, const std::string& stdin_path,
                          int limit_ms = 60000);

// File helpers: whole files in and out, scratch directories.
bool read_file(const std::string& path, std::string* text);
std::string read_or_empty(const std::string& path);
bool write_file(const std::string& path, const std::string& text);
std::string make_scratch_dir(const std::string& name);
void remove_tree(const std::string& path);
std::vector<std::string> list_dir(const std::string& dir);
bool is_dir(const std::string& path);

// A name made of letters, digits and underscores, as test names must be.
std::string identifier_of(const std::string& text);
