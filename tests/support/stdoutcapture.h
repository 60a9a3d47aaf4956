#ifndef STDOUTCAPTURE_H
#define STDOUTCAPTURE_H

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <cstdio>
#include <functional>
#include <unistd.h>

// Sends a file descriptor (standard output unless told otherwise) to a
// temporary file for as long as it lives, or until stop(). Output of every
// thread of the process lands there while the capture is on.
class StdoutCapture
{
public:
    explicit StdoutCapture(int fd = STDOUT_FILENO)
        : fd(fd)
    {
        if (!file.open())
            return;
        flushStreams();
        saved = dup(fd);
        dup2(file.handle(), fd);
    }

    ~StdoutCapture() { stop(); }

    void stop()
    {
        if (saved < 0)
            return;
        flushStreams();
        dup2(saved, fd);
        close(saved);
        saved = -1;
    }

    // Everything written so far, byte for byte.
    QByteArray text()
    {
        flushStreams();
        QFile written(file.fileName());
        if (!written.open(QIODevice::ReadOnly))
            return QByteArrayLiteral("<unreadable temporary file>");
        return written.readAll();
    }

    // The lines written so far. Each line must end with "\n"; a missing last
    // line end shows up as a last element "<no line end>".
    QStringList lines()
    {
        const QString all = QString::fromUtf8(text());
        if (all.isEmpty())
            return {};
        QStringList result = all.split(QLatin1Char('\n'));
        if (result.last().isEmpty())
            result.removeLast();
        else
            result.append(QStringLiteral("<no line end>"));
        return result;
    }

private:
    static void flushStreams()
    {
        fflush(stdout);
        fflush(stderr);
    }

    QTemporaryFile file;
    int fd;
    int saved = -1;

    Q_DISABLE_COPY(StdoutCapture)
};

// The lines that fn writes to standard output.
inline QStringList captureStdout(const std::function<void()> &fn)
{
    StdoutCapture capture;
    fn();
    capture.stop();
    return capture.lines();
}

#endif
