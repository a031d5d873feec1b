// The one-shot operations of connector-client: one SOAP call through the generated
// client stubs, its answer turned into an out_record under the reply's wire names and
// printed. Used by the main thread only.
#ifndef GC_TOOLS_CLIENT_OPS_H
#define GC_TOOLS_CLIENT_OPS_H

#include "tools/client_conn.h"
#include "tools/client_output.h"

struct soap;
struct sntr__blockedFile2;

// Calls the operation c->opts names (any but the watches) and prints its answer to
// stdout; a one-way operation prints nothing. Returns the exit status (a client_exit).
int client_run_call(client_conn *c);

// Fills rec with the members of a blockedFile2 answer, in wire order; rec refers to
// strings of b and of the context, so it must be printed before soap_end.
void client_blocked2_record(struct soap *soap, const sntr__blockedFile2 *b, out_record *rec);

#endif
