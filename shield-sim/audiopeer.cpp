#include "audiopeer.h"

#include "consolevocabulary.h"
#include "tracer.h"

#include <QHostAddress>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>
#include <cmath>
#include <cstring>

static const int frameSize = int(ConsoleVocabulary::audioFrameBytes);
static const quint16 toDaemon = ConsoleVocabulary::audioToDaemonPort;
static const quint16 fromDaemon = ConsoleVocabulary::audioFromDaemonPort;
static const char magic[4] = {'T', 'M', 'X', 'A'};
// Frames a scenario keeps on their way: below the daemon's standing-queue
// target, so a slow moment of either process never costs a frame.
static const int scenarioWindow = 3;

// What the daemon sends while nobody sends it audio (looped back).
static const QByteArray idleFrame = QByteArray::fromHex(QByteArray("ff7f").repeated(frameSize / 2));

AudioPeer::AudioPeer(Tracer *tracer, QObject *parent)
    : QObject(parent)
    , tracer(tracer)
    , out(new QUdpSocket(this))
    , in(new QUdpSocket(this))
    , sendTimer(new QTimer(this))
    , reportTimer(new QTimer(this))
{
    sendTimer->setTimerType(Qt::PreciseTimer);
    sendTimer->setSingleShot(true);
    connect(sendTimer, &QTimer::timeout, this, &AudioPeer::tick);
    connect(reportTimer, &QTimer::timeout, this, &AudioPeer::report);
    connect(in, &QUdpSocket::readyRead, this, &AudioPeer::receive);
}

bool AudioPeer::listen(QString *error)
{
    if (in->state() == QAbstractSocket::BoundState)
        return true;
    if (!in->bind(QHostAddress::LocalHost, fromDaemon)) {
        *error = QStringLiteral("audio: cannot bind 127.0.0.1:%1 (%2)").arg(fromDaemon).arg(in->errorString());
        return false;
    }
    return true;
}

void AudioPeer::run()
{
    unlimited = true;
    // Before the daemon's first frame nobody may listen on toDaemon yet, and
    // frames would only be lost.
    waitForDaemon = true;
    reportTimer->start(5000);
}

void AudioPeer::send(int frames)
{
    pace.window = scenarioWindow;
    target = sent + quint64(frames);
    begin();
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

void AudioPeer::begin()
{
    clock.start();
    startSeq = sent;
    tick();
}

// When frame k (counted from this start) is due, in ms since the start.
qint64 AudioPeer::dueMs(quint64 k)
{
    qint64 due = qint64(std::floor(double(k) * 1000.0 / pace.rate));
    if (pace.hiccupMs > 0 && pace.hiccupEveryS > 0) {
        // Within a hiccup, frames wait for its end and then go together.
        const qint64 every = qint64(pace.hiccupEveryS) * 1000;
        const qint64 into = due % every;
        if (due >= every && into < pace.hiccupMs)
            due += pace.hiccupMs - into;
    }
    if (pace.jitterMs > 0) {
        if (jitterOf != qint64(k)) {
            jitterOf = qint64(k);
            jitter = random.bounded(2 * pace.jitterMs + 1) - pace.jitterMs;
        }
        due += jitter;
    }
    return due;
}

void AudioPeer::tick()
{
    const int burst = qMax(1, pace.burst);
    forever {
        if (!unlimited && sent >= target)
            return;
        if (unlimited && pace.stopAfterMs > 0 && clock.elapsed() >= pace.stopAfterMs)
            return;
        if (pace.window > 0 && sent - returned >= quint64(pace.window))
            return;  // receive() goes on when frames come back
        // A datagram of `burst` frames goes when its last frame is due.
        const quint64 k = sent - startSeq;
        const quint64 lastOfDatagram = k - k % burst + burst - 1;
        const qint64 wait = dueMs(lastOfDatagram) - clock.elapsed();
        if (wait > 0) {
            sendTimer->start(int(wait));
            return;
        }
        QByteArray datagram;
        const int64_t ns = Tracer::now();
        const QString number = QString::number(datagrams++);
        for (int i = 0; i < burst && (unlimited || sent < target); ++i) {
            datagram += frame(quint32(sent));
            tracer->event(ns, QString(), QStringLiteral("audio-tx"),
                          {{QStringLiteral("seq"), QString::number(sent)}, {QStringLiteral("dgram"), number}});
            ++sent;
        }
        out->writeDatagram(datagram, QHostAddress::LocalHost, toDaemon);
    }
}

void AudioPeer::receive()
{
    while (in->hasPendingDatagrams()) {
        QByteArray datagram(int(qMax<qint64>(in->pendingDatagramSize(), 0)), Qt::Uninitialized);
        in->readDatagram(datagram.data(), datagram.size());
        const int64_t ns = Tracer::now();
        const qint64 seq = sequenceOf(datagram);
        if (seq >= 0) {
            tracer->event(ns, QString(), QStringLiteral("audio-rx"), {{QStringLiteral("seq"), QString::number(seq)}});
            ++intact;
            returned = qMax(returned, quint64(seq) + 1);
            idleSinceLast = false;
        } else if (datagram == idleFrame) {
            if (!idleSinceLast)
                tracer->event(ns, QString(), QStringLiteral("audio-rx-idle"));
            idleSinceLast = true;
        } else {
            ++broken;
            idleSinceLast = false;
            tracer->event(ns, QStringLiteral("audio: a datagram of %1 bytes is neither idle nor a frame sent")
                                  .arg(datagram.size()),
                          QStringLiteral("audio-rx-bad"),
                          {{QStringLiteral("len"), QString::number(datagram.size())},
                           {QStringLiteral("head"), QString::fromLatin1(datagram.left(16).toHex())}});
        }
    }
    if (waitForDaemon) {
        waitForDaemon = false;
        begin();
    } else if (pace.window > 0 && !sendTimer->isActive()) {
        tick();
    }
    if (!unlimited && target > 0 && returned >= target) {
        const QString frames = QString::number(target - startSeq);
        tracer->event(QStringLiteral("audio: all %1 frames came back").arg(frames), QStringLiteral("audio-done"),
                      {{QStringLiteral("frames"), frames}});
        target = 0;
        emit allReturned();
    }
}

void AudioPeer::report()
{
    Tracer::message(QStringLiteral("audio: %1 frames sent to the daemon, %2 came back intact, "
                                   "%3 unexpected").arg(sent).arg(intact).arg(broken));
}
