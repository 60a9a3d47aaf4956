// The console reader on its own thread, fed through a real pipe: the runner
// process wires it as the daemon does, without the shield link.

#include "processlines.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>
#include <csignal>
#include <memory>

#ifndef CONSOLESCAN_RUNNER_PATH
#error "CONSOLESCAN_RUNNER_PATH must name the consolescan_runner executable"
#endif

static const QString inputError = QStringLiteral("#ERROR: Ошибка ввода квартиры");
// A QThread without an object name of its own runs under its class name.
static const QByteArray consoleThread = QByteArrayLiteral("QThread");
static const QString endOfInputLine = QStringLiteral("console: end of standard input");

class tst_ConsoleScanStdin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void dialogueThroughPipe();
    void endOfInput();

private:
    // The reader's own lines, without the runner's.
    QStringList readerLines() const;
    // Asks the runner's event loop for its state line and waits for it.
    QString state();
    void write(const QByteArray &bytes);

    std::unique_ptr<QProcess> runner;
    std::unique_ptr<ProcessLines> lines;
    int states = 0;
};

void tst_ConsoleScanStdin::init()
{
    runner.reset(new QProcess);
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

QTEST_GUILESS_MAIN(tst_ConsoleScanStdin)
#include "tst_consolescan_stdin.moc"
