#include "log.h"

#include <re.h>

#include <cerrno>
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

std::string closeReason(int err, const struct sip_msg *msg, const char *hungUp)
{
    char why[128];
    if ((msg && msg->req) || err == ECONNRESET)
        re_snprintf(why, sizeof why, "%s", hungUp);
    else if (err)
        re_snprintf(why, sizeof why, "%m", err);
    else if (msg)
        re_snprintf(why, sizeof why, "%u %r", msg->scode, &msg->reason);
    else
        re_snprintf(why, sizeof why, "closed");
    return why;
}
