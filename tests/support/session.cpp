#include "support/session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Session::Session(const std::vector<std::string>& argv, const std::string& dir, Streams streams) {
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    int terminal = -1;
    if (pipe(err) != 0) return;
    if (streams != PIPES) {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
        termios t;
        tcgetattr(terminal, &t);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tcsetattr(terminal, TCSANOW, &t);
        in_fd = out_fd = master;
    } else {
        if (pipe(in) != 0 || pipe(out) != 0) return;
        in_fd = in[1];
        out_fd = out[0];
    }
    err_fd = err[0];
    pid = fork();
    if (pid == 0) {
        if (terminal >= 0) {
            dup2(terminal, 0);
            dup2(terminal, 1);
        } else {
            dup2(in[0], 0);
            dup2(out[1], 1);
        }
        dup2(streams == TERMINAL_WITH_ERRORS ? terminal : err[1], 2);
        // As a shell starts a job in the foreground, whatever this process ignores.
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(sig, SIG_DFL);
        if (chdir(dir.c_str()) != 0) _exit(126);
        for (int fd = 3; fd < 256; ++fd) close(fd);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    for (int fd : {in[0], out[1], err[1], terminal})
        if (fd >= 0) close(fd);
}

Session::~Session() {
    if (pid > 0 && ended_status < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (int fd : {in_fd, out_fd == in_fd ? -1 : out_fd, err_fd})
        if (fd >= 0) close(fd);
}

void Session::send(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(in_fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void Session::close_input() {
    if (in_fd == out_fd) {
        send("\x04");  // the terminal's end of input
        return;
    }
    if (in_fd >= 0) close(in_fd);
    in_fd = -1;
}

bool Session::read_available(int ms) {
    pollfd p[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    if (poll(p, 2, ms) <= 0) return false;
    char buf[4096];
    bool got = false;
    for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = read(p[i].fd, buf, sizeof buf);
        if (n > 0) (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
        got = got || n > 0;
    }
    return got;
}

bool Session::wait_for_output(const std::string& text, int ms) {
    for (long long end = now_ms() + ms; out.find(text) == std::string::npos;) {
        if (now_ms() > end) return false;
        read_available(20);
    }
    return true;
}

bool Session::wait_until_waiting(int ms) {
    int asleep = 0;
    for (long long end = now_ms() + ms; now_ms() < end; usleep(10000)) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        size_t close_paren = line.rfind(')');
        bool sleeping = close_paren != std::string::npos && line.compare(close_paren + 1, 3, " S ") == 0;
        if (sleeping ? ++asleep >= 5 : (asleep = 0, false)) return true;
    }
    return false;
}

void Session::signal(int sig) {
    if (pid > 0 && ended_status < 0 && sig) kill(pid, sig);
}

bool Session::ends_unread(int ms) {
    for (long long end = now_ms() + ms; now_ms() <= end; usleep(10000)) {
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
            ended_status = status;
            return true;
        }
    }
    return false;
}

int Session::finish(int ms) {
    if (in_fd != out_fd) close_input();
    int status = ended_status;
    for (long long end = now_ms() + ms; ended_status < 0;) {
        read_available(10);
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        if (now_ms() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            pid = -1;
            return -1;
        }
    }
    pid = -1;
    // What the process left in its pipes.
    while (read_available(0)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
