#include "core/host_port.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

char *host_port_split(char *arg)
{
    char *colon = strrchr(arg, ':');
    if (!colon || (colon != arg && colon[-1] == ':'))
        return nullptr;
    *colon = '\0';
    return colon + 1;
}

int host_port_number(const char *text, unsigned *port)
{
    // strtoul alone would take a sign, leading blanks or trailing text, and wrap "-1".
    if (!text || *text < '0' || *text > '9')
        return -1;
    char *end;
    errno = 0;
    unsigned long v = strtoul(text, &end, 0);
    if (*end || errno == ERANGE || v == 0 || v > 65535)
        return -1;
    *port = static_cast<unsigned>(v);
    return 0;
}

int host_port_parse(char *arg, char **host, unsigned *port)
{
    char *host_part = arg;
    char *port_text = nullptr;
    if (*arg == '[') {
        char *close = strchr(arg, ']');
        if (!close || (close[1] && close[1] != ':'))
            return -1;
        *close = '\0';
        host_part = arg + 1;
        port_text = close[1] ? close + 2 : nullptr;
    } else {
        port_text = host_port_split(arg);
    }
    unsigned p = *port;
    if (port_text && host_port_number(port_text, &p) != 0)
        return -1;
    *host = host_part;
    *port = p;
    return 0;
}
