#ifndef THREADUSARTTRANSMITTER_H
#define THREADUSARTTRANSMITTER_H

#include <QByteArray>
#include <QObject>
#include <cstdint>

class ConsoleCommand;
class QTimer;
class Rooms;
class UsartData;
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

private slots:
    virtual void slotTimeOut();
    virtual void slotTimeoutResponseMsg();
    virtual void slotTimeoutReceptionMsg();

private:
    void sendHalf();
    void receiveHalf();
    void switchMode();
    void confirmOpen();
    void reportDrop();
    void endCall();
    bool isCorrectMassage(QByteArray &buffer);
    void onMassageMode();
    void onMainMode();
    void debugUsartWriteMassage(QByteArray &write);
    void debugUsartReadMassage(QByteArray &write);
    static int nextInRotation(int counter);
    static bool isFrame(const QByteArray &buffer);

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

    // Memory of the exchange between ticks (one state machine per process).
    bool cycleForSend = true;
    int cntError = 0;
    int cntTry = 0;
    bool is_console_command_send_dial = false;
    bool is_console_command_send_pickup = false;
    bool is_console_command_send_open = false;
    bool is_console_command_send_drop = true;  // no drop event at start-up
    int forPingBVDIdle = 1;
    int forPingBVDLost = 1;
};

#endif
