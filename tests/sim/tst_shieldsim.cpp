// Runs the shield simulator as a process and talks to its pty the way the
// daemon does: poll frames in, answers out.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include "tracereader.h"

#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

const int timeoutMs = 20000;

QByteArray poll(int unit, int status, int cmd)
{
    QByteArray f = QByteArray::fromHex("fa03 00a2 0000 00000000 f5");
    f[2] = char(unit);
    f[4] = char(status);
    f[5] = char(cmd);
    return f;
}

QByteArray answer(int unit, int status, int apartment)
{
    QByteArray f = QByteArray::fromHex("fa01 0000 0000 00000000 f5");
    f[2] = char(unit);
    f[4] = char(status);
    f[6] = char(apartment / 1000 % 10);
    f[7] = char(apartment / 100 % 10);
    f[8] = char(apartment / 10 % 10);
    f[9] = char(apartment % 10);
    return f;
}

qint64 monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One simulator process, plus the daemon's end of its pty.
class SimRun
{
public:
    explicit SimRun(const QString &scenario, const QStringList &options = {},
                    const QStringList &command = {})
    {
        QStringList args{QStringLiteral("-q"), QStringLiteral("--pty-file"), path("pty"),
                         QStringLiteral("--trace"), path("trace")};
        if (!scenario.isNull()) {
            QFile file(path("scenario"));
            if (file.open(QIODevice::WriteOnly))
                file.write(scenario.toUtf8());
            args << QStringLiteral("-s") << path("scenario");
        }
        args << options;
        if (!command.isEmpty())
            args << QStringLiteral("--") << command;
        process.start(QStringLiteral(SHIELD_SIM_PATH), args);
    }

    ~SimRun()
    {
        port.close();
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(5000);
        }
    }

    bool finished()
    {
        return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
    }

    QString path(const char *name) const { return dir.filePath(QLatin1String(name)); }

    QString ptyPath()
    {
        QFile file(path("pty"));
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()).trimmed() : QString();
    }

    // Opens the pty with the daemon's port settings once the simulator has
    // announced it.
    bool openPort()
    {
        QElapsedTimer clock;
        clock.start();
        while (ptyPath().isEmpty()) {
            if (process.state() == QProcess::NotRunning || clock.hasExpired(timeoutMs))
                return false;
            process.waitForReadyRead(20);
        }
        port.setPortName(ptyPath());
        port.setBaudRate(115200);
        port.setDataBits(QSerialPort::Data8);
        port.setParity(QSerialPort::NoParity);
        port.setStopBits(QSerialPort::OneStop);
        port.setFlowControl(QSerialPort::NoFlowControl);
        return port.open(QIODevice::ReadWrite);
    }

    QByteArray read(int count)
    {
        QByteArray got = port.readAll();
        QElapsedTimer clock;
        clock.start();
        while (got.size() < count && !clock.hasExpired(timeoutMs)) {
            if (port.waitForReadyRead(100))
                got += port.readAll();
        }
        return got;
    }

    QByteArray exchange(const QByteArray &out, int count = 11)
    {
        port.write(out);
        port.waitForBytesWritten(timeoutMs);
        return read(count);
    }

    // Trace lines of one kind.
    QList<TraceLine> trace(const QString &kind)
    {
        TraceReader reader(path("trace"));
        reader.update();
        return reader.of(kind);
    }

    QTemporaryDir dir;
    QProcess process;
    QSerialPort port;
};

}

class tst_ShieldSim : public QObject
{
    Q_OBJECT

private slots:
    void pollAnswers_data();
    void pollAnswers();
    void silenceAndExpectedCommand();
    void messages_data();
    void messages();
    void injections_data();
    void injections();
    void splitPausesBetweenParts();
    void traceTimeStamps();
    void exitStatus_data();
    void exitStatus();
    void quitEndsTheDaemon();
    void daemonGetsPtyAndConsole();
    void badScenarios_data();
    void badScenarios();
    void shippedScenarios_data();
    void shippedScenarios();
    void watchLog();
};

void tst_ShieldSim::pollAnswers_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QByteArrayList>("polls");
    QTest::addColumn<QByteArrayList>("answers");

    QTest::newRow("no scenario: idle for whichever unit is polled")
        << QString() << QByteArrayList{poll(2, 1, 0), poll(3, 1, 0), poll(1, 1, 0)}
        << QByteArrayList{answer(2, 1, 0), answer(3, 1, 0), answer(1, 1, 0)};
    QTest::newRow("call 123 from 3")
        << "call 123 from 3\n" << QByteArrayList{poll(2, 1, 0), poll(3, 2, 0)}
        << QByteArrayList{answer(3, 2, 123), answer(3, 2, 123)};
    QTest::newRow("call with largest apartment and unit")
        << "call 9999 from 0xff\n" << QByteArrayList{poll(2, 1, 0)} << QByteArrayList{answer(255, 2, 9999)};
    QTest::newRow("pickup turns the call into a conversation")
        << "call 123 from 3\n" << QByteArrayList{poll(3, 2, 0), poll(3, 2, 8), poll(3, 4, 0)}
        << QByteArrayList{answer(3, 2, 123), answer(3, 8, 123), answer(3, 8, 123)};
    QTest::newRow("pickup while idle is ignored")
        << QString() << QByteArrayList{poll(2, 1, 8), poll(3, 1, 0)}
        << QByteArrayList{answer(2, 1, 0), answer(3, 1, 0)};
    QTest::newRow("open during a call: door bit once")
        << "call 123 from 3\n" << QByteArrayList{poll(3, 2, 4), poll(3, 2, 0)}
        << QByteArrayList{answer(3, 0x22, 123), answer(3, 2, 123)};
    QTest::newRow("open during a conversation: door bit once")
        << "call 123 from 3\n" << QByteArrayList{poll(3, 2, 8), poll(3, 4, 4), poll(3, 4, 0)}
        << QByteArrayList{answer(3, 8, 123), answer(3, 0x28, 123), answer(3, 8, 123)};
    QTest::newRow("drop: ending twice, then idle")
        << "call 123 from 3\n" << QByteArrayList{poll(3, 2, 1), poll(3, 2, 1), poll(3, 2, 1), poll(4, 1, 0)}
        << QByteArrayList{answer(3, 0x10, 123), answer(3, 0x10, 123), answer(3, 1, 0), answer(4, 1, 0)};
    QTest::newRow("drop while idle is ignored")
        << QString() << QByteArrayList{poll(2, 1, 1)} << QByteArrayList{answer(2, 1, 0)};
    QTest::newRow("one-time open while idle, for the polled unit")
        << QString() << QByteArrayList{poll(5, 1, 0x10), poll(5, 1, 0), poll(2, 1, 0)}
        << QByteArrayList{answer(5, 0x21, 0), answer(5, 1, 0), answer(2, 1, 0)};
    QTest::newRow("one-time open during a call is ignored")
        << "call 7 from 2\n" << QByteArrayList{poll(5, 2, 0x10)} << QByteArrayList{answer(2, 2, 7)};
    QTest::newRow("hangup step: two ending answers, then idle")
        << "call 123 from 3\nwait polls 1\nhangup\n"
        << QByteArrayList{poll(3, 1, 0), poll(3, 2, 0), poll(3, 2, 0), poll(2, 2, 0)}
        << QByteArrayList{answer(3, 2, 123), answer(3, 0x10, 123), answer(3, 0x10, 123), answer(2, 1, 0)};
    QTest::newRow("hangup with one ending answer")
        << "call 123 from 3\nwait polls 1\nhangup 1\n"
        << QByteArrayList{poll(3, 1, 0), poll(3, 2, 0), poll(2, 2, 0)}
        << QByteArrayList{answer(3, 2, 123), answer(3, 0x10, 123), answer(2, 1, 0)};
    QTest::newRow("raw status byte without a call")
        << "status 0x0A\n" << QByteArrayList{poll(4, 1, 0)} << QByteArrayList{answer(4, 0x0A, 0)};
    QTest::newRow("raw status byte keeps the call's unit and apartment")
        << "call 7 from 4\nstatus 24\n" << QByteArrayList{poll(2, 1, 8)} << QByteArrayList{answer(4, 0x18, 7)};
    QTest::newRow("talk step, then open")
        << "call 5 from 2\ntalk\n" << QByteArrayList{poll(2, 2, 0), poll(2, 4, 4)}
        << QByteArrayList{answer(2, 8, 5), answer(2, 0x28, 5)};
    QTest::newRow("door step on an idle line")
        << "door\n" << QByteArrayList{poll(2, 1, 0), poll(3, 1, 0)}
        << QByteArrayList{answer(2, 0x21, 0), answer(3, 1, 0)};
    QTest::newRow("step after a wait is in force for the next poll")
        << "wait polls 1\ncall 45 from 2\nwait pickup\nhangup 1\n"
        << QByteArrayList{poll(2, 1, 0), poll(3, 1, 0), poll(2, 2, 8), poll(2, 4, 0)}
        << QByteArrayList{answer(2, 1, 0), answer(2, 2, 45), answer(2, 8, 45), answer(2, 0x10, 45)};
    QTest::newRow("event before its wait still meets it")
        << "call 1 from 1\nwait polls 2\nwait pickup\nhangup 1\n"
        << QByteArrayList{poll(1, 2, 8), poll(1, 4, 0), poll(1, 4, 0)}
        << QByteArrayList{answer(1, 8, 1), answer(1, 8, 1), answer(1, 0x10, 1)};
    QTest::newRow("a new call forgets events of the last one")
        << "call 1 from 1\nwait polls 1\ncall 2 from 1\nwait pickup 1min\nhangup 1\n"
        << QByteArrayList{poll(1, 2, 8), poll(1, 2, 0), poll(1, 2, 8), poll(1, 4, 0)}
        << QByteArrayList{answer(1, 8, 1), answer(1, 2, 2), answer(1, 8, 2), answer(1, 0x10, 2)};
}

void tst_ShieldSim::pollAnswers()
{
    QFETCH(QString, scenario);
    QFETCH(QByteArrayList, polls);
    QFETCH(QByteArrayList, answers);

    SimRun sim(scenario);
    QVERIFY2(sim.openPort(), qPrintable(sim.port.errorString()));
    for (int i = 0; i < polls.size(); ++i)
        QCOMPARE(sim.exchange(polls.at(i)).toHex(' '), answers.at(i).toHex(' '));
}

// A silent shield writes nothing but still sees the commands; a line step
// makes it answer again.
void tst_ShieldSim::silenceAndExpectedCommand()
{
    SimRun sim("silence\nexpect-cmd 8 1min\nidle\n");
    QVERIFY(sim.openPort());

    sim.port.write(poll(2, 1, 0));
    QTRY_COMPARE_WITH_TIMEOUT(sim.trace("no-answer").size(), 1, timeoutMs);
    sim.port.write(poll(2, 1, 8));
    QTRY_COMPARE_WITH_TIMEOUT(sim.trace("expect-ok").size(), 1, timeoutMs);
    QCOMPARE(sim.trace("no-answer").size(), 2);
    QCOMPARE(sim.exchange(poll(3, 1, 0)).toHex(' '), answer(3, 1, 0).toHex(' '));
}

void tst_ShieldSim::messages_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray twelve = QByteArray::fromHex("fa030201a2010000000000f5");
    const QByteArray ten = QByteArray::fromHex("fa0302a201000000 00f5");
    QTest::newRow("echoed by default") << QStringList() << QString() << QByteArray::fromHex("fa0102")
                                       << QByteArray::fromHex("fa0102");
    QTest::newRow("12 bytes with frame markers are a message") << QStringList() << QString() << twelve << twelve;
    QTest::newRow("10 bytes with frame markers are a message") << QStringList() << QString() << ten << ten;
    QTest::newRow("fixed answer") << QStringList{"--message-answer", "aa bb cc"} << QString()
                                  << QByteArray::fromHex("0102") << QByteArray::fromHex("aabbcc");
    QTest::newRow("no answer") << QStringList{"--message-answer", "none"} << QString()
                               << QByteArray::fromHex("0102") << QByteArray();
    QTest::newRow("answer step overrides the option")
        << QStringList{"--message-answer", "none"} << "answer 55aa\n" << QByteArray::fromHex("01")
        << QByteArray::fromHex("55aa");
}

void tst_ShieldSim::messages()
{
    QFETCH(QStringList, options);
    QFETCH(QString, scenario);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, expected);

    SimRun sim(scenario, options);
    QVERIFY(sim.openPort());
    sim.port.write(sent);
    QTRY_COMPARE_WITH_TIMEOUT(sim.trace("rx-message").size(), 1, timeoutMs);
    QCOMPARE(sim.trace("rx-message").first().field("bytes"), QString::fromLatin1(sent.toHex()));
    // Whatever answer there is went out before the next poll's answer.
    const QByteArray got = sim.exchange(poll(2, 1, 0), expected.size() + 11);
    QCOMPARE(got.toHex(' '), (expected + answer(2, 1, 0)).toHex(' '));
}

void tst_ShieldSim::injections_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QByteArray>("expected");  // empty: only the count is known
    QTest::addColumn<int>("count");

    const QByteArray call = QByteArray::fromHex("fa010300020000010203f5");
    const QByteArray idle = QByteArray::fromHex("fa010200010000000000f5");
    QTest::newRow("raw frame") << "raw fa 01 03 00 02 00 00 01 02 03 f5" << call << 11;
    QTest::newRow("two frames merged") << "raw fa010200010000000000f5 fa010300020000010203f5" << idle + call << 22;
    QTest::newRow("frame split by a pause") << "split fa 01 03 00 | 20ms | 02 00 00 01 02 03 f5" << call << 11;
    QTest::newRow("garbage") << "garbage 5" << QByteArray() << 5;
}

// Injected bytes come after the answer to the poll that released them.
void tst_ShieldSim::injections()
{
    QFETCH(QString, step);
    QFETCH(QByteArray, expected);
    QFETCH(int, count);

    SimRun sim("wait polls 1\n" + step + "\n");
    QVERIFY(sim.openPort());
    const QByteArray got = sim.exchange(poll(2, 1, 0), 11 + count);
    QCOMPARE(got.left(11).toHex(' '), answer(2, 1, 0).toHex(' '));
    QCOMPARE(got.size(), 11 + count);
    if (!expected.isEmpty())
        QCOMPARE(got.mid(11).toHex(' '), expected.toHex(' '));
}

void tst_ShieldSim::splitPausesBetweenParts()
{
    SimRun sim("split fa 01 | 30ms | 03 | 30ms | f5\n");
    QVERIFY(sim.openPort());
    QCOMPARE(sim.read(4).toHex(), QByteArray("fa0103f5"));
    QTRY_COMPARE_WITH_TIMEOUT(sim.trace("tx-split").size(), 3, timeoutMs);
    const QList<TraceLine> parts = sim.trace("tx-split");
    // Longer than the daemon's 10 ms packet gap, so the pieces arrive as
    // separate packets; the timer may round to the millisecond.
    QVERIFY(parts.at(1).ns - parts.at(0).ns >= 29000000);
    QVERIFY(parts.at(2).ns - parts.at(1).ns >= 29000000);
}

// The trace's time stamps are on the caller's monotonic clock, so a
// benchmark can measure from its own write to the simulator's answer.
void tst_ShieldSim::traceTimeStamps()
{
    SimRun sim("call 123 from 3\n");
    QVERIFY(sim.openPort());
    const qint64 before = monotonicNs();
    QCOMPARE(sim.exchange(poll(2, 1, 0)).size(), 11);
    const qint64 after = monotonicNs();

    QTRY_COMPARE_WITH_TIMEOUT(sim.trace("tx-answer").size(), 1, timeoutMs);
    const TraceLine rx = sim.trace("rx-poll").first();
    const TraceLine tx = sim.trace("tx-answer").first();
    const qint64 first = rx.number("first");
    const qint64 last = rx.number("last");
    const qint64 rxAt = rx.ns;
    const qint64 txAt = tx.ns;
    QVERIFY(before <= first);
    QVERIFY(first <= last);
    QVERIFY(last <= rxAt);
    QVERIFY(rxAt <= txAt);
    QVERIFY(txAt <= after);
    QCOMPARE(rx.field("cmd"), QString("0x00"));
    QCOMPARE(tx.field("bytes"), QString("fa010300020000010203f5"));
    QCOMPARE(tx.field("apt"), QString("123"));
    // A value with blanks is one field all the same.
    const TraceLine step = sim.trace("step").first();
    QCOMPARE(step.field("text"), QString("call 123 from 3"));
}

void tst_ShieldSim::exitStatus_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<int>("status");

    QTest::newRow("quit ends the daemon, status 0") << "quit\n" << QStringList{"sleep", "60"} << 0;
    QTest::newRow("daemon's own exit status") << QString() << QStringList{"sh", "-c", "exit 3"} << 3;
    QTest::newRow("daemon killed by a signal") << QString() << QStringList{"sh", "-c", "kill -9 $$"} << 128 + 9;
    QTest::newRow("expect-cmd runs out") << "expect-cmd 8 100ms\n" << QStringList{"sleep", "60"} << 1;
    QTest::newRow("expect-cmd runs out, no daemon") << "expect-cmd 8 100ms\n" << QStringList() << 1;
    QTest::newRow("bad scenario") << "call\n" << QStringList{"sleep", "60"} << 2;
    QTest::newRow("trace file cannot be written") << QString() << QStringList{"sleep", "60"} << 3;
    QTest::newRow("daemon cannot be started") << QString() << QStringList{"/nonexistent/daemon"} << 127;
}

void tst_ShieldSim::exitStatus()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, command);
    QFETCH(int, status);

    SimRun sim(scenario, status == 3 ? QStringList{"--trace", "/nonexistent/trace"} : QStringList{}, command);
    QVERIFY(sim.finished());
    QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process.exitCode(), status);
}

void tst_ShieldSim::quitEndsTheDaemon()
{
    SimRun sim("wait polls 1\nquit\n", {}, {"sh", "-c", "echo $$; exec sleep 60"});
    QVERIFY(sim.openPort());
    QTRY_VERIFY_WITH_TIMEOUT(sim.process.canReadLine(), timeoutMs);
    const pid_t daemon = sim.process.readLine().trimmed().toInt();
    QVERIFY(daemon > 0);
    QCOMPARE(::kill(daemon, 0), 0);

    // The answer may be lost in the hangup when the simulator quits; only
    // the poll has to get there.
    sim.port.write(poll(2, 1, 0));
    QVERIFY(sim.port.waitForBytesWritten(timeoutMs));
    QVERIFY(sim.finished());
    QCOMPARE(sim.process.exitCode(), 0);
    QCOMPARE(::kill(daemon, 0), -1);
    QCOMPARE(errno, ESRCH);
}

void tst_ShieldSim::daemonGetsPtyAndConsole()
{
    SimRun sim(QString(), {}, {"sh", "-c", "echo \"port $LORENTAK_USART_PORT\"; read line; echo \"got $line\""});
    QTRY_VERIFY_WITH_TIMEOUT(sim.process.canReadLine(), timeoutMs);
    QCOMPARE(QString::fromLocal8Bit(sim.process.readLine()), "port " + sim.ptyPath() + "\n");
    sim.process.write("pickup\n");
    QTRY_VERIFY_WITH_TIMEOUT(sim.process.canReadLine(), timeoutMs);
    QCOMPARE(sim.process.readLine(), QByteArray("got pickup\n"));
    QVERIFY(sim.finished());
    QCOMPARE(sim.process.exitCode(), 0);
}

void tst_ShieldSim::badScenarios_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown step") << "idle\n# fine\n\nring 5\n" << "line 4: unknown step 'ring'";
    QTest::newRow("apartment over 9999") << "call 10000\n" << "line 1:";
    QTest::newRow("from without unit") << "call 12 from\n" << "line 1:";
    QTest::newRow("duration without unit") << "idle 5\n" << "line 1: bad duration '5'";
    QTest::newRow("status over a byte") << "status 0x100\n" << "line 1:";
    QTest::newRow("odd hex digits") << "raw fa0\n" << "line 1:";
    QTest::newRow("split part neither bytes nor pause") << "split fa | soon | f5\n" << "line 1:";
    QTest::newRow("no garbage") << "garbage 0\n" << "line 1:";
    QTest::newRow("wait for nothing known") << "wait ring\n" << "line 1: cannot wait for 'ring'";
    QTest::newRow("quit with argument") << "quit now\n" << "line 1:";
    QTest::newRow("sleep without duration") << "sleep\n" << "line 1:";
}

void tst_ShieldSim::badScenarios()
{
    QFETCH(QString, scenario);
    QFETCH(QString, message);

    SimRun sim(scenario, {"--check"});
    QVERIFY(sim.finished());
    QCOMPARE(sim.process.exitCode(), 2);
    const QString err = QString::fromUtf8(sim.process.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
}

void tst_ShieldSim::shippedScenarios_data()
{
    QTest::addColumn<QString>("file");
    // The simulator's own, and the demos' (tools/).
    for (const char *path : {SHIELD_SIM_SCENARIOS, TMX_TOOLS_DIR}) {
        const QDir dir(QString::fromUtf8(path));
        const QStringList files = dir.entryList({"*.scn"}, QDir::Files);
        QVERIFY(!files.isEmpty());
        for (const QString &name : files)
            QTest::newRow(qPrintable(dir.dirName() + "/" + name)) << dir.filePath(name);
    }
}

void tst_ShieldSim::shippedScenarios()
{
    QFETCH(QString, file);
    QProcess check;
    check.start(QStringLiteral(SHIELD_SIM_PATH), {"--check", "-s", file});
    QVERIFY(check.waitForFinished(timeoutMs));
    QVERIFY2(check.exitCode() == 0, check.readAllStandardError().constData());
}

// The daemon's serial trace as the log service sends it, decoded: a poll, an
// answer that arrives in two reads, noise, a message, another source.
void tst_ShieldSim::watchLog()
{
    QProcess watch;
    watch.start(QStringLiteral(SHIELD_SIM_PATH), {"--watch-log"});
    QVERIFY(watch.waitForStarted(timeoutMs));
    auto line = [](const char *source, const char *text) {
        return QByteArray("[Debug][12:00:01.234] [") + source + "]: " + text + "\r\n";
    };
    const QByteArrayList datagrams{
        line("Uart WRITE", "FA 03 03 A2 02 08 00 00 00 00 F5"),
        line("Uart READ", "00 FA 01 03 00 08"),
        line("Uart READ", "00 00 01 02 03 F5"),
        line("Uart WRITE", "FA 01 02"),
        line("main", "test"),
    };
    const QStringList expected{
        "12:00:01.234 poll door 3 status call command pickup",
        "12:00:01.234 noise 00",
        "12:00:01.234 answer door 3 status conversation apartment 123",
        "12:00:01.234 message fa 01 02",
        "12:00:01.234 log main: test",
    };
    // What is sent before the watcher listens is lost: probe until it answers.
    QUdpSocket sender;
    QTRY_VERIFY_WITH_TIMEOUT((sender.writeDatagram(line("probe", "x"), QHostAddress::LocalHost, 20004),
                              watch.waitForReadyRead(100)),
                             timeoutMs);
    for (const QByteArray &datagram : datagrams)
        sender.writeDatagram(datagram, QHostAddress::LocalHost, 20004);
    QStringList got;
    QTRY_VERIFY_WITH_TIMEOUT((got += QString::fromUtf8(watch.readAll()).split('\n', Qt::SkipEmptyParts),
                              got.removeAll("12:00:01.234 log probe: x"), got.size() >= expected.size()),
                             timeoutMs);
    QCOMPARE(got, expected);
    watch.kill();
    watch.waitForFinished(timeoutMs);
}

QTEST_GUILESS_MAIN(tst_ShieldSim)
#include "tst_shieldsim.moc"
