#include "threadusarttransmitter.h"

#include "UsartTimerThread.h"
#include "consolecommand.h"
#include "log/logsenderinterface.h"
#include "log/logservice.h"
#include "rooms.h"
#include "settings.h"
#include "shieldprotocol.h"
#include "stdoutcapture.h"
#include "usartdata.h"
#include "usartparser.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

// Long enough that the objects' own timers never tick during a test: the test
// drives every tick itself, except where it waits for the message-mode timers.
static const int handDriven = 100000;

static QString h(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

using namespace ShieldProtocol;

// A poll frame as the daemon sends it.
static QByteArray poll(int unit, int status, int cmd)
{
    const char frame[] = {char(frameStart), char(pollDevice), char(unit), char(pollMarker), char(status),
                          char(cmd), 0, 0, 0, 0, char(frameEnd)};
    return QByteArray(frame, sizeof frame);
}

// A frame as the shield sends it, the apartment as four digits.
static QByteArray shield(int status, int unit = 3, int room = 123)
{
    const char frame[] = {char(frameStart), char(shieldDevice), char(unit), 0, char(status), 0,
                          char(room / 1000 % 10), char(room / 100 % 10), char(room / 10 % 10),
                          char(room % 10), char(frameEnd)};
    return QByteArray(frame, sizeof frame);
}

class NullSender : public LogSenderInterface
{
public:
    void send(QByteArray) const override {}
};

// The state machine with real collaborators and a serial worker whose port
// does not exist, so packets only move through the worker's two queues.
struct Rig
{
    StdoutCapture out;
    StdoutCapture err{STDERR_FILENO};
    Settings settings;
    UsartData data;
    Rooms rooms;
    ConsoleCommand console{&settings};
    UsartParser parser{&console, &data, &rooms};
    std::unique_ptr<UsartTimerThread> usart;
    std::unique_ptr<ThreadUsartTransmitter> machine;
    QTimer *mainTimer = nullptr;
    QByteArray startPacket;
    int linesSeen = 0;

    Rig()
    {
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^DEBUG: USART: "));
        usart = std::make_unique<UsartTimerThread>(handDriven);
        machine = std::make_unique<ThreadUsartTransmitter>(handDriven, usart.get(), &data,
                                                           &parser, &rooms, &console);
        for (QTimer *timer : machine->findChildren<QTimer *>()) {
            if (timer->interval() == handDriven)
                mainTimer = timer;
        }
        // A fresh machine begins with a send half; nothing is queued yet.
        tick();
        if (usart->writeBuffer.size() == 1)
            startPacket = usart->writeBuffer.get_data();
        else
            startPacket = "<not one packet>";
    }

    // QtTest reports a failure on standard output too; show it with what was captured.
    ~Rig()
    {
        out.stop();
        err.stop();
        if (QTest::currentTestFailed()) {
            fputs(out.text().constData(), stdout);
            fputs(err.text().constData(), stdout);
        }
    }

    void tick()
    {
        QVERIFY(QMetaObject::invokeMethod(machine.get(), "slotTimeOut", Qt::DirectConnection));
    }

    // The shield's answer (none when empty) is taken by a receive half, and
    // the following send half hands the resulting poll to the worker.
    QByteArray exchange(const QByteArray &answer)
    {
        if (!answer.isEmpty())
            usart->readBuffer.set_data(answer);
        tick();
        tick();
        if (usart->writeBuffer.size() != 1)
            return QByteArray("<") + QByteArray::number(usart->writeBuffer.size()) + " packets>";
        return usart->writeBuffer.get_data();
    }

    // Lines written on standard output since the last call.
    QStringList events()
    {
        const QStringList all = out.lines();
        const QStringList fresh = all.mid(linesSeen);
        linesSeen = all.size();
        return fresh;
    }

    QTimer *receptionWindow() const
    {
        for (QTimer *timer : machine->findChildren<QTimer *>()) {
            if (timer != mainTimer && timer->isActive())
                return timer;
        }
        return nullptr;
    }

    // Drains the worker's write queue; true once a poll frame has come by
    // (and from then on, since QTRY_VERIFY evaluates its condition again).
    bool pollSent()
    {
        while (usart->writeBuffer.detect_data()) {
            const QByteArray packet = usart->writeBuffer.get_data();
            pollSeen = pollSeen || (packet.size() == 11 && packet.startsWith("\xFA\x03")
                                    && packet.endsWith('\xF5'));
        }
        return pollSeen;
    }
    bool pollSeen = false;
};

struct Step
{
    QString what;
    QByteArray answer;
    QByteArray poll;
    QStringList events = {};
    std::function<void(UsartData &)> before = nullptr;
    QByteArrayList stray = {};  // packets that wait before the answer
};

static void runSteps(Rig &rig, const QVector<Step> &steps)
{
    for (const Step &step : steps) {
        if (step.before)
            step.before(rig.data);
        for (const QByteArray &packet : step.stray)
            rig.usart->readBuffer.set_data(packet);
        const QByteArray sent = rig.exchange(step.answer);
        QVERIFY2(sent == step.poll, qPrintable(QStringLiteral("%1: poll %2, expected %3")
                                                       .arg(step.what, h(sent), h(step.poll))));
        const QStringList events = rig.events();
        QVERIFY2(events == step.events,
                 qPrintable(QStringLiteral("%1: events [%2], expected [%3]")
                                    .arg(step.what, events.join(", "), step.events.join(", "))));
    }
}

class tst_ThreadUsartTransmitter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startUp();
    void waitingPackets_data();
    void waitingPackets();
    void typicalCall_data();
    void typicalCall();
    void callMasks_data();
    void callMasks();
    void openCommand_data();
    void openCommand();
    void oneTimeOpen();
    void oneTimeOpenUnconfirmed_data();
    void oneTimeOpenUnconfirmed();
    void commandAtConversation();
    void commandsRaceDecisions();
    void statusPrecedence_data();
    void statusPrecedence();
    void rejections_data();
    void rejections();
    void rotations();
    void messageAnswers_data();
    void messageAnswers();
    void messageWindow_data();
    void messageWindow();
    void messageDuringCall();

private:
    NullSender nullSender;
};

void tst_ThreadUsartTransmitter::initTestCase()
{
    qputenv("LORENTAK_USART_PORT", "/nonexistent/tmx-test-serial");
    logService = new LogService(1, &nullSender);
}

void tst_ThreadUsartTransmitter::startUp()
{
    Rig rig;
    QCOMPARE(h(rig.startPacket), QString());
    QVERIFY(rig.mainTimer);
    QVERIFY(rig.mainTimer->isActive());
    // The port does not open: one line says which and why, and packets are
    // not handed to it (Qt would warn about each one).
    QCOMPARE(rig.err.lines(), QStringList{"serial: cannot open /nonexistent/tmx-test-serial (No such "
                                          "file or directory); the shield will not be polled"});
    rig.usart->writeBuffer.set_data(poll(2, PollIdle, CmdNone));
    QVERIFY(QMetaObject::invokeMethod(rig.usart.get(), "slotTimeOut", Qt::DirectConnection));
    QVERIFY(!rig.usart->writeBuffer.detect_data());
    QCOMPARE(rig.events(), QStringList());

    rig.tick();  // receive half: the shield is silent, status is still idle
    QCOMPARE(rig.data.queueBufferTx.size(), 1);
    QVERIFY(!rig.usart->writeBuffer.detect_data());
    rig.tick();  // send half
    QVERIFY(!rig.data.queueBufferTx.detect_data());
    QCOMPARE(rig.usart->writeBuffer.size(), 1);
    QCOMPARE(h(rig.usart->writeBuffer.get_data()), h(poll(2, PollIdle, CmdNone)));
    QCOMPARE(rig.events(), QStringList());

    // Nothing was asked before the first poll, so only the polls' own
    // silence counts: the sixth unanswered poll gives the line up.
    QVector<Step> steps;
    const int units[] = {3, 4, 1, 2, 3};
    for (int unit : units)
        steps.append({QStringLiteral("silent, idle poll to %1").arg(unit), {}, poll(unit, PollIdle, CmdNone)});
    steps.append({"sixth silence", {}, poll(2, PollIdle, CmdNone)});
    runSteps(rig, steps);
    QCOMPARE(int(rig.data.status), 0);
}

void tst_ThreadUsartTransmitter::waitingPackets_data()
{
    QTest::addColumn<QByteArrayList>("packets");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QByteArray>("poll");

    const QByteArray call = shield(LineCall);
    const QStringList dial{"dial 123"};
    QTest::newRow("stray byte before the answer") << QByteArrayList{QByteArray(1, '\0'), call} << dial
                                                  << poll(3, PollCall, CmdNone);
    QTest::newRow("frame split by a pause, then the answer")
        << QByteArrayList{call.left(4), call.mid(4), call} << dial << poll(3, PollCall, CmdNone);
    QTest::newRow("two answers, decided in order") << QByteArrayList{call, shield(LineConversation)}
                                                   << QStringList{"dial 123", "pickup"} << poll(3, PollConversation, CmdNone);
    QTest::newRow("two idle answers, one poll") << QByteArrayList{shield(LineIdle, 2, 0), shield(LineIdle, 2, 0)}
                                                << QStringList() << poll(3, PollIdle, CmdNone);
}

// Every packet that waits is taken: the answer to a poll is acted on in that
// poll's own receive half, however many stray packets came with it.
void tst_ThreadUsartTransmitter::waitingPackets()
{
    QFETCH(QByteArrayList, packets);
    QFETCH(QStringList, events);
    QFETCH(QByteArray, poll);

    Rig rig;
    runSteps(rig, {
        {"idle", shield(LineIdle, 0, 0), ::poll(2, PollIdle, CmdNone)},
        {"packets", {}, poll, events, nullptr, packets},
    });
    QCOMPARE(rig.usart->readBuffer.size(), 0);
}

void tst_ThreadUsartTransmitter::typicalCall_data()
{
    QTest::addColumn<int>("intercom");
    QTest::addColumn<QString>("dialLine");

    QTest::newRow("model without call units") << 10 << "dial 123";
    QTest::newRow("model reporting call units") << 102 << "dial 123 3";
}

void tst_ThreadUsartTransmitter::typicalCall()
{
    QFETCH(int, intercom);
    QFETCH(QString, dialLine);

    Rig rig;
    rig.settings.set_intercom(uint8_t(intercom));
    QCOMPARE(rig.events().size(), 1);  // the "#Intercom" confirmation

    const auto pickup = [](UsartData &d) { d.command_pickup(); };
    const auto open = [](UsartData &d) { d.command_open(); };
    runSteps(rig, {
        {"idle", shield(LineIdle, 0, 0), poll(2, PollIdle, CmdNone)},
        {"call", shield(LineCall), poll(3, PollCall, CmdNone), {dialLine}},
        {"call goes on", shield(LineCall), poll(3, PollCall, CmdNone)},
        {"pickup command", shield(LineCall), poll(3, PollCall, CmdPickup), {}, pickup},
        {"pickup not yet done", shield(LineCall), poll(3, PollCall, CmdPickup)},
        {"conversation", shield(LineConversation), poll(3, PollConversation, CmdNone), {"pickup"}},
        {"open command", shield(LineConversation), poll(3, PollConversation, CmdOpen), {}, open},
        {"door opened", shield(LineConversation | LineDoorOpened), poll(3, PollConversation, CmdNone), {"open"}},
        {"door still open", shield(LineConversation | LineDoorOpened), poll(3, PollConversation, CmdNone)},
        {"call ending", shield(LineEnding), poll(3, PollConversation, CmdNone), {"drop"}},
        {"still ending", shield(LineEnding), poll(3, PollConversation, CmdNone)},
        {"idle again", shield(LineIdle, 3, 0), poll(3, PollIdle, CmdNone)},
        {"idle rotation", shield(LineIdle, 3, 0), poll(4, PollIdle, CmdNone)},
    });
}

void tst_ThreadUsartTransmitter::callMasks_data()
{
    QTest::addColumn<bool>("imitation");
    QTest::addColumn<bool>("blacklist");
    QTest::addColumn<int>("command");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("pollStatus");
    QTest::addColumn<int>("carried");

    const QStringList dial{"dial 123"};
    QTest::newRow("in no mask") << false << false << 0 << dial << 2 << 0;
    QTest::newRow("imitation mask") << true << false << 0 << dial << int(PollImitation) << 0;
    QTest::newRow("blacklist") << false << true << 0 << QStringList() << int(PollBlacklisted) << 0;
    QTest::newRow("both masks") << true << true << 0 << QStringList() << int(PollBlacklisted) << 0;
    QTest::newRow("blacklist keeps a pending pickup")
        << false << true << int(CmdPickup) << QStringList() << int(PollBlacklisted) << int(CmdPickup);
    // Nobody was told of the call, so an open is for no call: no door opens.
    QTest::newRow("blacklist drops an open")
        << false << true << int(CmdOpen) << QStringList() << int(PollBlacklisted) << int(CmdNone);
}

void tst_ThreadUsartTransmitter::callMasks()
{
    QFETCH(bool, imitation);
    QFETCH(bool, blacklist);
    QFETCH(int, command);
    QFETCH(QStringList, events);
    QFETCH(int, pollStatus);
    QFETCH(int, carried);

    Rig rig;
    const uint32_t bit = 1u << (123 % 32);
    // A neighbour in the same word must not count.
    rig.rooms.readImitPhone[123 / 32] = (imitation ? bit : 0) | (bit >> 1);
    rig.rooms.readBlackPhone[123 / 32] = (blacklist ? bit : 0) | (bit << 1);
    const auto store = [command](UsartData &d) { d.orangeCMD = uint8_t(command); };
    runSteps(rig, {
        {"idle", shield(LineIdle, 0, 0), poll(2, PollIdle, CmdNone), {}},
        {"call", shield(LineCall), poll(3, pollStatus, carried), events, store},
        {"call goes on", shield(LineCall), poll(3, pollStatus, carried)},
    });
    QCOMPARE(rig.err.lines().filter("blacklisted").size(), command == CmdOpen ? 1 : 0);
}

void tst_ThreadUsartTransmitter::openCommand_data()
{
    QTest::addColumn<int>("lineState");
    QTest::addColumn<QString>("stateEvent");
    QTest::addColumn<int>("pollStatus");
    QTest::addColumn<int>("openDoorAfter");

    QTest::newRow("during a call") << int(LineCall) << "dial 123" << 2 << 1;
    QTest::newRow("during a conversation") << int(LineConversation) << "pickup" << 4 << 0;
}

void tst_ThreadUsartTransmitter::openCommand()
{
    QFETCH(int, lineState);
    QFETCH(QString, stateEvent);
    QFETCH(int, pollStatus);
    QFETCH(int, openDoorAfter);

    Rig rig;
    const auto open = [](UsartData &d) { d.command_open(); };
    const int opened = lineState | LineDoorOpened;
    runSteps(rig, {
        {"line state", shield(lineState), poll(3, pollStatus, 0), {stateEvent}},
        {"open command", shield(lineState), poll(3, pollStatus, 4), {}, open},
        {"not opened yet", shield(lineState), poll(3, pollStatus, 4)},
        {"door opened", shield(opened), poll(3, pollStatus, 0), {"open"}},
        {"door still open", shield(opened), poll(3, pollStatus, 0)},
    });
    QCOMPARE(int(rig.data.openDoor), openDoorAfter);
}

void tst_ThreadUsartTransmitter::oneTimeOpen()
{
    Rig rig;
    const auto openDoor = [](int unit) {
        return [unit](UsartData &d) { d.command_open_onetime(unit); };
    };
    runSteps(rig, {
        {"idle", shield(LineIdle, 2, 0), poll(2, PollIdle, CmdNone)},
        {"door 5 asked for", shield(LineIdle, 2, 0), poll(5, PollIdle, CmdOpenOnetime), {}, openDoor(5)},
        {"not opened yet", shield(LineIdle, 5, 0), poll(5, PollIdle, CmdOpenOnetime)},
        {"door opened", shield(LineIdle | LineDoorOpened, 5, 0), poll(5, PollIdle, CmdNone), {"open"}},
        {"rotation resumes", shield(LineIdle, 5, 0), poll(3, PollIdle, CmdNone)},
        {"door 4 asked for", shield(LineIdle, 3, 0), poll(4, PollIdle, CmdOpenOnetime), {}, openDoor(4)},
        {"opened again", shield(LineIdle | LineDoorOpened, 4, 0), poll(4, PollIdle, CmdNone), {"open"}},
        {"rotation again", shield(LineIdle, 4, 0), poll(4, PollIdle, CmdNone)},
    });
}

void tst_ThreadUsartTransmitter::oneTimeOpenUnconfirmed_data()
{
    QTest::addColumn<int>("lineState");
    QTest::addColumn<QByteArray>("pending");
    QTest::addColumn<QByteArray>("dropped");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("why");

    QTest::newRow("the door unit never answers")
        << int(LineIdle) << poll(5, PollIdle, CmdOpenOnetime) << poll(3, PollIdle, CmdNone) << QStringList()
        << "serial: door unit 5 did not confirm the opening within 10 s; command dropped";
    // The poll would name the caller's unit, not door 5: the opening goes at once.
    QTest::newRow("a call comes meanwhile")
        << int(LineCall) << poll(3, PollCall, CmdNone) << poll(3, PollCall, CmdNone) << QStringList{"dial 123"}
        << "serial: a call from door unit 3 came before door unit 5 confirmed the opening; command dropped";
}

// An opening that no door unit confirms is given up after 10 s: the rotation
// resumes, and no call gets a door command nobody gave for it.
void tst_ThreadUsartTransmitter::oneTimeOpenUnconfirmed()
{
    QFETCH(int, lineState);
    QFETCH(QByteArray, pending);
    QFETCH(QByteArray, dropped);
    QFETCH(QStringList, events);
    QFETCH(QString, why);

    Rig rig;
    qint64 now = 0;
    rig.machine->setClock([&now] { return now; });
    const auto at = [&now](qint64 ms) { return [&now, ms](UsartData &) { now = ms; }; };
    const QByteArray state = shield(lineState, lineState == LineIdle ? 5 : 3, lineState == LineIdle ? 0 : 123);
    runSteps(rig, {
        {"idle", shield(LineIdle, 2, 0), poll(2, PollIdle, CmdNone)},
        {"door 5 asked for", shield(LineIdle, 2, 0), poll(5, PollIdle, CmdOpenOnetime), {},
         [](UsartData &d) { d.command_open_onetime(5); }},
        {"not confirmed yet", state, pending, events, at(9999)},
        {"10 s without confirmation", state, dropped, {}, at(10000)},
        {"after", state, lineState == LineIdle ? poll(4, PollIdle, CmdNone) : dropped, {}, at(20000)},
    });
    QCOMPARE(rig.err.lines().filter("door unit"), QStringList{why});
}

// The conversation report clears the pickup that caused it, not a drop
// given after the pickup went out.
void tst_ThreadUsartTransmitter::commandAtConversation()
{
    Rig rig;
    runSteps(rig, {
        {"call, pickup given", shield(LineCall), poll(3, PollCall, CmdPickup), {"dial 123"}, [](UsartData &d) { d.command_pickup(); }},
        {"conversation, drop given", shield(LineConversation), poll(3, PollConversation, CmdDrop), {"pickup"}, [](UsartData &d) { d.command_drop_all(); }},
    });
}

// The console thread gives a pickup and then a one-time opening, again and
// again, while the main thread decides on idle answers as fast as it can.
// The idle decision drops the pickup; it must neither lose an opening stored
// meanwhile nor send one to any unit but its own door.
void tst_ThreadUsartTransmitter::commandsRaceDecisions()
{
    Rig rig;
    rig.machine->setClock([] { return qint64(0); });
    std::atomic<int> doorPolled{0};
    std::atomic<int> lostAt{-1};
    std::unique_ptr<QThread> console(QThread::create([&] {
        for (int i = 0; i < 2000; ++i) {
            const int door = 5 + i % 4;
            rig.data.command_pickup();
            // A pause of 0 to 3 us lets the opening land anywhere in a decision.
            const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(i * 7919 % 64 * 50);
            while (std::chrono::steady_clock::now() < until) {
            }
            rig.data.command_open_onetime(door);
            for (QDeadlineTimer deadline(10000); doorPolled.load() != door; QThread::yieldCurrentThread()) {
                if (deadline.hasExpired()) {
                    lostAt = i;
                    return;
                }
            }
        }
    }));
    console->start();

    // Polls go out without a command to the rotation, or with 0x10 to a door.
    QByteArray wrong;
    while (!console->isFinished() && wrong.isEmpty()) {
        const QByteArray sent = rig.exchange(shield(LineIdle, 2, 0));
        if (sent.size() == 11 && sent[5] == '\x10' && sent[2] >= 5 && sent[2] <= 8)
            doorPolled = sent[2];
        else if (sent.size() != 11 || sent[5] != 0 || sent[2] < 1 || sent[2] > 4)
            wrong = sent;
    }
    QVERIFY(console->wait(30000));
    QVERIFY2(wrong.isEmpty() && lostAt == -1,
             qPrintable(QStringLiteral("wrong poll [%1]; opening of round %2 lost").arg(h(wrong)).arg(lostAt)));
}

void tst_ThreadUsartTransmitter::statusPrecedence_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QByteArray>("poll");

    QTest::newRow("0x03 idle over call") << 0x03 << QStringList() << poll(3, PollIdle, CmdNone);
    QTest::newRow("0x09 idle over conversation") << 0x09 << QStringList() << poll(3, PollIdle, CmdNone);
    QTest::newRow("0x0A call over conversation") << 0x0A << QStringList{"dial 123"} << poll(3, PollCall, CmdNone);
    QTest::newRow("0x12 call over ending") << 0x12 << QStringList{"dial 123"} << poll(3, PollCall, CmdNone);
    QTest::newRow("0x18 conversation over ending") << 0x18 << QStringList{"pickup"} << poll(3, PollConversation, CmdNone);
    QTest::newRow("0x30 ending, nothing to drop") << 0x30 << QStringList() << poll(3, PollIdle, CmdNone);
    QTest::newRow("0x20 alone is no known state") << 0x20 << QStringList() << poll(2, PollIdle, CmdNone);
    QTest::newRow("0x00 is no known state") << 0x00 << QStringList() << poll(2, PollIdle, CmdNone);
}

void tst_ThreadUsartTransmitter::statusPrecedence()
{
    QFETCH(int, status);
    QFETCH(QStringList, events);
    QFETCH(QByteArray, poll);

    Rig rig;
    runSteps(rig, {
        {"idle", shield(LineIdle, 0, 0), ::poll(2, PollIdle, CmdNone)},
        {"status under test", shield(status), poll, events},
    });
}

void tst_ThreadUsartTransmitter::rejections_data()
{
    QTest::addColumn<QByteArrayList>("bad");

    // The bad packets say "conversation": parsing them would report a pickup.
    QTest::newRow("no answer") << QByteArrayList();
    QTest::newRow("no start marker") << QByteArrayList{QByteArray::fromHex("00 01 03 00 08 00 00 01 02 03 F5")};
    QTest::newRow("no end marker") << QByteArrayList{QByteArray::fromHex("FA 01 03 00 08 00 00 01 02 03 00")};
    QTest::newRow("markers swapped") << QByteArrayList{QByteArray::fromHex("F5 01 03 00 08 00 00 01 02 03 FA")};
    QTest::newRow("start marker alone") << QByteArrayList{QByteArray::fromHex("FA")};
    // One verdict per receive half, however many packets it takes.
    QTest::newRow("three stray packets") << QByteArrayList{"\x00", "\x7E\x7E", "\xFA"};
}

void tst_ThreadUsartTransmitter::rejections()
{
    QFETCH(QByteArrayList, bad);

    Rig rig;
    const auto pickup = [](UsartData &d) { d.command_pickup(); };
    QVector<Step> steps{
        {"idle", shield(LineIdle, 0, 0), poll(2, PollIdle, CmdNone)},
        {"call", shield(LineCall), poll(3, PollCall, CmdPickup), {"dial 123"}, pickup},
    };
    for (int i = 1; i <= 5; ++i)
        steps.append({QStringLiteral("rejection %1").arg(i), {}, poll(3, PollCall, CmdPickup), {}, nullptr, bad});
    // The sixth wipes status and command: the line counts as lost.
    steps.append({"rejection 6", {}, poll(2, PollIdle, CmdNone), {"drop"}, nullptr, bad});
    steps.append({"rejection 7", {}, poll(3, PollIdle, CmdNone), {}, nullptr, bad});
    steps.append({"accepted idle frame", shield(LineIdle, 0, 0), poll(3, PollIdle, CmdNone)});
    // The count starts again from the accepted frame.
    for (int i = 1; i <= 5; ++i)
        steps.append({QStringLiteral("idle rejection %1").arg(i), {}, poll((i + 2) % 4 + 1, 1, 0), {}, nullptr, bad});
    steps.append({"idle rejection 6", {}, poll(4, PollIdle, CmdNone), {}, nullptr, bad});
    runSteps(rig, steps);
}

void tst_ThreadUsartTransmitter::rotations()
{
    // Accepted frames with no known state bit take the lost row at once.
    const QByteArray idle = shield(LineIdle, 0, 0);
    const QByteArray lost = shield(0x00, 0, 0);
    Rig rig;
    runSteps(rig, {
        {"idle 1", idle, poll(2, PollIdle, CmdNone)},
        {"idle 2", idle, poll(3, PollIdle, CmdNone)},
        {"idle 3", idle, poll(4, PollIdle, CmdNone)},
        {"idle 4", idle, poll(1, PollIdle, CmdNone)},
        {"idle 5", idle, poll(2, PollIdle, CmdNone)},
        {"lost 1", lost, poll(2, PollIdle, CmdNone)},
        {"lost 2", lost, poll(3, PollIdle, CmdNone)},
        {"idle 6", idle, poll(3, PollIdle, CmdNone)},
        {"lost 3", lost, poll(4, PollIdle, CmdNone)},
        {"lost 4", lost, poll(1, PollIdle, CmdNone)},
        {"idle 7", idle, poll(4, PollIdle, CmdNone)},
    });
}

void tst_ThreadUsartTransmitter::messageAnswers_data()
{
    QTest::addColumn<QByteArrayList>("answers");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("statusAfter");

    QTest::newRow("raw bytes") << QByteArrayList{QByteArray::fromHex("DE AD BE")}
                               << QStringList{"message deadbe"} << 1;
    // Parsed, but no line decision is made in message mode.
    QTest::newRow("a call frame") << QByteArrayList{shield(LineCall)}
                                  << QStringList{"message fa010300020000010203f5"} << 2;
    QTest::newRow("300 bytes") << QByteArrayList{QByteArray(300, '\x3C')}
                               << QStringList{QStringLiteral("message ") + QString("3c").repeated(300)} << 1;
    QTest::newRow("two packets, two lines") << QByteArrayList{"\x01", "\x02\x03"}
                                            << QStringList{"message 01", "message 0203"} << 1;
}

void tst_ThreadUsartTransmitter::messageAnswers()
{
    QFETCH(QByteArrayList, answers);
    QFETCH(QStringList, lines);
    QFETCH(int, statusAfter);

    Rig rig;
    QVERIFY(rig.data.command_message("0a0b"));
    rig.tick();  // receive half: silence, first poll queued
    rig.tick();  // send half: the message goes first and the poll is dropped
    QCOMPARE(h(rig.usart->writeBuffer.get_data()), h(QByteArray::fromHex("0A 0B")));
    QVERIFY(!rig.data.queueBufferTx.detect_data());
    rig.data.deviceCode = 7;

    for (const QByteArray &answer : answers)
        rig.usart->readBuffer.set_data(answer);
    rig.tick();  // receive half
    QCOMPARE(rig.events(), lines);
    QVERIFY(!rig.data.queueBufferTx.detect_data());
    QCOMPARE(int(rig.data.deviceCode), 0);
    QCOMPARE(int(rig.data.status), statusAfter);
}

void tst_ThreadUsartTransmitter::messageWindow_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("window");

    QTest::newRow("shield answers") << QByteArray::fromHex("01 02 03") << QStringList{"message 010203"}
                                    << 700;
    QTest::newRow("shield stays silent") << QByteArray() << QStringList() << 500;
}

// The window timers are the machine's own; this test lets them run.
void tst_ThreadUsartTransmitter::messageWindow()
{
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, events);
    QFETCH(int, window);

    Rig rig;
    QCOMPARE(h(rig.exchange(shield(LineIdle, 0, 0))), h(poll(2, PollIdle, CmdNone)));
    rig.usart->readBuffer.set_data(shield(LineIdle, 0, 0));
    rig.tick();  // receive half: a poll waits in queueBufferTx
    QCOMPARE(rig.data.queueBufferTx.size(), 1);

    QVERIFY(rig.data.command_message("A1B2"));
    rig.tick();  // send half
    QCOMPARE(h(rig.usart->writeBuffer.get_data()), h(QByteArray::fromHex("A1 B2")));
    QVERIFY(!rig.data.queueBufferTx.detect_data());
    QCOMPARE(rig.mainTimer->interval(), 5);
    QTimer *reception = rig.receptionWindow();
    QVERIFY(reception);
    QCOMPARE(reception->interval(), 500);

    if (!answer.isEmpty())
        rig.usart->readBuffer.set_data(answer);
    rig.tick();  // receive half
    QCOMPARE(rig.events(), events);
    QCOMPARE(reception->interval(), window);
    QVERIFY(!rig.data.queueBufferTx.detect_data());
    rig.tick();  // send half with nothing waiting: an empty packet
    QCOMPARE(rig.usart->writeBuffer.size(), 1);
    QCOMPARE(h(rig.usart->writeBuffer.get_data()), QString());

    QTRY_COMPARE_WITH_TIMEOUT(rig.mainTimer->interval(), 200, 10000);
    QVERIFY(!reception->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(rig.pollSent(), 10000);
    QCOMPARE(rig.events(), QStringList());
}

// Message mode's receive halves come every 10 ms and mostly find nothing;
// none of that may count as the shield falling silent. A raw message in the
// middle of a call must not end the call, re-announce it, or drop a pending
// command.
void tst_ThreadUsartTransmitter::messageDuringCall()
{
    Rig rig;
    QCOMPARE(h(rig.exchange(shield(LineCall))), h(poll(3, PollCall, CmdNone)));
    QCOMPARE(rig.events(), QStringList{"dial 123"});
    rig.data.command_pickup();

    QVERIFY(rig.data.command_message("A1B2"));
    rig.usart->readBuffer.set_data(shield(LineCall));
    rig.tick();  // receive half: the call goes on
    rig.tick();  // send half: the message goes before the poll
    QCOMPARE(h(rig.usart->writeBuffer.get_data()), h(QByteArray::fromHex("A1 B2")));
    for (int i = 0; i < 20; ++i) {  // twenty receive halves, one answer among them
        if (i == 3)
            rig.usart->readBuffer.set_data(QByteArray::fromHex("C3 D4"));
        rig.tick();
        rig.tick();
    }
    QCOMPARE(rig.events(), QStringList{"message c3d4"});
    QCOMPARE(int(rig.data.status), int(LineCall));
    QCOMPARE(int(rig.data.orangeCMD), 8);

    QTRY_COMPARE_WITH_TIMEOUT(rig.mainTimer->interval(), 200, 10000);
    rig.mainTimer->setInterval(handDriven);
    rig.usart->writeBuffer.clear();
    // Back in main mode the very next send half polls the call where it was,
    // pickup still pending, even with the next message waiting; the answer
    // counts, and the message follows.
    QVERIFY(rig.data.command_message("E5F6"));
    rig.tick();
    QCOMPARE(rig.usart->writeBuffer.size(), 1);
    QCOMPARE(h(rig.usart->writeBuffer.get_data()), h(poll(3, PollCall, CmdPickup)));
    QCOMPARE(h(rig.exchange(shield(LineCall))), h(QByteArray::fromHex("E5 F6")));
    QCOMPARE(rig.events(), QStringList());
}

QTEST_GUILESS_MAIN(tst_ThreadUsartTransmitter)
#include "tst_threadusarttransmitter.moc"
