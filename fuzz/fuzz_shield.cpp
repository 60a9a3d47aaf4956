// The receive half of the exchange with the shield: packets from the serial
// worker go through ThreadUsartTransmitter's validation, the frame parser and
// the line decision, driven tick by tick through its private slot
// slotTimeOut() (and the answer window's slot for leaving message mode).
//
// Input: a sequence of records, each led by an operation byte:
//   0  one exchange: a length byte L (0..23) and L bytes. A send half runs,
//      then the L bytes arrive as one packet (none when L is 0) and a receive
//      half runs. Packets are given to the code in buffers of exactly their
//      length, so a read past a short packet's end is a finding.
//   1  a console command (pickup, open, drop, or a door opening for a call
//      unit given by the next byte), as the console thread stores it;
//   2  a raw message (1..16 bytes) queued for the shield;
//   3  the message answer window expires;
//   4  an apartment (two bytes, mod 1024) put into the imitation mask or the
//      blacklist, as the console's list dialogue would.
//
// Invariants: every poll frame sent is 11 bytes FA 03 .. A2 st cmd 00 00 00 00
// F5 with st one of 1, 2, 4, 0x40, 0x60 and cmd one of 0, 1, 4, 8, 0x10; raw
// messages go out unchanged and in order, but the first send half after a
// message window carries a poll; in message mode every answer comes
// back as "message <hex>" of exactly its bytes and no poll is built; in main
// mode each receive half queues exactly one poll; events are lines the
// application knows, a dial event names the apartment last reported, and two
// dial events always have a drop between them.

#include "fuzzsupport.h"

#include "UsartTimerThread.h"
#include "consolecommand.h"
#include "consolevocabulary.h"
#include "rooms.h"
#include "settings.h"
#include "threadusarttransmitter.h"
#include "usartdata.h"
#include "usartparser.h"

#include <QMetaObject>
#include <QQueue>
#include <QStringList>
#include <memory>

namespace Words = ConsoleVocabulary;

// A word of the console vocabulary as bytes.
static QByteArray bytesOf(std::string_view word)
{
    return QByteArray(word.data(), int(word.size()));
}

static fuzzsupport::StdoutCapture *out;
static UsartTimerThread *usart;
static Settings *settings;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::quietProcess();
    fuzzsupport::application();
    // No serial device: the worker is only used for its two queues.
    setenv("LORENTAK_USART_PORT", "/nonexistent/tmx-fuzz-tty", 1);
    out = new fuzzsupport::StdoutCapture;
    usart = new UsartTimerThread(1);
    settings = new Settings;
    return 0;
}

namespace {

bool validPollStatus(uint8_t s)
{
    return s == 1 || s == 2 || s == 4 || s == 0x40 || s == 0x60;
}

bool validCommand(uint8_t c)
{
    return c == 0 || c == 1 || c == 4 || c == 8 || c == 0x10;
}

QByteArray hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

struct Harness {
    UsartData data;
    Rooms rooms;
    ConsoleCommand console{settings};
    UsartParser parser{&console, &data, &rooms};
    ThreadUsartTransmitter machine{100000, usart, &data, &parser, &rooms, &console};

    QQueue<QByteArray> messagesQueued;
    bool messageMode = false;
    bool pollOwed = false;
    bool dialSinceDrop = false;

    void tick()
    {
        const bool ok = QMetaObject::invokeMethod(&machine, "slotTimeOut", Qt::DirectConnection);
        FUZZ_CHECK(ok, "slotTimeOut cannot be invoked");
    }

    void sendHalf()
    {
        const int pollsQueued = data.queueBufferTx.size();
        const bool polls = pollOwed && pollsQueued > 0;
        pollOwed = false;
        tick();
        FUZZ_CHECK(usart->writeBuffer.size() == 1, "send half handed %d packets to the port",
                   usart->writeBuffer.size());
        const QByteArray packet = usart->writeBuffer.get_data();
        if (!polls && !messagesQueued.isEmpty()) {
            const QByteArray message = messagesQueued.dequeue();
            FUZZ_CHECK(packet == message, "raw message %s went out as %s",
                       hex(message).constData(), hex(packet).constData());
            messageMode = true;
            return;
        }
        if (pollsQueued == 0) {
            FUZZ_CHECK(packet.isEmpty(), "nothing queued, yet %s went out", hex(packet).constData());
            return;
        }
        const auto b = [&packet](int i) { return uint8_t(packet.at(i)); };
        FUZZ_CHECK(packet.size() == 11 && b(0) == 0xFA && b(1) == 0x03 && b(3) == 0xA2
                       && b(6) == 0 && b(7) == 0 && b(8) == 0 && b(9) == 0 && b(10) == 0xF5,
                   "malformed poll %s", hex(packet).constData());
        FUZZ_CHECK(validPollStatus(b(4)), "poll %s: status %02x", hex(packet).constData(), b(4));
        FUZZ_CHECK(validCommand(b(5)), "poll %s: command %02x", hex(packet).constData(), b(5));
    }

    void receiveHalf(const QByteArray &answer)
    {
        // A buffer of exactly the packet's length, so that reading past its
        // end hits the sanitizer's red zone.
        std::unique_ptr<char[]> exact(new char[size_t(qMax(answer.size(), 1))]);
        memcpy(exact.get(), answer.constData(), size_t(answer.size()));
        if (!answer.isEmpty())
            usart->readBuffer.set_data(QByteArray::fromRawData(exact.get(), answer.size()));

        const int pollsBefore = data.queueBufferTx.size();
        out->take();
        tick();
        const QByteArray written = out->take();
        // Nothing may keep pointing into the buffer once it is gone.
        usart->readBuffer.dataForRead = QByteArray();
        data.data = QByteArray();
        FUZZ_CHECK(!usart->readBuffer.detect_data(), "the answer was not taken");

        if (messageMode) {
            const QByteArray expected = answer.isEmpty()
                ? QByteArray()
                : bytesOf(Words::message) + ' ' + answer.toHex() + "\n";
            FUZZ_CHECK(written == expected, "answer %s in message mode wrote '%s'",
                       hex(answer).constData(), written.constData());
            FUZZ_CHECK(data.queueBufferTx.size() == pollsBefore,
                       "a poll was built in message mode");
        } else {
            FUZZ_CHECK(data.queueBufferTx.size() == pollsBefore + 1,
                       "receive half in main mode left %d polls, had %d", data.queueBufferTx.size(),
                       pollsBefore);
            checkEvents(written);
        }
        FUZZ_CHECK(data.queueBufferTx.size() <= 1, "%d polls waiting", data.queueBufferTx.size());
        FUZZ_CHECK(validCommand(data.orangeCMD.load()), "pending command %02x",
                   data.orangeCMD.load());
    }

    void checkEvents(const QByteArray &written)
    {
        const QList<QByteArray> lines = written.split('\n');
        FUZZ_CHECK(written.isEmpty() || written.endsWith('\n'), "unterminated line '%s'",
                   written.constData());
        for (int i = 0; i + 1 < lines.size(); ++i) {
            const QByteArray &line = lines.at(i);
            if (line.startsWith(bytesOf(Words::dial) + ' ')) {
                const QByteArray expected = bytesOf(Words::dial) + ' ' + QByteArray::number(data.dial.load());
                FUZZ_CHECK(line == expected, "'%s' where '%s' was due", line.constData(),
                           expected.constData());
                FUZZ_CHECK(!dialSinceDrop, "a second dial event without a drop between");
                dialSinceDrop = true;
            } else if (line == bytesOf(Words::drop)) {
                dialSinceDrop = false;
            } else {
                FUZZ_CHECK(line == bytesOf(Words::pickup) || line == bytesOf(Words::open), "unknown event '%s'",
                           line.constData());
            }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    FuzzInput input(bytes, size);
    usart->writeBuffer.clear();
    usart->readBuffer.clear();
    out->reset();
    Harness h;

    while (!input.atEnd()) {
        switch (input.byte() % 5) {
        case 0: {
            const QByteArray answer = input.bytes(input.byte() % 24);
            h.sendHalf();
            h.receiveHalf(answer);
            break;
        }
        case 1:
            switch (input.byte() % 4) {
            case 0:
                h.data.command_pickup();
                break;
            case 1:
                h.data.command_open();
                break;
            case 2:
                h.data.command_drop_all();
                break;
            default:
                h.data.command_open_onetime(input.byte());
                break;
            }
            break;
        case 2: {
            const QByteArray message = input.bytes(1 + input.byte() % 16);
            if (!message.isEmpty()) {
                h.data.messageTx.set_data(message);
                h.messagesQueued.enqueue(message);
            }
            break;
        }
        case 3:
            // Leaving message mode decides on the line as it stands and owes a poll.
            out->take();
            QMetaObject::invokeMethod(&h.machine, "slotTimeoutReceptionMsg", Qt::DirectConnection);
            h.checkEvents(out->take());
            h.pollOwed = h.pollOwed || h.messageMode;
            h.messageMode = false;
            break;
        default: {
            const int room = input.word() % 1024;
            auto *mask = input.byte() & 1 ? h.rooms.readBlackPhone : h.rooms.readImitPhone;
            mask[room / 32].fetch_or(1u << (room % 32));
            break;
        }
        }
    }
    return 0;
}
