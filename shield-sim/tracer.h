#ifndef TRACER_H
#define TRACER_H

#include <QFile>
#include <QList>
#include <QPair>
#include <QString>
#include <cstdint>

// Writes each event twice: as a readable line on standard error (unless
// quiet) and as a machine line "<ns> <kind> key=value ..." in the trace file.
// The time stamp is CLOCK_MONOTONIC in nanoseconds, so a test or benchmark
// can relate it to its own clock_gettime() readings. Values are
// percent-encoded, so a value never holds a blank and every line splits on
// blanks alone (TraceReader reads them back).
class Tracer
{
public:
    using Fields = QList<QPair<QString, QString>>;

    Tracer() = default;

    void setQuiet(bool quiet) { this->quiet = quiet; }
    bool openFile(const QString &path);

    static int64_t now();

    // `human` goes to standard error as "shield-sim: <human>" (skipped when
    // empty); `kind` and `fields` go to the trace file after the time stamp
    // (nothing when `kind` is empty).
    void event(const QString &human, const QString &kind, const Fields &fields = {});
    void event(int64_t ns, const QString &human, const QString &kind, const Fields &fields = {});

    // Always printed, whatever quiet says.
    static void message(const QString &text);

private:
    QFile file;
    bool quiet = false;

    Q_DISABLE_COPY(Tracer)
};

#endif
