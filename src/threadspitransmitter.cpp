#include "threadspitransmitter.h"

#include "sound.h"
#include "spi.h"

ThreadSpiTransmitter::ThreadSpiTransmitter(uint32_t ms, SPI *spi, Sound *sound)
    : TimerThread(ms)
    , spi(spi)
    , sound(sound)
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
    emit data_update();
}
