// The -h host[:port] rule that the daemon and connector-client share: which colon, if
// any, parts the host from the port, and which port texts are ports. Plain functions on
// the caller's string; any thread.
#ifndef GC_CORE_HOST_PORT_H
#define GC_CORE_HOST_PORT_H

// Cuts arg at the colon that starts its port part and returns the port text after it,
// or null (arg untouched) when arg has no port part. The last colon starts the port,
// unless another colon comes right before it: "::1" and other addresses that end in
// "::x" are hosts. An empty host (":8080") is left to the caller.
char *host_port_split(char *arg);

// Reads a TCP port: the whole text a number in decimal, 0x hexadecimal or 0 octal, from
// 1 to 65535. Returns 0 with *port set, or -1 (*port unchanged).
int host_port_number(const char *text, unsigned *port);

// Applies the rule to arg, cut in place: "[addr]" and "[addr]:port" name an IPv6
// address with brackets (the host then excludes them), anything else goes by
// host_port_split. Sets *host to the host part (possibly empty) and *port when a port
// part is there. Returns 0, or -1 for a bad port or an unclosed bracket (nothing set).
int host_port_parse(char *arg, char **host, unsigned *port);

#endif
