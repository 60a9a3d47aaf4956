// Hexadecimal text of the raw message commands: the console's "11 HEX" text
// becomes bytes (UsartData::hexTextToBytes, UsartData::command_message) and
// the shield's answers become the event line "message <hex>"
// (ConsoleCommand::command_message).
//
// Input: the first byte picks a mode, the rest is the payload.
//   mode 0: payload = message bytes. The event line must be "message " and
//           two lower-case hex digits per byte; reading that text back (as is
//           and upper-cased) must give the bytes again, and command_message
//           must queue exactly those bytes when they fit in one packet.
//   mode 1: payload = UTF-8 text; mode 2: payload = UTF-16 code units.
//           Any text gives ceil(length / 2) bytes without crashing, and each
//           pair of two hex digits gives its value.

#include "fuzzsupport.h"

#include "consolecommand.h"
#include "consolevocabulary.h"
#include "settings.h"
#include "usartdata.h"

#include <QString>

static fuzzsupport::StdoutCapture *out;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::quietProcess();
    out = new fuzzsupport::StdoutCapture;
    return 0;
}

static int hexValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

static void roundTrip(const QByteArray &bytes)
{
    static Settings settings;
    static ConsoleCommand console(&settings);

    out->reset();
    console.command_message(reinterpret_cast<const uint8_t *>(bytes.constData()), bytes.size());
    const QByteArray line = out->take();

    const QByteArray prefix = QByteArray(ConsoleVocabulary::message.data(), int(ConsoleVocabulary::message.size())) + ' ';
    FUZZ_CHECK(line.startsWith(prefix) && line.endsWith('\n') && line.count('\n') == 1,
               "not one message line: '%s'", line.constData());
    const QByteArray hex = line.mid(prefix.size(), line.size() - prefix.size() - 1);
    FUZZ_CHECK(hex.size() == 2 * bytes.size(), "%d hex digits for %d bytes", int(hex.size()),
               int(bytes.size()));
    for (char c : hex)
        FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'), "not lower-case hex: '%s'",
                   hex.constData());

    const QString text = QString::fromLatin1(hex);
    FUZZ_CHECK(UsartData::hexTextToBytes(text) == bytes, "hex text '%s' reads back differently",
               hex.constData());
    FUZZ_CHECK(UsartData::hexTextToBytes(text.toUpper()) == bytes,
               "upper-case hex text '%s' reads back differently", hex.constData());

    UsartData data;
    bool queued;
    {
        fuzzsupport::QuietStderr quiet;
        queued = data.command_message(text);
    }
    FUZZ_CHECK(queued == (bytes.size() <= UsartData::maxMessageSize),
               "%d bytes: command_message returned %d", int(bytes.size()), int(queued));
    FUZZ_CHECK(data.messageTx.size() == (queued ? 1 : 0), "%d packets queued",
               data.messageTx.size());
    if (queued)
        FUZZ_CHECK(data.messageTx.get_data() == bytes, "queued packet differs from the text");
}

static void anyText(const QString &text)
{
    const QByteArray bytes = UsartData::hexTextToBytes(text);
    FUZZ_CHECK(bytes.size() == (text.size() + 1) / 2, "%d characters gave %d bytes",
               int(text.size()), int(bytes.size()));
    for (int i = 0; i + 1 < text.size(); i += 2) {
        const int high = hexValue(text.at(i));
        const int low = hexValue(text.at(i + 1));
        if (high >= 0 && low >= 0)
            FUZZ_CHECK(uint8_t(bytes.at(i / 2)) == high * 16 + low, "pair at %d read as %02x", i,
                       uint8_t(bytes.at(i / 2)));
    }

    UsartData data;
    bool queued;
    {
        fuzzsupport::QuietStderr quiet;
        queued = data.command_message(text);
    }
    FUZZ_CHECK(queued == (bytes.size() <= UsartData::maxMessageSize), "%d bytes: returned %d",
               int(bytes.size()), int(queued));
    if (queued)
        FUZZ_CHECK(data.messageTx.get_data() == bytes, "queued packet differs from the text");
    else
        FUZZ_CHECK(!data.messageTx.detect_data(), "a refused message was queued");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t mode = input.byte() % 3;
    const QByteArray payload = input.rest();
    switch (mode) {
    case 0:
        roundTrip(payload);
        break;
    case 1:
        anyText(QString::fromUtf8(payload));
        break;
    default:
        anyText(QString(reinterpret_cast<const QChar *>(payload.constData()), payload.size() / 2));
        break;
    }
    return 0;
}
