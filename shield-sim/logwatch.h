#ifndef LOGWATCH_H
#define LOGWATCH_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QUdpSocket;

// Reads the daemon's serial trace (its log datagrams on 127.0.0.1, logPort) and
// prints it decoded on standard output, one line per frame:
//   12:00:01.234 poll door 3 status call command pickup
//   12:00:01.238 answer door 3 status conversation apartment 123
// for whoever has to read the traffic of a live board.
class LogWatch : public QObject
{
    Q_OBJECT
public:
    explicit LogWatch(QObject *parent = nullptr);

    bool listen(QString *error);

    // One log datagram in, the lines it makes out (none for a piece of a
    // frame that has yet to arrive whole).
    QStringList decode(const QByteArray &datagram);

    static QString pollStatusName(uint8_t status);
    static QString commandName(uint8_t cmd);
    static QString lineStateName(uint8_t status);

private:
    void receive();
    QStringList takeFrames(const QString &time, bool flush);

    QUdpSocket *socket;
    QByteArray fromShield;  // bytes read from the shield, not yet a whole frame
};

#endif
