#include "UsartTimerThread.h"

#include "checkedconnect.h"
#include "lib/libvelk-board-lorentak.h"
#include "log/logservice.h"

#include <QDebug>
#include <QSerialPort>
#include <QTimer>
#include <cstdio>

static QByteArray hexText(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

UsartTimerThread::UsartTimerThread(size_t ms)
    : serialPort(new QSerialPort(this))
{
    serialPort->setPortName(QString::fromUtf8(board_usart_get_port()));
    serialPort->setBaudRate(115200, QSerialPort::AllDirections);
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setStopBits(QSerialPort::OneStop);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    checkedConnect(serialPort, SIGNAL(readyRead()), this, SLOT(read()), Qt::AutoConnection);

    if (serialPort->open(QIODevice::ReadWrite)) {
        qDebug("DEBUG: USART: Успешно открыт порт");
    } else {
        qDebug("DEBUG: USART: Ошибка открытия порта");
        fprintf(stderr, "serial: cannot open %s (%s); the shield will not be polled\n",
                board_usart_get_port(), qPrintable(serialPort->errorString()));
    }

    timerRxIdle = new QTimer();
    checkedConnect(timerRxIdle, SIGNAL(timeout()), this, SLOT(rxIdle()), Qt::DirectConnection);

    timer = new QTimer();
    timer->setTimerType(Qt::PreciseTimer);
    checkedConnect(timer, SIGNAL(timeout()), this, SLOT(slotTimeOut()), Qt::DirectConnection);
    timer->start(int(ms));
}

// The daemon's worker lives as long as the process; tests end theirs.
UsartTimerThread::~UsartTimerThread()
{
    delete timerRxIdle;
    delete timer;
}

void UsartTimerThread::slotTimeOut()
{
    if (!writeBuffer.detect_data())
        return;
    const QByteArray packet = writeBuffer.get_data();
    logService->debug(QStringLiteral("Uart WRITE"), hexText(packet));
    if (serialPort->isOpen())
        serialPort->write(packet);
}

void UsartTimerThread::read()
{
    const QByteArray bytes = serialPort->readAll();
    logService->debug(QStringLiteral("Uart READ"), hexText(bytes));
    rxBuffer.append(bytes);
    // A line that never falls silent still gives packets of bounded size.
    while (rxBuffer.size() >= maxPacketSize) {
        readBuffer.set_data(rxBuffer.left(maxPacketSize));
        rxBuffer.remove(0, maxPacketSize);
    }
    if (rxBuffer.isEmpty())
        timerRxIdle->stop();
    else
        timerRxIdle->start(rxIdleMs);
}

void UsartTimerThread::rxIdle()
{
    timerRxIdle->stop();
    readBuffer.set_data(rxBuffer);
    rxBuffer.clear();
}
