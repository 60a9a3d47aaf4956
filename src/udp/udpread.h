#ifndef UDPREAD_H
#define UDPREAD_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <cstdint>

class QMutex;
class QTimer;
class QUdpSocket;
class Sound;

// Receives the telephony application's audio on 127.0.0.1:port, joins the
// datagrams into one stream and cuts it into 256-byte frames for the shield.
// Frames that would reach the shield late are dropped on arrival (see
// delaycontroller.cpp); a partial frame left when the audio stops is dropped
// after a second.
class UDPread : public QObject
{
    Q_OBJECT
public:
    UDPread(QObject *parent, uint16_t port, Sound *sound);
    ~UDPread() override;

    // Largest total of waiting bytes one datagram may bring: ten frames.
    static const int overflowLimit = 2560;
    // Frames that may wait for the shield; older ones are dropped beyond it.
    static const int queueLimit = 16;
    // Without a datagram for this long, a partial frame is stale.
    static const int staleAfterMs = 1000;

    int pendingBytes() const { return dataBufferUDP.size(); }
    // Frames dropped on arrival: late ones and those beyond the bound.
    quint64 framesDropped() const { return droppedTotal; }

public slots:
    void writeBufUDP();

private slots:
    void slotHousekeeping();

private:
    void reportDrops();

    QUdpSocket *udpSocketClient;
    QMutex *mutexBufferUDP;
    uint16_t port;
    QByteArray dataBufferUDP;
    Sound *sound;

    QTimer *timerHousekeeping;
    QElapsedTimer sinceDatagram;
    quint64 droppedTotal = 0;
    quint64 dropsReported = 0;  // of these and the SPI thread's trims
    QElapsedTimer sinceDropReport;
};

#endif
