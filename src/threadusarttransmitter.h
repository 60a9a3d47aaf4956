#ifndef THREADUSARTTRANSMITTER_H
#define THREADUSARTTRANSMITTER_H

#include "usartdata.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <cstdint>
#include <functional>

class ConsoleCommand;
class QTimer;
class Rooms;
class UsartParser;
class UsartTimerThread;

// Drives the exchange with the shield. Ticks alternate between a send half,
// which hands the next poll (or raw message) to the serial worker, and a
// receive half, which validates and parses the answer and decides the line
// events and the next poll. Message mode passes raw packets through instead.
class ThreadUsartTransmitter : public QObject
{
    Q_OBJECT
public:
    ThreadUsartTransmitter(uint32_t ms, UsartTimerThread *usart, UsartData *usartData,
                           UsartParser *usartParser, Rooms *rooms, ConsoleCommand *consoleCommand);

    static const int mainPeriodMs = 200;
    static const int messagePeriodMs = 5;
    static const int firstAnswerWindowMs = 500;
    static const int nextAnswerWindowMs = 700;
    static const int maxRejections = 5;
    static const int openingTimeoutMs = 10000;

    // Milliseconds from any fixed start; a monotonic clock unless replaced.
    void setClock(std::function<qint64()> msNow);

private slots:
    virtual void slotTimeOut();
    virtual void slotTimeoutResponseMsg();
    virtual void slotTimeoutReceptionMsg();

private:
    void sendHalf();
    void receiveHalf();
    void switchMode();
    UsartData::Command expireOpening(UsartData::Command seen);
    UsartData::Command dropMisdirectedOpening(UsartData::Command seen, uint16_t dial);
    void clearCommand(const UsartData::Command &seen, uint8_t door);
    void queuePoll();
    void confirmOpen();
    void reportDrop();
    void endCall();
    static bool isCorrectMassage(const QByteArray &buffer);
    void countAnswer(bool answered);
    void onMassageMode();
    void onMainMode();
    void debugUsartWriteMassage(QByteArray &write);
    void debugUsartReadMassage(QByteArray &write);
    static int nextInRotation(int counter);

    UsartTimerThread *usart;
    UsartData *usartData;
    UsartParser *usartParser;
    Rooms *rooms;
    ConsoleCommand *consoleCommand;
    QTimer *timerMain;
    QTimer *timerTimeoutResponseMsg;
    QTimer *timerTimeoutReceptionMsg;
    QByteArray lastWriteMsg;
    bool mainMode;
    bool massageMode;

    // Memory of the exchange between ticks.
    bool cycleForSend = true;
    int cntError = 0;
    int cntTry = 0;
    bool is_console_command_send_dial = false;
    bool is_console_command_send_pickup = false;
    bool is_console_command_send_open = false;
    bool is_console_command_send_drop = true;  // no drop event at start-up
    int forPingBVDIdle = 1;
    int forPingBVDLost = 1;

    // The decision's poll: its command, and the rotation (if any) that
    // chooses its call unit. Only the last decision of a receive half is sent.
    uint8_t pollCommand = 0;
    int *pollRotation = nullptr;
    bool pollOwed = false;  // message mode has ended: the next send half polls
    bool pollSent = false;  // the last send half carried a poll

    // The one-time opening being waited for, and since when.
    uint32_t openingWord = 0;
    qint64 openingSinceMs = 0;
    QElapsedTimer monotonic;
    std::function<qint64()> clock;
};

#endif
