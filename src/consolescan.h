#ifndef CONSOLESCAN_H
#define CONSOLESCAN_H

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>

class Rooms;
class Settings;
class UsartData;

enum ConsoleModeRead_em {
    READ_COMMANDS = 0,
    READ_VIRTUAL_NUMBERS = 1,
    READ_BLACKLIST_NUMBERS = 2,
};

// Reads the telephony application's commands from standard input, one per
// line, on the console thread, and loads the two apartment lists in the
// "dialplan" dialogue.
class ConsoleScan : public QObject
{
    Q_OBJECT
public:
    struct ReadCommand {
        uint16_t group = 0;
        uint16_t sub = 0;
        QString message;
    };

    ConsoleScan(Settings *settings, UsartData *usartData, Rooms *rooms);

    // Handles one line of input in the current mode.
    void handle_line(const QString &line);

    ReadCommand mode_read_command(QStringList words);
    void command_spi_do(uint8_t readCommandGroup, uint16_t readCommandSub, QString readCommandMessage);
    int mode_read_list(QStringList words, std::atomic<uint32_t> *listPhone);

    ConsoleModeRead_em mode() const { return consoleModeRead; }

public slots:
    // The read loop. Returns only once standard input has ended.
    void cycle_scan();

private:
    ConsoleModeRead_em consoleModeRead = READ_COMMANDS;
    Settings *settings;
    UsartData *usartData;
    Rooms *rooms;
};

#endif
