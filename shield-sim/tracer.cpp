#include "tracer.h"

#include <QUrl>
#include <cstdio>
#include <ctime>

bool Tracer::openFile(const QString &path)
{
    file.setFileName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

int64_t Tracer::now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void Tracer::event(const QString &human, const QString &kind, const Fields &fields)
{
    event(now(), human, kind, fields);
}

void Tracer::event(int64_t ns, const QString &human, const QString &kind, const Fields &fields)
{
    if (!quiet && !human.isEmpty())
        message(human);
    if (!file.isOpen() || kind.isEmpty())
        return;
    QByteArray line = QByteArray::number(qlonglong(ns)) + ' ' + kind.toUtf8();
    for (const auto &field : fields)
        line += ' ' + field.first.toUtf8() + '=' + QUrl::toPercentEncoding(field.second);
    // One write per line: readers polling the file never see half a line.
    file.write(line + '\n');
}

void Tracer::message(const QString &text)
{
    const QByteArray line = "shield-sim: " + text.toUtf8() + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
    fflush(stderr);
}
