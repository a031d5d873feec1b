// Process plumbing for the main thread: the stop counter raised by signals and failed
// start-up steps, the lock files with their run-once checks, the argument copy kept for a
// re-execution, and the signal set-up. Main thread only, apart from the signal handler,
// which touches nothing but the stop counter (and the wake-up alarm).
#ifndef GC_CORE_PROCESS_H
#define GC_CORE_PROCESS_H

#include <csignal>
#include <cstddef>

// Raised by the stop signals and by every failed start-up step; the intake loop runs
// only while it is 0.
extern volatile sig_atomic_t g_stop_counter;

// Puts a read-only /dev/null on each of descriptors 0, 1 and 2 that was closed when the
// process started, so that no file or socket opened later takes that number. A write
// there fails as it would on the closed descriptor: forwarded commands still report the
// failure instead of landing in the lock file or in a client's connection.
void process_reserve_std_fds(void);

// Installs the signal handling: SIGPIPE ignored; SIGTERM, SIGINT, SIGHUP and SIGQUIT
// raise the stop counter and interrupt blocking calls; SIGALRM interrupts them too, and
// after a stop it recurs every second, so that no blocking write holds up the shutdown.
void process_signals_install(void);

// Raises the soft limit on open descriptors to the hard limit, since every client
// connection takes one. Returns 0, or -1 with errno set (the limit is then unchanged).
int process_raise_fd_limit(void);

// Heap copy of argv: argc+1 entries, the last one null. Returns null when memory runs
// out (nothing is left allocated). The caller frees it with process_args_free.
char **process_args_copy(int argc, char **argv);

// Frees a copy made by process_args_copy; accepts null.
void process_args_free(char **args);

// Formats the path of the lock file "<base><suffix>" into buf (cut to size). Returns buf.
char *process_lock_path(char *buf, size_t size, const char *base, const char *suffix);

// Opens the lock file path read-write, creating it with mode 0600; an existing file in a
// directory that refuses writing is opened read-only. Returns the descriptor, or -1 with
// errno set.
int process_lock_open(const char *path);

// Takes the lock: exclusive, non-blocking flock, then writes this process's id into the
// file (when it is writable) so that a refused instance can name the holder. Returns 0,
// or -1 with errno set (EWOULDBLOCK when another process holds it).
int process_lock_take(int fd);

// The process id written into the lock file by the process that holds it, or -1 when
// none can be read (the file is empty or the holder has not written it yet).
long process_lock_holder(int fd);

// Releases the lock and closes the descriptor; accepts -1.
void process_lock_release(int fd);

#endif
