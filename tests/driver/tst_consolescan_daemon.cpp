// The console reader inside the real daemon, with a pty standing in for the
// shield's serial port: the list dialogue on standard input, and the daemon
// going on polling the shield, without spinning, once standard input is closed.

#include "processlines.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSocketNotifier>
#include <QtTest>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#ifndef TMX_DRIVER_PATH
#error "TMX_DRIVER_PATH must name the tmx-driver executable"
#endif

// A QThread without an object name of its own runs under its class name.
static const QByteArray consoleThread = QByteArrayLiteral("QThread");

class tst_ConsoleScanDaemon : public QObject
{
    Q_OBJECT

private slots:
    void dialogueAndEndOfInput();
};

// Counts the poll frames (11 bytes, FA 03 ... F5) that arrive on a pty master.
class PollCounter
{
public:
    explicit PollCounter(int master)
        : notifier(master, QSocketNotifier::Read)
    {
        QObject::connect(&notifier, &QSocketNotifier::activated, [this, master] {
            char bytes[256];
            ssize_t n;
            while ((n = read(master, bytes, sizeof bytes)) > 0)
                pending.append(bytes, int(n));
            while (pending.size() >= 11) {
                if (uint8_t(pending[0]) == 0xFA && uint8_t(pending[1]) == 0x03
                    && uint8_t(pending[10]) == 0xF5) {
                    ++polls;
                    pending.remove(0, 11);
                } else {
                    ++strayBytes;
                    pending.remove(0, 1);
                }
            }
        });
    }

    int polls = 0;
    int strayBytes = 0;

private:
    QSocketNotifier notifier;
    QByteArray pending;
};

void tst_ConsoleScanDaemon::dialogueAndEndOfInput()
{
    int master = -1;
    int slave = -1;
    char slaveName[128] = {};
    QVERIFY(openpty(&master, &slave, slaveName, nullptr, nullptr) == 0);
    auto closePty = qScopeGuard([&] {
        close(master);
        close(slave);
    });
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // Raw from the start, so nothing the daemon writes before it sets up the
    // port is echoed or translated.
    termios raw;
    QVERIFY(tcgetattr(slave, &raw) == 0);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    QVERIFY(tcsetattr(slave, TCSANOW, &raw) == 0);
    PollCounter counter(master);

    QProcess daemon;
    ProcessLines lines(&daemon);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LORENTAK_USART_PORT"), QString::fromLocal8Bit(slaveName));
    env.insert(QStringLiteral("LORENTAK_SPI"), QStringLiteral("zero"));
    daemon.setProcessEnvironment(env);
    daemon.start(QStringLiteral(TMX_DRIVER_PATH), {QStringLiteral("-ic"), QStringLiteral("10")});
    auto stop = qScopeGuard([&] {
        daemon.kill();
        daemon.waitForFinished(10000);
    });
    QVERIFY2(daemon.waitForStarted(10000), qPrintable(daemon.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(lines.out.contains(QStringLiteral("shield_ready")), 20000);
    QTRY_VERIFY2_WITH_TIMEOUT(threadCpuSeconds(daemon.processId(), consoleThread) >= 0,
                              "no console thread found", 10000);

    daemon.write("dialplan\n5\n-1\n7\n-1\n");
    // What follows the banner, less the line events that the exchange with a
    // silent shield may report meanwhile.
    auto dialogue = [&] {
        QStringList result = lines.out.mid(lines.out.indexOf(QStringLiteral("shield_ready")) + 2);
        result.removeAll(QStringLiteral("drop"));
        return result;
    };
    const QStringList expected{"mask_imit", "#Write rooms for shield:", "#End read rooms", "",
                               "mask_block", "#Write blacklist rooms for shield:", "#End read rooms", "",
                               "#Shield update virtual list", "#Shield update black list"};
    QTRY_COMPARE_WITH_TIMEOUT(dialogue().size(), expected.size(), 10000);
    QCOMPARE(dialogue(), expected);

    QTRY_VERIFY_WITH_TIMEOUT(counter.polls >= 1, 10000);
    daemon.closeWriteChannel();
    auto ended = [&] {
        for (const QString &line : lines.err) {
            if (line.startsWith(QLatin1String("console: end of standard input")))
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(ended(), 10000);

    const int pollsBefore = counter.polls;
    const double cpuBefore = processCpuSeconds(daemon.processId());
    const double readerBefore = qMax(threadCpuSeconds(daemon.processId(), consoleThread), 0.0);
    QVERIFY(cpuBefore >= 0);
    QElapsedTimer wall;
    wall.start();
    QTRY_VERIFY_WITH_TIMEOUT(counter.polls >= pollsBefore + 2 && wall.elapsed() >= 2000, 20000);
    const double cpu = processCpuSeconds(daemon.processId()) - cpuBefore;
    const double reader = qMax(threadCpuSeconds(daemon.processId(), consoleThread), readerBefore)
        - readerBefore;
    const QString measured = QStringLiteral("%1 s of CPU, %2 s of it on the console thread, in %3 ms "
                                            "after the end of input")
                                 .arg(cpu).arg(reader).arg(wall.elapsed());
    // A reader spinning on the closed input would take up to a whole core;
    // under load it gets less, hence the bound on the console thread alone.
    QVERIFY2(cpu * 1000 / double(wall.elapsed()) < 0.3, qPrintable(measured));
    QVERIFY2(reader < 0.1, qPrintable(measured));
    QCOMPARE(counter.strayBytes, 0);
    QCOMPARE(daemon.state(), QProcess::Running);
    QCOMPARE(dialogue(), expected);
    int endLines = 0;
    for (const QString &line : lines.err)
        endLines += line.startsWith(QLatin1String("console: "));
    QCOMPARE(endLines, 1);
}

QTEST_GUILESS_MAIN(tst_ConsoleScanDaemon)
#include "tst_consolescan_daemon.moc"
