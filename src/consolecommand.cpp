#include "consolecommand.h"

#include "console.h"
#include "consolevocabulary.h"
#include "settings.h"

#include <QByteArray>

using Console::word;
namespace Words = ConsoleVocabulary;

ConsoleCommand::ConsoleCommand(Settings *settings)
    : settings(settings)
{
}

void ConsoleCommand::command_dial(uint16_t room, uint8_t addrGate)
{
    QString line = word(Words::dial) + QLatin1Char(' ') + QString::number(room);
    if (settings->flagAdrGate.load() != 0)
        line += QLatin1Char(' ') + QString::number(addrGate);
    Console::writeLine(line);
}

void ConsoleCommand::command_pickup()
{
    Console::writeLine(word(Words::pickup));
}

void ConsoleCommand::command_open()
{
    Console::writeLine(word(Words::open));
}

void ConsoleCommand::command_drop()
{
    Console::writeLine(word(Words::drop));
}

void ConsoleCommand::command_message(const uint8_t *buffer, int size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(buffer), size);
    Console::writeLine(word(Words::message) + QLatin1Char(' ') + QString::fromLatin1(bytes.toHex()));
}
