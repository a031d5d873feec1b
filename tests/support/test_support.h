// Helpers shared by the tests: private temp directories, free loopback ports, and child
// processes whose output is collected with bounded waits, so a fault fails a test
// instead of hanging it. Each child_proc belongs to the test thread that spawned it.
#ifndef GC_TESTS_TEST_SUPPORT_H
#define GC_TESTS_TEST_SUPPORT_H

#include <sys/types.h>

#include <string>
#include <vector>

// Creates a fresh directory under /tmp and returns its path ("" on failure).
std::string make_temp_dir();
// Removes a directory tree made by make_temp_dir.
void remove_tree(const std::string &path);
// Returns a TCP port on 127.0.0.1 that was free a moment ago, drawn at random from below
// the ephemeral range so that no connection's own port takes it meanwhile; -1 if none.
int free_tcp_port();
// Path of a built binary ("gui-connector", "status-send", ...).
std::string build_path(const std::string &name);
// Symlinks a built binary into dir and returns the link's path, so that the daemon's
// lock file and default IPC directory are private to the test.
std::string private_binary(const std::string &dir, const std::string &name);

struct child_proc {
    pid_t pid = -1;
    int out_fd = -1;  // read end of the child's stdout
    int err_fd = -1;  // read end of the child's stderr
    int in_fd = -1;   // write end of the child's stdin (only with stdin_pipe)
    std::string out;  // stdout collected so far
    std::string err;  // stderr collected so far
    int status = -1;  // wait status once reaped
};

// Starts argv[0] (a path) with the given arguments. stdin is /dev/null unless stdin_pipe.
// Returns false when the process cannot be started.
bool spawn(child_proc *c, const std::vector<std::string> &argv, bool stdin_pipe = false);
// Reads whatever output is available within timeout_ms into c->out / c->err.
void drain(child_proc *c, int timeout_ms);
// Waits until needle appears in stdout (which == 1) or stderr (which == 2).
bool wait_for_output(child_proc *c, const std::string &needle, int which, int timeout_ms);
// Waits for the child to exit; returns its exit status (128+sig when killed by a
// signal), or -1 on timeout (the child is then left running).
int wait_exit(child_proc *c, int timeout_ms);
// Stops the child if it still runs (SIGTERM, then SIGKILL after 3 s), reaps it and
// closes the pipes.
void kill_and_reap(child_proc *c);
// Runs a command to completion (bounded); returns its exit status and collects output.
int run_command(const std::vector<std::string> &argv, std::string *out, std::string *err,
                int timeout_ms = 20000);

// RAII guard for tests: kills the child at scope exit so no process is left behind.
struct child_guard {
    child_proc *c;
    explicit child_guard(child_proc *p) : c(p) {}
    ~child_guard() { kill_and_reap(c); }
};

#endif
