#include "usartparser.h"

#include "usartdata.h"

UsartParser::UsartParser(ConsoleCommand *consoleCommand, UsartData *usartData, Rooms *rooms)
    : consoleCommand(consoleCommand)
    , usartData(usartData)
    , rooms(rooms)
{
}

void UsartParser::parserNew(QByteArray &buffer)
{
    // A short packet is accepted on its markers alone; missing fields read as 0.
    auto byteAt = [&buffer](int i) -> uint8_t {
        return i < buffer.size() ? uint8_t(buffer.at(i)) : 0;
    };
    usartData->deviceCode = byteAt(1);
    usartData->numBVD = byteAt(2);
    usartData->status = byteAt(4);
    usartData->dial = uint16_t(byteAt(6) * 1000 + byteAt(7) * 100 + byteAt(8) * 10 + byteAt(9));
    usartData->data = buffer;
}
