#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#ifndef TMX_DRIVER_PATH
#error "TMX_DRIVER_PATH must name the tmx-driver executable"
#endif

// The complete lines of a file that another process is still writing.
static QStringList completeLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray text = file.readAll();
    text.truncate(text.lastIndexOf('\n') + 1);
    QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void startup_data();
    void startup();
};

void tst_Startup::startup_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("head");
    QTest::addColumn<int>("intercom");

    const QStringList version{"TMX_STM_Driver: v2.17", "Beta: 2", "#Not for release!: "};
    const QStringList defaulted{"#WARNING: No intercom select", "#Intercom 10 not supported indexes "};

    QTest::newRow("no arguments") << QStringList() << defaulted << 10;
    QTest::newRow("-ic 102") << QStringList{"-ic", "102"}
                             << QStringList{"#Intercom 102 supported indexes "} << 102;
    QTest::newRow("-v") << QStringList{"-v"} << version + defaulted << 10;
}

void tst_Startup::startup()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, head);
    QFETCH(int, intercom);

    const QString idPattern = QStringLiteral("^ID: lorentak(no|[0-9a-f]+)$");
    const QString idLine = QStringLiteral("ID: lorentak<uid>");
    const QStringList expected = head + QStringList{
        "#TMX_Driver_Lorentak_v1.1.10",
        "TMX_STM_Driver 2.17",
        "",
        QStringLiteral("Intercom: %1").arg(intercom),
        "Program_STM: 428",
        "Shield: 33",
        "Revision: 4",
        idLine,
        "",
        "shield_ready",
        "",
    };

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString outPath = dir.filePath(QStringLiteral("stdout"));
    const QString tracePath = dir.filePath(QStringLiteral("board-trace"));

    QUdpSocket logReceiver;
    QVERIFY2(logReceiver.bind(QHostAddress::LocalHost, 20004),
             "port 20004 is busy: another program holds it; run the test through netns-run, as ctest does, for a network of its own");

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LORENTAK_SPI_TRACE"), tracePath);
    env.insert(QStringLiteral("LORENTAK_USART_PORT"), dir.filePath(QStringLiteral("no-such-tty")));

    QProcess daemon;
    daemon.setProcessEnvironment(env);
    daemon.setStandardOutputFile(outPath);
    daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon.start(QString::fromUtf8(TMX_DRIVER_PATH), args);
    QVERIFY2(daemon.waitForStarted(10000), qPrintable(daemon.errorString()));
    auto stop = qScopeGuard([&] {
        daemon.kill();
        daemon.waitForFinished(10000);
    });

    // The trace is read before standard output, so once the first board call
    // shows up, everything the daemon wrote before it is already in the file.
    QStringList lines;
    QStringList trace;
    int linesAtFirstBoardCall = -1;
    auto poll = [&] {
        trace = completeLines(tracePath);
        lines = completeLines(outPath);
        if (!trace.isEmpty() && linesAtFirstBoardCall < 0)
            linesAtFirstBoardCall = lines.size();
        return lines.size() >= expected.size();
    };

    QTRY_VERIFY_WITH_TIMEOUT(poll() || daemon.state() != QProcess::Running, 15000);
    QCOMPARE(daemon.state(), QProcess::Running);
    lines = lines.mid(0, expected.size());
    const int id = expected.indexOf(idLine);
    QVERIFY2(QRegularExpression(idPattern).match(lines.at(id)).hasMatch(), qPrintable(lines.at(id)));
    lines[id] = idLine;
    QCOMPARE(lines, expected);

    QTRY_VERIFY_WITH_TIMEOUT(poll() && trace.size() >= 3, 15000);
    const QStringList init{"init lib", "init gpio", "init spi"};
    QCOMPARE(trace.mid(0, 3), init);
    QVERIFY2(linesAtFirstBoardCall >= expected.size(),
             qPrintable(QStringLiteral("a board call came after only %1 lines of output")
                            .arg(linesAtFirstBoardCall)));

    QTRY_VERIFY_WITH_TIMEOUT(logReceiver.hasPendingDatagrams(), 15000);
    const QByteArray first = logReceiver.receiveDatagram().data();
    static const QRegularExpression startLine(
        QStringLiteral("^\\[Debug\\]\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[main\\]: test\\r\\n$"));
    QVERIFY2(startLine.match(QString::fromLatin1(first)).hasMatch(),
             qPrintable(QStringLiteral("the first log datagram on 20004 is not this daemon's start line, "
                                       "so another daemon may be sending there too (run the test "
                                       "through netns-run, as ctest does): %1")
                            .arg(QString::fromLatin1(first))));

    QCOMPARE(daemon.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
