#ifndef STDOUTCAPTURE_H
#define STDOUTCAPTURE_H

#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <cstdio>
#include <functional>
#include <unistd.h>

// Runs fn with file descriptor 1 sent to a temporary file and returns the
// lines it wrote there. Each line must end with "\n"; a missing last line end
// shows up as a last element "<no line end>". Only for code that runs on the
// calling thread: output of other threads lands wherever fd 1 points then.
inline QStringList captureStdout(const std::function<void()> &fn)
{
    QTemporaryFile file;
    if (!file.open())
        return {QStringLiteral("<no temporary file>")};
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(file.handle(), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    QFile written(file.fileName());
    if (!written.open(QIODevice::ReadOnly))
        return {QStringLiteral("<unreadable temporary file>")};
    const QString text = QString::fromUtf8(written.readAll());
    if (text.isEmpty())
        return {};
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.last().isEmpty())
        lines.removeLast();
    else
        lines.append(QStringLiteral("<no line end>"));
    return lines;
}

#endif
