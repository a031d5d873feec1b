// Blocked files in the systemd journal: one structured entry for each, with a fixed
// MESSAGE_ID and a field for each of its values, so that "journalctl MESSAGE_ID=..." lists
// them and a journal shipper carries them to a fleet's log store. Switched on by the main
// thread before the intake loop runs; the entries are written on the intake thread (the
// store's blocked-file hook). No lock.
#ifndef GC_CORE_JOURNAL_H
#define GC_CORE_JOURNAL_H

// The MESSAGE_ID of every blocked-file entry.
extern const char kJournalBlockedFileId[];

// Writes every blocked file added from now on to the journal. Returns 0, or 1 when the
// daemon was built without libsystemd (nothing will be written). An entry the journal
// does not take (none runs here) is dropped without a word, as the journal's own rate
// limit drops them.
int journal_blocked_files_start(void);

#endif
