#ifndef TIMERTHREAD_H
#define TIMERTHREAD_H

#include <QThread>
#include <cstdint>

class QTimer;

// A thread with its own event loop and a periodic precise timer whose ticks
// call slotTimeOut() in that thread.
class TimerThread : public QThread
{
    Q_OBJECT
public:
    explicit TimerThread(uint32_t ms);

signals:
    void timerStart(int);

public slots:
    // Restarts the timer with a new period; call from another thread. Returns
    // once the timer runs with the new period.
    void slotChangeSpiPeriod(int ms);

protected:
    void run() override;

private slots:
    virtual void slotTimeOut();

private:
    QTimer *timer = nullptr;
    uint32_t ms;
};

#endif
