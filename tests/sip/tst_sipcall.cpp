// Calls through tmx-sip to a real SIP phone: shield-sim plays the shield on a
// pty, tmx-sip runs the daemon on it (stand-in board library, SPI in
// loopback) and rings baresip, which runs headless on 127.0.0.1 with a sine
// tone as its microphone and records what it hears. baresip gets no player
// module: it records in its decoder all the same, and ALSA's null device
// would keep a core busy (it never blocks).
//
// Each row is one call: the shield's scenario, lines added to tmx-sip's
// configuration, and the steps of the test, one per line:
//   phone incoming [KEY=VALUE|...]  baresip is rung once more (fields of its event)
//   phone accept|hangup             answer, or reject / hang up
//   phone key KEYS                  press the keys (RFC 4733 telephone events)
//   phone dial [AOR]                call tmx-sip (from account AOR, default apt123)
//   phone established               that call was answered
//   phone closed [TEXT]             one more of baresip's calls has ended (with TEXT)
//   phone calls N                   baresip was rung N times in all
//   poll CMD                        a poll to the shield carries command CMD
//   pollstatus S                    a poll to the shield carries status S
//   nopoll CMD                      no poll so far carried command CMD
//                                   (polls count from the last sighup or kill-daemon)
//   event NAME                      the shield saw pickup, open or drop happen
//   log TEXT                        tmx-sip wrote a line holding TEXT
//   logs N TEXT                     ... at least N lines
//   sighup LINE|LINE...             these lines replace the row's own in the
//                                   configuration; SIGHUP to tmx-sip
//   kill-daemon                     SIGKILL to the daemon tmx-sip started last
//   touch NAME                      create the file NAME (a stand-in daemon waits for it)
//   daemon-read TEXT, not-read TEXT the stand-in daemon read / did not read a
//                                   line starting with TEXT
//   descriptors N...                the stand-in daemon listed just these open
//                                   descriptors in the file fds
//   registrar [at most] N TEXT      the registrar wrote N lines (at least, or
//                                   at most) holding TEXT
//   memory                          tmx-sip's heap in use and open descriptors now
//                                   (its line on SIGUSR1): the baseline
//   memory settles KB               within 90 s they come back: the heap to the
//                                   baseline and KB kB at most, the descriptors
//                                   to the baseline at most
//   stop                            SIGTERM to tmx-sip: it exits with 0
//   scenario-end                    the shield's scenario ran out
//   shield-step N                   the shield's scenario reached its line N
//   recorded [+]S                   baresip's recording holds S seconds (+: more than now)
//   foreign                         a burst of loud 1 kHz RTP to tmx-sip's RTP port
//                                   from another port (played, it would spoil
//                                   the tone in the recording)
//   mark                            remember the recording's length here
//   audio                           check the recording (see checkAudio)
//   sipp                            (first step) SIPp plays the phone of
//                                   apartment 123 instead, with info-phone.xml
//   sipp done                       SIPp played its scenario to the end
//   registrar                       (first step) kamailio runs on 127.0.0.1:5080
//                                   with registrar.cfg; baresip's apt123
//                                   registers there before the rest starts
//
// Each row is its own CTest test, sip_ROW, run in a network namespace of its
// own (tests/netns-run): tst_sipcall call:ROW.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include "tracereader.h"

#include <rem.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/prctl.h>

#if !defined(TMX_SIP_PATH) || !defined(TMX_SHIELDSIM_PATH) || !defined(TMX_SIPP_SCENARIO) \
    || !defined(TMX_REGISTRAR_CONFIG)
#error "TMX_SIP_PATH, TMX_SHIELDSIM_PATH, TMX_SIPP_SCENARIO and TMX_REGISTRAR_CONFIG must be defined"
#endif

namespace {

const int stepTimeoutMs = 30000;
const int rate = 8000;
const char phoneSip[] = "127.0.0.1:5062";
const quint16 sippPort = 5070;
const char tmxSipUri[] = "sip:intercom@127.0.0.1:5060";
const char registrarAddress[] = "127.0.0.1:5080";
const char phoneCtrl[] = "127.0.0.1";
const quint16 phoneCtrlPort = 4444;
const double phoneToneHz = 440;
const double confirmationHz = 1400;

// A child that dies with the test, so a test killed by its time-out leaves
// nothing behind.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

// baresip, driven over its TCP control interface (netstrings of JSON).
class Phone
{
public:
    // With a registrar, apt123 registers there (and is called through it).
    bool start(const QString &dir, bool registrar, QString &error)
    {
        QDir().mkpath(dir + "/rec");
        recDir = dir + "/rec";
        QFile config(dir + "/config");
        QFile accounts(dir + "/accounts");
        if (!config.open(QIODevice::WriteOnly) || !accounts.open(QIODevice::WriteOnly)) {
            error = "cannot write baresip's configuration";
            return false;
        }
        config.write(QStringLiteral("sip_listen %1\n"
                                    "net_interface 127.0.0.1\n"
                                    "audio_source ausine,%2\n"
                                    "ausrc_srate 48000\n"
                                    "ausrc_channels 2\n"
                                    "module_path /usr/lib/baresip/modules\n"
                                    "module g711.so\nmodule ausine.so\nmodule sndfile.so\n"
                                    "module_app account.so\nmodule_app menu.so\nmodule_app ctrl_tcp.so\n"
                                    "ctrl_tcp_listen %3:%4\n"
                                    "snd_path %5\n")
                         .arg(phoneSip)
                         .arg(phoneToneHz)
                         .arg(phoneCtrl)
                         .arg(phoneCtrlPort)
                         .arg(recDir)
                         .toUtf8());
        // Two apartments' phones on one baresip: the request URI picks the account.
        for (const char *user : {"apt123", "apt124"})
            accounts.write(QStringLiteral("<sip:%1@%2>;%3answermode=manual;audio_codecs=PCMU,PCMA\n")
                               .arg(user)
                               .arg(registrar && !strcmp(user, "apt123") ? registrarAddress : phoneSip)
                               .arg(registrar && !strcmp(user, "apt123") ? "auth_pass=phone-secret;regint=600;"
                                                                         : "regint=0;")
                               .toUtf8());
        config.close();
        accounts.close();
        proc.setProcessChannelMode(QProcess::MergedChannels);
        proc.setStandardOutputFile(dir + "/baresip.log");
        proc.start(QStringLiteral("baresip"), {QStringLiteral("-f"), dir});
        if (!proc.waitForStarted(10000)) {
            error = "cannot start baresip: " + proc.errorString();
            return false;
        }
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < stepTimeoutMs) {
            ctrl.connectToHost(QString(phoneCtrl), phoneCtrlPort);
            if (ctrl.waitForConnected(500))
                return true;
            ctrl.abort();
            if (proc.state() != QProcess::Running)
                break;
            QTest::qWait(100);
        }
        error = "baresip's control port never opened";
        return false;
    }

    void stop()
    {
        ctrl.abort();
        if (proc.state() != QProcess::NotRunning) {
            proc.terminate();
            if (!proc.waitForFinished(5000))
                proc.kill();
            proc.waitForFinished(5000);
        }
    }

    void command(const QString &name, const QString &params = QString())
    {
        QJsonObject o{{"command", name}, {"token", QString::number(++token)}};
        if (!params.isNull())
            o.insert("params", params);
        const QByteArray json = QJsonDocument(o).toJson(QJsonDocument::Compact);
        ctrl.write(QByteArray::number(json.size()) + ':' + json + ',');
        ctrl.flush();
    }

    // Reads what arrived; the events in order.
    const QList<QJsonObject> &events()
    {
        buffer += ctrl.readAll();
        for (;;) {
            const int colon = buffer.indexOf(':');
            if (colon < 0)
                break;
            const int len = buffer.left(colon).toInt();
            if (buffer.size() < colon + 1 + len + 1)
                break;
            const QJsonObject o = QJsonDocument::fromJson(buffer.mid(colon + 1, len)).object();
            buffer.remove(0, colon + 1 + len + 1);
            if (o.value("event").toBool())
                received.append(o);
        }
        return received;
    }

    int count(const QString &type)
    {
        int n = 0;
        for (const QJsonObject &o : events())
            n += o.value("type").toString() == type;
        return n;
    }

    // The n-th event of that type, from 0.
    QJsonObject nth(const QString &type, int n)
    {
        for (const QJsonObject &o : events())
            if (o.value("type").toString() == type && n-- == 0)
                return o;
        return QJsonObject();
    }

    QJsonObject last(const QString &type)
    {
        const QList<QJsonObject> &all = events();
        for (int i = all.size() - 1; i >= 0; --i)
            if (all.at(i).value("type").toString() == type)
                return all.at(i);
        return QJsonObject();
    }

    QString recording() const
    {
        const QStringList files = QDir(recDir).entryList({QStringLiteral("*-dec.wav")}, QDir::Files, QDir::Name);
        return files.isEmpty() ? QString() : recDir + "/" + files.last();
    }

    // Seconds recorded so far, from the file's size (16-bit mono at 8 kHz).
    double recordedSeconds() const
    {
        const QString f = recording();
        return f.isEmpty() ? 0 : qMax<qint64>(0, QFileInfo(f).size() - 44) / 2.0 / rate;
    }

    ChildProcess proc;
    QTcpSocket ctrl;
    QByteArray buffer;
    QList<QJsonObject> received;
    QString recDir;
    int token = 0;
    int closedSeen = 0;
    int establishedSeen = 0;
    int incomingSeen = 0;
};

// What the shield saw, from the simulator's --trace file.
class Trace : public TraceReader
{
public:
    // Polls with that field's value since the mark (a CLOCK_MONOTONIC time).
    int polls(const QString &field, int value)
    {
        update();
        int n = 0;
        for (const TraceLine &line : of("rx-poll"))
            n += line.ns >= since && line.number(field) == value;
        return n;
    }

    qint64 since = 0;

    // A line of that kind, with KEY=VALUE among its fields when given.
    bool has(const QString &kind, const QString &field = QString())
    {
        update();
        for (const TraceLine &line : of(kind))
            if (field.isEmpty() || line.field(field.section('=', 0, 0)) == field.section('=', 1))
                return true;
        return false;
    }
};

struct Wav
{
    QVector<qint16> samples;
    bool complete = false;
};

// A finished 16-bit mono WAV file at 8 kHz, as libsndfile writes it.
Wav readWav(const QString &path)
{
    Wav wav;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return wav;
    const QByteArray all = f.readAll();
    if (all.size() < 12 || !all.startsWith("RIFF") || all.mid(8, 4) != "WAVE")
        return wav;
    auto u32 = [&](int at) { return quint32(quint8(all[at])) | quint32(quint8(all[at + 1])) << 8
                                    | quint32(quint8(all[at + 2])) << 16 | quint32(quint8(all[at + 3])) << 24; };
    int at = 12;
    while (at + 8 <= all.size()) {
        const QByteArray id = all.mid(at, 4);
        const quint32 size = u32(at + 4);
        if (id == "fmt ") {
            if (u32(at + 12) != quint32(rate) || quint8(all[at + 10]) != 1 || quint8(all[at + 22]) != 16)
                return wav; // not 8 kHz mono 16-bit
        } else if (id == "data") {
            if (size == 0 || at + 8 + int(size) > all.size())
                return wav; // still being written
            wav.samples.resize(int(size / 2));
            memcpy(wav.samples.data(), all.constData() + at + 8, size & ~1u);
            wav.complete = true;
            return wav;
        }
        at += 8 + int(size + (size & 1));
    }
    return wav;
}

// Power at each whole frequency from 0 to 4000 Hz of one second of samples
// under a Hann window (librem's Goertzel filter per frequency).
QVector<double> spectrum(const qint16 *x)
{
    QVector<double> windowed(rate);
    for (int i = 0; i < rate; ++i)
        windowed[i] = x[i] * (0.5 - 0.5 * std::cos(2 * M_PI * i / (rate - 1)));
    QVector<double> power(rate / 2 + 1);
    for (int f = 0; f <= rate / 2; ++f) {
        struct goertzel g;
        goertzel_init(&g, f, rate);
        for (int i = 0; i < rate; ++i) {
            const double q0 = g.coef * g.q1 - g.q2 + windowed[i];
            g.q2 = g.q1;
            g.q1 = q0;
        }
        power[f] = goertzel_result(&g);
    }
    return power;
}

double goertzelPower(const qint16 *x, int n, double hz)
{
    struct goertzel g;
    goertzel_init(&g, hz, rate);
    for (int i = 0; i < n; ++i)
        goertzel_update(&g, x[i]);
    return goertzel_result(&g);
}

} // namespace

class tst_SipCall : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void call_data();
    void call();

private:
    void runStep(const QString &step);
    void checkAudio();
    QString logText() const { return QString::fromUtf8(sipErr); }

    void writeConfig(const QString &rowLines);
    bool startRegistrar();
    int countLines(const QByteArray &text, const QString &needle) const;
    void readMemory(qint64 &heap, int &fds);

    QScopedPointer<QTemporaryDir> dir;
    Phone phone;
    ChildProcess sipp;
    ChildProcess registrar;
    QByteArray registrarErr;
    QString configBase;
    ChildProcess sim;
    ChildProcess sip;
    Trace trace;
    QByteArray sipErr;
    double mark = -1;
    qint64 heapBase = -1;
    int fdsBase = -1;
};

void tst_SipCall::init()
{
    dir.reset(new QTemporaryDir());
    QVERIFY(dir->isValid());
    sipErr.clear();
    registrarErr.clear();
    mark = -1;
    heapBase = fdsBase = -1;
    trace.since = 0;
}

void tst_SipCall::cleanup()
{
    if (sip.state() != QProcess::NotRunning) {
        sip.terminate();
        QVERIFY2(sip.waitForFinished(15000), "tmx-sip did not stop on SIGTERM");
        sipErr += sip.readAllStandardError();
        QCOMPARE(sip.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sip.exitCode(), 0);
    }
    sim.terminate();
    sim.waitForFinished(5000);
    phone.stop();
    for (ChildProcess *p : {&sipp, &registrar}) {
        if (p->state() != QProcess::NotRunning) {
            p->terminate();
            if (!p->waitForFinished(5000))
                p->kill();
            p->waitForFinished(5000);
        }
    }
    if (QTest::currentTestFailed()) {
        trace.update();
        dir->setAutoRemove(false);
        qWarning().noquote() << "files kept in" << dir->path() << "\n--- tmx-sip:\n" << logText()
                             << "\n--- shield trace, last lines:\n" << trace.tail(15);
        if (!registrarErr.isEmpty())
            qWarning().noquote() << "--- registrar:\n" << registrarErr.right(3000);
    }
    phone.buffer.clear();
    phone.received.clear();
    phone.closedSeen = phone.establishedSeen = phone.incomingSeen = 0;
}

void tst_SipCall::call_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("steps");

    const QString ring = "idle\nwait polls 2\ncall 123 from 3\n";
    const QString incoming = "phone incoming accountaor=sip:apt123@127.0.0.1:5062|peerdisplayname=Door 3, apartment 123\n";
    // A caller in the allow-list, PIN 1234.
    const QString callers = "allow sip:apt123@127.0.0.1\npin 1234\n";
    const QString callIn = "phone dial\nphone established\n";

    QTest::newRow("answered")
        << ring + "wait pickup 60s\nwait open 60s\nwait drop 60s\n" << QString()
        << incoming + "phone accept\npoll 8\nevent pickup\nrecorded 1.5\nforeign\nrecorded 3.2\nmark\nphone key #\n"
                      "poll 4\nevent open\nlog confirmation tone\nrecorded +1.2\n"
                      "phone hangup\npoll 1\nevent drop\nphone closed\naudio\nlog 50 foreign packets\n";
    QTest::newRow("declined")
        << ring + "wait drop 60s\n" << QString()
        << incoming + "phone hangup\nphone closed\npoll 1\nevent drop\n";
    QTest::newRow("unanswered")
        << ring + "wait drop 60s\n" << "ring_timeout 2\n"
        << incoming + "log no answer in 2 s\nphone closed\npoll 1\nevent drop\n";
    QTest::newRow("intercom ends the talk")
        << ring + "wait pickup 60s\nwait polls 3\nhangup\nidle\n" << QString()
        << incoming + "phone accept\npoll 8\nlog the intercom ended the call\nlog (BYE)\nphone closed\n";
    QTest::newRow("intercom ends the ringing")
        << ring + "wait polls 8\nhangup\nidle\n" << QString()
        << incoming + "log the intercom ended the call\nlog (CANCEL)\nphone closed\nnopoll 8\n";
    QTest::newRow("answered at the apartment")
        << ring + "wait polls 8\ntalk\nwait polls 4\nhangup\nidle\n" << QString()
        << incoming + "log taken at the apartment\nlog (CANCEL)\nphone closed\nscenario-end\nnopoll 1\n";
    QTest::newRow("open key by SIP INFO")
        << ring + "wait open 60s\nhangup\nidle\n" << QString()
        << "sipp\nlog key #: open\npoll 4\nevent open\nlog (BYE)\nsipp done\n";
    QTest::newRow("no uri")
        << "idle\nwait polls 2\ncall 125 from 3\nwait polls 6\nhangup\nidle\n" << QString()
        << "log apartment 125 door 3: no URI\nscenario-end\nnopoll 1\nphone calls 0\n";
    // A stand-in daemon: a second dial while the first call is up.
    QTest::newRow("second dial")
        << "idle\n" << "daemon /bin/sh DIR/second-dial.sh\n"
        << incoming + "phone accept\nlog apartment 124 door 2: a call is up\nphone closed\nphone calls 1\n";

    // The masks: the shield places its calls once the test has opened door
    // unit 5 by calling in with the PIN, which it does once tmx-sip has
    // loaded the masks, and again after SIGHUP once the line is idle (a call
    // to a blacklisted apartment is not reported: tmx-sip cannot tell).
    QTest::newRow("masks and the door opened by PIN")
        << "idle\nwait open 60s\nwait polls 1\ncall 124 from 2\nwait drop 60s\nwait polls 3\n"
           "call 125 from 2\nwait polls 4\nhangup\nwait polls 3\n"
           "wait open 60s\nwait polls 1\ncall 124 from 2\nwait polls 4\nhangup\nidle\n"
        << callers + "apartment 124 sip:apt124@127.0.0.1:5062 virtual\nblacklist 125\n"
        << "log masks loaded: 1 virtual, 1 blacklisted\n" + callIn
               + "phone key 1234#5\nlog PIN right\npoll 16\nevent open\nlog confirmation tone\nphone closed\n"
                 "phone incoming accountaor=sip:apt124@127.0.0.1:5062|peerdisplayname=Door 2, apartment 124\n"
                 "pollstatus 0x40\nphone hangup\nphone closed\npoll 1\npollstatus 0x60\nphone calls 1\nshield-step 11\n"
                 "sighup " + QString(callers).replace('\n', '|') + "apartment 124 sip:apt124@127.0.0.1:5062|blacklist 124-125\n"
                 "log masks loaded: 0 virtual, 2 blacklisted\n" + callIn
               + "phone key 1234#5\npoll 16\nphone closed\npollstatus 0x60\nscenario-end\nnopoll 0x40\n"
                 "phone calls 1\n";
    // Every way in that must not open a door: a caller not allowed, no PIN,
    // the right PIN without a door digit, no key in time, wrong PINs; the
    // third wrong one locks the caller out.
    QTest::newRow("no door without the PIN")
        << "idle\n" << callers + "pin_timeout 2\n"
        << "log holds a password or PIN and is readable by others (mode 0644)\n"
           "phone dial sip:apt124@127.0.0.1:5062\nphone closed 403\nlog not in the allow-list\n" + callIn
               + "phone key #5\nlog wrong PIN\nphone closed\n" + callIn
               + "phone key 1234#*\nlog names no door\nphone closed\n" + callIn
               + "log no PIN in time\nphone closed\n" + callIn
               + "phone key 9999#5\nphone closed\n" + callIn
               + "phone key 12345#5\nlog 3 wrong PINs\nphone closed\n"
                 "phone dial\nphone closed 403\nlog locked out\nnopoll 16\n";
    // A stand-in daemon: a door call comes while a caller has the right PIN
    // in and is about to press the door digit; then a call in is busy.
    QTest::newRow("door call while calling in")
        << "idle\n" << callers + "daemon /bin/sh DIR/door-call.sh\n"
        << callIn + "phone key 1234#\nlog PIN right\ntouch go\nlog a door call came\nphone closed\n" + incoming
               + "phone dial\nphone closed 486\nphone hangup\nphone closed\ndaemon-read drop\nnot-read open\n";

    // Supervision.
    QTest::newRow("daemon killed in a call")
        << ring + "wait pickup 60s\n" << QString()
        << incoming + "phone accept\npoll 8\nkill-daemon\nlog daemon: ended by signal 9\nphone closed\n"
                      "log starting it again in 1 s\nlog daemon started again\nlogs 2 masks loaded\npoll 0\n";
    QTest::newRow("daemon keeps failing")
        << "idle\n" << "daemon /bin/sh DIR/fail.sh\n"
        << "log ended with status 3\nlog again in 1 s\nlog again in 2 s\nlog again in 4 s\ndescriptors 0 1 2 3\n";
    // A daemon that closes its output and runs on, deaf to SIGTERM, would
    // leave tmx-sip waiting for ever; so would one that exits while a child
    // of its own holds its output (the second run stays).
    QTest::newRow("daemon closes its output")
        << "idle\n" << "daemon /bin/sh DIR/close-output.sh\n"
        << "log masks loaded\nlog closed its output but runs on\nlog 2 s after SIGTERM: killing it\nlog ended by signal 9\n"
           "log starting it again in 1 s\nlog daemon started again\nlogs 2 masks loaded\nstop\n";
    QTest::newRow("daemon leaves a child on its output")
        << "idle\n" << "daemon /bin/sh DIR/leave-child.sh\n"
        << "log ended with status 5\nlog daemon started again\nlog masks loaded\n";

    // Registration with kamailio. An outbound proxy before a registrar's
    // domain that has no address of its own; the phone is an extension there.
    QTest::newRow("registered and called through the registrar")
        << ring + "wait pickup 60s\n"
        << "registrar sip:pbx.test\noutbound_proxy sip:127.0.0.1:5080\npassword door-secret\nexpires 4\n"
           "apartment 123 apt123\n"
        << "registrar\nlog registered sip:intercom@pbx.test\nlog refreshed sip:intercom@pbx.test\n"
           "phone incoming accountaor=sip:apt123@127.0.0.1:5080|peerdisplayname=Door 3, apartment 123\n"
           "registrar 1 INVITE from intercom relayed\nphone accept\npoll 8\n"
           "stop\nphone closed\nregistrar 1 saved intercom expires=0\n";
    QTest::newRow("registrar refuses the password")
        << "idle\n" << "registrar sip:127.0.0.1:5080\npassword wrong\nregister_retry 1-4\n"
        << "registrar\nlog 401 Unauthorized: wrong user or password; trying again in 1 s\n"
           "log trying again in 2 s\nlog trying again in 4 s\n"
           "registrar 6 REGISTER intercom\nregistrar at most 6 REGISTER intercom\n";

    // Months of calls: fifty whole calls in a row (answered, open key, hung
    // up) leave tmx-sip's heap and descriptors where the first left them.
    QString calls;
    for (int n = 1; n <= 50; ++n)
        calls += incoming + QStringLiteral("phone accept\nphone established\nphone key #\nlogs %1 confirmation tone\n"
                                           "phone hangup\nphone closed\nlogs %1 underruns\n%2")
                                .arg(n)
                                .arg(n == 1 ? "memory\n" : "");
    QTest::newRow("fifty calls leave nothing behind")
        << "idle\nwait polls 2\n" + QString("call 123 from 3\nwait open 60s\nwait drop 60s\nidle\nwait polls 3\n").repeated(50)
        << QString() << calls + "memory settles 16\n";
}

// The configuration: what every row needs, with the row's own lines after
// it (an apartment of the row replaces the default one).
void tst_SipCall::writeConfig(const QString &rowLines)
{
    const QString d = dir->path();
    QString rows = QString(rowLines).replace("DIR", d);
    QString text = configBase;
    for (const QString &line : configBase.split('\n', Qt::SkipEmptyParts))
        if (line.startsWith("apartment ") && rows.contains(line.section(' ', 0, 1) + " "))
            text.remove(line + "\n");
    if (!rows.contains("daemon ") && !rows.contains("intercom "))
        rows += "intercom 102\n";
    QFile conf(d + "/tmx-sip.conf");
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write((text + rows).toUtf8());
    // As an editor leaves it under the usual umask: readable by all.
    QVERIFY(conf.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
}

// kamailio on 127.0.0.1:5080 with two users in a text database; baresip's
// apt123 registers with it.
bool tst_SipCall::startRegistrar()
{
    const QString db = dir->path() + "/db";
    QDir().mkpath(db);
    QFile version(db + "/version"), users(db + "/subscriber");
    if (!version.open(QIODevice::WriteOnly) || !users.open(QIODevice::WriteOnly))
        return false;
    version.write("id(int,auto) table_name(string) table_version(int) \n0:version:1\n1:subscriber:7\n");
    users.write("id(int,auto) username(string) domain(string) password(string) \n"
                "1:intercom:127.0.0.1:door-secret\n2:apt123:127.0.0.1:phone-secret\n");
    version.close();
    users.close();
    connect(&registrar, &QProcess::readyReadStandardError, this,
            [this] { registrarErr += registrar.readAllStandardError(); });
    registrar.start("kamailio", {"-f", TMX_REGISTRAR_CONFIG, "-A", "DBURL=\"text://" + db + "\"", "-DD", "-E",
                                 "-n", "1", "-m", "16", "-M", "4", "-w", dir->path()});
    return registrar.waitForStarted(10000);
}

// tmx-sip's line on SIGUSR1: "memory: N bytes in use on the heap, ...; D descriptors open".
void tst_SipCall::readMemory(qint64 &heap, int &fds)
{
    const int before = countLines(sipErr, "sip: memory: ");
    QVERIFY(::kill(pid_t(sip.processId()), SIGUSR1) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(countLines(sipErr, "sip: memory: ") > before, stepTimeoutMs);
    QRegularExpressionMatchIterator all =
        QRegularExpression("memory: (\\d+) bytes in use on the heap.*; (\\d+) descriptors open").globalMatch(logText());
    QRegularExpressionMatch m;
    while (all.hasNext())
        m = all.next();
    QVERIFY(m.hasMatch());
    heap = m.captured(1).toLongLong();
    fds = m.captured(2).toInt();
}

int tst_SipCall::countLines(const QByteArray &text, const QString &needle) const
{
    int n = 0;
    for (const QByteArray &line : text.split('\n'))
        n += QString::fromUtf8(line).contains(needle);
    return n;
}

void tst_SipCall::call()
{
    QFETCH(QString, scenario);
    QFETCH(QString, config);
    QFETCH(QString, steps);
    const QString d = dir->path();

    const bool withRegistrar = steps.startsWith("registrar\n");
    if (withRegistrar)
        QVERIFY2(startRegistrar(), "cannot start kamailio");
    QString error;
    QVERIFY2(phone.start(d + "/phone", withRegistrar, error), qPrintable(error));
    if (withRegistrar)
        QTRY_VERIFY_WITH_TIMEOUT(countLines(registrarErr, "saved apt123") > 0, stepTimeoutMs);
    const bool withSipp = steps.startsWith("sipp\n");
    if (withSipp) {
        sipp.setWorkingDirectory(d);
        sipp.setProcessChannelMode(QProcess::MergedChannels);
        sipp.setStandardOutputFile(d + "/sipp.log");
        sipp.start("sipp", {"-sf", TMX_SIPP_SCENARIO, "-i", "127.0.0.1", "-mi", "127.0.0.1", "-p",
                            QString::number(sippPort), "-m", "1", "-timeout", "120", "-trace_err", "-nostdin"});
        QVERIFY2(sipp.waitForStarted(10000), "cannot start sipp (Debian's sip-tester)");
        // Listening once its port is taken.
        QTRY_VERIFY_WITH_TIMEOUT(!QUdpSocket().bind(QHostAddress::LocalHost, sippPort), stepTimeoutMs);
    }

    QFile scn(d + "/shield.scn");
    QVERIFY(scn.open(QIODevice::WriteOnly));
    scn.write(scenario.toUtf8());
    scn.close();
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(TMX_SHIELDSIM_PATH, {"-q", "-s", d + "/shield.scn", "--trace", d + "/trace", "--pty-file", d + "/pty"});
    QVERIFY(sim.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(d + "/pty").size() > 0, stepTimeoutMs);
    QFile ptyFile(d + "/pty");
    QVERIFY(ptyFile.open(QIODevice::ReadOnly));
    const QString pty = QString::fromUtf8(ptyFile.readAll()).trimmed();
    trace.open(d + "/trace");

    // Stand-in daemons. Each answers the dialplan dialogue as the daemon does.
    const QByteArray dialogue = "n=0\nwhile [ $n -lt 2 ] && read l; do [ \"$l\" = -1 ] && n=$((n+1)); done\n"
                                "printf 'mask_imit\\n#Write rooms for shield:\\n#End read rooms\\n\\nmask_block\\n"
                                "#Write blacklist rooms for shield:\\n#End read rooms\\n\\n"
                                "#Shield update virtual list\\n#Shield update black list\\n'\n";
    const QHash<QString, QByteArray> standIns{
        {"second-dial.sh", "echo '#stand-in daemon'\n" + dialogue
                               + "echo 'dial 123 3'\nread cmd\necho pickup\necho 'dial 124 2'\necho drop\nread cmd\n"},
        {"door-call.sh", "echo '#stand-in daemon'\n" + dialogue + "while [ ! -e '" + d.toUtf8()
                             + "/go' ]; do sleep 0.05; done\necho 'dial 123 3'\ncat > '" + d.toUtf8() + "/stdin'\n"},
        // ls's own listing is the 3.
        {"fail.sh", "ls /proc/self/fd > '" + d.toUtf8() + "/fds'\nexit 3\n"},
        {"close-output.sh", "echo '#stand-in daemon'\n" + dialogue + "trap '' TERM\nexec >&-\nexec sleep 60\n"},
        {"leave-child.sh", "if [ -e '" + d.toUtf8() + "/ran' ]; then\necho '#stand-in daemon'\n" + dialogue
                               + "exec cat > /dev/null\nfi\n: > '" + d.toUtf8() + "/ran'\n"
                               "n=0; while [ -d '" + d.toUtf8() + "' ] && [ $n -lt 120 ]; do sleep 1; n=$((n+1)); done &\n"
                               "exit 5\n"},
    };
    for (auto it = standIns.begin(); it != standIns.end(); ++it) {
        QFile stand(d + "/" + it.key());
        QVERIFY(stand.open(QIODevice::WriteOnly));
        stand.write(it.value());
    }

    configBase = "listen 127.0.0.1:5060\napartment 123 sip:apt123@"
        + (withSipp ? "127.0.0.1:" + QString::number(sippPort) : QString(phoneSip)) + "\n"
        + "apartment 124 sip:apt124@" + phoneSip + "\n";
    writeConfig(config);
    if (QTest::currentTestFailed())
        return;

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LORENTAK_USART_PORT", pty);
    env.insert("LORENTAK_SPI", "loopback");
    // Freed blocks in glibc's per-thread cache count as in use for
    // mallinfo2: without the cache tmx-sip's heap figure is what is live.
    if (steps.contains("\nmemory"))
        env.insert("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0");
    sip.setProcessEnvironment(env);
    connect(&sip, &QProcess::readyReadStandardError, this, [this] { sipErr += sip.readAllStandardError(); });
    sip.start(TMX_SIP_PATH, {"--config", d + "/tmx-sip.conf"});
    QVERIFY(sip.waitForStarted(10000));

    bool stopped = false;
    for (const QString &step : steps.split('\n', Qt::SkipEmptyParts)) {
        if (step == "registrar" || step == "sipp")
            continue;
        runStep(step);
        if (QTest::currentTestFailed()) {
            qWarning().noquote() << "at step:" << step;
            return;
        }
        stopped = stopped || step == "stop";
    }
    if (!stopped)
        QCOMPARE(sip.state(), QProcess::Running);
}

void tst_SipCall::runStep(const QString &step)
{
    const QString verb = step.section(' ', 0, 0);
    const QString arg = step.section(' ', 1);
    if (verb == "phone") {
        const QString what = arg.section(' ', 0, 0);
        const QString rest = arg.section(' ', 1);
        if (what == "incoming") {
            QTRY_VERIFY_WITH_TIMEOUT(phone.count("CALL_INCOMING") > phone.incomingSeen, stepTimeoutMs);
            const QJsonObject ev = phone.nth("CALL_INCOMING", phone.incomingSeen++);
            for (const QString &kv : rest.split('|', Qt::SkipEmptyParts))
                QCOMPARE(ev.value(kv.section('=', 0, 0)).toString(), kv.section('=', 1));
        } else if (what == "accept" || what == "hangup") {
            phone.command(what);
        } else if (what == "key") {
            phone.command("sndcode", rest);
        } else if (what == "dial") {
            phone.command("uafind", rest.isEmpty() ? "sip:apt123@" + QString(phoneSip) : rest);
            phone.command("dial", tmxSipUri);
        } else if (what == "established") {
            QTRY_VERIFY_WITH_TIMEOUT(phone.count("CALL_ESTABLISHED") > phone.establishedSeen, stepTimeoutMs);
            ++phone.establishedSeen;
        } else if (what == "closed") {
            QTRY_VERIFY_WITH_TIMEOUT(phone.count("CALL_CLOSED") > phone.closedSeen, stepTimeoutMs);
            const QString why = phone.nth("CALL_CLOSED", phone.closedSeen++).value("param").toString();
            QVERIFY2(why.contains(rest), qPrintable("the call closed with: " + why));
        } else if (what == "calls") {
            QCOMPARE(phone.count("CALL_INCOMING"), rest.toInt());
        } else {
            QFAIL(qPrintable("unknown step: " + step));
        }
    } else if (verb == "poll") {
        QTRY_VERIFY_WITH_TIMEOUT(trace.polls("cmd", arg.toInt(nullptr, 0)) > 0, stepTimeoutMs);
    } else if (verb == "pollstatus") {
        QTRY_VERIFY_WITH_TIMEOUT(trace.polls("status", arg.toInt(nullptr, 0)) > 0, stepTimeoutMs);
    } else if (verb == "nopoll") {
        QCOMPARE(trace.polls("cmd", arg.toInt(nullptr, 0)), 0);
    } else if (verb == "event") {
        QTRY_VERIFY_WITH_TIMEOUT(trace.has("event", "name=" + arg), stepTimeoutMs);
    } else if (verb == "shield-step") {
        QTRY_VERIFY_WITH_TIMEOUT(trace.has("step", "line=" + arg), stepTimeoutMs);
    } else if (verb == "scenario-end") {
        QTRY_VERIFY_WITH_TIMEOUT(trace.has("scenario-end"), stepTimeoutMs);
    } else if (verb == "log") {
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains(arg), stepTimeoutMs);
    } else if (verb == "logs") {
        const int n = arg.section(' ', 0, 0).toInt();
        QTRY_VERIFY_WITH_TIMEOUT(countLines(sipErr, arg.section(' ', 1)) >= n, stepTimeoutMs);
    } else if (verb == "sighup" || verb == "kill-daemon") {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        trace.since = qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
        if (verb == "sighup") {
            writeConfig(QString(arg).replace('|', '\n') + "\n");
            QVERIFY(::kill(pid_t(sip.processId()), SIGHUP) == 0);
        } else {
            QRegularExpressionMatchIterator all = QRegularExpression("pid (\\d+)").globalMatch(logText());
            QString pid;
            while (all.hasNext())
                pid = all.next().captured(1);
            QVERIFY2(!pid.isEmpty(), "tmx-sip named no daemon pid");
            QVERIFY(::kill(pid_t(pid.toInt()), SIGKILL) == 0);
        }
    } else if (verb == "touch") {
        QFile f(dir->path() + "/" + arg);
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else if (verb == "descriptors") {
        QFile f(dir->path() + "/fds");
        QTRY_VERIFY_WITH_TIMEOUT(f.exists(), stepTimeoutMs);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QList<int> fds;
        for (const QByteArray &n : f.readAll().split('\n'))
            if (!n.isEmpty())
                fds << n.toInt();
        std::sort(fds.begin(), fds.end());
        QStringList got;
        for (int fd : fds)
            got << QString::number(fd);
        QCOMPARE(got.join(' '), arg);
    } else if (verb == "daemon-read" || verb == "not-read") {
        auto read = [this, &arg] {
            QFile f(dir->path() + "/stdin");
            if (!f.open(QIODevice::ReadOnly))
                return false;
            for (const QByteArray &line : f.readAll().split('\n'))
                if (line.startsWith(arg.toUtf8()))
                    return true;
            return false;
        };
        if (verb == "daemon-read")
            QTRY_VERIFY_WITH_TIMEOUT(read(), stepTimeoutMs);
        else
            QVERIFY2(!read(), qPrintable("the daemon was told: " + arg));
    } else if (verb == "registrar") {
        const bool atMost = arg.startsWith("at most ");
        const QString rest = atMost ? arg.mid(8) : arg;
        const int n = rest.section(' ', 0, 0).toInt();
        const QString text = rest.section(' ', 1);
        if (atMost)
            QVERIFY2(countLines(registrarErr, text) <= n, qPrintable(QString("%1 lines with '%2' from the registrar")
                                                                          .arg(countLines(registrarErr, text))
                                                                          .arg(text)));
        else
            QTRY_VERIFY_WITH_TIMEOUT(countLines(registrarErr, text) >= n, stepTimeoutMs);
    } else if (verb == "memory") {
        if (arg.isEmpty()) {
            readMemory(heapBase, fdsBase);
            return;
        }
        QVERIFY2(heapBase >= 0, "no baseline: a 'memory' step first");
        // What libre keeps after a call (its transactions) goes within 32 s.
        const qint64 margin = arg.section(' ', 1).toLongLong() * 1024;
        qint64 heap = -1;
        int fds = -1;
        QElapsedTimer t;
        t.start();
        for (;;) {
            readMemory(heap, fds);
            if (QTest::currentTestFailed() || (heap <= heapBase + margin && fds <= fdsBase) || t.elapsed() > 90000)
                break;
            QTest::qWait(1000);
        }
        qInfo("heap in use %lld bytes, %d descriptors; after the first call %lld bytes, %d descriptors", heap, fds,
              heapBase, fdsBase);
        QVERIFY2(heap <= heapBase + margin, "the heap grew");
        QCOMPARE(qMax(fds, fdsBase), fdsBase);
    } else if (verb == "stop") {
        sip.terminate();
        QVERIFY2(sip.waitForFinished(15000), "tmx-sip did not stop on SIGTERM");
        sipErr += sip.readAllStandardError();
        QCOMPARE(sip.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sip.exitCode(), 0);
    } else if (verb == "recorded") {
        const double s = arg.startsWith('+') ? phone.recordedSeconds() + arg.mid(1).toDouble() : arg.toDouble();
        QTRY_VERIFY_WITH_TIMEOUT(phone.recordedSeconds() >= s, stepTimeoutMs);
    } else if (verb == "foreign") {
        const QRegularExpressionMatch m = QRegularExpression("here on port (\\d+)").match(logText());
        QVERIFY(m.hasMatch());
        QUdpSocket out;
        QVERIFY(out.bind(QHostAddress(QHostAddress::LocalHost), 0));
        // Half of the sequence numbers lie ahead of the phone's, whatever they are.
        for (int n = 0; n < 50; ++n) {
            const int seq = (n % 2) * 32768 + n;
            QByteArray packet(12 + 160, char(0));
            packet[0] = char(0x80);
            packet[2] = char(seq >> 8);
            packet[3] = char(seq);
            const quint32 ts = quint32(n * 160);
            for (int i = 0; i < 4; ++i)
                packet[4 + i] = char(ts >> (24 - 8 * i));
            packet[11] = 1;
            for (int i = 0; i < 160; ++i)
                packet[12 + i] = char(g711_pcm2ulaw(int16_t(30000 * std::sin(2 * M_PI * 1000 * i / rate))));
            out.writeDatagram(packet, QHostAddress::LocalHost, quint16(m.captured(1).toUInt()));
        }
    } else if (verb == "mark") {
        mark = phone.recordedSeconds();
    } else if (verb == "audio") {
        checkAudio();
    } else if (verb == "sipp") {
        if (arg == "done") {
            QTRY_COMPARE_WITH_TIMEOUT(sipp.state(), QProcess::NotRunning, stepTimeoutMs);
            QCOMPARE(sipp.exitStatus(), QProcess::NormalExit);
            QCOMPARE(sipp.exitCode(), 0);
        }
    } else {
        QFAIL(qPrintable("unknown step: " + step));
    }
}

// The phone's tone came back to it through tmx-sip and the daemon's SPI
// loopback: in each whole second from 1 s to the mark, the strongest
// frequency is within 5 Hz of the tone and holds at least 30 dB more power
// than everything else; from 1 s on no stretch of more than 40 ms is silent;
// after the mark (the open key) the confirmation tone is there, and before
// it it is not.
void tst_SipCall::checkAudio()
{
    Wav wav;
    QTRY_VERIFY_WITH_TIMEOUT((wav = readWav(phone.recording())).complete, stepTimeoutMs);
    const QVector<qint16> &x = wav.samples;
    QVERIFY2(mark >= 3, "mark the recording at 3 s or later");
    const int markAt = int(mark * rate);
    QVERIFY(x.size() > markAt);

    double toneRms = 0;
    for (int start = rate; start + rate <= markAt; start += rate) {
        const QVector<double> p = spectrum(x.constData() + start);
        int peak = 50;
        for (int f = 50; f < rate / 2 - 50; ++f)
            if (p[f] > p[peak])
                peak = f;
        double tone = 0, rest = 0;
        for (int f = 2; f <= rate / 2; ++f)
            (std::abs(f - peak) <= 4 ? tone : rest) += p[f];
        const double db = 10 * std::log10(tone / qMax(rest, 1e-9));
        qInfo("second %d: peak %d Hz, %.1f dB above the rest", start / rate, peak, db);
        QVERIFY2(std::abs(peak - phoneToneHz) <= 5, "the tone's frequency is off");
        QVERIFY2(db >= 30, "the tone is less than 30 dB above the rest");
        double sum = 0;
        for (int i = start; i < start + rate; ++i)
            sum += double(x[i]) * x[i];
        toneRms = std::sqrt(sum / rate);
    }
    QVERIFY(toneRms > 1000);

    const int block = rate / 200; // 5 ms
    int silent = 0, longest = 0;
    for (int i = rate; i + block <= x.size() - rate / 10; i += block) {
        double sum = 0;
        for (int j = i; j < i + block; ++j)
            sum += double(x[j]) * x[j];
        silent = std::sqrt(sum / block) < toneRms / 100 ? silent + 1 : 0;
        longest = qMax(longest, silent);
    }
    qInfo("longest silence after 1 s: %d ms", longest * 5);
    QVERIFY2(longest * 5 <= 40, "a gap of more than 40 ms");

    // Confirmation tone against the phone's own tone, per 50 ms.
    const int w = rate / 20;
    double before = -1e9, after = -1e9;
    for (int i = rate; i + w <= x.size(); i += w) {
        const double db = 10 * std::log10(goertzelPower(x.constData() + i, w, confirmationHz)
                                          / qMax(goertzelPower(x.constData() + i, w, phoneToneHz), 1e-9));
        (i + w <= markAt ? before : after) = qMax(i + w <= markAt ? before : after, db);
    }
    qInfo("confirmation tone against the phone's: %.1f dB before the key, %.1f dB after", before, after);
    QVERIFY2(before < -25, "a tone at the confirmation's frequency before the key");
    QVERIFY2(after > -15, "no confirmation tone after the key");
}

QTEST_MAIN(tst_SipCall)
#include "tst_sipcall.moc"
