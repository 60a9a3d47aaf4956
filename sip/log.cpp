#include "log.h"

#include <re.h>

#include <cstdarg>
#include <cstring>
#include <unistd.h>

void sipLog(const char *fmt, ...)
{
    char line[1024] = "sip: ";
    const size_t head = 5;
    va_list ap;
    va_start(ap, fmt);
    (void)re_vsnprintf(line + head, sizeof line - head - 1, fmt, ap);
    va_end(ap);
    size_t len = strnlen(line, sizeof line - 2);
    line[len++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, len);
    (void)ignored;
}
