// The console reader on its own thread, fed through a real pipe: the runner
// process wires it as the daemon does, without the shield link.

#include "processlines.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

#ifndef CONSOLESCAN_RUNNER_PATH
#error "CONSOLESCAN_RUNNER_PATH must name the consolescan_runner executable"
#endif

static const QString inputError = QStringLiteral("#ERROR: Ошибка ввода квартиры");
// A QThread without an object name of its own runs under its class name.
static const QByteArray consoleThread = QByteArrayLiteral("QThread");
static const QString endOfInputLine = QStringLiteral("console: end of standard input");

// A runner whose standard input is a descriptor of the test's choosing.
class Runner : public QProcess
{
public:
    int input = -1;

protected:
    void setupChildProcess() override
    {
        if (input >= 0)
            dup2(input, STDIN_FILENO);
    }
};

class tst_ConsoleScanStdin : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void dialogueThroughPipe();
    void endOfInput();
    void unusualInput_data();
    void unusualInput();

private:
    // Starts the runner; its standard input is `input` when given, else a
    // pipe that write() feeds.
    void start(int input = -1);
    // The reader's own lines, without the runner's.
    QStringList readerLines() const;
    // Asks the runner's event loop for its state line and waits for it.
    QString state();
    void write(const QByteArray &bytes);

    std::unique_ptr<Runner> runner;
    std::unique_ptr<ProcessLines> lines;
    int states = 0;
};

void tst_ConsoleScanStdin::start(int input)
{
    runner.reset(new Runner);
    runner->input = input;
    lines.reset(new ProcessLines(runner.get()));
    states = 0;
    runner->start(QStringLiteral(CONSOLESCAN_RUNNER_PATH), QStringList());
    QVERIFY2(runner->waitForStarted(10000), qPrintable(runner->errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(lines->out.contains(QStringLiteral("runner: ready")), 10000);
}

void tst_ConsoleScanStdin::cleanup()
{
    if (runner->state() != QProcess::NotRunning) {
        runner->kill();
        runner->waitForFinished(10000);
    }
    lines.reset();
    runner.reset();
}

QStringList tst_ConsoleScanStdin::readerLines() const
{
    QStringList result;
    for (const QString &line : lines->out) {
        if (!line.startsWith(QLatin1String("runner: ")))
            result.append(line);
    }
    return result;
}

QString tst_ConsoleScanStdin::state()
{
    const QString prefix = QStringLiteral("runner: state ");
    auto answered = [&] {
        int n = 0;
        for (const QString &line : lines->out)
            n += line.startsWith(prefix);
        return n;
    };
    if (::kill(pid_t(runner->processId()), SIGUSR1) != 0)
        return QStringLiteral("<no runner>");
    ++states;
    if (!QTest::qWaitFor([&] { return answered() == states; }, 10000))
        return QStringLiteral("<no answer>");
    for (int i = lines->out.size() - 1; i >= 0; --i) {
        if (lines->out.at(i).startsWith(prefix))
            return lines->out.at(i).mid(prefix.size());
    }
    return QString();
}

void tst_ConsoleScanStdin::write(const QByteArray &bytes)
{
    runner->write(bytes);
    runner->waitForBytesWritten(10000);
}

// The reader handles each line as it comes through the pipe; what is said
// inside a list is never a command, and a "\r\n" line end is no part of the line.
void tst_ConsoleScanStdin::dialogueThroughPipe()
{
    start();
    write("dialplan\n5\ndrop\npickup\nopen\n1023\n-1\n");
    const QStringList firstList{"mask_imit", "#Write rooms for shield:", "#End read rooms", "",
                                "mask_block", "#Write blacklist rooms for shield:"};
    QTRY_COMPARE_WITH_TIMEOUT(readerLines().size(), firstList.size(), 10000);
    QCOMPARE(readerLines(), firstList);
    QCOMPARE(state(), QStringLiteral("cmd=0 door=1 intercom=10 gate=0 message= imit=5,1023 black="));

    write("7\n11 fa01\n1024\n-1\n");
    const QStringList dialogue = firstList + QStringList{"Error: big number", "#End read rooms", "",
                                                         "#Shield update virtual list",
                                                         "#Shield update black list"};
    QTRY_COMPARE_WITH_TIMEOUT(readerLines().size(), dialogue.size(), 10000);
    QCOMPARE(readerLines(), dialogue);
    QCOMPARE(lines->err, (QStringList{inputError, inputError, inputError}));
    QCOMPARE(state(), QStringLiteral("cmd=0 door=1 intercom=10 gate=0 message= imit=5,1023 black=7"));

    // Back in command mode; the intercom confirmation marks that all before it is done.
    write("open 4\r\n11 fa01\r\n7 102\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(readerLines().size(), dialogue.size() + 1, 10000);
    QCOMPARE(readerLines().last(), QStringLiteral("#Intercom 102 supported indexes "));
    QCOMPARE(state(), QStringLiteral("cmd=16 door=4 intercom=102 gate=1 message=fa01 imit=5,1023 black=7"));
    write("drop\r\n7 12\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(readerLines().size(), dialogue.size() + 2, 10000);
    QCOMPARE(readerLines().last(), QStringLiteral("#Intercom 12 not supported indexes "));
    QCOMPARE(state(), QStringLiteral("cmd=1 door=4 intercom=12 gate=0 message= imit=5,1023 black=7"));
    QCOMPARE(lines->err.size(), 3);
}

// Once standard input has ended the reader says so once and stops reading,
// without spinning; the rest of the process runs on.
void tst_ConsoleScanStdin::endOfInput()
{
    start();
    write("pickup\n7 102\n");
    QTRY_COMPARE_WITH_TIMEOUT(readerLines(), QStringList{"#Intercom 102 supported indexes "}, 10000);
    QCOMPARE(lines->err, QStringList());
    QVERIFY2(threadCpuSeconds(runner->processId(), consoleThread) >= 0, "no console thread found");

    // A last line without its line end still counts.
    write("drop");
    runner->closeWriteChannel();
    QTRY_COMPARE_WITH_TIMEOUT(lines->err.size(), 1, 10000);
    QVERIFY2(lines->err.first().startsWith(endOfInputLine), qPrintable(lines->err.first()));
    QCOMPARE(state(), QStringLiteral("cmd=1 door=1 intercom=102 gate=1 message= imit= black="));

    const double cpuBefore = processCpuSeconds(runner->processId());
    const double readerBefore = qMax(threadCpuSeconds(runner->processId(), consoleThread), 0.0);
    QVERIFY(cpuBefore >= 0);
    QElapsedTimer wall;
    wall.start();
    // A window to measure in, not a wait for anything.
    QTest::qWait(1000);
    const double cpu = processCpuSeconds(runner->processId()) - cpuBefore;
    // The console thread may end or idle, but must not run: under load a
    // spinning thread gets less than a core, so its own time is the sharper test.
    const double reader = qMax(threadCpuSeconds(runner->processId(), consoleThread), readerBefore)
        - readerBefore;
    const QString measured = QStringLiteral("%1 s of CPU, %2 s of it on the console thread, in %3 ms "
                                            "after the end of input")
                                 .arg(cpu).arg(reader).arg(wall.elapsed());
    QVERIFY2(cpu < 0.3, qPrintable(measured));
    QVERIFY2(reader < 0.05, qPrintable(measured));

    QCOMPARE(runner->state(), QProcess::Running);
    QCOMPARE(state(), QStringLiteral("cmd=1 door=1 intercom=102 gate=1 message= imit= black="));
    QCOMPARE(readerLines(), QStringList{"#Intercom 102 supported indexes "});
    QCOMPARE(lines->err.size(), 1);
}

void tst_ConsoleScanStdin::unusualInput_data()
{
    QTest::addColumn<bool>("socket");

    QTest::newRow("pipe, read end non-blocking") << false;
    QTest::newRow("socket pair, non-blocking") << true;
}

// Standard input shared with a parent that made it non-blocking, or a
// socket: the reader waits for whole lines, joins the pieces of one, and
// ends only when the input does.
void tst_ConsoleScanStdin::unusualInput()
{
    QFETCH(bool, socket);

    int ends[2];
    if (socket)
        QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    else
        QCOMPARE(pipe2(ends, O_CLOEXEC), 0);
    fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    start(ends[0]);
    close(ends[0]);
    auto send = [&ends](const QByteArray &bytes) {
        return ::write(ends[1], bytes.constData(), size_t(bytes.size())) == bytes.size();
    };

    // One line in two pieces; a pause only shapes the input here.
    QVERIFY(send("7 1"));
    QTest::qWait(300);
    QVERIFY(send("02\r\npickup\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(readerLines(), QStringList{"#Intercom 102 supported indexes "}, 10000);
    QCOMPARE(state(), QStringLiteral("cmd=8 door=1 intercom=102 gate=1 message= imit= black="));
    QCOMPARE(lines->err, QStringList());

    // Input that never ends a line is let go, not kept.
    QVERIFY(send(QByteArray(70000, 'x') + "\n7 101\n"));
    QTRY_COMPARE_WITH_TIMEOUT(readerLines().size(), 2, 10000);
    QCOMPARE(readerLines().last(), QStringLiteral("#Intercom 101 not supported indexes "));
    QVERIFY2(lines->err.size() == 1 && lines->err.first().startsWith("console: discarded "), qPrintable(lines->err.join('\n')));

    close(ends[1]);
    QTRY_COMPARE_WITH_TIMEOUT(lines->err.size(), 2, 10000);
    QVERIFY2(lines->err.last().startsWith(endOfInputLine), qPrintable(lines->err.last()));
    QCOMPARE(runner->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(tst_ConsoleScanStdin)
#include "tst_consolescan_stdin.moc"
