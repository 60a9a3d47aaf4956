#include "consolescan.h"

#include "console.h"
#include "consolevocabulary.h"
#include "rooms.h"
#include "settings.h"
#include "shieldprotocol.h"
#include "usartdata.h"

#include <QDebug>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <unistd.h>

enum CommandGroup : uint8_t {
    GroupPickup = 1,
    GroupOpen = 2,
    GroupDrop = 3,
    GroupDialplan = 6,
    GroupIntercom = 7,
    GroupMessage = 11,
};

static const uint16_t noSub = 65535;

using Console::word;
namespace Words = ConsoleVocabulary;

ConsoleScan::ConsoleScan(Settings *settings, UsartData *usartData, Rooms *rooms)
    : QObject(nullptr)
    , settings(settings)
    , usartData(usartData)
    , rooms(rooms)
{
}

// Whole lines from a descriptor that may be non-blocking, a pipe, a socket
// or a terminal: pieces are joined until "\n" comes, and only a read of
// nothing means the input has ended.
class LineReader
{
public:
    explicit LineReader(int fd)
        : fd(fd)
    {
    }

    enum Result { Line, Ended, Failed };

    Result next(QString &line)
    {
        forever {
            const int end = pending.indexOf('\n');
            if (end >= 0) {
                take(end, end + 1, line);
                return Line;
            }
            if (ended) {
                if (pending.isEmpty())
                    return Ended;
                take(pending.size(), pending.size(), line);  // a last line without its "\n"
                return Line;
            }
            if (!fill())
                return Failed;
        }
    }

    int error = 0;

private:
    void take(int length, int consumed, QString &line)
    {
        QByteArray bytes = pending.left(length);
        pending.remove(0, consumed);
        if (bytes.endsWith('\r'))
            bytes.chop(1);
        line = QString::fromLocal8Bit(bytes);
    }

    // Waits for input and appends what one read gives; false on a hard error.
    bool fill()
    {
        pollfd waiting = {fd, POLLIN, 0};
        if (poll(&waiting, 1, -1) < 0 && errno != EINTR) {
            error = errno;
            return false;
        }
        char chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            pending.append(chunk, int(n));
            if (pending.size() > maxLine && !pending.contains('\n')) {
                // No command is this long: input that never ends a line
                // must not fill the memory.
                fprintf(stderr, "console: discarded %d bytes without a line end\n", int(pending.size()));
                pending.clear();
            }
        } else if (n == 0) {
            ended = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = errno;
            return false;
        }
        return true;
    }

    static const int maxLine = 65536;
    const int fd;
    QByteArray pending;
    bool ended = false;
};

void ConsoleScan::cycle_scan()
{
    LineReader input(STDIN_FILENO);
    QString line;
    forever {
        switch (input.next(line)) {
        case LineReader::Line:
            handle_line(line);
            break;
        case LineReader::Ended:
            // Every further read would return at once. Stop reading; the
            // rest of the daemon runs on.
            fprintf(stderr, "console: end of standard input, no more commands are read\n");
            return;
        case LineReader::Failed:
            fprintf(stderr, "console: cannot read standard input (%s), no more commands are read\n",
                    strerror(input.error));
            return;
        }
    }
}

static void clearMask(std::atomic<uint32_t> *mask)
{
    for (int i = 0; i < Rooms::words; ++i)
        mask[i].store(0);
}

void ConsoleScan::handle_line(const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::KeepEmptyParts, Qt::CaseSensitive);

    switch (consoleModeRead) {
    case READ_VIRTUAL_NUMBERS:
        if (mode_read_list(words, rooms->readImitPhone) < 0) {
            Console::writeLine(word(Words::blacklistMask));
            Console::writeLine(word(Words::blacklistPrompt));
            clearMask(rooms->readBlackPhone);
            consoleModeRead = READ_BLACKLIST_NUMBERS;
        }
        break;
    case READ_BLACKLIST_NUMBERS:
        if (mode_read_list(words, rooms->readBlackPhone) < 0) {
            Console::writeLine(word(Words::virtualUpdated));
            Console::writeLine(word(Words::blacklistUpdated));
            consoleModeRead = READ_COMMANDS;
        }
        break;
    default: {
        const ReadCommand command = mode_read_command(words);
        command_spi_do(uint8_t(command.group & 0xFF), command.sub, command.message);
        break;
    }
    }
}

// Unsigned decimal in the C locale, low 16 bits kept.
static uint16_t toCode(const QString &word, bool *ok)
{
    return uint16_t(word.toUInt(ok, 10) & 0xFFFF);
}

ConsoleScan::ReadCommand ConsoleScan::mode_read_command(QStringList words)
{
    ReadCommand result;
    const int n = words.size();
    bool isNumber = false;
    const uint16_t code = toCode(words.at(0), &isNumber);

    if (isNumber && n == 1) {
        // One-word code: leading decimal digit is the group, the rest the sub.
        uint16_t g = code & 0xFF;
        uint16_t s = noSub;
        uint32_t m = 1;
        while (g > 9) {
            m *= 10;
            g /= 10;
            s = uint16_t(code % m);
        }
        result.group = g;
        result.sub = s;
        return result;
    }
    if (isNumber && n == 2 && code == GroupMessage) {
        result.group = GroupMessage;
        result.sub = 0;
        result.message = words.at(1);
        return result;
    }
    if (isNumber && n == 2) {
        bool subIsNumber = false;
        const uint16_t sub = toCode(words.at(1), &subIsNumber);
        if (subIsNumber) {
            result.group = code;
            result.sub = sub;
        }
        return result;
    }
    if (isNumber)
        return result;

    const QString &keyword = words.at(0);
    auto numberAfter = [&words, n](uint32_t mask) -> uint16_t {
        if (n < 2)
            return 0;
        bool ok = false;
        const uint value = words.at(1).toUInt(&ok, 10);
        return ok ? uint16_t(value & mask) : 0;
    };

    if (keyword == word(Words::pickup)) {
        result.group = GroupPickup;
    } else if (keyword == word(Words::open)) {
        result.group = GroupOpen;
        result.sub = n < 2 ? 3 : numberAfter(0xFF);
    } else if (keyword == word(Words::drop)) {
        result.group = GroupDrop;
    } else if (keyword == word(Words::dial)) {
        result.group = 4;
        result.sub = numberAfter(0xFFFF);
    } else if (keyword == word(Words::phonedetect)) {
        result.group = 5;
        result.sub = numberAfter(0xFFFF);
    } else if (keyword == word(Words::dialplan)) {
        result.group = GroupDialplan;
    }
    return result;
}

void ConsoleScan::command_spi_do(uint8_t readCommandGroup, uint16_t readCommandSub,
                                 QString readCommandMessage)
{
    switch (readCommandGroup) {
    case GroupPickup:
        usartData->command_pickup();
        break;
    case GroupOpen: {
        const uint8_t status = usartData->status.load();
        // The exact status byte, as the shield last reported it: a one-time
        // opening on an idle line, the call's door during a call.
        using namespace ShieldProtocol;
        if (status == LineIdle)
            usartData->command_open_onetime(readCommandSub == noSub ? 1 : (readCommandSub & 0xFF));
        else if (status == LineCall || status == LineConversation || status == LineEnding)
            usartData->command_open();
        break;
    }
    case GroupDrop:
        usartData->command_drop_all();
        break;
    case GroupDialplan:
        consoleModeRead = READ_VIRTUAL_NUMBERS;
        clearMask(rooms->readImitPhone);
        Console::writeLine(word(Words::virtualMask));
        Console::writeLine(word(Words::virtualPrompt));
        break;
    case GroupIntercom:
        settings->set_intercom(uint8_t(readCommandSub & 0xFF));
        break;
    case GroupMessage:
        usartData->command_message(readCommandMessage);
        break;
    default:
        break;
    }
}

int ConsoleScan::mode_read_list(QStringList words, std::atomic<uint32_t> *listPhone)
{
    bool ok = false;
    const int16_t number = int16_t(words.at(0).toInt(&ok, 10) & 0xFFFF);
    if (!ok) {
        qDebug("#ERROR: Ошибка ввода квартиры");
        return 0;
    }
    if (words.size() > 1)
        return 0;
    if (number < 0) {
        Console::writeLine(word(Words::listRead));
        Console::writeLine(QString());
        return -1;
    }
    if (number > Rooms::maxRoom) {
        Console::writeLine(word(Words::numberTooBig));
        return 0;
    }
    listPhone[number / 32].fetch_or(1u << (number % 32));
    return 0;
}
