#ifndef TRACER_H
#define TRACER_H

#include <QFile>
#include <QString>
#include <cstdint>

// Writes each event twice: as a readable line on standard error (unless
// quiet) and as a machine line "<ns> <kind> key=value ..." in the trace file.
// The time stamp is CLOCK_MONOTONIC in nanoseconds, so a test or benchmark
// can relate it to its own clock_gettime() readings.
class Tracer
{
public:
    Tracer() = default;

    void setQuiet(bool quiet) { this->quiet = quiet; }
    bool openFile(const QString &path);

    static int64_t now();

    // `human` goes to standard error as "shield-sim: <human>" (skipped when
    // empty); `machine` goes to the trace file after the time stamp.
    void event(const QString &human, const QString &machine);
    void event(int64_t ns, const QString &human, const QString &machine);

    // Always printed, whatever quiet says.
    static void message(const QString &text);

private:
    QFile file;
    bool quiet = false;

    Q_DISABLE_COPY(Tracer)
};

#endif
