#ifndef SETTINGS_H
#define SETTINGS_H

#include <QList>
#include <QNetworkInterface>
#include <QString>
#include <atomic>
#include <cstdint>

// Command line and device identity. setIntercom and flagAdrGate are read by
// the event writer on the main thread while the console thread may change them.
class Settings
{
public:
    Settings();

    void parser_param(int argc, char **argv);
    void set_intercom(uint8_t intercomNumb);
    QString get_uid();

    // The identifier chosen from a given list of (name, hardware address) pairs.
    static QString uidFromInterfaces(const QList<QPair<QString, QString>> &interfaces);

    std::atomic<uint8_t> setIntercom{10};
    std::atomic<uint8_t> flagAdrGate{0};

private:
    uint8_t get_intercom_from_list_arg(QList<QString> options);
};

#endif
