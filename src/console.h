#ifndef CONSOLE_H
#define CONSOLE_H

#include <QString>
#include <QTextStream>

// Process-wide text streams on the standard streams.
namespace Console {
extern QTextStream in;   // standard input, read only by the console reader
extern QTextStream out;  // standard output: banner, events, prompts
extern QTextStream err;  // standard error

// Writes one whole line to standard output and flushes it. Every writer of
// standard output goes through here: the lock keeps lines from different
// threads apart, and no writer touches the stream's number formatting.
void writeLine(const QString &line);
}

#endif
