#include "usartdata.h"

#include "shieldprotocol.h"

#include <QMutexLocker>
#include <cstdio>

static const uint32_t commandBits = 0xFF;
static const uint32_t doorBits = 0xFF00;

// Puts `bits` in place of the `mask` bits of the command word and counts the
// store; false when the word was no longer `expected`.
static bool exchangeCommand(std::atomic<uint32_t> &word, uint32_t &expected, uint32_t mask,
                            uint32_t bits)
{
    const uint32_t count = (expected >> 16) + 1;
    const uint32_t next = (count << 16) | (expected & 0xFFFF & ~mask) | (bits & mask);
    return word.compare_exchange_strong(expected, next);
}

static void storeCommand(std::atomic<uint32_t> &word, uint32_t mask, uint32_t bits)
{
    uint32_t seen = word.load();
    while (!exchangeCommand(word, seen, mask, bits)) {
    }
}

void UsartData::CommandByte::store(uint8_t value)
{
    storeCommand(word, 0xFFu << shift, uint32_t(value) << shift);
}

UsartData::Command UsartData::pendingCommand() const
{
    const uint32_t word = commandWord.load();
    return {uint8_t(word & commandBits), uint8_t((word & doorBits) >> 8), word};
}

bool UsartData::replaceCommand(const Command &seen, uint8_t cmd, uint8_t door)
{
    uint32_t expected = seen.word;
    return exchangeCommand(commandWord, expected, commandBits | doorBits,
                           uint32_t(cmd) | (uint32_t(door) << 8));
}

void UsartData::command_open()
{
    orangeCMD.store(ShieldProtocol::CmdOpen);
}

void UsartData::command_open_onetime(int bud)
{
    // Door and command in one store: the command is never seen without its door.
    storeCommand(commandWord, commandBits | doorBits, ShieldProtocol::CmdOpenOnetime | (uint32_t(bud & 0xFF) << 8));
}

void UsartData::command_pickup()
{
    orangeCMD.store(ShieldProtocol::CmdPickup);
}

void UsartData::command_drop_all()
{
    orangeCMD.store(ShieldProtocol::CmdDrop);
}

QByteArray UsartData::hexTextToBytes(const QString &text)
{
    QByteArray bytes;
    bytes.reserve((text.size() + 1) / 2);
    for (int i = 0; i < text.size(); i += 2) {
        bool ok = false;
        const uint value = text.mid(i, 2).toUInt(&ok, 16);
        bytes.append(char(ok ? (value & 0xFF) : 0));
    }
    return bytes;
}

bool UsartData::command_message(QString message)
{
    this->message = message;
    const QByteArray bytes = hexTextToBytes(message);
    if (bytes.size() > maxMessageSize) {
        fprintf(stderr, "console: message of %d bytes refused, at most %d bytes can be sent\n",
                int(bytes.size()), maxMessageSize);
        return false;
    }
    messageTx.set_data(bytes);
    return true;
}

void UsartData::write_cmd(uint8_t numBVD, uint8_t status, uint8_t cmd, uint16_t dial)
{
    QMutexLocker locker(&mutexSetBuffer);
    using namespace ShieldProtocol;
    uint8_t buffer[frameSize];
    buffer[0] = frameStart;
    buffer[FieldDevice] = pollDevice;
    buffer[FieldUnit] = numBVD;
    buffer[3] = pollMarker;
    buffer[FieldStatus] = status;
    buffer[FieldCommand] = cmd;
    set_room(buffer, dial);
    buffer[frameSize - 1] = frameEnd;
    queueBufferTx.set_data(buffer, frameSize);
}

void UsartData::set_room(uint8_t *buffer, uint16_t room)
{
    uint8_t digits[4] = {0, 0, 0, 0};
    for (int i = 3; i >= 0 && room != 0; --i) {
        digits[i] = uint8_t(room % 10);
        room /= 10;
    }
    for (int i = 0; i < 4; ++i)
        buffer[ShieldProtocol::FieldApartment + i] = digits[i];
}

bool UsartData::check_status(uint8_t maskBit) const
{
    return (status.load() & maskBit) != 0;
}

void UsartData::get_buffer_write(QByteArray &write)
{
    if (messageTx.detect_data()) {
        write = messageTx.get_data();
        return;
    }
    QMutexLocker locker(&mutexSetBuffer);
    if (queueBufferTx.detect_data())
        write = queueBufferTx.get_data();
}
