#include "usartparser.h"

#include "shieldprotocol.h"
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
    using namespace ShieldProtocol;
    usartData->deviceCode = byteAt(FieldDevice);
    usartData->numBVD = byteAt(FieldUnit);
    usartData->status = byteAt(FieldStatus);
    const int a = FieldApartment;
    usartData->dial = uint16_t(byteAt(a) * 1000 + byteAt(a + 1) * 100 + byteAt(a + 2) * 10 + byteAt(a + 3));
    usartData->data = buffer;
}
