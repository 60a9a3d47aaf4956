#ifndef USARTDATA_H
#define USARTDATA_H

#include "datatransmission.h"
#include "shieldprotocol.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <atomic>
#include <cstdint>

// Line state as last reported by the shield, the command the daemon wants to
// give it, and the frame encoder with its outgoing queues. The console thread
// stores commands here while the main thread reads and rewrites the state, so
// every shared field is an atomic of its own width. The pending command and
// the door unit it goes to share one atomic word, so that one load gives a
// command together with its door, and the main thread's rewrite of a command
// never overwrites one that the console stored after it looked.
class UsartData
{
public:
    // One view of one byte of the command word (orangeCMD or openDoor).
    class CommandByte
    {
    public:
        uint8_t load() const { return uint8_t(word.load() >> shift); }
        void store(uint8_t value);
        operator uint8_t() const { return load(); }
        CommandByte &operator=(uint8_t value)
        {
            store(value);
            return *this;
        }

    private:
        friend class UsartData;
        CommandByte(std::atomic<uint32_t> &word, int shift)
            : word(word)
            , shift(shift)
        {
        }
        std::atomic<uint32_t> &word;
        const int shift;
        Q_DISABLE_COPY(CommandByte)
    };

    // The pending command and its door unit as one load saw them; `word`
    // tells this store from any later one, even of the same command.
    struct Command
    {
        uint8_t cmd;
        uint8_t door;
        uint32_t word;
    };

    UsartData() = default;

    Command pendingCommand() const;
    // Replaces the command `seen` with cmd and door, unless another command
    // was stored since `seen` was taken; that one then stays pending and
    // false is returned.
    bool replaceCommand(const Command &seen, uint8_t cmd, uint8_t door);

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

    static const int frameSize = ShieldProtocol::frameSize;
    static const int maxMessageSize = 255;

    std::atomic<uint8_t> status{1};
    std::atomic<uint8_t> numBVD{0};
    std::atomic<uint8_t> pingBVD{0};
    std::atomic<uint16_t> dial{0};
    // Starts as "polling": a first frame that reports the end of a call leaves
    // it unchanged, and 0 is no status the shield knows.
    std::atomic<uint8_t> orangeStatus{1};

private:
    // Bits 0-7 the command, 8-15 the door unit, 16-31 a count of the stores.
    std::atomic<uint32_t> commandWord{1u << 8};

public:
    CommandByte orangeCMD{commandWord, 0};
    std::atomic<uint8_t> deviceCode{0};
    CommandByte openDoor{commandWord, 8};
    QByteArray data;     // last accepted frame (main thread only)
    QString message;     // last console message text (console thread only)
    DataTransmission queueBufferTx;
    DataTransmission messageTx;
    QMutex mutexSetBuffer;

private:
    Q_DISABLE_COPY(UsartData)
};

#endif
