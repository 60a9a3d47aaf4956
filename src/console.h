#ifndef CONSOLE_H
#define CONSOLE_H

#include <QLatin1String>
#include <QString>
#include <QTextStream>
#include <string_view>

// Process-wide text streams on the standard streams.
namespace Console {
extern QTextStream in;   // standard input, read only by the console reader
extern QTextStream out;  // standard output: banner, events, prompts
extern QTextStream err;  // standard error

// Writes one whole line to standard output and flushes it. Every writer of
// standard output goes through here: the lock keeps lines from different
// threads apart, and no writer touches the stream's number formatting.
void writeLine(const QString &line);

// A word of the console vocabulary (consolevocabulary.h) as Qt text.
inline QLatin1String word(std::string_view w)
{
    return QLatin1String(w.data(), int(w.size()));
}
}

#endif
