#ifndef PROCESSLINES_H
#define PROCESSLINES_H

#include <QDir>
#include <QFile>
#include <QPair>
#include <QProcess>
#include <QStringList>
#include <unistd.h>

// Gathers the complete lines that a child process writes on its standard
// output and standard error, as they arrive through the event loop.
class ProcessLines
{
public:
    explicit ProcessLines(QProcess *process)
    {
        QObject::connect(process, &QProcess::readyReadStandardOutput, [this, process] {
            split(process->readAllStandardOutput(), outRest, out);
        });
        QObject::connect(process, &QProcess::readyReadStandardError, [this, process] {
            split(process->readAllStandardError(), errRest, err);
        });
    }

    QStringList out;
    QStringList err;

private:
    static void split(const QByteArray &bytes, QByteArray &rest, QStringList &lines)
    {
        rest += bytes;
        int end;
        while ((end = rest.indexOf('\n')) >= 0) {
            lines.append(QString::fromUtf8(rest.left(end)));
            rest.remove(0, end + 1);
        }
    }

    QByteArray outRest;
    QByteArray errRest;
};

// The name and the user plus system CPU time, in seconds, from a
// /proc/.../stat file; an empty name when it cannot be read.
inline QPair<QByteArray, double> statCpuSeconds(const QString &path)
{
    QFile stat(path);
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    // The name in parentheses may hold blanks; the fields after it start
    // with the state, so utime and stime are the 12th and 13th.
    const int open = text.indexOf('(');
    const int close = text.lastIndexOf(')');
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    if (open < 0 || close < open || fields.size() < 13)
        return {};
    const double ticks = fields.at(11).toDouble() + fields.at(12).toDouble();
    return {text.mid(open + 1, close - open - 1), ticks / double(sysconf(_SC_CLK_TCK))};
}

// CPU time that a running process has used so far, in seconds; -1 when it
// cannot be read.
inline double processCpuSeconds(qint64 pid)
{
    const auto stat = statCpuSeconds(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.first.isEmpty() ? -1 : stat.second;
}

// CPU time used so far by the threads of a process that bear the given name
// (at most 15 characters, as the kernel keeps it); -1 when there is none.
inline double threadCpuSeconds(qint64 pid, const QByteArray &name)
{
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    double total = -1;
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const auto stat = statCpuSeconds(tasks + QLatin1Char('/') + tid + QStringLiteral("/stat"));
        if (stat.first == name)
            total = qMax(total, 0.0) + stat.second;
    }
    return total;
}

#endif
