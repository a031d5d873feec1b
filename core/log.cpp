#include "core/log.h"

#include <cstdarg>

int g_verbosity = 0;
int g_diagnostic = 0;

int log_msg(int flush, FILE *stream, const char *fmt, ...)
{
    if (g_verbosity <= 0)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(stream, fmt, ap);
    va_end(ap);
    if (flush)
        fflush(stream);
    return n;
}
