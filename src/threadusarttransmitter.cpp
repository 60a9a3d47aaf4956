#include "threadusarttransmitter.h"

#include "checkedconnect.h"
#include "UsartTimerThread.h"
#include "consolecommand.h"
#include "rooms.h"
#include "usartdata.h"
#include "usartparser.h"

#include <QTimer>

enum LineBit : uint8_t {
    LineIdle = 0x01,
    LineCall = 0x02,
    LineConversation = 0x08,
    LineEnding = 0x10,
    LineDoorOpened = 0x20,
};

enum PollStatus : uint8_t {
    PollIdle = 1,
    PollCall = 2,
    PollConversation = 4,
    PollImitation = 0x40,
    PollBlacklisted = 0x60,
};

enum Command : uint8_t {
    CmdNone = 0,
    CmdOpen = 4,
    CmdOpenOnetime = 0x10,
};

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

void ThreadUsartTransmitter::sendHalf()
{
    QByteArray packet;
    if (usartData->messageTx.detect_data()) {
        packet = usartData->messageTx.get_data();
        lastWriteMsg = packet;
        onMassageMode();
    } else if (usartData->queueBufferTx.detect_data()) {
        packet = usartData->queueBufferTx.get_data();
    }
    usart->writeBuffer.set_data(packet);
    debugUsartWriteMassage(packet);
}

void ThreadUsartTransmitter::receiveHalf()
{
    QByteArray packet;
    if (usart->readBuffer.detect_data())
        packet = usart->readBuffer.get_data();
    debugUsartReadMassage(packet);

    if (massageMode) {
        // The receive halves of message mode are no polls: silence, or an
        // answer that is no frame, does not mean the shield is lost, so only
        // a frame is looked at and nothing counts as a missed answer.
        if (isFrame(packet) && isCorrectMassage(packet))
            usartParser->parserNew(packet);
        if (!packet.isEmpty()) {
            timerTimeoutResponseMsg->stop();
            consoleCommand->command_message(reinterpret_cast<const uint8_t *>(packet.constData()),
                                            packet.size());
            usartData->deviceCode = 0;
            timerTimeoutReceptionMsg->start(nextAnswerWindowMs);
        }
        return;
    }

    if (isCorrectMassage(packet))
        usartParser->parserNew(packet);
    if (mainMode)
        switchMode();
}

bool ThreadUsartTransmitter::isFrame(const QByteArray &buffer)
{
    return !buffer.isEmpty() && uint8_t(buffer.front()) == 0xFA && uint8_t(buffer.back()) == 0xF5;
}

bool ThreadUsartTransmitter::isCorrectMassage(QByteArray &buffer)
{
    if (isFrame(buffer)) {
        cntError = 0;
        return true;
    }
    ++cntError;
    if (cntError > maxRejections) {
        usartData->status = 0;
        usartData->orangeCMD = CmdNone;
    }
    return false;
}

int ThreadUsartTransmitter::nextInRotation(int counter)
{
    return counter > 3 ? 1 : counter + 1;
}

void ThreadUsartTransmitter::switchMode()
{
    UsartData *d = usartData;
    const uint16_t dial = d->dial.load();

    if (d->check_status(LineIdle)) {
        if (d->orangeCMD.load(std::memory_order_acquire) == CmdOpenOnetime) {
            if (d->check_status(LineDoorOpened)) {
                confirmOpen();
            } else {
                d->numBVD = d->openDoor.load(std::memory_order_acquire);
            }
        } else {
            endCall();
            forPingBVDIdle = nextInRotation(forPingBVDIdle);
            d->numBVD = uint8_t(forPingBVDIdle);
            d->orangeCMD = CmdNone;
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
            if (d->orangeCMD.load() == CmdOpen && d->check_status(LineDoorOpened))
                confirmOpen();
        }
    } else if (d->check_status(LineConversation)) {
        d->orangeStatus = PollConversation;
        if (!is_console_command_send_pickup) {
            d->orangeCMD = CmdNone;
            consoleCommand->command_pickup();
            is_console_command_send_pickup = true;
        }
        if (d->orangeCMD.load() == CmdOpen && d->check_status(LineDoorOpened)) {
            confirmOpen();
            d->openDoor = 0;
        }
    } else if (d->check_status(LineEnding)) {
        reportDrop();
    } else {
        endCall();
        forPingBVDLost = nextInRotation(forPingBVDLost);
        d->numBVD = uint8_t(forPingBVDLost);
        d->orangeCMD = CmdNone;
        d->orangeStatus = PollIdle;
    }

    d->write_cmd(d->numBVD.load(), d->orangeStatus.load(), d->orangeCMD.load(), 0);
}

// The door opening asked for was seen: one open event, the command is done.
void ThreadUsartTransmitter::confirmOpen()
{
    if (!is_console_command_send_open)
        consoleCommand->command_open();
    is_console_command_send_open = true;
    usartData->orangeCMD = CmdNone;
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
