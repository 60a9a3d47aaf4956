#ifndef SOUND_H
#define SOUND_H

#include "consolevocabulary.h"
#include "datatransmission.h"

#include <QByteArray>
#include <QMutex>
#include <atomic>
#include <cstdint>

// The audio paths shared by the SPI thread and the UDP side.
class Sound
{
public:
    Sound();

    static const int frameSize = int(ConsoleVocabulary::audioFrameBytes);

    DataTransmission dataToShieldBuffer;  // frames for the shield, oldest first
    QByteArray dataToShieldNull;          // idle frame: every word 0xFF7F
    QByteArray dataFromShield;            // frame of the latest exchange (SPI thread only)

    // Frames that may stand in dataToShieldBuffer (DelayController); set
    // before the threads start. 16, the receiver's bound, keeps every frame.
    int queueTarget;
    // Frames for the shield dropped to keep the delay low: trimmed by the SPI
    // thread, dropped on arrival by the UDP receiver. Each side reads the
    // other's count; the main thread reports both.
    std::atomic<quint64> framesTrimmed{0};
    std::atomic<quint64> framesDroppedOnArrival{0};

    // Hand-over of received frames from the SPI thread to the UDP sender.
    // Each exchange publishes its frame; the sender takes them one by one, in
    // order, so every datagram carries the bytes of exactly one exchange.
    void publishFromShield();                 // SPI thread, after an exchange
    bool takeFromShield(QByteArray &frame);   // main thread; false when none is new
    quint64 framesFromShieldLost() const;

private:
    static const int ringSlots = 16;  // 256 ms of slack for a busy main thread
    QMutex mutexFromShield;
    uint8_t fromShieldRing[ringSlots][frameSize];
    quint64 fromShieldWritten = 0;
    quint64 fromShieldRead = 0;
    quint64 fromShieldLost = 0;

    Q_DISABLE_COPY(Sound)
};

#endif
