#include "e2echecks.h"

#include "e2ecase.h"
#include "shieldprotocol.h"

#include <QHash>
#include <QtTest>

using namespace ShieldProtocol;

namespace {

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

QList<Poll> pollsOf(const TraceReader &trace)
{
    QList<Poll> polls;
    for (const TraceLine &line : trace.lines()) {
        if (line.kind == QLatin1String("rx-poll")) {
            Poll poll;
            poll.ns = line.ns;
            poll.unit = int(line.number(QStringLiteral("unit")));
            poll.status = int(line.number(QStringLiteral("status")));
            poll.cmd = int(line.number(QStringLiteral("cmd")));
            poll.bytes = QByteArray::fromHex(line.field(QStringLiteral("bytes")).toLatin1());
            polls.append(poll);
        } else if (line.kind == QLatin1String("tx-answer") && !polls.isEmpty()) {
            polls.last().answered = true;
            polls.last().answerStatus = int(line.number(QStringLiteral("status")));
            polls.last().answerApt = int(line.number(QStringLiteral("apt")));
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

// Each command goes with the polls only after the application sent it, and
// to the call's unit with the state the daemon last saw; once the call is
// over the idle polls go on with the rotation where they left it.
void checkWholeCall(const E2ECase &c)
{
    const QList<Poll> polls = pollsOf(c.trace());
    const QString all = describe(polls);
    const struct {
        int cmd;
        const char *command;
        int status;
    } commands[] = {{CmdPickup, "pickup", PollCall}, {CmdOpen, "open", PollConversation},
                    {CmdDrop, "drop", PollConversation}};
    for (const auto &cmd : commands) {
        int carried = 0;
        for (const Poll &p : polls) {
            if (p.cmd != cmd.cmd)
                continue;
            ++carried;
            QVERIFY2(p.ns > c.sentAt(QLatin1String(cmd.command)) && p.unit == 3 && p.status == cmd.status,
                     qPrintable(QStringLiteral("command %1:\n%2").arg(cmd.cmd).arg(all)));
        }
        QVERIFY2(carried > 0, qPrintable(QStringLiteral("no poll carried command %1:\n%2").arg(cmd.cmd).arg(all)));
    }
    for (const Poll &p : polls)
        QVERIFY2(p.cmd == CmdNone || p.cmd == CmdPickup || p.cmd == CmdOpen || p.cmd == CmdDrop, qPrintable(all));

    qint64 dropNs = 0;
    for (const TraceLine &t : c.trace().of(QStringLiteral("event"))) {
        if (t.field(QStringLiteral("name")) == QLatin1String("drop"))
            dropNs = t.ns;
    }
    QVERIFY(dropNs > 0);
    QList<Poll> idle;
    QList<Poll> afterDrop;
    for (const Poll &p : polls) {
        if (p.status != PollIdle)
            continue;
        QVERIFY2(p.cmd == CmdNone, qPrintable(all));
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
void checkDialplan(const E2ECase &c)
{
    const QList<Poll> polls = pollsOf(c.trace());
    const QString all = describe(polls);
    int opening = 0;
    for (const Poll &p : polls) {
        if (p.cmd == CmdNone)
            continue;
        ++opening;
        QVERIFY2(p.cmd == CmdOpenOnetime && p.unit == 5 && p.status == PollIdle && p.ns > c.sentAt(QStringLiteral("open 5")),
                 qPrintable(all));
    }
    QVERIFY2(opening > 0, qPrintable(all));
    const struct {
        int apartment;
        int status;
    } calls[] = {{125, PollBlacklisted}, {124, PollImitation}, {123, PollCall}};
    for (const auto &call : calls) {
        int seen = 0;
        for (int i = 1; i < polls.size(); ++i) {
            const Poll &before = polls.at(i - 1);
            if (before.answerStatus != LineCall || before.answerApt != call.apartment)
                continue;
            ++seen;
            QVERIFY2(polls.at(i).status == call.status && polls.at(i).cmd == CmdNone,
                     qPrintable(QStringLiteral("call to %1:\n%2").arg(call.apartment).arg(all)));
        }
        QVERIFY2(seen >= 2, qPrintable(QStringLiteral("call to %1 polled %2 times:\n%3")
                                           .arg(call.apartment).arg(seen).arg(all)));
    }
}

// The message leaves once, as it was given, and the polls come back after
// the answer, at the poll pace rather than the message pace.
void checkMessage(const E2ECase &c)
{
    const QList<TraceLine> messages = c.trace().of(QStringLiteral("rx-message"));
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).field(QStringLiteral("bytes")), QStringLiteral("fa0102"));

    const QList<Poll> polls = pollsOf(c.trace());
    QList<Poll> before;
    QList<Poll> after;
    for (const Poll &p : polls)
        (p.ns < messages.at(0).ns ? before : after) << p;
    QVERIFY2(before.size() >= 2 && after.size() >= 3, qPrintable(describe(polls)));
    for (int i = 0; i < after.size(); ++i) {
        QVERIFY2(after.at(i).status == PollIdle && after.at(i).cmd == CmdNone, qPrintable(describe(after)));
        if (i > 0)
            QVERIFY2(after.at(i).ns - after.at(i - 1).ns > 100000000, qPrintable(describe(after)));
    }
}

// The first six missing answers change nothing; from the sixth on the line
// is given up: the pending command is dropped and the polls go to the lost
// rotation. Answers from the idle shield bring back the idle rotation.
void checkSilentShield(const E2ECase &c)
{
    const QList<Poll> polls = pollsOf(c.trace());
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
        QVERIFY2(silent.at(i).unit == 3 && silent.at(i).status == PollCall, qPrintable(all));
        QVERIFY2(silent.at(i).cmd == CmdNone
                     || (silent.at(i).cmd == CmdPickup && silent.at(i).ns > c.sentAt(QStringLiteral("pickup"))),
                 qPrintable(all));
    }
    QVERIFY2(silent.at(5).cmd == CmdPickup, qPrintable(QStringLiteral("the pickup was not pending:\n") + all));
    const QList<Poll> lost = silent.mid(6);
    for (const Poll &p : lost)
        QVERIFY2(p.status == PollIdle && p.cmd == CmdNone, qPrintable(all));
    QVERIFY2(rotates(lost, 2), qPrintable(QStringLiteral("lost rotation:\n") + all));

    // Before the call: idle polls 2, 3, 4, ...; after the silence, one more
    // poll on the lost rotation (answered idle), then the idle rotation goes
    // on where it stopped.
    QList<Poll> idle;
    for (int i = 0; i < polls.size() && polls.at(i).status == PollIdle; ++i)
        idle << polls.at(i);
    QVERIFY2(!idle.isEmpty() && rotates(idle, 2), qPrintable(all));
    const QList<Poll> back = polls.mid(lastSilent + 1);
    QVERIFY2(back.size() >= 4, qPrintable(all));
    QVERIFY2(back.at(0).unit == nextUnit(lost.last().unit), qPrintable(all));
    const QList<Poll> resumed = back.mid(1);
    for (const Poll &p : resumed)
        QVERIFY2(p.answered && p.status == PollIdle && p.cmd == CmdNone, qPrintable(all));
    QVERIFY2(rotates(resumed, nextUnit(idle.last().unit)), qPrintable(QStringLiteral("idle rotation:\n") + all));
}

// No call is seen in the noise, polling goes on through it, and the real
// call afterwards is polled as a call.
void checkLineNoise(const E2ECase &c)
{
    const QList<Poll> polls = pollsOf(c.trace());
    const QString all = describe(polls);
    qint64 lastNoise = 0;
    qint64 callStep = 0;
    for (const TraceLine &t : c.trace().lines()) {
        if (t.kind.startsWith(QLatin1String("tx-")) && t.kind != QLatin1String("tx-answer"))
            lastNoise = t.ns;
        if (t.kind == QLatin1String("step") && t.field(QStringLiteral("text")).startsWith(QLatin1String("call ")))
            callStep = t.ns;
    }
    QVERIFY(lastNoise > 0 && callStep > lastNoise);
    int calls = 0;
    for (const Poll &p : polls) {
        QVERIFY2(p.cmd == CmdNone, qPrintable(all));
        if (p.ns < callStep)
            QVERIFY2(p.status == PollIdle, qPrintable(QStringLiteral("a call seen in the noise:\n") + all));
        else if (p.status == PollCall)
            calls += p.unit == 2;
    }
    QVERIFY2(calls >= 2, qPrintable(all));
}

// With standard input closed the shield is still polled through the whole
// call and after it.
void checkStdinClosed(const E2ECase &c)
{
    QVERIFY(c.stdinClosedAt() > 0);
    const QList<Poll> polls = pollsOf(c.trace());
    int after = 0;
    int conversation = 0;
    int idle = 0;
    for (const Poll &p : polls) {
        if (p.ns <= c.stdinClosedAt())
            continue;
        ++after;
        conversation += p.status == PollConversation;
        idle += p.status == PollIdle;
    }
    QVERIFY2(after >= 8 && conversation >= 4 && idle >= 2, qPrintable(describe(polls)));
}

// Every frame the simulator sent came back once, in order and intact, and
// the idle frame followed the last one.
void checkAudio(const E2ECase &c)
{
    QList<qint64> sent;
    for (const TraceLine &t : c.trace().of(QStringLiteral("audio-tx")))
        sent << t.number(QStringLiteral("seq"));
    QList<qint64> back;
    for (const TraceLine &t : c.trace().of(QStringLiteral("audio-rx")))
        back << t.number(QStringLiteral("seq"));
    QVERIFY2(!sent.isEmpty(), "no audio was sent");
    QCOMPARE(back, sent);
    QVERIFY2(c.trace().count(QStringLiteral("audio-rx-bad")) == 0, qPrintable(c.trace().tail(20)));
    const QList<TraceLine> lines = c.trace().lines();
    int lastFrame = -1;
    int lastIdle = -1;
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).kind == QLatin1String("audio-rx"))
            lastFrame = i;
        else if (lines.at(i).kind == QLatin1String("audio-rx-idle"))
            lastIdle = i;
    }
    QVERIFY2(lastIdle > lastFrame, "no idle frame came after the last one");
}

}

void E2EChecks::checkFrames(const E2ECase &c)
{
    for (const TraceLine &t : c.trace().of(QStringLiteral("rx-poll"))) {
        const QByteArray b = QByteArray::fromHex(t.field(QStringLiteral("bytes")).toLatin1());
        QVERIFY2(b.size() == frameSize && uint8_t(b[FieldDevice]) == pollDevice && uint8_t(b[3]) == pollMarker
                     && b.mid(FieldApartment, 4) == QByteArray(4, '\0'),
                 qPrintable(QStringLiteral("malformed poll %1").arg(QString::fromLatin1(b.toHex()))));
    }
    if (!c.checks().contains(QLatin1String("message"))) {
        QVERIFY2(c.trace().count(QStringLiteral("rx-message")) == 0,
                 qPrintable(QStringLiteral("the daemon wrote something other than polls") + c.report()));
    }
}

bool E2EChecks::run(const QString &name, const E2ECase &c)
{
    static const QHash<QString, void (*)(const E2ECase &)> checks{
        {QStringLiteral("whole-call"), checkWholeCall},
        {QStringLiteral("dialplan"), checkDialplan},
        {QStringLiteral("message"), checkMessage},
        {QStringLiteral("silent-shield"), checkSilentShield},
        {QStringLiteral("line-noise"), checkLineNoise},
        {QStringLiteral("stdin-closed"), checkStdinClosed},
        {QStringLiteral("audio"), checkAudio},
    };
    const auto check = checks.value(name);
    if (!check)
        return false;
    check(c);
    return true;
}
