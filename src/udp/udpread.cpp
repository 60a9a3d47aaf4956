#include "udpread.h"

#include "checkedconnect.h"
#include "sound.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>
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
            while (dataBufferUDP.size() >= Sound::frameSize) {
                QByteArray byteArrayPacket = dataBufferUDP.left(Sound::frameSize);
                dropped += sound->dataToShieldBuffer.set_data_bounded(byteArrayPacket, queueLimit);
                dataBufferUDP.remove(0, Sound::frameSize);
            }
        }
        if (dropped > 0)
            reportDrops(dropped);
    } while (udpSocketClient->hasPendingDatagrams());
}

// At most one line a second, however many frames go.
void UDPread::reportDrops(int dropped)
{
    droppedTotal += quint64(dropped);
    droppedUnreported += quint64(dropped);
    if (sinceDropReport.isValid() && sinceDropReport.elapsed() < 1000)
        return;
    fprintf(stderr, "udp: audio for the shield arrives faster than it is sent; "
                    "dropped %llu oldest frame(s) to keep the delay at %d frames\n",
            static_cast<unsigned long long>(droppedUnreported), queueLimit);
    droppedUnreported = 0;
    sinceDropReport.start();
}
