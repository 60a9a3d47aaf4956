#ifndef USARTDATA_H
#define USARTDATA_H

#include "datatransmission.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <atomic>
#include <cstdint>

// Line state as last reported by the shield, the command the daemon wants to
// give it, and the frame encoder with its outgoing queues. The console thread
// stores commands here while the main thread reads and rewrites the state, so
// every shared field is an atomic of its own width.
class UsartData
{
public:
    UsartData() = default;

    // Commands from the console: each is a single store, sent with the next polls.
    void command_open();
    void command_open_onetime(int bud);
    void command_pickup();
    void command_drop_all();
    // Queues the bytes of a hexadecimal text as one raw message packet.
    // Returns false, queuing nothing, when it would exceed maxMessageSize bytes.
    bool command_message(QString message);

    static QByteArray hexTextToBytes(const QString &text);

    void write_cmd(uint8_t numBVD, uint8_t status, uint8_t cmd, uint16_t dial);
    static void set_room(uint8_t *buffer, uint16_t room);
    bool check_status(uint8_t maskBit) const;
    void get_buffer_write(QByteArray &write);

    static const int frameSize = 11;
    static const int maxMessageSize = 255;

    std::atomic<uint8_t> status{1};
    std::atomic<uint8_t> numBVD{0};
    std::atomic<uint8_t> pingBVD{0};
    std::atomic<uint16_t> dial{0};
    // Starts as "polling": a first frame that reports the end of a call leaves
    // it unchanged, and 0 is no status the shield knows.
    std::atomic<uint8_t> orangeStatus{1};
    std::atomic<uint8_t> orangeCMD{0};
    std::atomic<uint8_t> deviceCode{0};
    std::atomic<uint8_t> openDoor{1};
    QByteArray data;     // last accepted frame (main thread only)
    QString message;     // last console message text (console thread only)
    DataTransmission queueBufferTx;
    DataTransmission messageTx;
    QMutex mutexSetBuffer;

private:
    Q_DISABLE_COPY(UsartData)
};

#endif
