#ifndef AUDIOPEER_H
#define AUDIOPEER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QRandomGenerator>

class QTimer;
class QUdpSocket;
class Tracer;

// Plays the telephony application's side of the line audio: numbered
// frames to the daemon (127.0.0.1, audioToDaemonPort), and what comes back
// from it (audioFromDaemonPort) checked against them (consolevocabulary.h). With the stand-in board library
// in loopback every frame sent returns. Each frame sent and each numbered
// frame received is one line of the trace (audio-tx, audio-rx seq=N), so
// tests and the benchmark follow every frame; frames that are neither idle
// nor intact are audio-rx-bad.
class AudioPeer : public QObject
{
    Q_OBJECT
public:
    // How the frames go out. Frame k is due at k / rate seconds after the
    // start, give or take `jitterMs`; `burst` frames share one datagram.
    // Every `hiccupEveryS` seconds the sender stops for `hiccupMs` and then
    // sends what it missed at once. `window` > 0 holds the sender while that
    // many frames are on their way.
    struct Pace {
        double rate = 62.5;
        int burst = 1;
        int jitterMs = 0;
        int hiccupMs = 0;
        int hiccupEveryS = 0;
        int window = 0;
        int stopAfterMs = 0;  // run(): stop sending this long after the start; 0: never
    };

    explicit AudioPeer(Tracer *tracer, QObject *parent = nullptr);

    bool listen(QString *error);
    void setPace(const Pace &pace) { this->pace = pace; }
    // Sends without end, from the daemon's first frame on; a count on
    // standard error every 5 s.
    void run();
    // Sends `frames` more frames now, at most four on their way at a time.
    void send(int frames);
    // True once every frame that send() was asked for has come back.
    bool allBack() const { return target == 0; }

    static QByteArray frame(quint32 seq);
    // The sequence number of an intact frame made by frame(), or -1.
    static qint64 sequenceOf(const QByteArray &datagram);

signals:
    void allReturned();

private:
    void begin();
    void tick();
    void receive();
    void report();
    qint64 dueMs(quint64 k);

    Tracer *tracer;
    QUdpSocket *out;
    QUdpSocket *in;
    QTimer *sendTimer;
    QTimer *reportTimer;
    QElapsedTimer clock;
    QRandomGenerator random{1};
    Pace pace;
    bool waitForDaemon = false;
    quint64 sent = 0;
    quint64 datagrams = 0;
    quint64 target = 0;  // send(): frames sent in all once it is done
    bool unlimited = false;
    quint64 returned = 0;  // one past the highest frame that came back
    quint64 intact = 0;
    quint64 broken = 0;
    quint64 startSeq = 0;
    qint64 jitterOf = -1;  // frame whose jitter `jitter` holds
    qint64 jitter = 0;
    bool idleSinceLast = true;
};

#endif
