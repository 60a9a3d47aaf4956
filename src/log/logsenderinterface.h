#ifndef LOGSENDERINTERFACE_H
#define LOGSENDERINTERFACE_H

#include <QByteArray>

// Where finished log lines go.
class LogSenderInterface
{
public:
    virtual ~LogSenderInterface() = default;
    virtual void send(QByteArray massage) const = 0;
};

#endif
