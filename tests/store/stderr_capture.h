// Redirects descriptor 2 to a pipe for the length of a scope, so a test can read exactly
// what was written there; the original descriptor is restored at scope exit.
#ifndef GC_TESTS_STDERR_CAPTURE_H
#define GC_TESTS_STDERR_CAPTURE_H

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

struct stderr_capture {
    int saved = -1;
    int rd = -1;
    stderr_capture()
    {
        int p[2];
        if (pipe(p) != 0)
            return;
        fflush(stderr);
        saved = dup(2);
        dup2(p[1], 2);
        close(p[1]);
        rd = p[0];
        fcntl(rd, F_SETFL, O_NONBLOCK);
    }
    ~stderr_capture()
    {
        restore();
        if (rd >= 0)
            close(rd);
    }
    void restore()
    {
        if (saved < 0)
            return;
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        saved = -1;
    }
    // Everything written so far (waits up to ms for the first byte).
    std::string read_all(int ms = 100)
    {
        std::string out;
        pollfd pfd = {rd, POLLIN, 0};
        if (rd < 0 || poll(&pfd, 1, ms) <= 0)
            return out;
        char buf[4096];
        ssize_t n;
        while ((n = read(rd, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
};

#endif
