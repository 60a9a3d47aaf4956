#include "logwatch.h"

#include "consolevocabulary.h"
#include "framecodec.h"
#include "shieldprotocol.h"

#include <QRegularExpression>
#include <QUdpSocket>
#include <cstdio>

using namespace ShieldProtocol;

static const quint16 logPort = ConsoleVocabulary::logPort;

LogWatch::LogWatch(QObject *parent)
    : QObject(parent), socket(new QUdpSocket(this))
{
    connect(socket, &QUdpSocket::readyRead, this, &LogWatch::receive);
}

bool LogWatch::listen(QString *error)
{
    if (socket->bind(QHostAddress::LocalHost, logPort))
        return true;
    *error = QStringLiteral("cannot bind 127.0.0.1:%1 (%2)").arg(logPort).arg(socket->errorString());
    return false;
}

static QString hex2(uint8_t value)
{
    return QStringLiteral("0x%1").arg(value, 2, 16, QLatin1Char('0'));
}

QString LogWatch::pollStatusName(uint8_t status)
{
    switch (status) {
    case PollIdle: return QStringLiteral("idle");
    case PollCall: return QStringLiteral("call");
    case PollConversation: return QStringLiteral("conversation");
    case PollImitation: return QStringLiteral("imitation");
    case PollBlacklisted: return QStringLiteral("blacklisted");
    }
    return hex2(status);
}

QString LogWatch::commandName(uint8_t cmd)
{
    switch (cmd) {
    case CmdNone: return QStringLiteral("none");
    case CmdDrop: return QStringLiteral("drop");
    case CmdOpen: return QStringLiteral("open");
    case CmdPickup: return QStringLiteral("pickup");
    case CmdOpenOnetime: return QStringLiteral("open-once");
    }
    return hex2(cmd);
}

QString LogWatch::lineStateName(uint8_t status)
{
    static const struct {
        uint8_t bit;
        const char *name;
    } bits[] = {{LineIdle, "idle"}, {LineCall, "call"}, {LineConversation, "conversation"},
                {LineEnding, "ending"}, {LineDoorOpened, "door-opened"}};
    QStringList names;
    uint8_t rest = status;
    for (const auto &b : bits) {
        if (status & b.bit)
            names << QLatin1String(b.name);
        rest &= uint8_t(~b.bit);
    }
    if (rest)
        names << hex2(rest);
    return names.isEmpty() ? QStringLiteral("none") : names.join(QLatin1Char('+'));
}

QStringList LogWatch::decode(const QByteArray &datagram)
{
    // "[Debug][hh:mm:ss.zzz] [source]: text\r\n"
    static const QRegularExpression line(
        QStringLiteral("^\\[(\\w+)\\](?:\\[([^\\]]*)\\])? \\[([^\\]]*)\\]: (.*?)\\r?\\n?$"),
        QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = line.match(QString::fromUtf8(datagram));
    if (!m.hasMatch())
        return {QStringLiteral("log %1").arg(QString::fromUtf8(datagram).trimmed())};
    const QString time = m.captured(2);
    const QString source = m.captured(3);
    const QString text = m.captured(4);
    const QString at = time.isEmpty() ? QString() : time + QLatin1Char(' ');

    if (source == QLatin1String("Uart READ")) {
        fromShield += QByteArray::fromHex(text.toLatin1());
        return takeFrames(at, false);
    }
    if (source != QLatin1String("Uart WRITE"))
        return {at + QStringLiteral("log %1: %2").arg(source, text)};

    // A poll ends whatever the shield said before it.
    QStringList out = takeFrames(at, true);
    const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
    if (bytes.isEmpty())
        return out;
    if (FrameCodec::isPoll(bytes) && uint8_t(bytes.at(FieldDevice)) == pollDevice) {
        const FrameCodec::Poll poll = FrameCodec::decodePoll(bytes);
        out << at + QStringLiteral("poll door %1 status %2 command %3")
                        .arg(poll.unit).arg(pollStatusName(poll.status), commandName(poll.cmd));
    } else {
        out << at + QStringLiteral("message %1").arg(FrameCodec::toHex(bytes));
    }
    return out;
}

// Whole frames from the shield become answers; bytes that cannot start or
// finish a frame are noise. A piece of a frame waits for the rest, unless
// `flush` says that no more of it will come.
QStringList LogWatch::takeFrames(const QString &at, bool flush)
{
    QStringList out;
    QByteArray noise;
    auto noiseLine = [&] {
        if (!noise.isEmpty())
            out << at + QStringLiteral("noise %1").arg(FrameCodec::toHex(noise));
        noise.clear();
    };
    while (!fromShield.isEmpty()) {
        const int start = fromShield.indexOf(char(frameStart));
        if (start != 0) {
            const int n = start < 0 ? fromShield.size() : start;
            noise += fromShield.left(n);
            fromShield.remove(0, n);
            continue;
        }
        if (fromShield.size() < frameSize) {
            if (!flush)
                break;
            noise += fromShield;
            fromShield.clear();
            break;
        }
        if (uint8_t(fromShield.at(frameSize - 1)) != frameEnd) {
            noise += fromShield.left(1);
            fromShield.remove(0, 1);
            continue;
        }
        noiseLine();
        const QByteArray frame = fromShield.left(frameSize);
        fromShield.remove(0, frameSize);
        int apartment = 0;
        for (int i = 0; i < 4; ++i)
            apartment = apartment * 10 + uint8_t(frame.at(FieldApartment + i));
        out << at + QStringLiteral("answer door %1 status %2 apartment %3")
                        .arg(uint8_t(frame.at(FieldUnit)))
                        .arg(lineStateName(uint8_t(frame.at(FieldStatus))))
                        .arg(apartment);
    }
    noiseLine();
    return out;
}

void LogWatch::receive()
{
    while (socket->hasPendingDatagrams()) {
        QByteArray datagram(int(qMax<qint64>(socket->pendingDatagramSize(), 0)), Qt::Uninitialized);
        socket->readDatagram(datagram.data(), datagram.size());
        for (const QString &line : decode(datagram)) {
            const QByteArray text = line.toUtf8() + '\n';
            fwrite(text.constData(), 1, size_t(text.size()), stdout);
        }
        fflush(stdout);
    }
}
