#ifndef LOGSERVICE_H
#define LOGSERVICE_H

#include "datatransmission.h"

#include <QObject>
#include <QStringList>

class LogSenderInterface;
class QTimer;

// Formats diagnostic lines, filters them by source and queues them; a timer
// on the thread that created the service sends one line per tick to the sink.
class LogService : public QObject
{
    Q_OBJECT
public:
    explicit LogService(size_t ms, LogSenderInterface *sender = nullptr);

    void debug(QString source, QByteArray massage);
    void debug(const QString &source, const char *format, ...)
        __attribute__((format(printf, 3, 4)));
    void error(QString source, QByteArray massage);
    void send(QByteArray massage);

private slots:
    virtual void slotTimeOut();

private:
    void sourceOn(QString source);
    bool sourceCheck(QString source) const;

    LogSenderInterface *logSender;
    QTimer *timer;
    DataTransmission writeBuffer;
    QStringList sourceList;
};

// The one log service of the process; null until start-up creates it.
extern LogService *logService;

#endif
