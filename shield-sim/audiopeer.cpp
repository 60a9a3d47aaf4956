#include "audiopeer.h"

#include "tracer.h"

#include <QHostAddress>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

static const int frameSize = 256;
static const quint16 toDaemon = 20003;
static const quint16 fromDaemon = 20002;
static const char magic[4] = {'D', 'E', 'M', 'O'};

// What the daemon sends while nobody sends it audio (looped back).
static const QByteArray idleFrame = [] {
    QByteArray f;
    for (int i = 0; i < frameSize / 2; ++i)
        f.append(char(0xFF)).append(char(0x7F));
    return f;
}();

AudioPeer::AudioPeer(QObject *parent)
    : QObject(parent)
    , out(new QUdpSocket(this))
    , in(new QUdpSocket(this))
    , sendTimer(new QTimer(this))
    , reportTimer(new QTimer(this))
{
    sendTimer->setTimerType(Qt::PreciseTimer);
    connect(sendTimer, &QTimer::timeout, this, &AudioPeer::send);
    connect(reportTimer, &QTimer::timeout, this, &AudioPeer::report);
    connect(in, &QUdpSocket::readyRead, this, &AudioPeer::receive);
}

bool AudioPeer::start(QString *error)
{
    if (!in->bind(QHostAddress::LocalHost, fromDaemon)) {
        *error = QStringLiteral("audio: cannot bind 127.0.0.1:%1 (%2)").arg(fromDaemon).arg(in->errorString());
        return false;
    }
    reportTimer->start(5000);
    return true;
}

QByteArray AudioPeer::frame(quint32 seq)
{
    QByteArray f(frameSize, Qt::Uninitialized);
    memcpy(f.data(), magic, 4);
    qToBigEndian<quint32>(seq, f.data() + 4);
    for (int i = 8; i < frameSize; ++i)
        f[i] = char((seq * 31 + quint32(i)) & 0xFF);
    return f;
}

qint64 AudioPeer::sequenceOf(const QByteArray &datagram)
{
    if (datagram.size() != frameSize || memcmp(datagram.constData(), magic, 4) != 0)
        return -1;
    const quint32 seq = qFromBigEndian<quint32>(datagram.constData() + 4);
    return datagram == frame(seq) ? qint64(seq) : -1;
}

void AudioPeer::send()
{
    // Keep the average pace at one frame per 16 ms even when a tick is late.
    const qint64 due = clock.elapsed() / 16 + 1;
    while (qint64(sent) < due)
        out->writeDatagram(frame(sent++), QHostAddress::LocalHost, toDaemon);
}

void AudioPeer::receive()
{
    // Sending starts with the daemon's first frame: before that nobody
    // listens on 20003 and frames would only be lost.
    if (!sendTimer->isActive()) {
        clock.start();
        sendTimer->start(16);
    }
    while (in->hasPendingDatagrams()) {
        QByteArray datagram(int(qMax<qint64>(in->pendingDatagramSize(), 0)), Qt::Uninitialized);
        in->readDatagram(datagram.data(), datagram.size());
        const qint64 seq = sequenceOf(datagram);
        if (seq >= 0 && !seen.contains(quint32(seq))) {
            seen.insert(quint32(seq));
            ++back;
        } else if (datagram != idleFrame) {
            ++broken;
        }
    }
}

void AudioPeer::report()
{
    Tracer::message(QStringLiteral("audio: %1 frames sent to the daemon, %2 came back intact, "
                                   "%3 unexpected").arg(sent).arg(back).arg(broken));
}
