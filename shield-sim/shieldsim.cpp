#include "shieldsim.h"

#include "framecodec.h"
#include "ptyport.h"
#include "tracer.h"

#include <QTimer>

static QString hex2(unsigned value)
{
    return QStringLiteral("0x%1").arg(value, 2, 16, QLatin1Char('0'));
}

static QString compactHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

ShieldSim::ShieldSim(PtyPort *port, Tracer *tracer, int replyDelayMs, QObject *parent)
    : QObject(parent), port(port), tracer(tracer), replyDelayMs(replyDelayMs)
{
    connect(port, &PtyPort::packetReceived, this, &ShieldSim::onPacket);
}

void ShieldSim::setMessageAnswer(const QString &mode, const QByteArray &bytes)
{
    answerMode = mode;
    answerBytes = bytes;
}

void ShieldSim::inject(const QByteArray &bytes, const QString &what)
{
    send(bytes, QStringLiteral("-> %1 %2").arg(what, FrameCodec::toHex(bytes)), QStringLiteral("tx-") + what,
         {{QStringLiteral("len"), QString::number(bytes.size())}});
}

void ShieldSim::onPacket(const QByteArray &packet, int64_t firstNs, int64_t lastNs)
{
    const Tracer::Fields times{{QStringLiteral("first"), QString::number(firstNs)},
                               {QStringLiteral("last"), QString::number(lastNs)}};
    if (FrameCodec::isPoll(packet)) {
        const FrameCodec::Poll poll = FrameCodec::decodePoll(packet);
        tracer->event(QStringLiteral("<- poll unit %1 status %2 cmd %3")
                          .arg(poll.unit).arg(hex2(poll.status)).arg(poll.cmd, 0, 16),
                      QStringLiteral("rx-poll"),
                      Tracer::Fields{{QStringLiteral("unit"), QString::number(poll.unit)},
                                     {QStringLiteral("status"), hex2(poll.status)},
                                     {QStringLiteral("cmd"), hex2(poll.cmd)},
                                     {QStringLiteral("bytes"), compactHex(packet)}}
                          + times);
        later(packet, &ShieldSim::answerPoll);
    } else {
        tracer->event(QStringLiteral("<- message %1").arg(FrameCodec::toHex(packet)), QStringLiteral("rx-message"),
                      Tracer::Fields{{QStringLiteral("len"), QString::number(packet.size())},
                                     {QStringLiteral("bytes"), compactHex(packet)}}
                          + times);
        later(packet, &ShieldSim::answerMessage);
    }
}

void ShieldSim::later(const QByteArray &packet, void (ShieldSim::*handler)(const QByteArray &))
{
    if (replyDelayMs <= 0) {
        (this->*handler)(packet);
        return;
    }
    QTimer::singleShot(replyDelayMs, Qt::PreciseTimer, this, [this, packet, handler] {
        (this->*handler)(packet);
    });
}

void ShieldSim::answerPoll(const QByteArray &packet)
{
    const FrameCodec::Poll poll = FrameCodec::decodePoll(packet);
    const ShieldModel::Answer answer = line.answerPoll(poll.unit, poll.cmd);
    if (answer.silent) {
        tracer->event(QStringLiteral("-> nothing (silence)"), QStringLiteral("no-answer"),
                      {{QStringLiteral("reason"), QStringLiteral("silence")}});
    } else {
        send(FrameCodec::encodeAnswer(answer.unit, answer.status, answer.apartment),
             QStringLiteral("-> unit %1 status %2 apt %3").arg(answer.unit).arg(hex2(answer.status)).arg(answer.apartment),
             QStringLiteral("tx-answer"),
             {{QStringLiteral("unit"), QString::number(answer.unit)},
              {QStringLiteral("status"), hex2(answer.status)},
              {QStringLiteral("apt"), QString::number(answer.apartment)}});
    }
    for (ShieldModel::Event event : answer.events) {
        const QString name = ShieldModel::eventName(event);
        tracer->event(QStringLiteral("line: %1").arg(name), QStringLiteral("event"), {{QStringLiteral("name"), name}});
        emit lineEvent(event);
    }
    emit pollHandled(poll.cmd, !answer.silent);
}

void ShieldSim::answerMessage(const QByteArray &packet)
{
    if (answerMode == QLatin1String("none"))
        return;
    const QByteArray reply = answerMode == QLatin1String("echo") ? packet : answerBytes;
    send(reply, QStringLiteral("-> message %1").arg(FrameCodec::toHex(reply)), QStringLiteral("tx-message"),
         {{QStringLiteral("len"), QString::number(reply.size())}});
}

// Stamped just before the write, so the time never lies after the moment
// the daemon could read the bytes.
void ShieldSim::send(const QByteArray &bytes, const QString &human, const QString &kind, Tracer::Fields fields)
{
    const int64_t ns = Tracer::now();
    const int written = port->write(bytes);
    fields.append({QStringLiteral("bytes"), compactHex(bytes)});
    if (written < bytes.size())
        fields.append({QStringLiteral("short"), QString::number(written)});
    tracer->event(ns, human, kind, fields);
    if (written < bytes.size())
        tracer->event(QStringLiteral("pty full: only %1 of %2 bytes written").arg(written).arg(bytes.size()),
                      QString());
}
