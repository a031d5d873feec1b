#include "core/host_port.h"

#include <cstring>

char *host_port_split(char *arg)
{
    char *colon = strrchr(arg, ':');
    if (!colon || (colon != arg && colon[-1] == ':'))
        return nullptr;
    *colon = '\0';
    return colon + 1;
}
