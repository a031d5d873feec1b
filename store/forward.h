// Command forwarding: reload, stop and ping requests passed on to the scanner daemon as
// one line on descriptor 2. Called by connection threads, any number at once; no lock:
// each line goes out in a single write call.
#ifndef GC_STORE_FORWARD_H
#define GC_STORE_FORWARD_H

// Writes line to descriptor 2 in one write call. Returns 0 when the whole line was
// written, -1 for a short write, an error or a null line.
int forward_command(const char *line);
// forward_command with "FWD_CMD: RELOAD\n", "FWD_CMD: STOP\n" or "FWD_CMD: PING\n".
int forward_reload(void);
int forward_stop(void);
int forward_ping(void);

#endif
