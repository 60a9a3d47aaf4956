#include "sound.h"

#include "delaycontroller.h"

#include <QMutexLocker>
#include <cstring>

Sound::Sound()
    : queueTarget(DelayController::defaultTarget)
{
    dataFromShield.resize(frameSize);
    dataFromShield.fill(0);
    dataToShieldNull.resize(frameSize);
    for (int i = 0; i < frameSize; i += 2) {
        dataToShieldNull[i] = char(0xFF);
        dataToShieldNull[i + 1] = char(0x7F);
    }
}

void Sound::publishFromShield()
{
    QMutexLocker locker(&mutexFromShield);
    memcpy(fromShieldRing[fromShieldWritten % ringSlots], dataFromShield.constData(), frameSize);
    ++fromShieldWritten;
}

bool Sound::takeFromShield(QByteArray &frame)
{
    QMutexLocker locker(&mutexFromShield);
    if (fromShieldRead == fromShieldWritten)
        return false;
    if (fromShieldWritten - fromShieldRead > quint64(ringSlots)) {
        // The sender fell more than a ring behind: the oldest were overwritten.
        fromShieldLost += fromShieldWritten - fromShieldRead - ringSlots;
        fromShieldRead = fromShieldWritten - ringSlots;
    }
    if (frame.size() != frameSize)
        frame.resize(frameSize);
    memcpy(frame.data(), fromShieldRing[fromShieldRead % ringSlots], frameSize);
    ++fromShieldRead;
    return true;
}

quint64 Sound::framesFromShieldLost() const
{
    QMutexLocker locker(const_cast<QMutex *>(&mutexFromShield));
    return fromShieldLost;
}
