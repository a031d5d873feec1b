// Plain UDP receiver, the baseline of the UDP intake figure: it binds the status
// channel's derived port for a directory, keeps the default socket buffers, and counts
// datagrams with a blocking recvfrom into one buffer. SIGTERM, SIGINT or a 120 s alarm
// end it; it then prints "received <count>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "bench/sink_signals.h"
#include "intake/status_message.h"
#include "intake/transport_udp.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: sink-udp DIR\n", stderr);
        return 2;
    }
    key_t key = ftok(argv[1], status_msg::kProjectId);
    if (key == -1) {
        perror("ftok");
        return 1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(udp_port_for_key(key)));
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        perror("udp bind");
        return 1;
    }
    catch_stop_signals();
    alarm(120);
    printf("ready\n");
    fflush(stdout);
    static unsigned char buf[status_msg::kSize];
    long long received = 0;
    while (!g_stop) {
        struct sockaddr_in from;
        socklen_t len = sizeof from;
        ssize_t n =
            recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr *>(&from), &len);
        if (n >= 0)
            received++;
        else if (errno != EINTR) {
            perror("recvfrom");
            break;
        }
    }
    close(fd);
    printf("received %lld\n", received);
    return 0;
}
