#include "datatransmission.h"

#include <QMutexLocker>

void DataTransmission::set_data(QByteArray data)
{
    QMutexLocker locker(&mutex);
    buffer.enqueue(data);
    count.store(buffer.size(), std::memory_order_release);
}

void DataTransmission::set_data(uint8_t *data, uint8_t size)
{
    set_data(QByteArray(reinterpret_cast<const char *>(data), size));
}

int DataTransmission::set_data_bounded(QByteArray data, int limit)
{
    QMutexLocker locker(&mutex);
    int dropped = 0;
    while (buffer.size() >= limit && !buffer.isEmpty()) {
        buffer.dequeue();
        ++dropped;
    }
    buffer.enqueue(data);
    count.store(buffer.size(), std::memory_order_release);
    return dropped;
}

QByteArray DataTransmission::get_data()
{
    QMutexLocker locker(&mutex);
    if (buffer.isEmpty())
        return QByteArray();
    dataForRead = buffer.dequeue();
    count.store(buffer.size(), std::memory_order_release);
    return dataForRead;
}

bool DataTransmission::drop_head()
{
    QMutexLocker locker(&mutex);
    if (buffer.isEmpty())
        return false;
    buffer.removeFirst();
    count.store(buffer.size(), std::memory_order_release);
    return true;
}

void DataTransmission::clear()
{
    QMutexLocker locker(&mutex);
    buffer.clear();
    count.store(0, std::memory_order_release);
}
