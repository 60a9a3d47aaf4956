#ifndef CONSOLECOMMAND_H
#define CONSOLECOMMAND_H

#include <cstdint>

class Settings;

// Writes line events for the telephony application on standard output, one
// whole line per call.
class ConsoleCommand
{
public:
    explicit ConsoleCommand(Settings *settings);

    void command_dial(uint16_t room, uint8_t addrGate);
    void command_pickup();
    void command_open();
    void command_drop();
    void command_message(const uint8_t *buffer, int size);

private:
    Settings *settings;
};

#endif
