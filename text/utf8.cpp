#include "text/utf8.h"

int utf8_sequence(const char *s, size_t n)
{
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
    if (n == 0)
        return 0;
    const unsigned char c = u[0];
    int len;
    unsigned long cp;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (n < static_cast<size_t>(len))
        return 0;
    for (int i = 1; i < len; i++) {
        if ((u[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (u[i] & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return len;
}

int utf8_valid(const char *s, size_t n)
{
    for (size_t i = 0; i < n;) {
        const int len = utf8_sequence(s + i, n - i);
        if (len == 0)
            return 0;
        i += static_cast<size_t>(len);
    }
    return 1;
}

long utf8_from_bytes_read_as_latin1(const char *s, size_t n, char *out)
{
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
    // The bytes first, in place of their characters: each is one (below U+0080) or two
    // (C2 or C3 and a continuation) bytes of s, so out never needs more than n.
    size_t len = 0;
    for (size_t i = 0; i < n; len++) {
        if (u[i] < 0x80) {
            i++;
        } else if ((u[i] == 0xC2 || u[i] == 0xC3) && i + 1 < n && (u[i + 1] & 0xC0) == 0x80) {
            i += 2;
        } else {
            return -1;
        }
    }
    char *b = out;
    for (size_t i = 0; i < n; i++) {
        if (u[i] < 0x80) {
            *b++ = static_cast<char>(u[i]);
        } else {
            *b++ = static_cast<char>(((u[i] & 0x03) << 6) | (u[i + 1] & 0x3F));
            i++;
        }
    }
    if (!utf8_valid(out, len))
        return -1;
    return static_cast<long>(len);
}
