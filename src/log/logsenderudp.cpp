#include "logsenderudp.h"

#include <QHostAddress>
#include <QUdpSocket>

LogSenderUDP::LogSenderUDP(int port)
    : udpSocketWrite(new QUdpSocket())
    , port(port)
{
}

LogSenderUDP::~LogSenderUDP()
{
    delete udpSocketWrite;
}

void LogSenderUDP::send(QByteArray massage) const
{
    udpSocketWrite->writeDatagram(massage, QHostAddress(QHostAddress::LocalHost), quint16(port));
}
