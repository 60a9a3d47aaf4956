#include "settings.h"

#include "console.h"

Settings::Settings()
{
    flagAdrGate = 0;
}

void Settings::parser_param(int argc, char **argv)
{
    QList<QString> options;
    if (argc > 1) {
        for (int i = 0; i < argc; ++i)
            options.append(QString::fromUtf8(argv[i]));
    }

    if (options.contains(QStringLiteral("-v"))) {
        Console::writeLine(QStringLiteral("TMX_STM_Driver: v2.17"));
        Console::writeLine(QStringLiteral("Beta: 2"));
        Console::writeLine(QStringLiteral("#Not for release!: "));
    }

    set_intercom(get_intercom_from_list_arg(options));
}

uint8_t Settings::get_intercom_from_list_arg(QList<QString> options)
{
    const int indexList = options.indexOf(QStringLiteral("-ic"));
    if (indexList > 0 && indexList + 1 < options.size()) {
        bool ok = false;
        const uint value = options.at(indexList + 1).toUInt(&ok, 10);
        if (ok)
            return uint8_t(value & 0xFF);
    }
    Console::writeLine(QStringLiteral("#WARNING: No intercom select"));
    return 10;
}

void Settings::set_intercom(uint8_t intercomNumb)
{
    setIntercom = intercomNumb;
    if (intercomNumb == 102) {
        flagAdrGate = 1;
        Console::writeLine(QStringLiteral("#Intercom %1 supported indexes ").arg(intercomNumb));
    } else {
        flagAdrGate = 0;
        Console::writeLine(QStringLiteral("#Intercom %1 not supported indexes ").arg(intercomNumb));
    }
}

QString Settings::uidFromInterfaces(const QList<QPair<QString, QString>> &interfaces)
{
    QString text;
    for (const auto &iface : interfaces) {
        if (iface.first == QLatin1String("end0") || iface.first == QLatin1String("eth0")) {
            text = iface.second;
            text.remove(QLatin1Char(':'));
            break;
        }
    }
    if (text.isEmpty())
        return QStringLiteral("no");
    return text.toLower();
}

QString Settings::get_uid()
{
    QList<QPair<QString, QString>> interfaces;
    const auto all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : all)
        interfaces.append(qMakePair(iface.name(), iface.hardwareAddress()));
    return uidFromInterfaces(interfaces);
}
