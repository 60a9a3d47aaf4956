#include "log.h"

#include <re.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <unistd.h>

namespace {

void writeLine(const char *key, const char *fields, const char *fmt, va_list ap)
{
    char line[1024];
    int head = key ? re_snprintf(line, sizeof line, "sip: [%s%s] ", key, fields) : re_snprintf(line, sizeof line, "sip: ");
    // Fields too long for the line: the key alone, so that the line still
    // starts with a closed bracket and no text after it is taken for one.
    if (head < 0 && key)
        head = re_snprintf(line, sizeof line, "sip: [%s] ", key);
    if (head < 0)
        head = 0;
    (void)re_vsnprintf(line + head, sizeof line - size_t(head) - 1, fmt, ap);
    size_t len = strnlen(line, sizeof line - 2);
    line[len++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, len);
    (void)ignored;
}

} // namespace

void sipLog(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    writeLine(nullptr, "", fmt, ap);
    va_end(ap);
}

void sipLog(LogKey key, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    writeLine(key.name, "", fmt, ap);
    va_end(ap);
}

void sipLog(LogKey key, const LogFields &fields, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    writeLine(key.name, fields.text().c_str(), fmt, ap);
    va_end(ap);
}

namespace {

std::string escaped(const char *p, size_t n)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    size_t fits = 0;    // length of the output up to the last whole byte within maxShown - 3
    for (size_t i = 0; i < n && out.size() <= maxShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
        if (out.size() <= maxShown - 3)
            fits = out.size();
    }
    if (out.size() > maxShown) {
        out.resize(fits);
        out += "...";
    }
    return out;
}

} // namespace

std::string shown(const struct pl &text)
{
    return escaped(text.p, text.p ? text.l : 0);
}

std::string shown(const std::string &text)
{
    return escaped(text.data(), text.size());
}

std::string closeReason(int err, const struct sip_msg *msg, const char *hungUp)
{
    char why[64];
    if ((msg && msg->req) || err == ECONNRESET)
        return hungUp;
    if (err)
        re_snprintf(why, sizeof why, "%m", err);
    else if (msg)
        return std::to_string(msg->scode) + " " + shown(msg->reason);
    else
        re_snprintf(why, sizeof why, "closed");
    return why;
}
