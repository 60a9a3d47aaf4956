#ifndef AUDIOPEER_H
#define AUDIOPEER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>

class QTimer;
class QUdpSocket;

// Plays the telephony application's side of the audio for a demonstration:
// once the daemon's audio arrives on 20002, sends numbered 256-byte frames to
// it (127.0.0.1:20003) at the shield's pace and counts those that come back.
// With the stand-in board library in loopback every frame sent returns.
class AudioPeer : public QObject
{
    Q_OBJECT
public:
    explicit AudioPeer(QObject *parent = nullptr);

    bool start(QString *error);

    static QByteArray frame(quint32 seq);
    // The sequence number of a frame made by frame(), or -1.
    static qint64 sequenceOf(const QByteArray &datagram);

private:
    void send();
    void receive();
    void report();

    QUdpSocket *out;
    QUdpSocket *in;
    QTimer *sendTimer;
    QTimer *reportTimer;
    QElapsedTimer clock;
    quint32 sent = 0;
    quint64 back = 0;
    quint64 broken = 0;
    QSet<quint32> seen;
};

#endif
