// The watches of connector-client: long polls in a loop on one kept-alive connection,
// printing each blocked file or last scanned file as it arrives until a stop signal.
// Used by the main thread only.
#ifndef GC_TOOLS_CLIENT_WATCH_H
#define GC_TOOLS_CLIENT_WATCH_H

#include "tools/client_conn.h"

// Follows the blocked-file ring from record c->opts->from: asks get-blockedFile2 for
// the record after the last one printed, so every record is printed once and in order,
// with a note first whenever the daemon answers with another index than the one asked
// for (the ring dropped records before they were read, or the numbering started
// again). Returns EXIT_ANSWER after a stop signal or when the reader of stdout went
// away, else the exit status of the failed call or EXIT_OUTPUT.
int client_watch_blocked(client_conn *c);

// Prints every value get-lastScannedFile returns. The daemon keeps no queue of scanned
// files (one poll gets the newest), and what counts as new is tracked per connection,
// so a note says so whenever the connection had to be opened again. Returns as
// client_watch_blocked.
int client_watch_scanned(client_conn *c);

#endif
