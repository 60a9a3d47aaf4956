#include "framecodec.h"

#include <QRegularExpression>
#include <QStringList>

bool FrameCodec::isPoll(const QByteArray &packet)
{
    return packet.size() == frameSize && uint8_t(packet.at(0)) == startByte
           && uint8_t(packet.at(frameSize - 1)) == endByte;
}

FrameCodec::Poll FrameCodec::decodePoll(const QByteArray &packet)
{
    Poll poll;
    if (packet.size() >= 6) {
        poll.unit = uint8_t(packet.at(2));
        poll.status = uint8_t(packet.at(4));
        poll.cmd = uint8_t(packet.at(5));
    }
    return poll;
}

QByteArray FrameCodec::encodeAnswer(uint8_t unit, uint8_t status, uint16_t apartment)
{
    QByteArray frame(frameSize, '\0');
    frame[0] = char(startByte);
    frame[1] = char(deviceCode);
    frame[2] = char(unit);
    frame[4] = char(status);
    unsigned rest = apartment % 10000;
    for (int i = 9; i >= 6; --i) {
        frame[i] = char(rest % 10);
        rest /= 10;
    }
    frame[10] = char(endByte);
    return frame;
}

QString FrameCodec::toHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

bool FrameCodec::fromHex(const QString &text, QByteArray *bytes)
{
    static const QRegularExpression hexRun(QStringLiteral("^([0-9A-Fa-f]{2})+$"));
    QByteArray out;
    const QStringList runs = text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    for (const QString &run : runs) {
        if (!hexRun.match(run).hasMatch())
            return false;
        out += QByteArray::fromHex(run.toLatin1());
    }
    *bytes = out;
    return true;
}
