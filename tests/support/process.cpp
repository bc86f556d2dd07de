#include "support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <sstream>

bool read_file(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

std::string read_or_empty(const std::string& path) {
    std::string text;
    read_file(path, &text);
    return text;
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string identifier_of(const std::string& text) {
    std::string n = text;
    for (char& c : n)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
}

bool is_dir(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string make_scratch_dir(const std::string& name) {
    std::string base = RILL_SCRATCH_DIR;
    mkdir(base.c_str(), 0755);
    std::string flat = name;
    std::replace(flat.begin(), flat.end(), '/', '_');
    std::string tmpl = base + "/" + flat + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "";
    return buf.data();
}

void remove_tree(const std::string& path) {
    if (is_dir(path)) {
        for (const std::string& n : list_dir(path)) remove_tree(path + "/" + n);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::string& dir, const std::string& stdin_path,
                          int limit_ms) {
    ProcessResult r;
    char out_tmpl[] = "/tmp/rill-test-out.XXXXXX";
    char err_tmpl[] = "/tmp/rill-test-err.XXXXXX";
    int out = mkstemp(out_tmpl);
    int err = mkstemp(err_tmpl);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(stdin_path.c_str(), O_RDONLY);
        if (chdir(dir.c_str()) != 0 || in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
#ifdef RILL_EMULATOR
        // Built for another machine and not started through its script (an
        // installed copy): the emulator runs it.
        if (errno == ENOEXEC) {
            args.insert(args.begin(), {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                                       const_cast<char*>("exec " RILL_EMULATOR " \"$@\""), const_cast<char*>("sh")});
            execv(args[0], args.data());
        }
#endif
        _exit(127);
    }
    int status = 0;
    for (int waited = 0;; waited += 5) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        if (waited >= limit_ms) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.timed_out = true;
            break;
        }
        usleep(5000);
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_or_empty(out_tmpl);
    r.err = read_or_empty(err_tmpl);
    close(out);
    close(err);
    unlink(out_tmpl);
    unlink(err_tmpl);
    return r;
}
