// Item dispatcher: applies one decoded status message to the status store through
// exactly one store operation. Called by the main thread's intake loop only; the store
// operations take the store mutex themselves.
#ifndef GC_INTAKE_DISPATCH_H
#define GC_INTAKE_DISPATCH_H

#include "intake/decode.h"

// Applies m to the store according to its item and op. Returns the store operation's
// result (0 or -1), or -1 when m is null or not decoded, the op is not allowed for the
// item or a required field is missing. An item outside 1..12 also prints
// "unknown item ID\n" to stderr.
int dispatch_item(const status_decoded *m);

// Says why dispatch_item would refuse m, as a short phrase (static text), or returns
// null when it would apply it. Touches no store, so a sender can check its record
// before it sends.
const char *dispatch_refusal(const status_decoded *m);

#endif
