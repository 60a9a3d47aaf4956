#include "udpwrite.h"

#include "sound.h"

#include <QHostAddress>
#include <QUdpSocket>

UdpWrite::UdpWrite(QObject *parent, uint16_t port, Sound *sound)
    : QObject(parent)
    , udpSocketWrite(new QUdpSocket())
    , port(port)
    , sound(sound)
    , frame(Sound::frameSize, Qt::Uninitialized)
{
}

void UdpWrite::write()
{
    // One call per exchange; each sends the next exchanged frame in order.
    if (sound->takeFromShield(frame))
        udpSocketWrite->writeDatagram(frame, QHostAddress(QHostAddress::LocalHost), port);
}
