#include "core/systemd_notify.h"

#if GC_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

#if GC_HAVE_LIBSYSTEMD
// NOTIFY_SOCKET stays in the environment (unset_environment 0): a re-executed image
// announces itself again through it.
static int result(int rc) { return rc > 0 ? 0 : rc == 0 ? 1 : -1; }

int systemd_notify_ready(const char *status)
{
    return result(sd_notifyf(0, "READY=1\nSTATUS=%s", status ? status : ""));
}

// A re-execution keeps the process: to the manager it is a reload, after which the new
// image's READY=1 makes the service active again; STOPPING=1 would have it deactivate.
int systemd_notify_stopping(int restarting)
{
    return result(sd_notify(0, restarting ? "RELOADING=1\nSTATUS=restarting"
                                          : "STOPPING=1\nSTATUS=stopping"));
}
#else
int systemd_notify_ready(const char *) { return 1; }

int systemd_notify_stopping(int) { return 1; }
#endif
