// One sd_journal_sendv call an entry: the values are the scanner's bytes, which may hold
// line ends, and the journal's native protocol carries those as binary fields.
#include "core/journal.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "store/blocked_ring.h"
#include "store/store.h"

#if GC_HAVE_LIBSYSTEMD
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#endif

const char kJournalBlockedFileId[] = "5b21472f11b644b49b84e00b00774878";

#if GC_HAVE_LIBSYSTEMD
namespace {

void write_entry(const struct blocked_file *rec, uint32_t index, void *)
{
    const char *name = blocked_reason_name(rec->reason);
    char reason[24];
    if (!name) {
        snprintf(reason, sizeof reason, "reason %d", rec->reason);
        name = reason;
    }
    const std::string fields[] = {
        std::string("MESSAGE_ID=") + kJournalBlockedFileId,
        std::string("MESSAGE=blocked file ") + rec->object + " (" + name + ", " + rec->info + ")",
        "PRIORITY=4",
        std::string("BLOCKED_FILE=") + rec->object,
        std::string("BLOCKED_REASON=") + name,
        std::string("BLOCKED_DETECTION=") + rec->info,
        std::string("BLOCKED_ACTION=") + rec->action,
        std::string("BLOCKED_SOURCE=") + rec->source,
        "BLOCKED_INDEX=" + std::to_string(index),
    };
    struct iovec iov[sizeof fields / sizeof fields[0]];
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; i++)
        iov[i] = {const_cast<char *>(fields[i].data()), fields[i].size()};
    (void)sd_journal_sendv(iov, static_cast<int>(sizeof fields / sizeof fields[0]));
}

}  // namespace

int journal_blocked_files_start(void)
{
    store_set_blocked_hook(write_entry, nullptr);
    return 0;
}
#else
int journal_blocked_files_start(void) { return 1; }
#endif
