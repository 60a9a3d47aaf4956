// End-to-end cases: the real tmx-driver on the pty of shield-sim, a scripted
// telephony application on the daemon's standard input and output, and the
// line audio on the real UDP ports.
//
// A case is a set of files with one name in tests/e2e/:
//   NAME.scn  the shield's side, played by shield-sim (grammar in
//             shield-sim/README.md);
//   NAME.tel  the telephony side, one step per line (below);
//   NAME.chk  the expected standard output of the daemon after its banner.
// A case passes when its script and its scenario both run to the end, the
// daemon is still running then, its output equals NAME.chk line for line (a
// mismatch prints a unified diff; a missing NAME.chk fails), and the checks
// that the case makes on the simulator's trace hold.
//
// Rebuild mode: TMX_E2E_REBUILD=1 writes each case's output into NAME.chk
// instead of comparing it (the other checks still run). Review the new
// files with git diff before committing them. TMX_E2E_KEEP=1 keeps each
// case's files (trace, standard error) in a temporary directory, which a
// failed case always does.
//
// Steps of a NAME.tel file (a line starting with '#' is a comment):
//   args WORD...     the daemon's command line (none by default)
//   send TEXT        write the line TEXT to the daemon's standard input
//   expect [TEXT]    wait until the daemon writes the line TEXT (an empty line
//                    when TEXT is missing), later than the last line expected
//   close            close the daemon's standard input
//   polls N          wait until the shield has answered N more polls
//   sim KIND [K=V]   wait for the simulator's next trace line of that kind
//                    with those fields
//   audio start N    start sending N numbered frames to port 20003
//   audio wait       wait until all of them came back on port 20002, once each,
//                    in order, between idle frames
//   threads N        the daemon runs exactly N threads now
//
// The simulator runs with its default timings. Nothing that the daemon writes
// after its banner varies between runs, so no line is filtered out.
//
// Each case is one CTest test, e2e_NAME; by hand: tst_e2e run:NAME (under
// flock /tmp/tmx-ports.lock, as it binds the daemon's UDP ports).

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <ctime>
#include <functional>
#include <sys/prctl.h>

#if !defined(TMX_DRIVER_PATH) || !defined(TMX_SHIELDSIM_PATH) || !defined(TMX_E2E_DIR)
#error "TMX_DRIVER_PATH, TMX_SHIELDSIM_PATH and TMX_E2E_DIR must be defined"
#endif

namespace {

const int stepTimeoutMs = 30000;
const int startTimeoutMs = 30000;
const int scenarioTimeoutMs = 60000;
const int frameSize = 256;

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

// A child that dies with the test: a test killed by its time-out must not
// leave a daemon behind on the UDP ports.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

// One line of the simulator's --trace file: "<ns> <kind> key=value ...".
struct TraceLine
{
    qint64 ns = 0;
    QString kind;
    QHash<QString, QString> fields;
    QString raw;

    int number(const QString &key) const { return fields.value(key).toInt(nullptr, 0); }
};

// Reads the trace file as the simulator appends to it.
class Trace
{
public:
    void open(const QString &path)
    {
        file.close();
        file.setFileName(path);
        rest.clear();
        lines.clear();
    }

    void update()
    {
        if (!file.isOpen() && !file.open(QIODevice::ReadOnly))
            return;
        rest += file.readAll();
        int end;
        while ((end = rest.indexOf('\n')) >= 0) {
            lines.append(parse(QString::fromUtf8(rest.left(end))));
            rest.remove(0, end + 1);
        }
    }

    int count(const QString &kind) const
    {
        int n = 0;
        for (const TraceLine &line : lines)
            n += line.kind == kind;
        return n;
    }

    QString tail(int n) const
    {
        QStringList text;
        for (int i = qMax(0, lines.size() - n); i < lines.size(); ++i)
            text << lines.at(i).raw;
        return text.join(QLatin1Char('\n'));
    }

    QList<TraceLine> lines;

private:
    static TraceLine parse(const QString &text)
    {
        TraceLine line;
        line.raw = text;
        const int kindEnd = text.indexOf(QLatin1Char(' '), text.indexOf(QLatin1Char(' ')) + 1);
        const QStringList head = text.left(kindEnd < 0 ? text.size() : kindEnd).split(QLatin1Char(' '));
        line.ns = head.value(0).toLongLong();
        line.kind = head.value(1);
        QString rest = kindEnd < 0 ? QString() : text.mid(kindEnd + 1);
        while (!rest.isEmpty()) {
            // A step's text holds blanks and runs to the end of the line.
            if (rest.startsWith(QLatin1String("text="))) {
                line.fields.insert(QStringLiteral("text"), rest.mid(5));
                break;
            }
            const int blank = rest.indexOf(QLatin1Char(' '));
            const QString word = blank < 0 ? rest : rest.left(blank);
            const int eq = word.indexOf(QLatin1Char('='));
            if (eq > 0)
                line.fields.insert(word.left(eq), word.mid(eq + 1));
            rest = blank < 0 ? QString() : rest.mid(blank + 1);
        }
        return line;
    }

    QFile file;
    QByteArray rest;
};

// A poll frame as the shield received it, with what the shield did about it.
struct Poll
{
    qint64 ns = 0;
    int unit = 0;
    int status = 0;
    int cmd = 0;
    QByteArray bytes;
    bool answered = false;
    int answerStatus = -1;
    int answerApt = -1;
};

QList<Poll> pollsOf(const Trace &trace)
{
    QList<Poll> polls;
    for (const TraceLine &line : trace.lines) {
        if (line.kind == QLatin1String("rx-poll")) {
            Poll poll;
            poll.ns = line.ns;
            poll.unit = line.number(QStringLiteral("unit"));
            poll.status = line.number(QStringLiteral("status"));
            poll.cmd = line.number(QStringLiteral("cmd"));
            poll.bytes = QByteArray::fromHex(line.fields.value(QStringLiteral("bytes")).toLatin1());
            polls.append(poll);
        } else if (line.kind == QLatin1String("tx-answer") && !polls.isEmpty()) {
            polls.last().answered = true;
            polls.last().answerStatus = line.number(QStringLiteral("status"));
            polls.last().answerApt = line.number(QStringLiteral("apt"));
        }
    }
    return polls;
}

QString describe(const QList<Poll> &polls)
{
    QStringList text;
    for (const Poll &p : polls) {
        text << QStringLiteral("unit %1 status 0x%2 cmd 0x%3 -> %4")
                    .arg(p.unit).arg(p.status, 2, 16, QLatin1Char('0')).arg(p.cmd, 2, 16, QLatin1Char('0'))
                    .arg(p.answered ? QStringLiteral("0x%1 apt %2").arg(p.answerStatus, 2, 16, QLatin1Char('0')).arg(p.answerApt)
                                    : QStringLiteral("silence"));
    }
    return text.join(QLatin1Char('\n'));
}

// The call unit after u in the daemon's poll rotation 2, 3, 4, 1, 2, ...
int nextUnit(int u)
{
    return u % 4 + 1;
}

// True when the units rotate without a gap, starting at first (any start
// when first is 0).
bool rotates(const QList<Poll> &polls, int first = 0)
{
    for (int i = 0; i < polls.size(); ++i) {
        const int expected = i == 0 ? (first ? first : polls.at(0).unit) : nextUnit(polls.at(i - 1).unit);
        if (polls.at(i).unit != expected)
            return false;
    }
    return true;
}

QByteArray idleFrame()
{
    return QByteArray::fromHex(QByteArray("ff7f").repeated(frameSize / 2));
}

QByteArray numberedFrame(int n)
{
    QByteArray frame(frameSize, Qt::Uninitialized);
    frame[0] = char(n);
    frame[1] = char(n >> 8);
    for (int i = 2; i < frameSize; ++i)
        frame[i] = char(n * 37 + i);
    return frame;
}

// The telephony application's audio: numbered frames to port 20003, every
// datagram from port 20002 kept.
class Audio : public QObject
{
public:
    bool bind()
    {
        if (!receiver.bind(QHostAddress(QHostAddress::LocalHost), 20002))
            return false;
        connect(&receiver, &QUdpSocket::readyRead, this, [this] {
            while (receiver.hasPendingDatagrams()) {
                QByteArray datagram(int(qMax<qint64>(receiver.pendingDatagramSize(), 0)), Qt::Uninitialized);
                receiver.readDatagram(datagram.data(), datagram.size());
                received.append(datagram);
            }
            tally();
        });
        pace.setTimerType(Qt::PreciseTimer);
        connect(&pace, &QTimer::timeout, this, [this] {
            tally();
            // No more than a few frames on their way at once, as a telephony
            // application pacing itself on the 16 ms frame clock would; three
            // never stand long enough in the daemon's queue to be dropped.
            if (sent < count && sent - returned < 3) {
                ++sent;
                sender.writeDatagram(numberedFrame(sent), QHostAddress(QHostAddress::LocalHost), 20003);
            }
        });
        return true;
    }

    void start(int frames)
    {
        count = frames;
        sent = 0;
        returned = 0;
        first = received.size();
        checked = first;
        numbers.clear();
        for (int n = 1; n <= frames; ++n)
            numbers.insert(numberedFrame(n), n);
        pace.start(16);
    }

    // All frames back, and an idle frame after the last one.
    bool done() const
    {
        return returned == count && !received.isEmpty() && received.last() == idleFrame();
    }

    void stop() { pace.stop(); }

    // Empty when every numbered frame came back once, in order, byte for
    // byte, and everything else was the idle frame.
    QString verify() const
    {
        QList<int> order;
        int idle = 0;
        for (int i = first; i < received.size(); ++i) {
            const QByteArray &datagram = received.at(i);
            if (datagram == idleFrame()) {
                ++idle;
            } else if (numbers.contains(datagram)) {
                order.append(numbers.value(datagram));
            } else {
                return QStringLiteral("datagram %1 of %2 bytes is neither idle nor sent: %3")
                    .arg(i - first).arg(datagram.size()).arg(QString::fromLatin1(datagram.left(16).toHex()));
            }
        }
        QList<int> expected;
        for (int n = 1; n <= count; ++n)
            expected.append(n);
        if (order != expected) {
            QStringList got;
            for (int n : order)
                got << QString::number(n);
            return QStringLiteral("frames came back in the order %1").arg(got.join(QLatin1Char(' ')));
        }
        if (idle == 0)
            return QStringLiteral("no idle frames between the numbered ones");
        return QString();
    }

    int datagrams() const { return received.size(); }

private:
    void tally()
    {
        for (; checked < received.size(); ++checked)
            returned += numbers.contains(received.at(checked));
    }

    QUdpSocket receiver;
    QUdpSocket sender;
    QTimer pace;
    QList<QByteArray> received;
    QHash<QByteArray, int> numbers;
    int count = 0;
    int sent = 0;
    int returned = 0;
    int first = 0;
    int checked = 0;
};

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

QString caseFile(const QString &name, const char *suffix)
{
    return QStringLiteral(TMX_E2E_DIR "/%1.%2").arg(name, QLatin1String(suffix));
}

}

class tst_E2E : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void cleanup();

private:
    bool startProcesses(const QString &name, const QStringList &args);
    bool step(const QString &line, int number);
    bool waitFor(const std::function<bool()> &done, int timeoutMs, const QString &what);
    void readOutput();
    QStringList transcript() const;
    bool compareTranscript(const QString &name);
    QString report() const;
    qint64 sentAt(const QString &line) const;

    void checkWholeCall();
    void checkDialplan();
    void checkMessage();
    void checkSilentShield();
    void checkLineNoise();
    void checkStdinClosed();

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<ChildProcess> sim;
    QScopedPointer<ChildProcess> daemon;
    QScopedPointer<Audio> audio;
    Trace trace;
    QByteArray output;
    int bannerEnd = -1;
    int expectFrom = 0;
    int simFrom = 0;
    QList<QPair<qint64, QString>> sent;
    qint64 closedAt = 0;
    QString failure;
};

void tst_E2E::run_data()
{
    QTest::addColumn<QString>("name");
    const QStringList scenarios = QDir(QStringLiteral(TMX_E2E_DIR)).entryList({QStringLiteral("*.scn")}, QDir::Files, QDir::Name);
    QVERIFY2(!scenarios.isEmpty(), "no cases in " TMX_E2E_DIR);
    for (const QString &file : scenarios) {
        const QString name = file.chopped(4);
        QTest::newRow(qPrintable(name)) << name;
    }
}

void tst_E2E::run()
{
    QFETCH(QString, name);

    // The telephony script, read whole before anything starts.
    QStringList steps;
    QList<int> stepLines;
    QStringList args;
    QFile tel(caseFile(name, "tel"));
    if (tel.exists()) {
        QVERIFY2(tel.open(QIODevice::ReadOnly), qPrintable(tel.fileName()));
        const QStringList lines = QString::fromUtf8(tel.readAll()).split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            const QString line = lines.at(i).trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
                continue;
            if (line.startsWith(QLatin1String("args "))) {
                args = line.mid(5).split(QLatin1Char(' '), Qt::SkipEmptyParts);
                continue;
            }
            steps << line;
            stepLines << i + 1;
        }
    }

    QVERIFY2(startProcesses(name, args), qPrintable(failure + report()));
    for (int i = 0; i < steps.size(); ++i)
        QVERIFY2(step(steps.at(i), stepLines.at(i)), qPrintable(failure + report()));

    QVERIFY2(waitFor([this] { return trace.count(QStringLiteral("scenario-end")) > 0; }, scenarioTimeoutMs,
                     QStringLiteral("the end of the scenario")),
             qPrintable(failure + report()));
    QVERIFY2(trace.count(QStringLiteral("timeout")) == 0,
             qPrintable(QStringLiteral("a wait of the scenario ran out") + report()));
    QVERIFY2(daemon->state() == QProcess::Running,
             qPrintable(QStringLiteral("the daemon ended before the scenario") + report()));

    // Everything the daemon wrote up to now is in the pipe; take it all.
    audio->stop();
    daemon->kill();
    daemon->waitForFinished(startTimeoutMs);
    readOutput();
    sim->terminate();
    sim->waitForFinished(startTimeoutMs);
    trace.update();

    // Every frame that the daemon wrote to the shield is a well-formed poll;
    // anything else is a message, which only the message case sends.
    for (const Poll &poll : pollsOf(trace)) {
        const QByteArray b = poll.bytes;
        QVERIFY2(b.size() == 11 && uint8_t(b[1]) == 0x03 && uint8_t(b[3]) == 0xA2
                     && b.mid(6, 4) == QByteArray(4, '\0'),
                 qPrintable(QStringLiteral("malformed poll %1").arg(QString::fromLatin1(b.toHex()))));
    }
    if (!steps.join(QLatin1Char('\n')).contains(QLatin1String("send 11 "))) {
        QVERIFY2(trace.count(QStringLiteral("rx-message")) == 0,
                 qPrintable(QStringLiteral("the daemon wrote something other than polls") + report()));
    }

    QVERIFY2(compareTranscript(name), qPrintable(failure));

    static const QHash<QString, void (tst_E2E::*)()> checks{
        {QStringLiteral("whole-call"), &tst_E2E::checkWholeCall},
        {QStringLiteral("dialplan"), &tst_E2E::checkDialplan},
        {QStringLiteral("message"), &tst_E2E::checkMessage},
        {QStringLiteral("silent-shield"), &tst_E2E::checkSilentShield},
        {QStringLiteral("line-noise"), &tst_E2E::checkLineNoise},
        {QStringLiteral("stdin-closed"), &tst_E2E::checkStdinClosed},
    };
    if (checks.contains(name))
        (this->*checks.value(name))();
}

void tst_E2E::cleanup()
{
    if (dir && (QTest::currentTestFailed() || qEnvironmentVariableIntValue("TMX_E2E_KEEP") == 1)) {
        dir->setAutoRemove(false);
        qInfo("files of the case kept in %s", qPrintable(dir->path()));
    }
    for (QProcess *p : {daemon.data(), sim.data()}) {
        if (p && p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(startTimeoutMs);
        }
    }
    daemon.reset();
    sim.reset();
    audio.reset();
    dir.reset();
    trace.open(QString());
    output.clear();
    bannerEnd = -1;
    expectFrom = 0;
    simFrom = 0;
    sent.clear();
    closedAt = 0;
    failure.clear();
}

bool tst_E2E::startProcesses(const QString &name, const QStringList &args)
{
    dir.reset(new QTemporaryDir);
    if (!dir->isValid()) {
        failure = QStringLiteral("no temporary directory");
        return false;
    }
    audio.reset(new Audio);
    if (!audio->bind()) {
        failure = QStringLiteral("port 20002 is busy; run the daemon's tests under flock /tmp/tmx-ports.lock");
        return false;
    }

    const QString ptyFile = dir->filePath(QStringLiteral("pty"));
    trace.open(dir->filePath(QStringLiteral("trace")));
    sim.reset(new ChildProcess);
    sim->setStandardInputFile(QProcess::nullDevice());
    sim->setStandardOutputFile(dir->filePath(QStringLiteral("sim.out")));
    sim->setStandardErrorFile(dir->filePath(QStringLiteral("sim.err")));
    sim->start(QStringLiteral(TMX_SHIELDSIM_PATH),
               {QStringLiteral("-q"), QStringLiteral("--pty-file"), ptyFile, QStringLiteral("--trace"),
                dir->filePath(QStringLiteral("trace")), QStringLiteral("-s"), caseFile(name, "scn")});
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
    connect(daemon.data(), &QProcess::readyReadStandardOutput, this, &tst_E2E::readOutput);
    daemon->start(QStringLiteral(TMX_DRIVER_PATH), args);
    if (!daemon->waitForStarted(startTimeoutMs)) {
        failure = QStringLiteral("the daemon did not start: ") + daemon->errorString();
        return false;
    }
    return waitFor([this] { return bannerEnd >= 0; }, startTimeoutMs, QStringLiteral("the end of the banner"));
}

void tst_E2E::readOutput()
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

// The lines written after the banner, the last one complete.
QStringList tst_E2E::transcript() const
{
    if (bannerEnd < 0)
        return {};
    QByteArray text = output.mid(bannerEnd);
    text.truncate(text.lastIndexOf('\n') + 1);
    QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

bool tst_E2E::waitFor(const std::function<bool()> &done, int timeoutMs, const QString &what)
{
    QElapsedTimer clock;
    clock.start();
    forever {
        trace.update();
        if (done())
            return true;
        if (daemon && daemon->state() == QProcess::NotRunning) {
            failure = QStringLiteral("the daemon ended (exit status %1) while waiting for %2")
                          .arg(daemon->exitCode()).arg(what);
            return false;
        }
        if (sim && sim->state() == QProcess::NotRunning) {
            failure = QStringLiteral("the simulator ended (exit status %1) while waiting for %2")
                          .arg(sim->exitCode()).arg(what);
            return false;
        }
        if (clock.hasExpired(timeoutMs)) {
            failure = QStringLiteral("timed out after %1 s waiting for %2").arg(timeoutMs / 1000).arg(what);
            return false;
        }
        QTest::qWait(5);
    }
}

bool tst_E2E::step(const QString &line, int number)
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
        const int target = trace.count(QStringLiteral("tx-answer")) + arg.toInt();
        return waitFor([&] { return trace.count(QStringLiteral("tx-answer")) >= target; }, stepTimeoutMs, where);
    }
    if (verb == QLatin1String("sim")) {
        const QStringList words = arg.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        return waitFor(
            [&] {
                for (int i = simFrom; i < trace.lines.size(); ++i) {
                    const TraceLine &t = trace.lines.at(i);
                    bool match = t.kind == words.value(0);
                    for (int w = 1; match && w < words.size(); ++w) {
                        const int eq = words.at(w).indexOf(QLatin1Char('='));
                        match = t.fields.value(words.at(w).left(eq)) == words.at(w).mid(eq + 1);
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
    if (line.startsWith(QLatin1String("audio start "))) {
        audio->start(line.mid(12).toInt());
        return true;
    }
    if (line == QLatin1String("audio wait")) {
        if (!waitFor([this] { return audio->done(); }, stepTimeoutMs, where))
            return false;
        audio->stop();
        failure = audio->verify();
        return failure.isEmpty();
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
        failure = QStringLiteral("%1: the daemon runs %2 threads: %3")
                      .arg(where).arg(threads.size()).arg(names.join(QLatin1String(", ")));
        return false;
    }
    failure = QStringLiteral("unknown step ") + where;
    return false;
}

bool tst_E2E::compareTranscript(const QString &name)
{
    const QStringList actual = transcript();
    QFile chk(caseFile(name, "chk"));
    if (qEnvironmentVariableIntValue("TMX_E2E_REBUILD") == 1) {
        if (!chk.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            failure = QStringLiteral("cannot write ") + chk.fileName();
            return false;
        }
        for (const QString &line : actual)
            chk.write(line.toUtf8() + '\n');
        qInfo("rebuilt %s", qPrintable(chk.fileName()));
        return true;
    }
    if (!chk.open(QIODevice::ReadOnly)) {
        failure = QStringLiteral("missing expected output %1 (TMX_E2E_REBUILD=1 writes it)").arg(chk.fileName());
        return false;
    }
    QStringList expected = QString::fromUtf8(chk.readAll()).split(QLatin1Char('\n'));
    if (!expected.isEmpty() && expected.last().isEmpty())
        expected.removeLast();
    if (expected == actual)
        return true;
    failure = QStringLiteral("the daemon's output differs from %1:\n%2")
                  .arg(chk.fileName(), unifiedDiff(expected, actual, name + QLatin1String(".chk"),
                                                   QStringLiteral("daemon output")));
    return false;
}

QString tst_E2E::report() const
{
    QString text = QStringLiteral("\n--- daemon output after the banner:\n") + transcript().join(QLatin1Char('\n'));
    if (dir) {
        QFile err(dir->filePath(QStringLiteral("daemon.err")));
        if (err.open(QIODevice::ReadOnly))
            text += QStringLiteral("\n--- daemon standard error:\n") + QString::fromUtf8(err.readAll().right(2000));
    }
    text += QStringLiteral("\n--- simulator trace, last lines:\n") + trace.tail(30);
    return text;
}

qint64 tst_E2E::sentAt(const QString &line) const
{
    for (const auto &s : sent) {
        if (s.second == line)
            return s.first;
    }
    return -1;
}

// Each command goes with the polls only after the application sent it, and
// to the call's unit with the state the daemon last saw; once the call is
// over the idle polls go on with the rotation where they left it.
void tst_E2E::checkWholeCall()
{
    const QList<Poll> polls = pollsOf(trace);
    const QString all = describe(polls);
    const struct {
        int cmd;
        const char *command;
        int status;
    } commands[] = {{8, "pickup", 0x02}, {4, "open", 0x04}, {1, "drop", 0x04}};
    for (const auto &c : commands) {
        int carried = 0;
        for (const Poll &p : polls) {
            if (p.cmd != c.cmd)
                continue;
            ++carried;
            QVERIFY2(p.ns > sentAt(QLatin1String(c.command)) && p.unit == 3 && p.status == c.status,
                     qPrintable(QStringLiteral("command %1:\n%2").arg(c.cmd).arg(all)));
        }
        QVERIFY2(carried > 0, qPrintable(QStringLiteral("no poll carried command %1:\n%2").arg(c.cmd).arg(all)));
    }
    for (const Poll &p : polls)
        QVERIFY2(p.cmd == 0 || p.cmd == 8 || p.cmd == 4 || p.cmd == 1, qPrintable(all));

    QList<Poll> idle;
    QList<Poll> afterDrop;
    qint64 dropNs = 0;
    for (const TraceLine &t : trace.lines) {
        if (t.kind == QLatin1String("event") && t.fields.value(QStringLiteral("name")) == QLatin1String("drop"))
            dropNs = t.ns;
    }
    QVERIFY(dropNs > 0);
    for (const Poll &p : polls) {
        if (p.status != 0x01)
            continue;
        QVERIFY2(p.cmd == 0, qPrintable(all));
        idle << p;
        if (p.ns > dropNs)
            afterDrop << p;
    }
    QVERIFY2(rotates(idle, 2), qPrintable(QStringLiteral("idle polls do not rotate:\n") + all));
    QVERIFY2(afterDrop.size() >= 4, qPrintable(QStringLiteral("fewer than four idle polls after the drop:\n") + all));
}

// The door of call unit 5 is opened while the line is idle; then a call to
// a blacklisted apartment is polled with 0x60, to an imitated one with 0x40,
// to any other with 2.
void tst_E2E::checkDialplan()
{
    const QList<Poll> polls = pollsOf(trace);
    const QString all = describe(polls);
    int opening = 0;
    for (const Poll &p : polls) {
        if (p.cmd == 0)
            continue;
        ++opening;
        QVERIFY2(p.cmd == 0x10 && p.unit == 5 && p.status == 0x01 && p.ns > sentAt(QStringLiteral("open 5")),
                 qPrintable(all));
    }
    QVERIFY2(opening > 0, qPrintable(all));
    const struct {
        int apartment;
        int status;
    } calls[] = {{125, 0x60}, {124, 0x40}, {123, 0x02}};
    for (const auto &call : calls) {
        int seen = 0;
        for (int i = 1; i < polls.size(); ++i) {
            const Poll &before = polls.at(i - 1);
            if (before.answerStatus != 0x02 || before.answerApt != call.apartment)
                continue;
            ++seen;
            QVERIFY2(polls.at(i).status == call.status && polls.at(i).cmd == 0,
                     qPrintable(QStringLiteral("call to %1:\n%2").arg(call.apartment).arg(all)));
        }
        QVERIFY2(seen >= 2, qPrintable(QStringLiteral("call to %1 polled %2 times:\n%3")
                                           .arg(call.apartment).arg(seen).arg(all)));
    }
}

// The message leaves once, as it was given, and the polls come back after
// the answer, at the poll pace rather than the message pace.
void tst_E2E::checkMessage()
{
    QList<TraceLine> messages;
    for (const TraceLine &t : trace.lines) {
        if (t.kind == QLatin1String("rx-message"))
            messages << t;
    }
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).fields.value(QStringLiteral("bytes")), QStringLiteral("fa0102"));

    const QList<Poll> polls = pollsOf(trace);
    QList<Poll> before;
    QList<Poll> after;
    for (const Poll &p : polls)
        (p.ns < messages.at(0).ns ? before : after) << p;
    QVERIFY2(before.size() >= 2 && after.size() >= 3, qPrintable(describe(polls)));
    for (int i = 0; i < after.size(); ++i) {
        QVERIFY2(after.at(i).status == 0x01 && after.at(i).cmd == 0, qPrintable(describe(after)));
        if (i > 0)
            QVERIFY2(after.at(i).ns - after.at(i - 1).ns > 100000000, qPrintable(describe(after)));
    }
}

// The first six missing answers change nothing; from the sixth on the line
// is given up: the pending command is dropped and the polls go to the lost
// rotation. Answers from the idle shield bring back the idle rotation.
void tst_E2E::checkSilentShield()
{
    const QList<Poll> polls = pollsOf(trace);
    const QString all = describe(polls);
    int firstSilent = -1;
    int lastSilent = -1;
    for (int i = 0; i < polls.size(); ++i) {
        if (!polls.at(i).answered) {
            if (firstSilent < 0)
                firstSilent = i;
            lastSilent = i;
        }
    }
    QVERIFY2(firstSilent > 0, qPrintable(all));
    for (int i = firstSilent; i <= lastSilent; ++i)
        QVERIFY2(!polls.at(i).answered, qPrintable(all));

    const QList<Poll> silent = polls.mid(firstSilent, lastSilent - firstSilent + 1);
    QVERIFY2(silent.size() >= 8, qPrintable(QStringLiteral("too short a silence:\n") + all));
    for (int i = 0; i < 6; ++i) {
        QVERIFY2(silent.at(i).unit == 3 && silent.at(i).status == 0x02, qPrintable(all));
        QVERIFY2(silent.at(i).cmd == 0 || (silent.at(i).cmd == 8 && silent.at(i).ns > sentAt(QStringLiteral("pickup"))),
                 qPrintable(all));
    }
    QVERIFY2(silent.at(5).cmd == 8, qPrintable(QStringLiteral("the pickup was not pending:\n") + all));
    const QList<Poll> lost = silent.mid(6);
    for (const Poll &p : lost)
        QVERIFY2(p.status == 0x01 && p.cmd == 0, qPrintable(all));
    QVERIFY2(rotates(lost, 2), qPrintable(QStringLiteral("lost rotation:\n") + all));

    // Before the call: idle polls 2, 3, 4, ...; after the silence, one more
    // poll on the lost rotation (answered idle), then the idle rotation goes
    // on where it stopped.
    QList<Poll> idle;
    for (int i = 0; i < polls.size() && polls.at(i).status == 0x01; ++i)
        idle << polls.at(i);
    QVERIFY2(!idle.isEmpty() && rotates(idle, 2), qPrintable(all));
    const QList<Poll> back = polls.mid(lastSilent + 1);
    QVERIFY2(back.size() >= 4, qPrintable(all));
    QVERIFY2(back.at(0).unit == nextUnit(lost.last().unit), qPrintable(all));
    const QList<Poll> resumed = back.mid(1);
    for (const Poll &p : resumed)
        QVERIFY2(p.answered && p.status == 0x01 && p.cmd == 0, qPrintable(all));
    QVERIFY2(rotates(resumed, nextUnit(idle.last().unit)), qPrintable(QStringLiteral("idle rotation:\n") + all));
}

// No call is seen in the noise, polling goes on through it, and the real
// call afterwards is polled as a call.
void tst_E2E::checkLineNoise()
{
    const QList<Poll> polls = pollsOf(trace);
    const QString all = describe(polls);
    qint64 lastNoise = 0;
    qint64 callStep = 0;
    for (const TraceLine &t : trace.lines) {
        if (t.kind.startsWith(QLatin1String("tx-")) && t.kind != QLatin1String("tx-answer"))
            lastNoise = t.ns;
        if (t.kind == QLatin1String("step") && t.fields.value(QStringLiteral("text")).startsWith(QLatin1String("call ")))
            callStep = t.ns;
    }
    QVERIFY(lastNoise > 0 && callStep > lastNoise);
    int calls = 0;
    for (const Poll &p : polls) {
        QVERIFY2(p.cmd == 0, qPrintable(all));
        if (p.ns < callStep)
            QVERIFY2(p.status == 0x01, qPrintable(QStringLiteral("a call seen in the noise:\n") + all));
        else if (p.status == 0x02)
            calls += p.unit == 2;
    }
    QVERIFY2(calls >= 2, qPrintable(all));
}

// With standard input closed the shield is still polled through the whole
// call and after it.
void tst_E2E::checkStdinClosed()
{
    QVERIFY(closedAt > 0);
    const QList<Poll> polls = pollsOf(trace);
    int after = 0;
    int conversation = 0;
    int idle = 0;
    for (const Poll &p : polls) {
        if (p.ns <= closedAt)
            continue;
        ++after;
        conversation += p.status == 0x04;
        idle += p.status == 0x01;
    }
    QVERIFY2(after >= 8 && conversation >= 4 && idle >= 2, qPrintable(describe(polls)));
}

QTEST_GUILESS_MAIN(tst_E2E)

#include "tst_e2e.moc"
