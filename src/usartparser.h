#ifndef USARTPARSER_H
#define USARTPARSER_H

#include <QByteArray>

class ConsoleCommand;
class Rooms;
class UsartData;

// Copies the fields of an accepted shield frame into UsartData. Pure decoding:
// what the fields mean for the line is decided by the exchange state machine.
class UsartParser
{
public:
    UsartParser(ConsoleCommand *consoleCommand, UsartData *usartData, Rooms *rooms);

    void parserNew(QByteArray &buffer);

private:
    // Kept with the parser for its callers' sake; parsing itself needs only usartData.
    [[maybe_unused]] ConsoleCommand *consoleCommand;
    UsartData *usartData;
    [[maybe_unused]] Rooms *rooms;
};

#endif
