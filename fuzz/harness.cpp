// The fuzzing entry: one input file holds a program and, after the first
// "\0STDIN\0", what the program reads on its console. The harness runs the
// interpreter exactly as rill does over the two parts, in a working
// directory of its own, and ends with rill's exit status.
//
// Built against the fuzzing build of the interpreter (RILL_FUZZING), which
// stops a run after a fixed number of loop passes and keeps output files
// inside the working directory.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/driver.h"

namespace {

const char SEPARATOR[] = "\0STDIN\0";
constexpr size_t SEPARATOR_LENGTH = sizeof SEPARATOR - 1;

std::string read_all(int fd) {
    std::string data;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) data.append(buf, static_cast<size_t>(n));
    return data;
}

// A file that lives only in memory, holding text, positioned at its start.
int memory_file(const char* name, const std::string& text) {
    int fd = memfd_create(name, 0);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    int in = argc > 1 ? open(argv[1], O_RDONLY) : 0;
    if (in < 0) return 64;
    std::string data = read_all(in);
    if (argc > 1) close(in);

    size_t split = data.find(std::string(SEPARATOR, SEPARATOR_LENGTH));
    std::string program = data.substr(0, split);
    std::string input = split == std::string::npos ? "" : data.substr(split + SEPARATOR_LENGTH);

    int program_fd = memory_file("program", program);
    int input_fd = memory_file("stdin", input);
    if (program_fd < 0 || input_fd < 0 || dup2(input_fd, 0) < 0) return 65;

    const char* work = std::getenv("RILL_FUZZ_DIR");
    std::string dir = work ? work : "/tmp/rill-fuzz-work";
    mkdir(dir.c_str(), 0700);
    if (chdir(dir.c_str()) != 0) return 66;

    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", program_fd);
    // The help after diagnostics is fuzzed too: it reads back into the scanner's buffer.
    setenv("RILL_DIAGNOSTICS", "1", 1);
    char name[] = "rill";
    char* run_argv[] = {name, path, nullptr};
    return run_interpreter(2, run_argv);
}
