#ifndef CHECKEDCONNECT_H
#define CHECKEDCONNECT_H

#include <QObject>

// Connections are made by their text signatures, which fail only at run time.
// A failed one would leave a timer or socket silently unhandled, so stop at
// once and say which.
inline void checkedConnect(const QObject *sender, const char *signal, const QObject *receiver,
                           const char *method, Qt::ConnectionType type)
{
    if (!QObject::connect(sender, signal, receiver, method, type))
        qFatal("cannot connect %s of %s to %s of %s", signal, sender->metaObject()->className(),
               method, receiver->metaObject()->className());
}

#endif
