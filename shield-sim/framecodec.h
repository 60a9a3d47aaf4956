#ifndef FRAMECODEC_H
#define FRAMECODEC_H

#include <QByteArray>
#include <QString>
#include <cstdint>

// The 11-byte frame both sides use (see shieldprotocol.h). Pure functions,
// no state.
class FrameCodec
{
public:
    struct Poll {
        uint8_t unit = 0;
        uint8_t status = 0;
        uint8_t cmd = 0;
    };

    // A packet is a poll when it is exactly one frame long with both markers;
    // everything else the daemon sends is a message packet.
    static bool isPoll(const QByteArray &packet);
    static Poll decodePoll(const QByteArray &packet);

    // FA 01 unit 00 status 00 d1000 d100 d10 d1 F5; the apartment is taken
    // modulo 10000, one decimal digit per byte.
    static QByteArray encodeAnswer(uint8_t unit, uint8_t status, uint16_t apartment);

    // "fa 01 02": lower case, bytes separated by one space.
    static QString toHex(const QByteArray &bytes);
    // Reads whitespace-separated runs of hex digit pairs ("fa 01", "fa01");
    // false on an odd run or a non-hex character.
    static bool fromHex(const QString &text, QByteArray *bytes);
};

#endif
