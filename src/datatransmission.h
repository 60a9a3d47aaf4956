#ifndef DATATRANSMISSION_H
#define DATATRANSMISSION_H

#include <QByteArray>
#include <QMutex>
#include <QQueue>
#include <atomic>
#include <cstdint>

// Locked first-in-first-out queue of byte packets, for handing packets from
// one component (often one thread) to another. Any number of producers,
// exactly one consuming thread per instance.
class DataTransmission
{
public:
    DataTransmission() = default;

    void set_data(QByteArray data);
    void set_data(uint8_t *data, uint8_t size);

    // Appends, first dropping the oldest packets so that at most `limit`
    // wait; returns how many were dropped. Never empties the queue, so the
    // consumer's detect_data()/get_data() sequence stays valid.
    int set_data_bounded(QByteArray data, int limit);

    // Takes the oldest packet (also kept in dataForRead). On an empty queue
    // returns an empty array and changes nothing.
    QByteArray get_data();

    // Discards the oldest packet, leaving dataForRead alone. False when
    // there was none.
    bool drop_head();

    bool detect_data() const { return count.load(std::memory_order_acquire) > 0; }
    int size() const { return count.load(std::memory_order_acquire); }

    void clear();

    QByteArray dataForRead;  // the packet most recently taken

private:
    QQueue<QByteArray> buffer;
    QMutex mutex;
    std::atomic<int> count{0};

    Q_DISABLE_COPY(DataTransmission)
};

#endif
