#include "threadusarttransmitter.h"

#include "checkedconnect.h"
#include "UsartTimerThread.h"
#include "consolecommand.h"
#include "rooms.h"
#include "shieldprotocol.h"
#include "usartdata.h"
#include "usartparser.h"

#include <QTimer>
#include <cstdio>

using namespace ShieldProtocol;

ThreadUsartTransmitter::ThreadUsartTransmitter(uint32_t ms, UsartTimerThread *usart,
                                               UsartData *usartData, UsartParser *usartParser,
                                               Rooms *rooms, ConsoleCommand *consoleCommand)
    : QObject()
    , usart(usart)
    , usartData(usartData)
    , usartParser(usartParser)
    , rooms(rooms)
    , consoleCommand(consoleCommand)
{
    timerTimeoutReceptionMsg = new QTimer(this);
    timerTimeoutReceptionMsg->setTimerType(Qt::PreciseTimer);
    checkedConnect(timerTimeoutReceptionMsg, SIGNAL(timeout()), this, SLOT(slotTimeoutReceptionMsg()),
            Qt::DirectConnection);

    // Kept unarmed: a message packet is sent once, and the answer window ends
    // message mode when the shield stays silent.
    timerTimeoutResponseMsg = new QTimer(this);
    timerTimeoutResponseMsg->setTimerType(Qt::PreciseTimer);
    checkedConnect(timerTimeoutResponseMsg, SIGNAL(timeout()), this, SLOT(slotTimeoutResponseMsg()),
            Qt::DirectConnection);

    mainMode = true;
    massageMode = false;

    monotonic.start();
    clock = [this] { return monotonic.elapsed(); };

    timerMain = new QTimer(this);
    timerMain->setTimerType(Qt::PreciseTimer);
    checkedConnect(timerMain, SIGNAL(timeout()), this, SLOT(slotTimeOut()), Qt::DirectConnection);
    timerMain->start(int(ms));
}

void ThreadUsartTransmitter::slotTimeOut()
{
    if (cycleForSend)
        sendHalf();
    else
        receiveHalf();
    cycleForSend = !cycleForSend;
}

void ThreadUsartTransmitter::setClock(std::function<qint64()> msNow)
{
    clock = std::move(msNow);
}

void ThreadUsartTransmitter::sendHalf()
{
    QByteArray packet;
    pollSent = false;
    // After a message window the line state is polled before the next
    // message goes, so that messages cannot keep the polls away.
    if (pollOwed && usartData->queueBufferTx.detect_data()) {
        packet = usartData->queueBufferTx.get_data();
        pollSent = true;
    } else if (usartData->messageTx.detect_data()) {
        packet = usartData->messageTx.get_data();
        lastWriteMsg = packet;
        onMassageMode();
    } else if (usartData->queueBufferTx.detect_data()) {
        packet = usartData->queueBufferTx.get_data();
        pollSent = true;
    }
    pollOwed = false;
    usart->writeBuffer.set_data(packet);
    debugUsartWriteMassage(packet);
}

// Takes every packet that waits, so that a stray one never holds the answers
// back by an exchange.
void ThreadUsartTransmitter::receiveHalf()
{
    QList<QByteArray> packets;
    while (usart->readBuffer.detect_data())
        packets.append(usart->readBuffer.get_data());

    if (massageMode) {
        // The receive halves of message mode are no polls: silence, or an
        // answer that is no frame, does not mean the shield is lost, so only
        // a frame is looked at and nothing counts as a missed answer.
        for (QByteArray &packet : packets) {
            debugUsartReadMassage(packet);
            if (isCorrectMassage(packet)) {
                countAnswer(true);
                usartParser->parserNew(packet);
            }
            if (!packet.isEmpty()) {
                timerTimeoutResponseMsg->stop();
                consoleCommand->command_message(reinterpret_cast<const uint8_t *>(packet.constData()),
                                                packet.size());
                usartData->deviceCode = 0;
                timerTimeoutReceptionMsg->start(nextAnswerWindowMs);
            }
        }
        return;
    }

    // Each frame is decided on in the order the shield sent it; the poll
    // comes from the last decision.
    bool answered = false;
    for (QByteArray &packet : packets) {
        debugUsartReadMassage(packet);
        if (!isCorrectMassage(packet))
            continue;
        answered = true;
        usartParser->parserNew(packet);
        if (mainMode)
            switchMode();
    }
    if (!answered) {
        QByteArray none;
        if (packets.isEmpty())
            debugUsartReadMassage(none);
        // Nothing was asked when no poll went out.
        if (pollSent)
            countAnswer(false);
        if (mainMode)
            switchMode();
    } else {
        countAnswer(true);
    }
    if (mainMode)
        queuePoll();
}

bool ThreadUsartTransmitter::isCorrectMassage(const QByteArray &buffer)
{
    return !buffer.isEmpty() && uint8_t(buffer.front()) == frameStart && uint8_t(buffer.back()) == frameEnd;
}

// One verdict per receive half: an accepted frame among its packets is an answer.
void ThreadUsartTransmitter::countAnswer(bool answered)
{
    if (answered) {
        cntError = 0;
        return;
    }
    ++cntError;
    if (cntError > maxRejections) {
        usartData->status = 0;
        usartData->orangeCMD = CmdNone;
    }
}

int ThreadUsartTransmitter::nextInRotation(int counter)
{
    return counter > 3 ? 1 : counter + 1;
}

// Decides on the line state last reported. The pending command is read once:
// a command the console stores meanwhile is left for the next decision.
void ThreadUsartTransmitter::switchMode()
{
    UsartData *d = usartData;
    const uint16_t dial = d->dial.load();
    UsartData::Command seen = d->pendingCommand();
    if (seen.cmd == CmdOpenOnetime)
        seen = expireOpening(seen);
    seen = dropMisdirectedOpening(seen, dial);
    pollCommand = seen.cmd;
    pollRotation = nullptr;

    if (d->check_status(LineIdle)) {
        if (seen.cmd == CmdOpenOnetime) {
            if (d->check_status(LineDoorOpened)) {
                confirmOpen();
                clearCommand(seen, seen.door);
            } else {
                d->numBVD = seen.door;
            }
        } else {
            endCall();
            pollRotation = &forPingBVDIdle;
            clearCommand(seen, seen.door);
        }
        d->orangeStatus = PollIdle;
    } else if (d->check_status(LineCall)) {
        is_console_command_send_drop = false;
        d->orangeStatus = PollCall;
        if (rooms->isImitPhone(dial))
            d->orangeStatus = PollImitation;
        if (rooms->isBlockPhone(dial)) {
            d->orangeStatus = PollBlacklisted;
        } else {
            if (!is_console_command_send_dial)
                consoleCommand->command_dial(dial, d->numBVD.load());
            is_console_command_send_dial = true;
            if (seen.cmd == CmdOpen && d->check_status(LineDoorOpened)) {
                confirmOpen();
                clearCommand(seen, seen.door);
            }
        }
    } else if (d->check_status(LineConversation)) {
        d->orangeStatus = PollConversation;
        if (!is_console_command_send_pickup) {
            // Only the pickup is done; a drop or open given since goes on.
            if (seen.cmd == CmdPickup)
                clearCommand(seen, seen.door);
            consoleCommand->command_pickup();
            is_console_command_send_pickup = true;
        }
        if (seen.cmd == CmdOpen && d->check_status(LineDoorOpened)) {
            confirmOpen();
            clearCommand(seen, 0);
        }
    } else if (d->check_status(LineEnding)) {
        reportDrop();
    } else {
        endCall();
        pollRotation = &forPingBVDLost;
        clearCommand(seen, seen.door);
        d->orangeStatus = PollIdle;
    }
}

// A one-time opening that the door unit has not confirmed within the time
// allowed is given up, so that it neither holds the rotation nor rides the
// polls of a later call.
UsartData::Command ThreadUsartTransmitter::expireOpening(UsartData::Command seen)
{
    const qint64 now = clock();
    if (seen.word != openingWord) {
        openingWord = seen.word;
        openingSinceMs = now;
        return seen;
    }
    if (now - openingSinceMs < openingTimeoutMs)
        return seen;
    if (usartData->replaceCommand(seen, CmdNone, seen.door)) {
        fprintf(stderr, "serial: door unit %u did not confirm the opening within %d s; command dropped\n",
                unsigned(seen.door), openingTimeoutMs / 1000);
    }
    seen.cmd = CmdNone;
    return seen;
}

// A door command goes only where it was meant. A one-time opening is for the
// idle line: once a call is reported, the poll names the caller's unit, not
// the door asked for. An open during a call that the telephony side was never
// told of (to a blacklisted apartment) is meant for no call it knows.
UsartData::Command ThreadUsartTransmitter::dropMisdirectedOpening(UsartData::Command seen, uint16_t dial)
{
    UsartData *d = usartData;
    if (d->check_status(LineIdle) || !d->check_status(LineCall | LineConversation | LineEnding))
        return seen;
    if (seen.cmd == CmdOpenOnetime) {
        if (d->replaceCommand(seen, CmdNone, seen.door))
            fprintf(stderr, "serial: a call from door unit %u came before door unit %u confirmed the opening; "
                            "command dropped\n", unsigned(d->numBVD.load()), unsigned(seen.door));
    } else if (seen.cmd == CmdOpen && rooms->isBlockPhone(dial)) {
        if (d->replaceCommand(seen, CmdNone, seen.door))
            fprintf(stderr, "serial: open given during a call to blacklisted apartment %u, which was not "
                            "announced; command dropped\n", unsigned(dial));
    } else {
        return seen;
    }
    seen.cmd = CmdNone;
    return seen;
}

// The decision's poll goes without a command; a command stored since the
// decision looked stays pending.
void ThreadUsartTransmitter::clearCommand(const UsartData::Command &seen, uint8_t door)
{
    pollCommand = CmdNone;
    if (seen.cmd != CmdNone || seen.door != door)
        usartData->replaceCommand(seen, CmdNone, door);
}

void ThreadUsartTransmitter::queuePoll()
{
    UsartData *d = usartData;
    if (pollRotation) {
        *pollRotation = nextInRotation(*pollRotation);
        d->numBVD = uint8_t(*pollRotation);
    }
    d->write_cmd(d->numBVD.load(), d->orangeStatus.load(), pollCommand, 0);
}

// The door opening asked for was seen: one open event.
void ThreadUsartTransmitter::confirmOpen()
{
    if (!is_console_command_send_open)
        consoleCommand->command_open();
    is_console_command_send_open = true;
}

void ThreadUsartTransmitter::reportDrop()
{
    if (!is_console_command_send_drop)
        consoleCommand->command_drop();
    is_console_command_send_drop = true;
}

// The line is idle or lost: one drop event, and the next call is new.
void ThreadUsartTransmitter::endCall()
{
    reportDrop();
    is_console_command_send_dial = false;
    is_console_command_send_pickup = false;
    is_console_command_send_open = false;
}

void ThreadUsartTransmitter::onMassageMode()
{
    massageMode = true;
    timerMain->setInterval(messagePeriodMs);
    usartData->queueBufferTx.clear();
    timerTimeoutReceptionMsg->start(firstAnswerWindowMs);
}

void ThreadUsartTransmitter::onMainMode()
{
    timerTimeoutReceptionMsg->stop();
    if (massageMode) {
        // Message mode dropped the last poll: the next tick sends a fresh one,
        // and its answer is taken on the tick after.
        usartData->queueBufferTx.clear();
        switchMode();
        queuePoll();
        pollOwed = true;
        cycleForSend = true;
    }
    massageMode = false;
    mainMode = true;
    timerMain->setInterval(mainPeriodMs);
}

void ThreadUsartTransmitter::slotTimeoutReceptionMsg()
{
    onMainMode();
}

void ThreadUsartTransmitter::slotTimeoutResponseMsg()
{
    if (cntTry > 19) {
        onMainMode();
        cntTry = 0;
    }
    usartData->messageTx.set_data(lastWriteMsg);
    ++cntTry;
}

void ThreadUsartTransmitter::debugUsartWriteMassage(QByteArray &write)
{
    Q_UNUSED(write);
}

void ThreadUsartTransmitter::debugUsartReadMassage(QByteArray &write)
{
    Q_UNUSED(write);
}
