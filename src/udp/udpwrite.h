#ifndef UDPWRITE_H
#define UDPWRITE_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <cstdint>

class QUdpSocket;
class Sound;

// Sends every frame received from the shield as one datagram to 127.0.0.1:port.
class UdpWrite : public QObject
{
    Q_OBJECT
public:
    UdpWrite(QObject *parent, uint16_t port, Sound *sound);
    ~UdpWrite() override;

public slots:
    void write();

private:
    void reportLost();

    QUdpSocket *udpSocketWrite;
    uint16_t port;
    Sound *sound;
    QByteArray frame;  // reused for every datagram
    quint64 lostReported = 0;
    QElapsedTimer sinceLostReport;
};

#endif
