#include "udpread.h"

#include "checkedconnect.h"
#include "sound.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>
#include <QTimer>
#include <QUdpSocket>
#include <cstdio>

UDPread::UDPread(QObject *parent, uint16_t port, Sound *sound)
    : QObject(parent)
    , mutexBufferUDP(new QMutex())
    , port(port)
    , sound(sound)
{
    udpSocketClient = new QUdpSocket(this);
    checkedConnect(udpSocketClient, SIGNAL(readyRead()), this, SLOT(writeBufUDP()), Qt::AutoConnection);
    timerHousekeeping = new QTimer(this);
    timerHousekeeping->setTimerType(Qt::PreciseTimer);
    checkedConnect(timerHousekeeping, SIGNAL(timeout()), this, SLOT(slotHousekeeping()), Qt::DirectConnection);
    timerHousekeeping->start(250);
    if (!udpSocketClient->bind(QHostAddress(QStringLiteral("127.0.0.1")), port,
                               QAbstractSocket::DefaultForPlatform)) {
        fprintf(stderr, "udp: cannot bind 127.0.0.1:%u (%s); no audio will reach the shield\n",
                unsigned(port), qPrintable(udpSocketClient->errorString()));
    }
}

UDPread::~UDPread()
{
    udpSocketClient->abort();
    dataBufferUDP.clear();
    sound->dataToShieldBuffer.clear();
    delete mutexBufferUDP;
}

void UDPread::writeBufUDP()
{
    do {
        const qint64 size = udpSocketClient->pendingDatagramSize();
        if (size < 0)
            return;  // nothing pending
        sinceDatagram.start();
        if (dataBufferUDP.size() + size > overflowLimit) {
            qDebug("ERROR: Переполнение буффера более чем в 10 раз!");
            udpSocketClient->readDatagram(nullptr, 0);
            return;
        }
        QByteArray dataRead(int(size), Qt::Uninitialized);
        const qint64 got = udpSocketClient->readDatagram(dataRead.data(), size);
        if (got < size)
            dataRead.resize(int(qMax<qint64>(got, 0)));

        int dropped = 0;
        {
            QMutexLocker locker(mutexBufferUDP);
            dataBufferUDP.append(dataRead);
            // The first frame that this datagram completes may find at most
            // target + 1 older frames waiting: behind more it would reach the
            // shield late (over 64 ms with the target of 3), and the oldest
            // go (delaycontroller.cpp). The datagram's other frames wait
            // behind it by right and meet only the bound.
            int limit = qMin(sound->queueTarget + 2, int(queueLimit));
            while (dataBufferUDP.size() >= Sound::frameSize) {
                QByteArray byteArrayPacket = dataBufferUDP.left(Sound::frameSize);
                dropped += sound->dataToShieldBuffer.set_data_bounded(byteArrayPacket, limit);
                limit = queueLimit;
                dataBufferUDP.remove(0, Sound::frameSize);
            }
        }
        if (dropped > 0) {
            droppedTotal += quint64(dropped);
            sound->framesDroppedOnArrival.fetch_add(quint64(dropped), std::memory_order_relaxed);
            reportDrops();
        }
    } while (udpSocketClient->hasPendingDatagrams());
}

void UDPread::slotHousekeeping()
{
    reportDrops();

    QMutexLocker locker(mutexBufferUDP);
    if (dataBufferUDP.isEmpty() || sinceDatagram.elapsed() < staleAfterMs)
        return;
    // Kept, the bytes would shift every later frame of the stream (an odd
    // count swaps the bytes of every word) and open the next call.
    const int stale = dataBufferUDP.size();
    dataBufferUDP.clear();
    locker.unlock();
    fprintf(stderr, "udp: discarded %d bytes of an unfinished audio frame after 1 s without audio\n", stale);
}

// Drops on arrival and the SPI thread's trims, at most one line a second
// however many frames go; the housekeeping tick reports the last batch.
void UDPread::reportDrops()
{
    const quint64 total = droppedTotal + sound->framesTrimmed.load(std::memory_order_relaxed);
    if (total == dropsReported || (sinceDropReport.isValid() && sinceDropReport.elapsed() < 1000))
        return;
    fprintf(stderr, "udp: audio for the shield arrives faster than it is sent; "
                    "dropped %llu oldest frame(s) to keep the delay at %d frames\n",
            static_cast<unsigned long long>(total - dropsReported), qMin(sound->queueTarget, int(queueLimit)));
    dropsReported = total;
    sinceDropReport.start();
}
