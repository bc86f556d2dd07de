// The browser build's C library declares ppoll but does not have it. There
// are no signals in the browser to let through while waiting, so poll does.
#include <poll.h>
#include <signal.h>
#include <time.h>

extern "C" int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* timeout, const sigset_t* mask) {
    (void)mask;
    int ms = timeout ? static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_nsec / 1000000) : -1;
    return poll(fds, n, ms);
}
