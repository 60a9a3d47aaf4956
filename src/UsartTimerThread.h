#ifndef USARTTIMERTHREAD_H
#define USARTTIMERTHREAD_H

#include "datatransmission.h"

#include <QByteArray>
#include <QObject>

class QSerialPort;
class QTimer;

// Owns the serial port to the shield. Packets put into writeBuffer go out one
// per tick; arriving bytes are gathered and queued in readBuffer as one packet
// each time the line falls silent for 10 ms, or once 4096 bytes have come
// without such a pause. Knows nothing of frames.
// Not a thread despite its name: it lives in the main thread's event loop.
class UsartTimerThread : public QObject
{
    Q_OBJECT
public:
    explicit UsartTimerThread(size_t ms);
    ~UsartTimerThread() override;

    DataTransmission writeBuffer;
    DataTransmission readBuffer;

    static const int rxIdleMs = 10;
    static const int maxPacketSize = 4096;

private slots:
    virtual void slotTimeOut();
    void rxIdle();
    void read();

private:
    QByteArray rxBuffer;
    QTimer *timerRxIdle;
    QTimer *timer;
    QSerialPort *serialPort;
};

#endif
