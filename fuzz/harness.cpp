// The fuzzing entry: one input file holds a program and, after the first
// "\0STDIN\0", what the program reads on its console. The harness runs the
// interpreter exactly as rill does over the two parts, in a working
// directory of its own, and ends with rill's exit status.
//
// Built against the fuzzing build of the interpreter (RILL_FUZZING), which
// stops a run after a fixed number of loop passes and keeps output files
// inside the working directory.
//
// With RILL_FUZZ_COMPARE set, each input runs twice, in child processes: on
// the general walk and on native code (forced, however short the loop), and
// the harness aborts when the two differ in standard output, standard
// error, exit status or the files left behind.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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

std::string read_from_start(int fd) {
    lseek(fd, 0, SEEK_SET);
    return read_all(fd);
}

// Every file in dir, by name, with its contents; the files are removed.
std::map<std::string, std::string> take_files(const std::string& dir) {
    std::map<std::string, std::string> files;
    DIR* d = opendir(dir.c_str());
    if (!d) return files;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        int fd = open(path.c_str(), O_RDONLY);
        files[name] = fd < 0 ? "(unreadable)" : read_all(fd);
        if (fd >= 0) close(fd);
        unlink(path.c_str());
    }
    closedir(d);
    return files;
}

// What one run left: its outputs, its status as wait reports it, its files.
struct Run {
    std::string out;
    std::string err;
    int status;
    std::map<std::string, std::string> files;
};

// Runs the program on one replay path in a child, in dir, with the console
// input from its start.
Run run_on(const char* replay, const std::string& dir, const char* program_path, int input_fd) {
    mkdir(dir.c_str(), 0700);
    take_files(dir);
    int out = memfd_create("stdout", 0);
    int err = memfd_create("stderr", 0);
    lseek(input_fd, 0, SEEK_SET);
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (out < 0 || err < 0 || dup2(input_fd, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(dir.c_str()) != 0)
            _exit(70);
        setenv("RILL_REPLAY", replay, 1);
        char name[] = "rill";
        char* run_argv[] = {name, const_cast<char*>(program_path), nullptr};
        std::exit(run_interpreter(2, run_argv));
    }
    Run r{};
    if (child < 0 || waitpid(child, &r.status, 0) != child) std::abort();
    r.out = read_from_start(out);
    r.err = read_from_start(err);
    r.files = take_files(dir);
    close(out);
    close(err);
    return r;
}

// Runs the program on the walk and on native code; aborts when they differ.
int compare_paths(const std::string& dir, const char* program_path, int input_fd) {
    Run walk = run_on("walk", dir + "/walk", program_path, input_fd);
    Run native = run_on("native", dir + "/native", program_path, input_fd);
    const char* differs = walk.out != native.out         ? "standard output"
                          : walk.err != native.err       ? "standard error"
                          : walk.status != native.status ? "status"
                          : walk.files != native.files   ? "files"
                                                         : nullptr;
    if (differs) {
        std::fprintf(stderr, "walk and native code differ in %s\n", differs);
        std::abort();
    }
    return WIFEXITED(walk.status) ? WEXITSTATUS(walk.status) : 128 + WTERMSIG(walk.status);
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
    if (std::getenv("RILL_FUZZ_COMPARE")) return compare_paths(dir, path, input_fd);
    char name[] = "rill";
    char* run_argv[] = {name, path, nullptr};
    return run_interpreter(2, run_argv);
}
