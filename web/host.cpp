// The platform layer's part that is the browser's own, beside the POSIX
// one this C library emulates: the stop the page asks for through the
// worker that runs the build (see web/run.js), standing in for the signals
// of a native run, and ppoll, which this C library declares but does not have.
#include <emscripten.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "errors/errors.h"
#include "platform/platform.h"

// The host's answer: the loop passes until the next poll, or -1 when the page
// asks the run to stop. Without a host (a plain module) the polls stay rare.
EM_JS(int, host_poll, (), { return Module["hostPoll"] ? Module["hostPoll"]() : 0x40000000; });

int32_t host_poll_countdown = 1;

void poll_host() {
    int next = host_poll();
    if (next < 0) interrupt_signal = SIGINT;
    host_poll_countdown = next > 0 ? next : 1;
}

// Called by the host when a console read ends because the page asked the run
// to stop: the read then fails with EINTR, and the run stops there as a native
// run stops on SIGINT.
extern "C" EMSCRIPTEN_KEEPALIVE void rill_host_interrupt() {
    interrupt_signal = SIGINT;
}

// There are no signals in the browser to let through while waiting, so poll does.
extern "C" int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask) {
    (void)mask;
    int ms = timeout ? static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_nsec / 1000000) : -1;
    return poll(fds, n, ms);
}

// This C library words one reason unlike the native build's: a diagnostic
// must read the same in the page as at a terminal.
extern "C" char* __real_strerror(int code);
extern "C" char* __wrap_strerror(int code) {
    static char too_long[] = "File name too long";
    return code == ENAMETOOLONG ? too_long : __real_strerror(code);
}
