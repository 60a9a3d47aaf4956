#include "consolecommand.h"

#include "settings.h"
#include "stdoutcapture.h"

#include <QThread>
#include <QtTest>
#include <memory>

class tst_ConsoleCommand : public QObject
{
    Q_OBJECT

private slots:
    void lines_data();
    void lines();
    void dialAfterMessageIsDecimal();
    void linesStayWholeAcrossThreads();
};

// One event written through ConsoleCommand; the row says which one.
static void writeEvent(ConsoleCommand &command, const QString &event, int room, int gate,
                       const QByteArray &bytes)
{
    if (event == "dial")
        command.command_dial(uint16_t(room), uint8_t(gate));
    else if (event == "pickup")
        command.command_pickup();
    else if (event == "open")
        command.command_open();
    else if (event == "drop")
        command.command_drop();
    else
        command.command_message(reinterpret_cast<const uint8_t *>(bytes.constData()),
                                bytes.size());
}

void tst_ConsoleCommand::lines_data()
{
    QTest::addColumn<int>("flagAdrGate");
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("room");
    QTest::addColumn<int>("gate");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("line");

    QTest::newRow("dial without call unit") << 0 << "dial" << 0 << 1 << QByteArray() << "dial 0";
    QTest::newRow("dial with call unit") << 1 << "dial" << 0 << 1 << QByteArray() << "dial 0 1";
    QTest::newRow("dial, any non-zero flag") << 7 << "dial" << 25 << 2 << QByteArray() << "dial 25 2";
    QTest::newRow("dial at the top values")
        << 1 << "dial" << 65535 << 255 << QByteArray() << "dial 65535 255";
    QTest::newRow("pickup") << 1 << "pickup" << 0 << 0 << QByteArray() << "pickup";
    QTest::newRow("open") << 0 << "open" << 0 << 0 << QByteArray() << "open";
    QTest::newRow("drop") << 0 << "drop" << 0 << 0 << QByteArray() << "drop";
    QTest::newRow("empty message keeps its blank")
        << 0 << "message" << 0 << 0 << QByteArray() << "message ";
    QTest::newRow("message bytes padded to two digits")
        << 0 << "message" << 0 << 0 << QByteArray::fromHex("00 0F 10 FF") << "message 000f10ff";
    QTest::newRow("message of 300 bytes written whole")
        << 0 << "message" << 0 << 0 << QByteArray(300, '\xC3')
        << QStringLiteral("message ") + QString("c3").repeated(300);
}

void tst_ConsoleCommand::lines()
{
    QFETCH(int, flagAdrGate);
    QFETCH(QString, event);
    QFETCH(int, room);
    QFETCH(int, gate);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, line);

    Settings settings;
    settings.flagAdrGate = uint8_t(flagAdrGate);
    ConsoleCommand command(&settings);
    StdoutCapture out;
    writeEvent(command, event, room, gate, bytes);
    // The raw text, so "\r\n" or a missing flush would show.
    QCOMPARE(QString::fromUtf8(out.text()), line + "\n");
}

void tst_ConsoleCommand::dialAfterMessageIsDecimal()
{
    Settings settings;
    ConsoleCommand command(&settings);
    StdoutCapture out;
    const uint8_t bytes[] = {0x0A, 0x1B, 0xFF};
    command.command_message(bytes, 3);
    command.command_dial(10, 3);
    settings.flagAdrGate = 1;
    command.command_dial(10, 3);
    QCOMPARE(out.lines(), QStringList({"message 0a1bff", "dial 10", "dial 10 3"}));
}

// Events from the exchange thread and intercom confirmations from the console
// thread share standard output; every line must arrive whole.
void tst_ConsoleCommand::linesStayWholeAcrossThreads()
{
    const int rounds = 20000;
    Settings settings;
    ConsoleCommand command(&settings);
    QByteArray message(40, '\x5A');
    const QString messageLine = QStringLiteral("message ") + QString("5a").repeated(40);

    StdoutCapture out;
    std::unique_ptr<QThread> events(QThread::create([&] {
        for (int i = 0; i < rounds; ++i) {
            command.command_message(reinterpret_cast<const uint8_t *>(message.constData()),
                                    message.size());
            command.command_dial(1234, 56);
        }
    }));
    std::unique_ptr<QThread> confirmations(QThread::create([&] {
        for (int i = 0; i < rounds; ++i)
            settings.set_intercom(i % 2 ? 102 : 7);
    }));
    events->start();
    confirmations->start();
    QVERIFY(events->wait(60000));
    QVERIFY(confirmations->wait(60000));
    const QStringList lines = out.lines();
    out.stop();

    // flagAdrGate flips with each confirmation, so both dial forms are right.
    const QStringList expected{messageLine, "dial 1234", "dial 1234 56",
                               "#Intercom 102 supported indexes ",
                               "#Intercom 7 not supported indexes "};
    QHash<QString, int> counts;
    for (const QString &line : lines) {
        QVERIFY2(expected.contains(line), qPrintable("torn line: " + line.left(120)));
        ++counts[line];
    }
    QCOMPARE(counts.value(messageLine), rounds);
    QCOMPARE(counts.value("dial 1234") + counts.value("dial 1234 56"), rounds);
    QCOMPARE(counts.value("#Intercom 102 supported indexes "), rounds / 2);
    QCOMPARE(counts.value("#Intercom 7 not supported indexes "), rounds / 2);
}

QTEST_GUILESS_MAIN(tst_ConsoleCommand)
#include "tst_consolecommand.moc"
