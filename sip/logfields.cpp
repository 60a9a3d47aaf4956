#include "logfields.h"

#include "log.h"

#include <cstdio>

LogFields &LogFields::add(const char *name, long long value)
{
    fields += std::string(" ") + name + "=" + std::to_string(value);
    return *this;
}

LogFields &LogFields::addDecimal(const char *name, double value)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f", value);
    fields += std::string(" ") + name + "=" + text;
    return *this;
}

LogFields &LogFields::add(const char *name, const std::string &value)
{
    std::string token;
    for (const char c : shown(value)) {
        if (c == ' ')
            token += "\\x20";
        else if (c == ']')
            token += "\\x5d";
        else
            token += c;
    }
    fields += std::string(" ") + name + "=" + token;
    return *this;
}
