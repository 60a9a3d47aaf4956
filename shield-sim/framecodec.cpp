#include "framecodec.h"

#include "shieldprotocol.h"

#include <QRegularExpression>
#include <QStringList>

using namespace ShieldProtocol;

bool FrameCodec::isPoll(const QByteArray &packet)
{
    return packet.size() == frameSize && uint8_t(packet.at(0)) == frameStart
           && uint8_t(packet.at(frameSize - 1)) == frameEnd;
}

FrameCodec::Poll FrameCodec::decodePoll(const QByteArray &packet)
{
    Poll poll;
    if (packet.size() > FieldCommand) {
        poll.unit = uint8_t(packet.at(FieldUnit));
        poll.status = uint8_t(packet.at(FieldStatus));
        poll.cmd = uint8_t(packet.at(FieldCommand));
    }
    return poll;
}

QByteArray FrameCodec::encodeAnswer(uint8_t unit, uint8_t status, uint16_t apartment)
{
    QByteArray frame(frameSize, '\0');
    frame[0] = char(frameStart);
    frame[FieldDevice] = char(shieldDevice);
    frame[FieldUnit] = char(unit);
    frame[FieldStatus] = char(status);
    unsigned rest = apartment % 10000;
    for (int i = FieldApartment + 3; i >= FieldApartment; --i) {
        frame[i] = char(rest % 10);
        rest /= 10;
    }
    frame[frameSize - 1] = char(frameEnd);
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
