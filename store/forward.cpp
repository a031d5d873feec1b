// Command forwarding. The scanner daemon reads our descriptor 2 line by line, and other
// threads write diagnostics there too: one write call per line is what keeps a forwarded
// command from being interleaved with anything else. stdio would buffer and split it.
#include "store/forward.h"

#include <unistd.h>

#include <cstring>

int forward_command(const char *line)
{
    if (!line)
        return -1;
    size_t len = strlen(line);
    ssize_t n = write(STDERR_FILENO, line, len);
    return (n >= 0 && static_cast<size_t>(n) == len) ? 0 : -1;
}

int forward_reload(void) { return forward_command("FWD_CMD: RELOAD\n"); }
int forward_stop(void) { return forward_command("FWD_CMD: STOP\n"); }
int forward_ping(void) { return forward_command("FWD_CMD: PING\n"); }
