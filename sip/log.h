#pragma once

// Writes one diagnostic line on standard error, "sip: " and the text, in one
// write so that it never mixes with the daemon's lines on the same stream.
// The format is libre's (re_printf: %r for a pl, %J for an address, %m for
// an errno value).
void sipLog(const char *fmt, ...);
