// The -h host[:port] rule that the daemon and connector-client share: which colon, if
// any, parts the host from the port. Plain functions on the caller's string; any thread.
#ifndef GC_CORE_HOST_PORT_H
#define GC_CORE_HOST_PORT_H

// Cuts arg at the colon that starts its port part and returns the port text after it,
// or null (arg untouched) when arg has no port part. The last colon starts the port,
// unless another colon comes right before it: "::1" and other addresses that end in
// "::x" are hosts. An empty host (":8080") is left to the caller.
char *host_port_split(char *arg);

#endif
