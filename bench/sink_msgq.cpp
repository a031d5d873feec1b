// Plain message queue receiver, the baseline of the queue intake figure: it creates the
// status channel's queue for a directory (exclusively, mode 0600) and counts messages
// with a blocking msgrcv. SIGTERM, SIGINT or a 120 s alarm end it; it removes the queue
// and prints "received <count>".
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "bench/sink_signals.h"
#include "intake/status_message.h"

struct queue_message {
    long mtype;
    unsigned char body[status_msg::kBodySize];
};

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: sink-msgq DIR\n", stderr);
        return 2;
    }
    key_t key = ftok(argv[1], status_msg::kProjectId);
    int id = key == -1 ? -1 : msgget(key, IPC_CREAT | IPC_EXCL | 0600);
    if (id < 0) {
        perror("msgqueue creation");
        return 1;
    }
    catch_stop_signals();
    alarm(120);
    printf("ready\n");
    fflush(stdout);
    static struct queue_message m;
    long long received = 0;
    while (!g_stop) {
        if (msgrcv(id, &m, sizeof m.body, 0, 0) >= 0)
            received++;
        else if (errno != EINTR) {
            perror("msgrcv");
            break;
        }
    }
    if (msgctl(id, IPC_RMID, nullptr) != 0)
        perror("msgqueue removal");
    printf("received %lld\n", received);
    return 0;
}
