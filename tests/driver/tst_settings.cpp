#include "settings.h"
#include "stdoutcapture.h"

#include <QtTest>

using InterfaceList = QList<QPair<QString, QString>>;
Q_DECLARE_METATYPE(InterfaceList)

// parser_param as main() calls it, with "tmx-driver" as the program name.
static QStringList parse(Settings &settings, const QStringList &args)
{
    QList<QByteArray> storage{QByteArrayLiteral("tmx-driver")};
    for (const QString &arg : args)
        storage.append(arg.toUtf8());
    QVector<char *> argv;
    for (QByteArray &arg : storage)
        argv.append(arg.data());
    argv.append(nullptr);
    return captureStdout([&] { settings.parser_param(storage.size(), argv.data()); });
}

class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void setIntercomAtRunTime();
    void uidFromInterfaces_data();
    void uidFromInterfaces();
};

static const QString warning = QStringLiteral("#WARNING: No intercom select");
static const QStringList versionLines{QStringLiteral("TMX_STM_Driver: v2.17"),
                                      QStringLiteral("Beta: 2"),
                                      QStringLiteral("#Not for release!: ")};

static QString supported(int index)
{
    return QStringLiteral("#Intercom %1 supported indexes ").arg(index);
}

static QString notSupported(int index)
{
    return QStringLiteral("#Intercom %1 not supported indexes ").arg(index);
}

void tst_Settings::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("intercom");
    QTest::addColumn<int>("flagAdrGate");

    const QStringList defaulted{warning, notSupported(10)};

    QTest::newRow("no arguments") << QStringList() << defaulted << 10 << 0;
    QTest::newRow("-ic 102") << QStringList{"-ic", "102"} << QStringList{supported(102)} << 102 << 1;
    QTest::newRow("-ic 5") << QStringList{"-ic", "5"} << QStringList{notSupported(5)} << 5 << 0;
    QTest::newRow("-ic 10 is not defaulted")
        << QStringList{"-ic", "10"} << QStringList{notSupported(10)} << 10 << 0;
    QTest::newRow("-ic 255") << QStringList{"-ic", "255"} << QStringList{notSupported(255)} << 255 << 0;
    QTest::newRow("-ic 358 keeps low byte")
        << QStringList{"-ic", "358"} << QStringList{supported(102)} << 102 << 1;
    QTest::newRow("-ic 256 keeps low byte")
        << QStringList{"-ic", "256"} << QStringList{notSupported(0)} << 0 << 0;
    QTest::newRow("-ic beyond 32 bits") << QStringList{"-ic", "4294967398"} << defaulted << 10 << 0;
    QTest::newRow("-ic abc") << QStringList{"-ic", "abc"} << defaulted << 10 << 0;
    QTest::newRow("-ic 0x66 is not decimal") << QStringList{"-ic", "0x66"} << defaulted << 10 << 0;
    QTest::newRow("-ic -1") << QStringList{"-ic", "-1"} << defaulted << 10 << 0;
    QTest::newRow("-ic as last argument") << QStringList{"-ic"} << defaulted << 10 << 0;
    QTest::newRow("-ic after other arguments")
        << QStringList{"foo", "-x", "-ic", "102"} << QStringList{supported(102)} << 102 << 1;
    QTest::newRow("first -ic counts")
        << QStringList{"-ic", "5", "-ic", "102"} << QStringList{notSupported(5)} << 5 << 0;
    QTest::newRow("first -ic without value counts")
        << QStringList{"-ic", "abc", "-ic", "102"} << defaulted << 10 << 0;
    QTest::newRow("-v") << QStringList{"-v"} << versionLines + defaulted << 10 << 0;
    QTest::newRow("-v after -ic 102")
        << QStringList{"-ic", "102", "-v"} << versionLines + QStringList{supported(102)} << 102 << 1;
    QTest::newRow("-v twice") << QStringList{"-v", "-v"} << versionLines + defaulted << 10 << 0;
    QTest::newRow("-V") << QStringList{"-V"} << defaulted << 10 << 0;
    QTest::newRow("--v") << QStringList{"--v"} << defaulted << 10 << 0;
    QTest::newRow("-ic102") << QStringList{"-ic102"} << defaulted << 10 << 0;
    QTest::newRow("-IC 102") << QStringList{"-IC", "102"} << defaulted << 10 << 0;
}

void tst_Settings::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, lines);
    QFETCH(int, intercom);
    QFETCH(int, flagAdrGate);

    Settings settings;
    QCOMPARE(parse(settings, args), lines);
    QCOMPARE(int(settings.setIntercom), intercom);
    QCOMPARE(int(settings.flagAdrGate), flagAdrGate);
}

void tst_Settings::setIntercomAtRunTime()
{
    Settings settings;
    parse(settings, {"-ic", "5"});

    QCOMPARE(captureStdout([&] { settings.set_intercom(102); }), QStringList{supported(102)});
    QCOMPARE(int(settings.setIntercom), 102);
    QCOMPARE(int(settings.flagAdrGate), 1);

    QCOMPARE(captureStdout([&] { settings.set_intercom(7); }), QStringList{notSupported(7)});
    QCOMPARE(int(settings.setIntercom), 7);
    QCOMPARE(int(settings.flagAdrGate), 0);
}

void tst_Settings::uidFromInterfaces_data()
{
    QTest::addColumn<InterfaceList>("interfaces");
    QTest::addColumn<QString>("uid");

    const QString lo = QStringLiteral("00:00:00:00:00:00");
    const QString a = QStringLiteral("02:00:00:AB:CD:EF");
    const QString b = QStringLiteral("02:00:00:12:34:56");

    QTest::newRow("eth0 only") << InterfaceList{{"lo", lo}, {"eth0", a}} << "020000abcdef";
    QTest::newRow("end0 only") << InterfaceList{{"end0", b}} << "020000123456";
    QTest::newRow("eth0 before end0") << InterfaceList{{"lo", lo}, {"eth0", a}, {"end0", b}}
                                      << "020000abcdef";
    QTest::newRow("end0 before eth0") << InterfaceList{{"lo", lo}, {"end0", b}, {"eth0", a}}
                                      << "020000123456";
    QTest::newRow("eth1 and wlan0 ignored")
        << InterfaceList{{"eth1", a}, {"wlan0", a}, {"eth0", b}} << "020000123456";
    QTest::newRow("only other names") << InterfaceList{{"lo", lo}, {"eth1", a}, {"wlan0", b}} << "no";
    QTest::newRow("names compared whole")
        << InterfaceList{{"ETH0", a}, {"eth0.100", a}, {"veth0", a}, {"end01", a}} << "no";
    QTest::newRow("empty end0 before eth0") << InterfaceList{{"end0", ""}, {"eth0", a}} << "no";
    QTest::newRow("no interfaces") << InterfaceList{} << "no";
    QTest::newRow("lower case kept") << InterfaceList{{"eth0", "0a:1b:2c:3d:4e:5f"}} << "0a1b2c3d4e5f";
    QTest::newRow("longer address")
        << InterfaceList{{"eth0", "80:00:00:48:FE:80:00:00"}} << "80000048fe800000";
}

void tst_Settings::uidFromInterfaces()
{
    QFETCH(InterfaceList, interfaces);
    QFETCH(QString, uid);

    QCOMPARE(Settings::uidFromInterfaces(interfaces), uid);
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
