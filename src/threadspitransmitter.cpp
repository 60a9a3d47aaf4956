#include "threadspitransmitter.h"

#include "sound.h"
#include "spi.h"

ThreadSpiTransmitter::ThreadSpiTransmitter(uint32_t ms, SPI *spi, Sound *sound)
    : TimerThread(ms)
    , spi(spi)
    , sound(sound)
    , delayController(sound->queueTarget)
{
}

void ThreadSpiTransmitter::slotTimeOut()
{
    const QByteArray *toShield = &sound->dataToShieldNull;
    if (sound->dataToShieldBuffer.detect_data()) {
        sound->dataToShieldBuffer.get_data();
        toShield = &sound->dataToShieldBuffer.dataForRead;
    }
    spi->data_transfer(toShield, &sound->dataFromShield, Sound::frameSize);
    sound->publishFromShield();

    const quint64 arrivalDrops = sound->framesDroppedOnArrival.load(std::memory_order_relaxed);
    if (arrivalDrops != arrivalDropsSeen) {
        arrivalDropsSeen = arrivalDrops;
        delayController.standing();
    }
    if (delayController.tick(sound->dataToShieldBuffer.size()) && sound->dataToShieldBuffer.drop_head())
        sound->framesTrimmed.fetch_add(1, std::memory_order_relaxed);

    emit data_update();
}
