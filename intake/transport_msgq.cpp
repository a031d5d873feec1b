#include "intake/transport_msgq.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

// What the kernel expects: a long type, then the text.
struct kernel_msg {
    long mtype;
    char mtext[kMsgqMaxBody];
};

}  // namespace

int msgq_open(msgq_part *p, const char *dir, int proj, int perms, int create)
{
    if (!p || !dir)
        return -1;
    memset(p, 0, sizeof *p);
    p->id = -1;
    key_t key = ftok(dir, proj);
    if (key == -1)
        return -1;
    p->key = static_cast<int>(key);
    int flags = perms;
    if (create)
        flags |= IPC_CREAT | IPC_EXCL;
    p->id = msgget(key, flags);
    return p->id == -1 ? -1 : 0;
}

int msgq_close(msgq_part *p, int remove)
{
    if (!p)
        return -1;
    if (p->id != -1 && remove) {
        if (msgctl(p->id, IPC_RMID, nullptr) != 0)
            return -1;
        p->id = -1;
    }
    return 0;
}

long msgq_receive(msgq_part *p, void *buf, size_t size, long type, int truncate)
{
    if (!p || !buf || size == 0 || size > kMsgqMaxBody) {
        errno = EMSGSIZE;
        return -1;
    }
    kernel_msg km;
    ssize_t n = msgrcv(p->id, &km, size, type, truncate ? MSG_NOERROR : 0);
    if (n < 0)
        return -1;
    // A type beyond 32 bits cannot be a valid record type; clamping keeps it invalid.
    int32_t word = km.mtype > INT32_MAX ? INT32_MAX : static_cast<int32_t>(km.mtype);
    unsigned char *out = static_cast<unsigned char *>(buf);
    memcpy(out, &word, sizeof word);
    memcpy(out + sizeof word, km.mtext, static_cast<size_t>(n));
    return static_cast<long>(n);
}

int msgq_send(msgq_part *p, const void *buf, size_t size, int nowait)
{
    if (!p || !buf || size == 0 || size > kMsgqMaxBody) {
        errno = EMSGSIZE;
        return -1;
    }
    kernel_msg km;
    int32_t word;
    const unsigned char *in = static_cast<const unsigned char *>(buf);
    memcpy(&word, in, sizeof word);
    km.mtype = word;
    memcpy(km.mtext, in + sizeof word, size);
    return msgsnd(p->id, &km, size, nowait ? IPC_NOWAIT : 0) == 0 ? 0 : -1;
}
