#ifndef THREADSPITRANSMITTER_H
#define THREADSPITRANSMITTER_H

#include "delaycontroller.h"
#include "timerthread.h"

class SPI;
class Sound;

// The SPI thread: every tick sends the oldest queued audio frame (or the idle
// frame) to the shield, receives one, and announces it with data_update().
// Frames that stand in the queue beyond the jitter are trimmed
// (DelayController).
class ThreadSpiTransmitter : public TimerThread
{
    Q_OBJECT
public:
    ThreadSpiTransmitter(uint32_t ms, SPI *spi, Sound *sound);

signals:
    void data_update();

private slots:
    void slotTimeOut() override;

private:
    SPI *spi;
    Sound *sound;
    DelayController delayController;
    quint64 arrivalDropsSeen = 0;
};

#endif
