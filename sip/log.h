#pragma once

#include "logfields.h"
#include "logkey.h"

#include <string>

struct pl;
struct sip_msg;

// Writes one diagnostic line on standard error, "sip: " and the text, in one
// write so that it never mixes with the daemon's lines on the same stream.
// The format is libre's (re_printf: %r for a pl, %J for an address, %m for
// an errno value).
//
// Text that came from the network (a display name, a URI, a Call-ID, a
// reason phrase, a User-Agent, anything taken from a sip_msg) goes through
// shown() and is printed with %s, never with %r or %s of its own:
//     sipLog("%s: %u %s", label.c_str(), msg->scode, shown(msg->reason).c_str());
void sipLog(const char *fmt, ...);

// The same for a line that reports an outcome: "sip: [KEY] " or, with
// fields, "sip: [KEY name=value ...] " before the text (logkey.h).
void sipLog(LogKey key, const char *fmt, ...);
void sipLog(LogKey key, const LogFields &fields, const char *fmt, ...);

// Network text as the log shows it: every byte outside printable ASCII
// (0x20-0x7e), and the backslash, written as \xNN, and the result cut at
// maxShown characters (ending in "..." when cut).
const unsigned maxShown = 128;
std::string shown(const struct pl &text);
std::string shown(const std::string &text);

// Why libre closed a SIP session, in words for the log: `hungUp` when the
// other side ended it (its BYE, or the connection reset), otherwise the
// error or the final answer.
std::string closeReason(int err, const struct sip_msg *msg, const char *hungUp);
