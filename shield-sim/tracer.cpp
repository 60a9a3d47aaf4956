#include "tracer.h"

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

void Tracer::event(const QString &human, const QString &machine)
{
    event(now(), human, machine);
}

void Tracer::event(int64_t ns, const QString &human, const QString &machine)
{
    if (!quiet && !human.isEmpty())
        message(human);
    // One write per line: readers polling the file never see half a line.
    if (file.isOpen() && !machine.isEmpty())
        file.write(QByteArray::number(qlonglong(ns)) + ' ' + machine.toUtf8() + '\n');
}

void Tracer::message(const QString &text)
{
    const QByteArray line = "shield-sim: " + text.toUtf8() + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stderr);
    fflush(stderr);
}
