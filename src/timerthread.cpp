#include "timerthread.h"

#include "checkedconnect.h"
#include <QDebug>
#include <QTime>
#include <QTimer>

TimerThread::TimerThread(uint32_t ms)
    : QThread(nullptr)
    , ms(ms)
{
}

void TimerThread::run()
{
    timer = new QTimer();
    timer->setTimerType(Qt::PreciseTimer);
    checkedConnect(timer, SIGNAL(timeout()), this, SLOT(slotTimeOut()), Qt::DirectConnection);
    checkedConnect(this, SIGNAL(timerStart(int)), timer, SLOT(start(int)), Qt::BlockingQueuedConnection);
    timer->start(int(ms));

    exec();

    timer->stop();
    disconnect(timer, SIGNAL(timeout()), this, SLOT(slotTimeOut()));
    // The timer belongs to this run of the thread; a new run makes its own.
    delete timer;
    timer = nullptr;
}

void TimerThread::slotChangeSpiPeriod(int ms)
{
    emit timerStart(ms);
}

void TimerThread::slotTimeOut()
{
    qDebug() << QTime::currentTime().toString(Qt::TextDate);
}
