#ifndef SPI_H
#define SPI_H

#include <QByteArray>
#include <cstdint>

// One full-duplex exchange of an audio frame with the shield through the
// board library. Frames hold 16-bit words high byte first; the library gets
// the words in the processor's own order.
class SPI
{
public:
    SPI() = default;

    void data_transfer(const QByteArray *dataToShield, QByteArray *dataFromShield, uint16_t numb);

    static void byteArray_to_uint16(const uint8_t *dataIn, uint16_t *dataOut, uint16_t numb);
    static void uint16_to_byteArray(const uint16_t *datain, uint8_t *dataOut, uint16_t numb);

    static const int maxFrameSize = 256;
};

#endif
