#include "console.h"

#include <QMutex>
#include <QMutexLocker>
#include <cstdio>

namespace Console {
QTextStream in(stdin, QIODevice::ReadOnly);
QTextStream out(stdout, QIODevice::WriteOnly);
QTextStream err(stderr, QIODevice::WriteOnly);

void writeLine(const QString &line)
{
    // Function-local, so it exists whenever the first line is written.
    static QMutex mutex;
    QMutexLocker locker(&mutex);
    out << line << '\n';
    out.flush();
}
}
