#include "udpwrite.h"

#include "sound.h"

#include <QHostAddress>
#include <QUdpSocket>
#include <cstdio>

UdpWrite::UdpWrite(QObject *parent, uint16_t port, Sound *sound)
    : QObject(parent)
    , udpSocketWrite(new QUdpSocket())
    , port(port)
    , sound(sound)
    , frame(Sound::frameSize, Qt::Uninitialized)
{
}

// The socket has no parent; the daemon never destroys its sender, tests do.
UdpWrite::~UdpWrite()
{
    delete udpSocketWrite;
}

void UdpWrite::write()
{
    // One call per exchange; each sends the next exchanged frame in order.
    if (sound->takeFromShield(frame))
        udpSocketWrite->writeDatagram(frame, QHostAddress(QHostAddress::LocalHost), port);
    reportLost();
}

// Frames skipped because this thread fell too far behind the SPI thread; at
// most one line a second. write() runs every tick, so the last batch follows
// within a second.
void UdpWrite::reportLost()
{
    const quint64 lost = sound->framesFromShieldLost();
    if (lost == lostReported || (sinceLostReport.isValid() && sinceLostReport.elapsed() < 1000))
        return;
    fprintf(stderr, "udp: sending to port %u fell behind the shield; skipped %llu received frame(s)\n",
            unsigned(port), static_cast<unsigned long long>(lost - lostReported));
    lostReported = lost;
    sinceLostReport.start();
}
