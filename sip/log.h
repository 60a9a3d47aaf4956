#pragma once

#include <string>

struct sip_msg;

// Writes one diagnostic line on standard error, "sip: " and the text, in one
// write so that it never mixes with the daemon's lines on the same stream.
// The format is libre's (re_printf: %r for a pl, %J for an address, %m for
// an errno value).
void sipLog(const char *fmt, ...);

// Why libre closed a SIP session, in words for the log: `hungUp` when the
// other side ended it (its BYE, or the connection reset), otherwise the
// error or the final answer.
std::string closeReason(int err, const struct sip_msg *msg, const char *hungUp);
