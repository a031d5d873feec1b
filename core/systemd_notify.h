// Readiness and state for systemd (sd_notify, Type=notify): the main thread says when the
// daemon serves and where, and when it stops or restarts. Main thread only; no lock.
// Built without libsystemd (GC_HAVE_LIBSYSTEMD 0) every call is a no-op, and so is each
// call when no service manager asked for notifications (NOTIFY_SOCKET unset).
#ifndef GC_CORE_SYSTEMD_NOTIFY_H
#define GC_CORE_SYSTEMD_NOTIFY_H

// Tells the service manager that start-up is over and the daemon serves; status is the
// line "systemctl status" shows (null: none). Returns 0 when sent, 1 when nobody listens
// (or without libsystemd), -1 when the send failed.
int systemd_notify_ready(const char *status);

// Tells the service manager that the daemon stops, or with restarting set that it
// re-executes itself and will say it is ready again. Results as systemd_notify_ready.
int systemd_notify_stopping(int restarting);

#endif
