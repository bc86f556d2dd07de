// A child process driven as a user drives it: standard input fed in pieces,
// output watched as it appears, signals sent while it runs. Standard input
// and output are pipes, or one terminal (echo and output translation off,
// so the output reads exactly as the program wrote it), which standard error
// may share too.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class Session {
public:
    enum Streams { PIPES, TERMINAL, TERMINAL_WITH_ERRORS };

    Session(const std::vector<std::string>& argv, const std::string& dir, Streams streams);
    ~Session();

    void send(const std::string& text);
    void close_input();
    // Reads output until it contains text; false after ms milliseconds.
    bool wait_for_output(const std::string& text, int ms = 10000);
    // Waits until the process sleeps, as it does when it waits for input.
    bool wait_until_waiting(int ms = 10000);
    void signal(int sig);
    // Waits for the process to end without reading its output, as a reader
    // that has stopped would; false after ms milliseconds.
    bool ends_unread(int ms = 10000);
    // Closes the input, reads the rest and waits; the status as a shell
    // shows it (128 + the signal that ended the process).
    int finish(int ms = 10000);

    std::string out, err;

private:
    bool read_available(int ms);  // true when it read something
    pid_t pid = -1;
    int ended_status = -1;  // the wait status once ends_unread saw the end
    int in_fd = -1, out_fd = -1, err_fd = -1;
};
