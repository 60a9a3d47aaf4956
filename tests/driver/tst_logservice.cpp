#include "logsenderinterface.h"
#include "logservice.h"
#include "stdoutcapture.h"

#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QThread>
#include <QTime>
#include <QUdpSocket>
#include <QtTest>
#include <memory>

// Keeps every line it is handed. Lines are sent on the thread that created
// the service, which in these tests is the test's own.
class RecordingSender : public LogSenderInterface
{
public:
    void send(QByteArray massage) const override { lines.append(massage); }

    mutable QList<QByteArray> lines;
};

// A service whose own timer never fires within a test; tick() drains it by
// hand, one call per timer tick.
struct ManualService
{
    ManualService()
        : sender(new RecordingSender)
        , service(new LogService(3600 * 1000, sender.get()))
    {
    }

    void tick() { QMetaObject::invokeMethod(service.get(), "slotTimeOut", Qt::DirectConnection); }

    void drain(int ticks)
    {
        for (int i = 0; i < ticks; ++i)
            tick();
    }

    std::unique_ptr<RecordingSender> sender;
    std::unique_ptr<LogService> service;
};

static const QByteArray startLine = QByteArrayLiteral("[Debug] [main]: test\r\n");

// A debug line with its time stamp checked and cut out: "[Debug][12:34:56.789] [x]: y"
// becomes "[Debug] [x]: y". Any other line comes back marked as bad.
static QByteArray withoutTimeStamp(const QByteArray &line)
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\]$"));
    const QByteArray head = line.left(7);
    const QString time = QString::fromLatin1(line.mid(7, 14));
    if (head != "[Debug]" || !stamp.match(time).hasMatch()
        || !QTime::fromString(time.mid(1, 12), QStringLiteral("hh:mm:ss.zzz")).isValid())
        return "<no time stamp> " + line;
    return head + line.mid(21);
}

class tst_LogService : public QObject
{
    Q_OBJECT

private slots:
    void startLineLeavesFirst();
    void debugLine_data();
    void debugLine();
    void formattedLength_data();
    void formattedLength();
    void formattedConversions();
    void errorLine_data();
    void errorLine();
    void sourceFilter_data();
    void sourceFilter();
    void onePerTickInOrder();
    void timeStampIsTimeOfCall();
    void linesFromSeveralThreads();
    void floodDropsOldest();
    void udpDatagrams();
};

void tst_LogService::startLineLeavesFirst()
{
    RecordingSender sender;
    LogService service(1, &sender);
    service.debug(QStringLiteral("main"), QByteArray("second"));

    QTRY_COMPARE_WITH_TIMEOUT(sender.lines.size(), 2, 5000);
    QCOMPARE(withoutTimeStamp(sender.lines.at(0)), startLine);
    QCOMPARE(withoutTimeStamp(sender.lines.at(1)), QByteArray("[Debug] [main]: second\r\n"));
}

void tst_LogService::debugLine_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("serial trace") << "Uart READ" << QByteArray("FA 01 F5")
                                  << QByteArray("[Debug] [Uart READ]: FA 01 F5\r\n");
    QTest::newRow("empty message") << "Controller" << QByteArray()
                                   << QByteArray("[Debug] [Controller]: \r\n");
    QTest::newRow("bytes unchanged") << "Uart WRITE" << QByteArray("\x00\xff\r\n\x80", 5)
                                     << "[Debug] [Uart WRITE]: " + QByteArray("\x00\xff\r\n\x80", 5) + "\r\n";
    QTest::newRow("percent not formatted") << "main" << QByteArray("100%s %d")
                                           << QByteArray("[Debug] [main]: 100%s %d\r\n");
}

void tst_LogService::debugLine()
{
    QFETCH(QString, source);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, line);

    ManualService log;
    log.service->debug(source, message);
    log.drain(2);

    QCOMPARE(log.sender->lines.size(), 2);
    QCOMPARE(withoutTimeStamp(log.sender->lines.at(1)), line);
}

void tst_LogService::formattedLength_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("sent");

    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("1022 bytes") << 1022 << 1022;
    QTest::newRow("1023 bytes") << 1023 << 1023;
    QTest::newRow("1024 bytes cut") << 1024 << 1023;
    QTest::newRow("2000 bytes cut") << 2000 << 1023;
}

void tst_LogService::formattedLength()
{
    QFETCH(int, length);
    QFETCH(int, sent);

    QByteArray text;
    for (int i = 0; i < length; ++i)
        text.append(char('a' + i % 26));

    ManualService log;
    log.service->debug(QStringLiteral("Uart READ"), "%s", text.constData());
    log.drain(2);

    QCOMPARE(log.sender->lines.size(), 2);
    QCOMPARE(withoutTimeStamp(log.sender->lines.at(1)),
             "[Debug] [Uart READ]: " + text.left(sent) + "\r\n");
}

void tst_LogService::formattedConversions()
{
    ManualService log;
    log.service->debug(QStringLiteral("main"), "n=%d s=%s x=%02X %%", -7, "ab", 10);
    log.service->debug(QStringLiteral("main"), "cut%cafter", '\0');
    log.drain(3);

    QCOMPARE(log.sender->lines.size(), 3);
    QCOMPARE(withoutTimeStamp(log.sender->lines.at(1)), QByteArray("[Debug] [main]: n=-7 s=ab x=0A %\r\n"));
    QCOMPARE(withoutTimeStamp(log.sender->lines.at(2)), QByteArray("[Debug] [main]: cut\r\n"));
}

void tst_LogService::errorLine_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("plain") << "main" << QByteArray("boom") << QByteArray("[ERROR] [main]: boom");
    QTest::newRow("empty message") << "Uart WRITE" << QByteArray() << QByteArray("[ERROR] [Uart WRITE]: ");
    QTest::newRow("bytes unchanged") << "Console" << QByteArray("a\x00z\n", 4)
                                     << "[ERROR] [Console]: " + QByteArray("a\x00z\n", 4);
}

void tst_LogService::errorLine()
{
    QFETCH(QString, source);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, line);

    ManualService log;
    log.service->error(source, message);
    log.drain(2);

    QCOMPARE(log.sender->lines.size(), 2);
    QCOMPARE(log.sender->lines.at(1), line);
}

void tst_LogService::sourceFilter_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("accepted");

    for (const char *on : {"main", "Controller", "Uart WRITE", "Uart READ", "Console"})
        QTest::newRow(on) << QString::fromLatin1(on) << true;
    QTest::newRow("console") << "console" << false;
    QTest::newRow("CONSOLE") << "CONSOLE" << false;
    QTest::newRow("Console with trailing blank") << "Console " << false;
    QTest::newRow("Uart") << "Uart" << false;
    QTest::newRow("uart read") << "uart read" << false;
    QTest::newRow("empty source") << "" << false;
    QTest::newRow("unknown") << "spi" << false;
}

void tst_LogService::sourceFilter()
{
    QFETCH(QString, source);
    QFETCH(bool, accepted);

    ManualService log;
    log.service->debug(source, QByteArray("raw"));
    log.service->debug(source, "formatted %d", 1);
    log.service->error(source, QByteArray("error"));
    log.drain(5);

    QList<QByteArray> expected{startLine};
    if (accepted) {
        const QByteArray tag = " [" + source.toUtf8() + "]: ";
        expected << "[Debug]" + tag + "raw\r\n" << "[Debug]" + tag + "formatted 1\r\n"
                 << "[ERROR]" + tag + "error";
    }
    QList<QByteArray> lines = log.sender->lines;
    for (int i = 0; i < lines.size() && lines.at(i).startsWith("[Debug]"); ++i)
        lines[i] = withoutTimeStamp(lines.at(i));
    QCOMPARE(lines, expected);
}

void tst_LogService::onePerTickInOrder()
{
    ManualService log;
    QList<QByteArray> expected{startLine};
    for (int i = 0; i < 10; ++i) {
        log.service->debug(QStringLiteral("Uart READ"), "line %d", i);
        expected.append("[Debug] [Uart READ]: line " + QByteArray::number(i) + "\r\n");
    }

    for (int ticks = 1; ticks <= expected.size(); ++ticks) {
        log.tick();
        QCOMPARE(log.sender->lines.size(), ticks);
        QCOMPARE(withoutTimeStamp(log.sender->lines.last()), expected.at(ticks - 1));
    }
    log.tick();
    QCOMPARE(log.sender->lines.size(), expected.size());
}

void tst_LogService::timeStampIsTimeOfCall()
{
    ManualService log;
    log.drain(1);

    const QTime before = QTime::currentTime();
    log.service->debug(QStringLiteral("main"), QByteArray("now"));
    const QTime after = QTime::currentTime();
    if (after < before)
        QSKIP("the clock passed midnight during the call");

    // Let the clock move on before the line is sent.
    QTRY_VERIFY(QTime::currentTime() >= after.addMSecs(50) || QTime::currentTime() < after);
    log.drain(1);

    QCOMPARE(log.sender->lines.size(), 2);
    const QTime stamp = QTime::fromString(QString::fromLatin1(log.sender->lines.at(1).mid(8, 12)),
                                          QStringLiteral("hh:mm:ss.zzz"));
    QVERIFY2(stamp >= before && stamp <= after,
             qPrintable(QStringLiteral("stamp %1 not within %2..%3")
                            .arg(stamp.toString(QStringLiteral("hh:mm:ss.zzz")),
                                 before.toString(QStringLiteral("hh:mm:ss.zzz")),
                                 after.toString(QStringLiteral("hh:mm:ss.zzz")))));
}

void tst_LogService::linesFromSeveralThreads()
{
    const int threads = 4;
    constexpr int perThread = 500;
    ManualService log;

    QList<QThread *> writers;
    for (int t = 0; t < threads; ++t) {
        writers.append(QThread::create([&log, t] {
            for (int i = 0; i < perThread; ++i)
                log.service->debug(QStringLiteral("Controller"), "%d %d", t, i);
        }));
        writers.last()->start();
    }

    // The test thread plays the drain timer while the writers run, then
    // drains what is left.
    auto writing = [&] {
        for (QThread *writer : writers) {
            if (!writer->isFinished())
                return true;
        }
        return false;
    };
    while (writing())
        log.tick();
    qDeleteAll(writers);
    int sent;
    do {
        sent = log.sender->lines.size();
        log.tick();
    } while (log.sender->lines.size() > sent);
    QCOMPARE(log.sender->lines.size(), 1 + threads * perThread);

    QVector<int> next(threads, 0);
    for (const QByteArray &line : log.sender->lines.mid(1)) {
        const QByteArray text = withoutTimeStamp(line);
        QVERIFY2(text.startsWith("[Debug] [Controller]: ") && text.endsWith("\r\n"), line.constData());
        const QList<QByteArray> fields = text.mid(22).trimmed().split(' ');
        QCOMPARE(fields.size(), 2);
        const int t = fields.at(0).toInt();
        QVERIFY(t >= 0 && t < threads);
        QCOMPARE(fields.at(1).toInt(), next[t]);
        ++next[t];
    }
}

// Lines that come faster than they leave: the newest 2000 wait, the oldest
// go, and standard error says how many, at most once a second, the last
// ones too once the flood is over.
void tst_LogService::floodDropsOldest()
{
    StdoutCapture err(STDERR_FILENO);
    ManualService log;
    const QString told = QStringLiteral("log: lines come faster than they can be sent; dropped %1 "
                                        "oldest line(s) to keep at most 2000 waiting");
    for (int i = 0; i < 2500; ++i)
        log.service->debug(QStringLiteral("Uart READ"), "line %d", i);
    log.tick();
    QCOMPARE(err.lines(), QStringList{told.arg(501)});  // the start line and lines 0 to 499
    QCOMPARE(withoutTimeStamp(log.sender->lines.first()), QByteArray("[Debug] [Uart READ]: line 500\r\n"));

    for (int i = 2500; i < 2800; ++i)
        log.service->debug(QStringLiteral("Uart READ"), "line %d", i);
    log.tick();
    QCOMPARE(err.lines().size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT((log.tick(), err.lines().size() == 2), 5000);
    QCOMPARE(err.lines().last(), told.arg(299));
    QCOMPARE(withoutTimeStamp(log.sender->lines.at(1)), QByteArray("[Debug] [Uart READ]: line 800\r\n"));
}

void tst_LogService::udpDatagrams()
{
    QUdpSocket receiver;
    QVERIFY2(receiver.bind(QHostAddress::LocalHost, 20004),
             "port 20004 is busy: another program holds it; run the test through netns-run, as ctest does, for a network of its own");

    QList<QByteArray> datagrams;
    auto receive = [&] {
        while (receiver.hasPendingDatagrams())
            datagrams.append(receiver.receiveDatagram().data());
        return datagrams.size();
    };

    LogService service(1);  // the real sink, to 127.0.0.1:20004
    service.debug(QStringLiteral("Uart READ"), QByteArray("FA 01 00 F5"));
    service.debug(QStringLiteral("Controller"), QByteArray());
    service.debug(QStringLiteral("Uart WRITE"), "%s", QByteArray(2000, 'x').constData());
    service.error(QStringLiteral("main"), QByteArray("no reply"));
    service.debug(QStringLiteral("console"), QByteArray("filtered"));
    for (int i = 0; i < 10; ++i)
        service.debug(QStringLiteral("Console"), "line %d", i);

    QList<QByteArray> expected{
        "[Debug] [Uart READ]: FA 01 00 F5\r\n",
        "[Debug] [Controller]: \r\n",
        "[Debug] [Uart WRITE]: " + QByteArray(1023, 'x') + "\r\n",
        "[ERROR] [main]: no reply",
    };
    for (int i = 0; i < 10; ++i)
        expected.append("[Debug] [Console]: line " + QByteArray::number(i) + "\r\n");

    QTRY_VERIFY_WITH_TIMEOUT(receive() >= 1 + expected.size(), 10000);

    static const QRegularExpression first(
        QStringLiteral("^\\[Debug\\]\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[main\\]: test\\r\\n$"));
    QVERIFY2(first.match(QString::fromLatin1(datagrams.first())).hasMatch(), datagrams.first().constData());

    // Anything from the filtered source would have arrived before the last line.
    QList<QByteArray> rest = datagrams.mid(1);
    for (QByteArray &datagram : rest) {
        if (datagram.startsWith("[Debug]"))
            datagram = withoutTimeStamp(datagram);
    }
    QCOMPARE(rest, expected);
}

QTEST_GUILESS_MAIN(tst_LogService)
#include "tst_logservice.moc"
