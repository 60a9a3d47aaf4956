#pragma once

#include <string>

// The name=value pairs in a log line's key bracket (see logkey.h):
//     sipLog(logkey::masksLoaded, LogFields().add("virtual", 1).add("blacklisted", 2), "...");
// A value is one token: bytes outside printable ASCII, the backslash, a
// space and ']' are written as \xNN, so network text cannot forge a field.
class LogFields
{
public:
    LogFields &add(const char *name, long long value);
    LogFields &add(const char *name, const std::string &value);
    LogFields &addDecimal(const char *name, double value);    // one decimal
    const std::string &text() const { return fields; }

private:
    std::string fields;     // " name=value" each
};
