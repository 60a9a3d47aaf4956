#ifndef PTYPORT_H
#define PTYPORT_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>

class QSocketNotifier;
class QTimer;

// The shield's end of the serial line: the master of a pseudo-terminal pair
// whose slave the daemon opens. Bytes from the daemon are cut into packets
// the way the daemon cuts the shield's: everything until the line has been
// silent for `gapMs` is one packet.
class PtyPort : public QObject
{
    Q_OBJECT

public:
    explicit PtyPort(int gapMs, QObject *parent = nullptr);
    ~PtyPort() override;

    // Opens the pair and puts the slave into the production line settings
    // (115200 8N1, raw). On failure returns false and sets *error.
    bool open(QString *error);

    QString slavePath() const { return slaveName; }

    // Writes all of `bytes` to the daemon; returns how many went out (short
    // only when the daemon has stopped reading and the pty buffer is full).
    int write(const QByteArray &bytes);

signals:
    // firstNs/lastNs: monotonic arrival times of the packet's first and last
    // read.
    void packetReceived(const QByteArray &packet, int64_t firstNs, int64_t lastNs);

private slots:
    void readMaster();
    void lineIdle();

private:
    int masterFd = -1;
    int slaveFd = -1;  // kept open so the master never reads EIO between daemon opens
    QString slaveName;
    QSocketNotifier *notifier = nullptr;
    QTimer *idleTimer;
    QByteArray rxBuffer;
    int64_t firstNs = 0;
    int64_t lastNs = 0;

    Q_DISABLE_COPY(PtyPort)
};

#endif
