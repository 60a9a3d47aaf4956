#ifndef E2ECASE_H
#define E2ECASE_H

#include "tracereader.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QScopedPointer>
#include <QStringList>
#include <functional>

class QProcess;
class QTemporaryDir;

// One end-to-end case: the real tmx-driver on the pty of shield-sim, which
// plays one of its shipped scenarios, and a scripted telephony application on
// the daemon's standard input and output. The case's telephony script
// (NAME.tel) and expected output (NAME.chk) are in tests/e2e; their format
// is described in shield-sim/README.md.
class E2ECase : public QObject
{
    Q_OBJECT
public:
    explicit E2ECase(const QString &name);
    ~E2ECase() override;

    // Reads NAME.tel; then starts both processes, runs the script, and waits
    // for the end of the scenario, after which both processes are stopped
    // and everything they wrote is read. Each returns false with failure()
    // set when something goes wrong.
    bool load();
    bool start();
    bool runScript();
    bool finish();
    // Compares the daemon's output after its banner with NAME.chk (or writes
    // NAME.chk in rebuild mode, TMX_E2E_REBUILD=1).
    bool compareTranscript();

    QString failure() const { return why; }
    // The daemon's output, its standard error and the end of the trace.
    QString report() const;
    // Keeps the case's files (TMX_E2E_KEEP=1, or after a failure).
    void keepFiles();

    // What the checks look at.
    const QStringList &checks() const { return declaredChecks; }
    const TraceReader &trace() const { return simTrace; }
    QStringList transcript() const;
    // When the script sent that line to the daemon (monotonic ns), or -1.
    qint64 sentAt(const QString &line) const;
    qint64 stdinClosedAt() const { return closedAt; }

private:
    bool step(const QString &line, int number);
    bool waitFor(const std::function<bool()> &done, int timeoutMs, const QString &what);
    void readOutput();
    QString caseFile(const char *suffix) const;

    QString name;
    QString scenario;
    QStringList args;
    QStringList declaredChecks;
    QStringList steps;
    QList<int> stepLines;

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<QProcess> sim;
    QScopedPointer<QProcess> daemon;
    TraceReader simTrace;
    QByteArray output;
    int bannerEnd = -1;
    int expectFrom = 0;
    int simFrom = 0;
    QList<QPair<qint64, QString>> sent;
    qint64 closedAt = 0;
    QString why;
};

#endif
