#include "e2ecase.h"

#include "childprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <ctime>

#if !defined(TMX_DRIVER_PATH) || !defined(TMX_SHIELDSIM_PATH) || !defined(TMX_E2E_DIR) \
    || !defined(TMX_SCENARIO_DIR)
#error "TMX_DRIVER_PATH, TMX_SHIELDSIM_PATH, TMX_E2E_DIR and TMX_SCENARIO_DIR must be defined"
#endif

namespace {

const int stepTimeoutMs = 30000;
const int startTimeoutMs = 30000;
const int scenarioTimeoutMs = 60000;

// ThreadSanitizer runs a background thread of its own in every process.
#if defined(__SANITIZE_THREAD__)
const int sanitizerThreads = 1;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
const int sanitizerThreads = 1;
#else
const int sanitizerThreads = 0;
#endif
#else
const int sanitizerThreads = 0;
#endif

// qemu-user adds a thread of its own to every process it runs.
#ifdef TMX_EMULATOR_THREADS
const int emulatorThreads = TMX_EMULATOR_THREADS;
#else
const int emulatorThreads = 0;
#endif

qint64 monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void stopProcess(QProcess *p)
{
    if (p && p->state() != QProcess::NotRunning) {
        p->kill();
        p->waitForFinished(startTimeoutMs);
    }
}

// Line-by-line diff of expected and actual, in the form of diff -u with the
// whole text as one hunk.
QString unifiedDiff(const QStringList &a, const QStringList &b, const QString &nameA, const QString &nameB)
{
    const int n = a.size();
    const int m = b.size();
    QVector<QVector<int>> lcs(n + 1, QVector<int>(m + 1, 0));
    for (int i = n - 1; i >= 0; --i) {
        for (int j = m - 1; j >= 0; --j)
            lcs[i][j] = a.at(i) == b.at(j) ? lcs[i + 1][j + 1] + 1 : qMax(lcs[i + 1][j], lcs[i][j + 1]);
    }
    QStringList out{QStringLiteral("--- %1").arg(nameA), QStringLiteral("+++ %1").arg(nameB),
                    QStringLiteral("@@ -1,%1 +1,%2 @@").arg(n).arg(m)};
    int i = 0;
    int j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && a.at(i) == b.at(j)) {
            out << QLatin1Char(' ') + a.at(i++);
            ++j;
        } else if (i < n && (j == m || lcs[i + 1][j] >= lcs[i][j + 1])) {
            out << QLatin1Char('-') + a.at(i++);
        } else {
            out << QLatin1Char('+') + b.at(j++);
        }
    }
    return out.join(QLatin1Char('\n'));
}

}

E2ECase::E2ECase(const QString &name)
    : name(name), scenario(name)
{
}

E2ECase::~E2ECase()
{
    stopProcess(daemon.data());
    stopProcess(sim.data());
}

QString E2ECase::caseFile(const char *suffix) const
{
    return QStringLiteral(TMX_E2E_DIR "/%1.%2").arg(name, QLatin1String(suffix));
}

bool E2ECase::load()
{
    QFile tel(caseFile("tel"));
    if (!tel.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("cannot read ") + tel.fileName();
        return false;
    }
    const QStringList lines = QString::fromUtf8(tel.readAll()).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1String("args ")))
            args = line.mid(5).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        else if (line.startsWith(QLatin1String("scenario ")))
            scenario = line.mid(9).trimmed();
        else if (line.startsWith(QLatin1String("check ")))
            declaredChecks << line.mid(6).trimmed();
        else {
            steps << line;
            stepLines << i + 1;
        }
    }
    if (!QFile::exists(QStringLiteral(TMX_SCENARIO_DIR "/%1.scn").arg(scenario))) {
        why = QStringLiteral("%1: no shipped scenario %2.scn").arg(tel.fileName(), scenario);
        return false;
    }
    return true;
}

bool E2ECase::start()
{
    dir.reset(new QTemporaryDir);
    if (!dir->isValid()) {
        why = QStringLiteral("no temporary directory");
        return false;
    }
    const QString ptyFile = dir->filePath(QStringLiteral("pty"));
    const QString tracePath = dir->filePath(QStringLiteral("trace"));
    simTrace.open(tracePath);
    sim.reset(new ChildProcess);
    sim->setStandardInputFile(QProcess::nullDevice());
    sim->setStandardOutputFile(dir->filePath(QStringLiteral("sim.out")));
    sim->setStandardErrorFile(dir->filePath(QStringLiteral("sim.err")));
    sim->start(QStringLiteral(TMX_SHIELDSIM_PATH),
               {QStringLiteral("-q"), QStringLiteral("--pty-file"), ptyFile, QStringLiteral("--trace"), tracePath,
                QStringLiteral("-s"), QStringLiteral(TMX_SCENARIO_DIR "/%1.scn").arg(scenario)});
    if (!waitFor([&] { return QFile::exists(ptyFile); }, startTimeoutMs, QStringLiteral("the simulator's pty")))
        return false;
    QFile file(ptyFile);
    file.open(QIODevice::ReadOnly);
    const QString pty = QString::fromLocal8Bit(file.readAll()).trimmed();

    daemon.reset(new ChildProcess);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LORENTAK_USART_PORT"), pty);
    env.insert(QStringLiteral("LORENTAK_SPI"), QStringLiteral("loopback"));
    env.insert(QStringLiteral("LORENTAK_SPI_TRACE"), dir->filePath(QStringLiteral("spi-trace")));
    daemon->setProcessEnvironment(env);
    daemon->setStandardErrorFile(dir->filePath(QStringLiteral("daemon.err")));
    connect(daemon.data(), &QProcess::readyReadStandardOutput, this, &E2ECase::readOutput);
    daemon->start(QStringLiteral(TMX_DRIVER_PATH), args);
    if (!daemon->waitForStarted(startTimeoutMs)) {
        why = QStringLiteral("the daemon did not start: ") + daemon->errorString();
        return false;
    }
    return waitFor([this] { return bannerEnd >= 0; }, startTimeoutMs, QStringLiteral("the end of the banner"));
}

bool E2ECase::runScript()
{
    for (int i = 0; i < steps.size(); ++i) {
        if (!step(steps.at(i), stepLines.at(i)))
            return false;
    }
    return true;
}

bool E2ECase::finish()
{
    if (!waitFor([this] { return simTrace.count(QStringLiteral("scenario-end")) > 0; }, scenarioTimeoutMs,
                 QStringLiteral("the end of the scenario")))
        return false;
    if (simTrace.count(QStringLiteral("timeout")) > 0) {
        why = QStringLiteral("a wait of the scenario ran out");
        return false;
    }
    if (daemon->state() != QProcess::Running) {
        why = QStringLiteral("the daemon ended before the scenario");
        return false;
    }
    // Everything the daemon wrote up to now is in the pipe; take it all.
    stopProcess(daemon.data());
    readOutput();
    sim->terminate();
    sim->waitForFinished(startTimeoutMs);
    simTrace.update();
    return true;
}

void E2ECase::readOutput()
{
    if (!daemon)
        return;
    output += daemon->readAllStandardOutput();
    if (bannerEnd < 0) {
        static const QByteArray end("\nshield_ready\n\n");
        const int at = output.indexOf(end);
        if (at >= 0)
            bannerEnd = at + end.size();
    }
}

QStringList E2ECase::transcript() const
{
    if (bannerEnd < 0)
        return {};
    QByteArray text = output.mid(bannerEnd);
    text.truncate(text.lastIndexOf('\n') + 1);
    QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

qint64 E2ECase::sentAt(const QString &line) const
{
    for (const auto &s : sent) {
        if (s.second == line)
            return s.first;
    }
    return -1;
}

bool E2ECase::waitFor(const std::function<bool()> &done, int timeoutMs, const QString &what)
{
    QElapsedTimer clock;
    clock.start();
    forever {
        simTrace.update();
        if (done())
            return true;
        if (daemon && daemon->state() == QProcess::NotRunning) {
            why = QStringLiteral("the daemon ended (exit status %1) while waiting for %2")
                      .arg(daemon->exitCode()).arg(what);
            return false;
        }
        if (sim && sim->state() == QProcess::NotRunning) {
            why = QStringLiteral("the simulator ended (exit status %1) while waiting for %2")
                      .arg(sim->exitCode()).arg(what);
            return false;
        }
        if (clock.hasExpired(timeoutMs)) {
            why = QStringLiteral("timed out after %1 s waiting for %2").arg(timeoutMs / 1000).arg(what);
            return false;
        }
        QTest::qWait(5);
    }
}

bool E2ECase::step(const QString &line, int number)
{
    const QString where = QStringLiteral("%1 (script line %2)").arg(line).arg(number);
    const int blank = line.indexOf(QLatin1Char(' '));
    const QString verb = blank < 0 ? line : line.left(blank);
    const QString arg = blank < 0 ? QString() : line.mid(blank + 1);

    if (verb == QLatin1String("send")) {
        sent.append(qMakePair(monotonicNs(), arg));
        daemon->write(arg.toUtf8() + '\n');
        return true;
    }
    if (verb == QLatin1String("close")) {
        daemon->waitForBytesWritten(stepTimeoutMs);
        closedAt = monotonicNs();
        daemon->closeWriteChannel();
        return true;
    }
    if (verb == QLatin1String("expect")) {
        return waitFor(
            [&] {
                const QStringList lines = transcript();
                for (int i = expectFrom; i < lines.size(); ++i) {
                    if (lines.at(i) == arg) {
                        expectFrom = i + 1;
                        return true;
                    }
                }
                return false;
            },
            stepTimeoutMs, where);
    }
    if (verb == QLatin1String("polls")) {
        const int target = simTrace.count(QStringLiteral("tx-answer")) + arg.toInt();
        return waitFor([&] { return simTrace.count(QStringLiteral("tx-answer")) >= target; }, stepTimeoutMs,
                       where);
    }
    if (verb == QLatin1String("sim")) {
        const QStringList words = arg.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        return waitFor(
            [&] {
                const QList<TraceLine> &lines = simTrace.lines();
                for (int i = simFrom; i < lines.size(); ++i) {
                    const TraceLine &t = lines.at(i);
                    bool match = t.kind == words.value(0);
                    for (int w = 1; match && w < words.size(); ++w) {
                        const int eq = words.at(w).indexOf(QLatin1Char('='));
                        match = t.field(words.at(w).left(eq)) == words.at(w).mid(eq + 1);
                    }
                    if (match) {
                        simFrom = i + 1;
                        return true;
                    }
                }
                return false;
            },
            stepTimeoutMs, where);
    }
    if (verb == QLatin1String("threads")) {
        const QString task = QStringLiteral("/proc/%1/task").arg(daemon->processId());
        const QStringList threads = QDir(task).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        if (threads.size() == arg.toInt() + sanitizerThreads + emulatorThreads)
            return true;
        QStringList names;
        for (const QString &tid : threads) {
            QFile comm(task + QLatin1Char('/') + tid + QLatin1String("/comm"));
            comm.open(QIODevice::ReadOnly);
            names << QString::fromUtf8(comm.readAll()).trimmed();
        }
        why = QStringLiteral("%1: the daemon runs %2 threads: %3")
                  .arg(where).arg(threads.size()).arg(names.join(QLatin1String(", ")));
        return false;
    }
    why = QStringLiteral("unknown step ") + where;
    return false;
}

bool E2ECase::compareTranscript()
{
    const QStringList actual = transcript();
    QFile chk(caseFile("chk"));
    if (qEnvironmentVariableIntValue("TMX_E2E_REBUILD") == 1) {
        if (!chk.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            why = QStringLiteral("cannot write ") + chk.fileName();
            return false;
        }
        for (const QString &line : actual)
            chk.write(line.toUtf8() + '\n');
        qInfo("rebuilt %s", qPrintable(chk.fileName()));
        return true;
    }
    if (!chk.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("missing expected output %1 (TMX_E2E_REBUILD=1 writes it)").arg(chk.fileName());
        return false;
    }
    QStringList expected = QString::fromUtf8(chk.readAll()).split(QLatin1Char('\n'));
    if (!expected.isEmpty() && expected.last().isEmpty())
        expected.removeLast();
    if (expected == actual)
        return true;
    why = QStringLiteral("the daemon's output differs from %1:\n%2")
              .arg(chk.fileName(),
                   unifiedDiff(expected, actual, name + QLatin1String(".chk"), QStringLiteral("daemon output")));
    return false;
}

QString E2ECase::daemonStderr() const
{
    QFile err(dir ? dir->filePath(QStringLiteral("daemon.err")) : QString());
    return err.open(QIODevice::ReadOnly) ? QString::fromUtf8(err.readAll()) : QString();
}

QString E2ECase::report() const
{
    QString text = QStringLiteral("\n--- daemon output after the banner:\n") + transcript().join(QLatin1Char('\n'));
    text += QStringLiteral("\n--- daemon standard error:\n") + daemonStderr().right(2000);
    text += QStringLiteral("\n--- simulator trace, last lines:\n") + simTrace.tail(30);
    return text;
}

void E2ECase::keepFiles()
{
    if (!dir)
        return;
    dir->setAutoRemove(false);
    qInfo("files of the case kept in %s", qPrintable(dir->path()));
}
