#include "consolescan.h"
#include "rooms.h"
#include "settings.h"
#include "stdoutcapture.h"
#include "usartdata.h"

#include <QtTest>

using Mask = QVector<uint32_t>;
Q_DECLARE_METATYPE(Mask)

static const QString inputError = QStringLiteral("#ERROR: Ошибка ввода квартиры");

// Debug messages of the code under test; the reader reports malformed
// apartment numbers there.
static QStringList debugMessages;

static void collectDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugMessages.append(message);
}

static Mask words(const std::atomic<uint32_t> *mask)
{
    Mask result;
    for (int i = 0; i < Rooms::words; ++i)
        result.append(mask[i].load());
    return result;
}

static void fill(std::atomic<uint32_t> *mask, const Mask &values)
{
    for (int i = 0; i < Rooms::words; ++i)
        mask[i].store(values.at(i));
}

// A mask with the given apartments set, apartment n being bit n % 32 of word n / 32.
static Mask apartments(std::initializer_list<int> numbers)
{
    Mask result(Rooms::words, 0);
    for (int n : numbers)
        result[n / 32] |= 1u << (n % 32);
    return result;
}

// Leftovers from an earlier dialogue that a new list must wipe out.
static Mask stale()
{
    Mask result(Rooms::words, 0);
    for (int i = 0; i < Rooms::words; ++i)
        result[i] = 0xA5A50000u | uint32_t(i);
    return result;
}

static QStringList split(const QString &line)
{
    return line.split(QLatin1Char(' '));
}

class tst_ConsoleScan : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void parse_data();
    void parse();
    void execute_data();
    void execute();
    void intercomModel_data();
    void intercomModel();
    void rawMessage();
    void dialogueStart_data();
    void dialogueStart();
    void listLine_data();
    void listLine();
    void wholeDialogue();

private:
    QtMessageHandler previousHandler = nullptr;
};

void tst_ConsoleScan::init()
{
    debugMessages.clear();
    previousHandler = qInstallMessageHandler(collectDebug);
}

void tst_ConsoleScan::cleanup()
{
    qInstallMessageHandler(previousHandler);
}

void tst_ConsoleScan::parse_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("group");
    QTest::addColumn<int>("sub");
    QTest::addColumn<QString>("message");

    QTest::newRow("code 1: group only") << "1" << 1 << 65535 << "";
    QTest::newRow("code 2: missing sub") << "2" << 2 << 65535 << "";
    QTest::newRow("code 25") << "25" << 2 << 5 << "";
    QTest::newRow("code 211") << "211" << 2 << 11 << "";
    QTest::newRow("code 70: sub 0") << "70" << 7 << 0 << "";
    QTest::newRow("code 1000: group from low 8 bits") << "1000" << 2 << 0 << "";
    QTest::newRow("11 alone is a one-word code") << "11" << 1 << 1 << "";
    QTest::newRow("11 with hex text") << "11 0a0b" << 11 << 0 << "0a0b";
    QTest::newRow("11 with any text") << "11 zz" << 11 << 0 << "zz";
    QTest::newRow("two numbers, large group") << "257 1" << 257 << 1 << "";
    QTest::newRow("code 7") << "7" << 7 << 65535 << "";
    QTest::newRow("7 102") << "7 102" << 7 << 102 << "";
    QTest::newRow("2 5") << "2 5" << 2 << 5 << "";
    QTest::newRow("number then a word") << "2 x" << 0 << 0 << "";
    QTest::newRow("number then empty word") << "2 " << 0 << 0 << "";
    QTest::newRow("three numbers") << "2 3 4" << 0 << 0 << "";
    QTest::newRow("open alone") << "open" << 2 << 3 << "";
    QTest::newRow("open 5") << "open 5" << 2 << 5 << "";
    QTest::newRow("open 300: low 8 bits") << "open 300" << 2 << 44 << "";
    QTest::newRow("open, empty second word") << "open " << 2 << 0 << "";
    QTest::newRow("open, two blanks, 5") << "open  5" << 2 << 0 << "";
    QTest::newRow("open x") << "open x" << 2 << 0 << "";
    QTest::newRow("pickup with more words") << "pickup now please" << 1 << 0 << "";
    QTest::newRow("drop") << "drop" << 3 << 0 << "";
    QTest::newRow("dial 5") << "dial 5" << 4 << 5 << "";
    QTest::newRow("dial 70000: low 16 bits") << "dial 70000" << 4 << 4464 << "";
    QTest::newRow("dial alone") << "dial" << 4 << 0 << "";
    QTest::newRow("phonedetect 7") << "phonedetect 7" << 5 << 7 << "";
    QTest::newRow("dialplan") << "dialplan" << 6 << 0 << "";
    QTest::newRow("code 6") << "6" << 6 << 65535 << "";
    QTest::newRow("leading blank") << " pickup" << 0 << 0 << "";
    QTest::newRow("empty line") << "" << 0 << 0 << "";
    QTest::newRow("keywords are case-sensitive") << "Pickup" << 0 << 0 << "";
    QTest::newRow("tab is not a separator") << "open\t5" << 0 << 0 << "";
    QTest::newRow("negative number") << "-1" << 0 << 0 << "";
    QTest::newRow("unknown word") << "hangup" << 0 << 0 << "";
}

void tst_ConsoleScan::parse()
{
    QFETCH(QString, line);
    QFETCH(int, group);
    QFETCH(int, sub);
    QFETCH(QString, message);

    Settings settings;
    UsartData usartData;
    Rooms rooms;
    ConsoleScan scan(&settings, &usartData, &rooms);

    const ConsoleScan::ReadCommand command = scan.mode_read_command(split(line));
    QCOMPARE(int(command.group), group);
    QCOMPARE(int(command.sub), sub);
    QCOMPARE(command.message, message);
}

// Whole lines in command mode, against the shield command model. openDoor
// starts at a value no row expects, so an untouched door number shows.
void tst_ConsoleScan::execute_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("orangeCMD");
    QTest::addColumn<int>("openDoor");

    const int untouched = 0xEE;
    const int openOnetime = 0x10;
    const int openCurrent = 4;

    QTest::newRow("idle: code 2 opens unit 1") << "2" << 1 << openOnetime << 1;
    QTest::newRow("idle: open alone opens unit 3") << "open" << 1 << openOnetime << 3;
    QTest::newRow("idle: code 25") << "25" << 1 << openOnetime << 5;
    QTest::newRow("idle: 2 5") << "2 5" << 1 << openOnetime << 5;
    QTest::newRow("idle: open 5") << "open 5" << 1 << openOnetime << 5;
    QTest::newRow("idle: open, empty word") << "open " << 1 << openOnetime << 0;
    QTest::newRow("idle: open, two blanks, 5") << "open  5" << 1 << openOnetime << 0;
    QTest::newRow("idle: open x") << "open x" << 1 << openOnetime << 0;
    QTest::newRow("idle: 2 300, low 8 bits") << "2 300" << 1 << openOnetime << 44;
    QTest::newRow("call: open") << "open" << 2 << openCurrent << untouched;
    QTest::newRow("call: code 25") << "25" << 2 << openCurrent << untouched;
    QTest::newRow("conversation: open") << "open" << 8 << openCurrent << untouched;
    QTest::newRow("ending: open 5") << "open 5" << 16 << openCurrent << untouched;
    QTest::newRow("no state: open") << "open" << 0 << 0 << untouched;
    QTest::newRow("idle and call at once: open") << "open" << 3 << 0 << untouched;
    QTest::newRow("door opened: open") << "open" << 0x20 << 0 << untouched;
    QTest::newRow("idle with door opened: 2 5") << "2 5" << 0x21 << 0 << untouched;
    QTest::newRow("pickup") << "pickup" << 2 << 8 << untouched;
    QTest::newRow("pickup with more words") << "pickup now please" << 2 << 8 << untouched;
    QTest::newRow("code 1") << "1" << 2 << 8 << untouched;
    QTest::newRow("code 11 is pickup") << "11" << 2 << 8 << untouched;
    QTest::newRow("257 1 is pickup") << "257 1" << 2 << 8 << untouched;
    QTest::newRow("drop") << "drop" << 8 << 1 << untouched;
    QTest::newRow("code 3") << "3" << 8 << 1 << untouched;
    QTest::newRow("dial 5") << "dial 5" << 1 << 0 << untouched;
    QTest::newRow("dial alone") << "dial" << 1 << 0 << untouched;
    QTest::newRow("phonedetect 7") << "phonedetect 7" << 1 << 0 << untouched;
    QTest::newRow("4 5") << "4 5" << 1 << 0 << untouched;
    QTest::newRow("9 1") << "9 1" << 1 << 0 << untouched;
    QTest::newRow("2 3 4") << "2 3 4" << 1 << 0 << untouched;
    QTest::newRow("leading blank") << " pickup" << 1 << 0 << untouched;
    QTest::newRow("empty line") << "" << 1 << 0 << untouched;
    QTest::newRow("Pickup") << "Pickup" << 1 << 0 << untouched;
    QTest::newRow("open<tab>5") << "open\t5" << 1 << 0 << untouched;
}

void tst_ConsoleScan::execute()
{
    QFETCH(QString, line);
    QFETCH(int, status);
    QFETCH(int, orangeCMD);
    QFETCH(int, openDoor);

    Settings settings;
    settings.setIntercom = 10;
    UsartData usartData;
    usartData.status = uint8_t(status);
    usartData.openDoor = 0xEE;
    Rooms rooms;
    fill(rooms.readImitPhone, stale());
    fill(rooms.readBlackPhone, stale());
    ConsoleScan scan(&settings, &usartData, &rooms);

    QCOMPARE(captureStdout([&] { scan.handle_line(line); }), QStringList());
    QCOMPARE(int(usartData.orangeCMD.load()), orangeCMD);
    QCOMPARE(int(usartData.openDoor.load()), openDoor);
    QCOMPARE(int(usartData.status.load()), status);
    QVERIFY(!usartData.messageTx.detect_data());
    QVERIFY(!usartData.queueBufferTx.detect_data());
    QCOMPARE(int(settings.setIntercom.load()), 10);
    QCOMPARE(scan.mode(), READ_COMMANDS);
    QCOMPARE(words(rooms.readImitPhone), stale());
    QCOMPARE(words(rooms.readBlackPhone), stale());
    QCOMPARE(debugMessages, QStringList());
}

void tst_ConsoleScan::intercomModel_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("flagAdrGate");
    QTest::addColumn<QString>("reply");

    QTest::newRow("7 102") << "7 102" << 102 << 1 << "#Intercom 102 supported indexes ";
    QTest::newRow("7 12") << "7 12" << 12 << 0 << "#Intercom 12 not supported indexes ";
    QTest::newRow("code 7 selects 255") << "7" << 255 << 0 << "#Intercom 255 not supported indexes ";
    QTest::newRow("code 70") << "70" << 0 << 0 << "#Intercom 0 not supported indexes ";
    QTest::newRow("7 358: low 8 bits") << "7 358" << 102 << 1 << "#Intercom 102 supported indexes ";
}

void tst_ConsoleScan::intercomModel()
{
    QFETCH(QString, line);
    QFETCH(int, model);
    QFETCH(int, flagAdrGate);
    QFETCH(QString, reply);

    Settings settings;
    settings.setIntercom = 10;
    settings.flagAdrGate = 1 - flagAdrGate;
    UsartData usartData;
    Rooms rooms;
    ConsoleScan scan(&settings, &usartData, &rooms);

    QCOMPARE(captureStdout([&] { scan.handle_line(line); }), QStringList{reply});
    QCOMPARE(int(settings.setIntercom.load()), model);
    QCOMPARE(int(settings.flagAdrGate.load()), flagAdrGate);
    QCOMPARE(int(usartData.orangeCMD.load()), 0);
}

void tst_ConsoleScan::rawMessage()
{
    Settings settings;
    UsartData usartData;
    Rooms rooms;
    ConsoleScan scan(&settings, &usartData, &rooms);

    QCOMPARE(captureStdout([&] { scan.handle_line(QStringLiteral("11 fa0102")); }), QStringList());
    QCOMPARE(usartData.messageTx.size(), 1);
    QCOMPARE(usartData.messageTx.get_data(), QByteArray::fromHex("fa0102"));
    QCOMPARE(int(usartData.orangeCMD.load()), 0);
    QVERIFY(!usartData.queueBufferTx.detect_data());
}

void tst_ConsoleScan::dialogueStart_data()
{
    QTest::addColumn<QString>("line");

    QTest::newRow("dialplan") << "dialplan";
    QTest::newRow("code 6") << "6";
    QTest::newRow("6 0") << "6 0";
}

// Starting the dialogue clears the imitation mask only; the blacklist stays
// in use until the first list has ended.
void tst_ConsoleScan::dialogueStart()
{
    QFETCH(QString, line);

    Settings settings;
    UsartData usartData;
    Rooms rooms;
    fill(rooms.readImitPhone, stale());
    fill(rooms.readBlackPhone, stale());
    ConsoleScan scan(&settings, &usartData, &rooms);

    QCOMPARE(captureStdout([&] { scan.handle_line(line); }),
             (QStringList{"mask_imit", "#Write rooms for shield:"}));
    QCOMPARE(scan.mode(), READ_VIRTUAL_NUMBERS);
    QCOMPARE(words(rooms.readImitPhone), Mask(Rooms::words, 0));
    QCOMPARE(words(rooms.readBlackPhone), stale());
}

// One line in either list mode. The mask under load already holds a few
// apartments, which an accepted number must keep.
void tst_ConsoleScan::listLine_data()
{
    QTest::addColumn<bool>("blacklist");
    QTest::addColumn<QString>("line");
    QTest::addColumn<Mask>("mask");
    QTest::addColumn<QStringList>("output");
    QTest::addColumn<QStringList>("debug");
    QTest::addColumn<bool>("ends");

    const QStringList none;
    const QStringList error{inputError};
    const QStringList big{QStringLiteral("Error: big number")};

    for (bool blacklist : {false, true}) {
        const char *list = blacklist ? "blacklist" : "imitation";
        const QStringList end = blacklist
            ? QStringList{"#End read rooms", "", "#Shield update virtual list", "#Shield update black list"}
            : QStringList{"#End read rooms", "", "mask_block", "#Write blacklist rooms for shield:"};
        auto row = [list](const char *label) -> QTestData & {
            return QTest::addRow("%s: %s", list, label);
        };
        row("0 is bit 0 of word 0") << blacklist << "0" << apartments({0, 40, 700}) << none << none << false;
        row("1023 is bit 31 of word 31") << blacklist << "1023" << apartments({40, 700, 1023}) << none << none << false;
        row("37 is bit 5 of word 1") << blacklist << "37" << apartments({37, 40, 700}) << none << none << false;
        row("an apartment already in") << blacklist << "40" << apartments({40, 700}) << none << none << false;
        row("1024 is too big") << blacklist << "1024" << apartments({40, 700}) << big << none << false;
        row("65535 reads as -1") << blacklist << "65535" << apartments({40, 700}) << end << none << true;
        row("-1 ends the list") << blacklist << "-1" << apartments({40, 700}) << end << none << true;
        row("-5 ends the list") << blacklist << "-5" << apartments({40, 700}) << end << none << true;
        row("-1 x is ignored") << blacklist << "-1 x" << apartments({40, 700}) << none << none << false;
        row("12 13 is ignored") << blacklist << "12 13" << apartments({40, 700}) << none << none << false;
        row("trailing blank is ignored") << blacklist << "12 " << apartments({40, 700}) << none << none << false;
        row("empty line") << blacklist << "" << apartments({40, 700}) << none << error << false;
        row("a command is no number") << blacklist << "drop" << apartments({40, 700}) << none << error << false;
        row("a command with words") << blacklist << "drop all" << apartments({40, 700}) << none << error << false;
        row("leading blank") << blacklist << " 12" << apartments({40, 700}) << none << error << false;
        row("dialplan again") << blacklist << "dialplan" << apartments({40, 700}) << none << error << false;
    }
}

void tst_ConsoleScan::listLine()
{
    QFETCH(bool, blacklist);
    QFETCH(QString, line);
    QFETCH(Mask, mask);
    QFETCH(QStringList, output);
    QFETCH(QStringList, debug);
    QFETCH(bool, ends);

    Settings settings;
    UsartData usartData;
    usartData.status = 8;
    Rooms rooms;
    ConsoleScan scan(&settings, &usartData, &rooms);
    captureStdout([&] {
        scan.handle_line(QStringLiteral("dialplan"));
        if (blacklist)
            scan.handle_line(QStringLiteral("-1"));
    });
    QCOMPARE(scan.mode(), blacklist ? READ_BLACKLIST_NUMBERS : READ_VIRTUAL_NUMBERS);

    std::atomic<uint32_t> *loading = blacklist ? rooms.readBlackPhone : rooms.readImitPhone;
    std::atomic<uint32_t> *other = blacklist ? rooms.readImitPhone : rooms.readBlackPhone;
    fill(loading, apartments({40, 700}));
    fill(other, stale());

    QCOMPARE(captureStdout([&] { scan.handle_line(line); }), output);
    QCOMPARE(debugMessages, debug);
    if (ends && !blacklist) {
        // The end of the first list starts the blacklist afresh.
        QCOMPARE(words(other), Mask(Rooms::words, 0));
    } else {
        QCOMPARE(words(other), stale());
    }
    QCOMPARE(words(loading), mask);
    const ConsoleModeRead_em same = blacklist ? READ_BLACKLIST_NUMBERS : READ_VIRTUAL_NUMBERS;
    const ConsoleModeRead_em next = blacklist ? READ_COMMANDS : READ_BLACKLIST_NUMBERS;
    QCOMPARE(scan.mode(), ends ? next : same);
    // Nothing said in a list is a command.
    QCOMPARE(int(usartData.orangeCMD.load()), 0);
}

void tst_ConsoleScan::wholeDialogue()
{
    Settings settings;
    UsartData usartData;
    usartData.status = 8;
    Rooms rooms;
    fill(rooms.readImitPhone, stale());
    fill(rooms.readBlackPhone, stale());
    ConsoleScan scan(&settings, &usartData, &rooms);

    const QStringList input{"dialplan", "0", "5", "drop", "1023", "5", "list", "-1",
                            "", "1024", "37", "12 13", "-1 x", "pickup", "65535"};
    const QStringList output = captureStdout([&] {
        for (const QString &line : input)
            scan.handle_line(line);
    });
    QCOMPARE(output, (QStringList{"mask_imit", "#Write rooms for shield:",
                                  "#End read rooms", "", "mask_block", "#Write blacklist rooms for shield:",
                                  "Error: big number",
                                  "#End read rooms", "", "#Shield update virtual list", "#Shield update black list"}));
    QCOMPARE(debugMessages, (QStringList{inputError, inputError, inputError, inputError}));
    QCOMPARE(words(rooms.readImitPhone), apartments({0, 5, 1023}));
    QCOMPARE(words(rooms.readBlackPhone), apartments({37}));
    QCOMPARE(scan.mode(), READ_COMMANDS);
    QCOMPARE(int(usartData.orangeCMD.load()), 0);

    // Back in command mode, commands work again.
    QCOMPARE(captureStdout([&] { scan.handle_line(QStringLiteral("drop")); }), QStringList());
    QCOMPARE(int(usartData.orangeCMD.load()), 1);
}

QTEST_GUILESS_MAIN(tst_ConsoleScan)
#include "tst_consolescan.moc"
