// Console lines through the real ConsoleScan::handle_line, with real
// UsartData, Settings and Rooms, checked against an independent model of the
// command vocabulary and the "dialplan" list dialogue.
//
// Input: lines separated by "\n" (a "\r" before it is dropped, as the line
// reader does). A line whose first byte is 0x01 is no console line: its next
// byte becomes the line state (UsartData::status) that the door commands
// look at, as the exchange with the shield would set it.
//
// After every line:
// - the reader's mode is the one the dialogue prescribes;
// - each mask holds exactly the apartments 0..1023 entered in its current
//   list since that list started (a mask keeps nothing older);
// - the parsed command equals the model's, and only its own effect happened:
//   the pending command is one of 0, 1, 4, 8, 0x10, a door opened while idle
//   carries its call unit, a raw message is queued only by "11 HEX" and is at
//   most 255 bytes, the intercom model follows the code 7.

#include "fuzzsupport.h"

#include "console.h"
#include "consolescan.h"
#include "consolevocabulary.h"
#include "rooms.h"
#include "settings.h"
#include "usartdata.h"

#include <QStringList>
#include <bitset>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::quietProcess();
    return 0;
}

namespace {

struct Command {
    uint16_t group = 0;
    uint16_t sub = 0;
    QString message;
};

uint16_t low16(const QString &word, bool *ok)
{
    return uint16_t(word.toUInt(ok, 10) & 0xFFFF);
}

// The command line grammar, written from the description of the vocabulary.
Command parseCommand(const QStringList &w)
{
    Command c;
    bool number = false;
    const uint16_t code = low16(w.at(0), &number);
    if (number) {
        if (w.size() == 1) {
            // Leading decimal digit of the code's low byte, and the digits after it.
            const QString digits = QString::number(code & 0xFF);
            c.group = uint16_t(digits.at(0).digitValue());
            uint32_t rest = 1;
            for (int i = 1; i < digits.size(); ++i)
                rest *= 10;
            c.sub = digits.size() == 1 ? 65535 : uint16_t(code % rest);
        } else if (w.size() == 2 && code == 11) {
            c.group = 11;
            c.message = w.at(1);
        } else if (w.size() == 2) {
            bool subNumber = false;
            const uint16_t sub = low16(w.at(1), &subNumber);
            if (subNumber) {
                c.group = code;
                c.sub = sub;
            }
        }
        return c;
    }
    auto second = [&w](uint32_t mask) -> uint16_t {
        bool ok = false;
        const uint v = w.size() > 1 ? w.at(1).toUInt(&ok, 10) : 0;
        return ok ? uint16_t(v & mask) : 0;
    };
    namespace Words = ConsoleVocabulary;
    using Console::word;
    const QString &k = w.at(0);
    if (k == word(Words::pickup)) {
        c.group = 1;
    } else if (k == word(Words::open)) {
        c.group = 2;
        c.sub = w.size() == 1 ? 3 : second(0xFF);
    } else if (k == word(Words::drop)) {
        c.group = 3;
    } else if (k == word(Words::dial)) {
        c.group = 4;
        c.sub = second(0xFFFF);
    } else if (k == word(Words::phonedetect)) {
        c.group = 5;
        c.sub = second(0xFFFF);
    } else if (k == word(Words::dialplan)) {
        c.group = 6;
    }
    return c;
}

enum Mode { Commands, Virtual, Blacklist };

struct Model {
    Mode mode = Commands;
    std::bitset<1024> imit;
    std::bitset<1024> black;
};

// One line of a list: true when it ends the list.
bool listLine(const QStringList &w, std::bitset<1024> &mask)
{
    bool ok = false;
    const int16_t n = int16_t(w.at(0).toInt(&ok, 10) & 0xFFFF);
    if (!ok || w.size() > 1)
        return false;
    if (n < 0)
        return true;
    if (n <= 1023)
        mask.set(size_t(n));
    return false;
}

std::bitset<1024> maskOf(const std::atomic<uint32_t> *words)
{
    std::bitset<1024> bits;
    for (int i = 0; i < 1024; ++i)
        bits[size_t(i)] = (words[i / 32].load() >> (i % 32)) & 1u;
    return bits;
}

bool validCommand(uint8_t cmd)
{
    return cmd == 0 || cmd == 1 || cmd == 4 || cmd == 8 || cmd == 0x10;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Settings settings;
    UsartData usartData;
    Rooms rooms;
    ConsoleScan scan(&settings, &usartData, &rooms);
    Model model;

    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const QList<QByteArray> rawLines = input.split('\n');
    for (QByteArray raw : rawLines) {
        if (raw.startsWith('\x01')) {
            usartData.status = raw.size() > 1 ? uint8_t(raw.at(1)) : 0;
            continue;
        }
        if (raw.endsWith('\r'))
            raw.chop(1);
        const QString line = QString::fromUtf8(raw);
        const QStringList words = line.split(QLatin1Char(' '), Qt::KeepEmptyParts);

        const uint8_t cmdBefore = usartData.orangeCMD.load();
        const uint8_t doorBefore = usartData.openDoor.load();
        const uint8_t intercomBefore = settings.setIntercom.load();
        const uint8_t status = usartData.status.load();
        Command expected;
        if (model.mode == Commands) {
            expected = parseCommand(words);
            const ConsoleScan::ReadCommand got = scan.mode_read_command(words);
            FUZZ_CHECK(got.group == expected.group && got.sub == expected.sub
                           && got.message == expected.message,
                       "line '%s' parsed as group %u sub %u, expected group %u sub %u",
                       raw.constData(), got.group, got.sub, expected.group, expected.sub);
        }

        {
            fuzzsupport::QuietStderr quiet;
            scan.handle_line(line);
        }

        // The model's next state.
        const uint8_t group = uint8_t(expected.group & 0xFF);
        switch (model.mode) {
        case Commands:
            if (group == 6) {
                model.mode = Virtual;
                model.imit.reset();
            }
            break;
        case Virtual:
            if (listLine(words, model.imit)) {
                model.mode = Blacklist;
                model.black.reset();
            }
            break;
        case Blacklist:
            if (listLine(words, model.black))
                model.mode = Commands;
            break;
        }

        FUZZ_CHECK(int(scan.mode()) == int(model.mode), "line '%s': mode %d, expected %d",
                   raw.constData(), int(scan.mode()), int(model.mode));
        FUZZ_CHECK(maskOf(rooms.readImitPhone) == model.imit,
                   "line '%s': imitation mask differs from the apartments entered", raw.constData());
        FUZZ_CHECK(maskOf(rooms.readBlackPhone) == model.black,
                   "line '%s': blacklist differs from the apartments entered", raw.constData());

        const uint8_t cmd = usartData.orangeCMD.load();
        FUZZ_CHECK(validCommand(cmd), "line '%s': command %02x", raw.constData(), cmd);

        // What the line did to the shield command and the settings.
        uint8_t cmdExpected = cmdBefore;
        uint8_t doorExpected = doorBefore;
        uint8_t intercomExpected = intercomBefore;
        if (group == 1) {
            cmdExpected = 8;
        } else if (group == 2 && status == 1) {
            cmdExpected = 0x10;
            doorExpected = expected.sub == 65535 ? 1 : uint8_t(expected.sub & 0xFF);
        } else if (group == 2 && (status == 2 || status == 8 || status == 16)) {
            cmdExpected = 4;
        } else if (group == 3) {
            cmdExpected = 1;
        } else if (group == 7) {
            intercomExpected = uint8_t(expected.sub & 0xFF);
        }
        FUZZ_CHECK(cmd == cmdExpected, "line '%s' (status %02x): command %02x, expected %02x",
                   raw.constData(), status, cmd, cmdExpected);
        FUZZ_CHECK(usartData.openDoor.load() == doorExpected,
                   "line '%s': door %u, expected %u", raw.constData(), usartData.openDoor.load(),
                   doorExpected);
        FUZZ_CHECK(settings.setIntercom.load() == intercomExpected,
                   "line '%s': intercom %u, expected %u", raw.constData(),
                   settings.setIntercom.load(), intercomExpected);
        FUZZ_CHECK(settings.flagAdrGate.load() == (settings.setIntercom.load() == 102 ? 1 : 0),
                   "intercom %u with call-unit flag %u", settings.setIntercom.load(),
                   settings.flagAdrGate.load());

        // Raw messages: only "11 HEX" queues one, of at most 255 bytes.
        const int packets = usartData.messageTx.size();
        if (group == 11) {
            const int bytes = (expected.message.size() + 1) / 2;
            FUZZ_CHECK(packets == (bytes <= UsartData::maxMessageSize ? 1 : 0),
                       "message of %d bytes left %d packets", bytes, packets);
        } else {
            FUZZ_CHECK(packets == 0, "line '%s' queued a raw message", raw.constData());
        }
        while (usartData.messageTx.detect_data()) {
            const QByteArray packet = usartData.messageTx.get_data();
            FUZZ_CHECK(packet.size() <= 255, "message packet of %d bytes", int(packet.size()));
        }
    }
    return 0;
}
