// UTF-8 checks for the names scanner daemons report, which are bytes in no declared
// encoding: shown decoded where they are well-formed UTF-8, byte by byte otherwise. Pure
// functions, for any thread; no lock.
#ifndef GC_TEXT_UTF8_H
#define GC_TEXT_UTF8_H

#include <cstddef>

// Length of the well-formed UTF-8 sequence at the start of s[0, n) (1 to 4), or 0 when
// it starts none (n 0 included). Overlong forms, surrogates and code points past
// U+10FFFF are malformed.
int utf8_sequence(const char *s, size_t n);
// 1 when s[0, n) is well-formed UTF-8 as a whole, else 0.
int utf8_valid(const char *s, size_t n);
// Undoes a reading of bytes as ISO-8859-1, which the service's wire format makes of
// every name (each byte its own character): when s (UTF-8, n bytes) holds characters
// below U+0100 only, and the bytes they stand for form well-formed UTF-8, writes those
// bytes to out (room for n) and returns how many. Otherwise returns -1 (out may have
// been written): s is then best shown as it is.
long utf8_from_bytes_read_as_latin1(const char *s, size_t n, char *out);

#endif
