#include "spi.h"

#include "lib/libvelk-board-lorentak.h"

void SPI::data_transfer(const QByteArray *dataToShield, QByteArray *dataFromShield, uint16_t numb)
{
    // Word buffers on the stack: an exchange allocates nothing. The receive
    // buffer starts zeroed, so a transfer that the library fails sends
    // silence on, not whatever the stack held.
    uint16_t dataTrnToShieldUint[maxFrameSize / 2];
    uint16_t dataTrnFromShieldUint[maxFrameSize / 2] = {};
    if (numb > maxFrameSize || dataToShield->size() < numb || dataFromShield->size() < numb)
        return;

    byteArray_to_uint16(reinterpret_cast<const uint8_t *>(dataToShield->constData()),
                        dataTrnToShieldUint, numb / 2);
    board_spi_set_cs(0);
    board_spi_transfer(reinterpret_cast<uint8_t *>(dataTrnToShieldUint),
                       reinterpret_cast<uint8_t *>(dataTrnFromShieldUint), numb);
    board_spi_set_cs(1);
    uint16_to_byteArray(dataTrnFromShieldUint, reinterpret_cast<uint8_t *>(dataFromShield->data()),
                        numb / 2);
}

void SPI::byteArray_to_uint16(const uint8_t *dataIn, uint16_t *dataOut, uint16_t numb)
{
    for (int i = 0; i < numb; ++i)
        dataOut[i] = uint16_t(dataIn[2 * i] * 256 + dataIn[2 * i + 1]);
}

void SPI::uint16_to_byteArray(const uint16_t *datain, uint8_t *dataOut, uint16_t numb)
{
    for (int i = 0; i < numb; ++i) {
        dataOut[2 * i] = uint8_t(datain[i] >> 8);
        dataOut[2 * i + 1] = uint8_t(datain[i] & 0xFF);
    }
}
