// Calls through tmx-sip to a real SIP phone: shield-sim plays the shield on a
// pty, tmx-sip runs the daemon on it (stand-in board library, SPI in
// loopback) and rings baresip, which runs headless on 127.0.0.1 with a sine
// tone as its microphone and records what it hears. baresip gets no player
// module: it records in its decoder all the same, and ALSA's null device
// would keep a core busy (it never blocks).
//
// Each row is one call, a file NAME.call in this folder: the shield's
// scenario, lines added to tmx-sip's configuration, and the steps of the
// test (readCall has the file's form), one per line:
//   phone incoming [KEY=VALUE|...]  baresip is rung once more (fields of its event)
//   phone accept|hangup             answer, or reject / hang up
//   phone key KEYS                  press the keys (RFC 4733 telephone events)
//   phone dial [AOR [URI]]          call tmx-sip (from account AOR, default apt123;
//                                   at URI, default tmx-sip's own)
//   phone established               that call was answered
//   phone closed [TEXT]             one more of baresip's calls has ended (with TEXT)
//   phone calls N                   baresip was rung N times in all
//   poll CMD                        a poll to the shield carries command CMD
//   pollstatus S                    a poll to the shield carries status S
//   nopoll CMD                      no poll so far carried command CMD
//                                   (polls count from the last sighup or kill-daemon)
//   event NAME                      the shield saw pickup, open or drop happen
//   key KEY [NAME=VALUE ...]        tmx-sip wrote a line with KEY (sip/logkey.h)
//                                   and these fields in its bracket
//   keys N KEY [NAME=VALUE ...]     ... at least N such lines
//   keys =N KEY [NAME=VALUE ...]    ... exactly N such lines so far
//   log TEXT                        tmx-sip wrote a line holding TEXT, for a
//                                   row about the text itself (escaping, a
//                                   warning's words); outcomes are keys
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
//   forged                          plain RTP telephone events of the open key to
//                                   tmx-sip's RTP port from the phone's own RTP
//                                   address and port (a raw socket)
//   mark                            remember the recording's length here
//   audio                           check the recording (see checkAudio)
//   sipp [FILE [OPTION...]]         (first step) SIPp plays the phone of
//                                   apartment 123 instead, with info-phone.xml
//                                   or FILE (beside it), and SIPp's OPTIONs
//   spi MODE                        the stand-in board library's SPI mode
//                                   (LORENTAK_SPI) instead of loopback
//   sipp done                       SIPp played its scenario to the end
//   sip invite ID USER [PASSWORD]   hand-built SIP from 127.0.0.1:5099 (the stranger):
//                                   an INVITE with Call-ID ID from sip:USER@127.0.0.1
//                                   offering audio on the stranger's RTP port; with
//                                   PASSWORD it answers the 401's challenge
//   sip via ID PARAMS               call ID's Via carries ;PARAMS too (answers sent to
//                                   127.0.0.2:5099 reach the stranger as well)
//   sip replay ID OLD               call ID's INVITE carries the Authorization of
//                                   call OLD's last INVITE
//   sip status ID CODE              the answer to call ID's last INVITE is CODE
//   sip same ID ID2                 the two calls' last answers are the same but for
//                                   what echoes the request, tags and the nonce
//   sip resent ID N                 call ID's 200 came N times (it was not ACKed)
//   sip ack ID, sip bye ID          ACK the 200, end the call
//   sip rtp N, sip nortp            N packets, or none so far, on the stranger's RTP port
//   sipp go                         an OPTIONS in the dialog to SIPp (its signal)
//   forge METHOD STATUS             an INFO (#) or re-INVITE with the identifiers
//                                   of SIPp's dialog (SIPp wrote them to "ids"),
//                                   sent from the test's own port; tmx-sip
//                                   answers it with STATUS
//   rtp PT KEY                      a telephone event for KEY on payload type PT
//                                   from 127.0.0.1:6100 (the media of
//                                   guarded-phone.xml) to tmx-sip's RTP port
//   send TEXT                       a datagram to tmx-sip from port 5090; TEXT
//                                   with \r, \n and \xNN
//   answer STATUS                   a reply to port 5090 since the last send
//                                   carries STATUS
//   clean-log                       tmx-sip's standard error holds no control
//                                   byte but '\n' and no run of more than 128
//                                   characters without a space or colon
//   srtp MODE                       (first step) baresip loads its srtp module and
//                                   its accounts take mediaenc=MODE
//   registrar                       (first step) kamailio runs on 127.0.0.1:5080
//                                   with registrar.cfg; baresip's apt123
//                                   registers there before the rest starts
//   phone-certificate NAME          (first step, or after registrar)
//                                   certificates are made in DIR
//                                   (make-certificates.sh) and baresip uses
//                                   NAME (or "none") for TLS, which it speaks on 5063;
//                                   with "transport tls" it calls tmx-sip on
//                                   5061; kamailio takes TLS on 5081 (pbx.pem)
//   unbound PORT...                 no UDP socket is bound to these ports
//   broker                          (first step, or after sipp) mosquitto runs on 127.0.0.1:1883
//                                   (anonymous), a mosquitto_sub watches all of it
//                                   (its session kept by the broker, see startBroker)
//   mqtt pub TOPIC PAYLOAD          publish (QoS 1); "mqtt retain ..." retained
//   mqtt seen TEXT|TEXT...          the watcher saw lines ("topic retained payload")
//                                   holding these, in this order
//   mqtt =N TEXT                    exactly N of the watcher's lines hold TEXT
//   mqtt broker stop|start          the broker stopped; started again on its
//                                   port (a new watcher: its lines start empty)
//
// Each row is its own CTest test, sip_ROW, run in a network namespace of its
// own (tests/netns-run): tst_sipcall call:ROW.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QCryptographicHash>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

#include "childprocess.h"
#include "mqttwatcher.h"
#include "tracereader.h"

#include <re.h>
#include <rem.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#if !defined(TMX_SIP_PATH) || !defined(TMX_SHIELDSIM_PATH) || !defined(TMX_SIP_CALLS_DIR) \
    || !defined(TMX_REGISTRAR_CONFIG) || !defined(TMX_MAKE_CERTIFICATES)
#error "TMX_SIP_PATH, TMX_SHIELDSIM_PATH, TMX_SIP_CALLS_DIR, TMX_REGISTRAR_CONFIG and TMX_MAKE_CERTIFICATES must be defined"
#endif

namespace {

const int stepTimeoutMs = 30000;
const int rate = 8000;
const char phoneSip[] = "127.0.0.1:5062";
const quint16 sippPort = 5070;
const quint16 testSipPort = 5090;       // hand-built requests leave from here
const quint16 phoneMediaPort = 6100;    // guarded-phone.xml's media
const char tmxSipUri[] = "sip:intercom@127.0.0.1:5060";
const char tmxSipTlsUri[] = "sip:intercom@127.0.0.1:5061;transport=tls";
const char registrarAddress[] = "127.0.0.1:5080";
const char phoneCtrl[] = "127.0.0.1";
const quint16 phoneCtrlPort = 4444;
const double phoneToneHz = 440;
const double confirmationHz = 1400;

// baresip, driven over its TCP control interface (netstrings of JSON).
class Phone
{
public:
    // With a registrar, apt123 registers there (and is called through it).
    // With a certificate (and key, in one file) it speaks TLS with it.
    // mediaenc: baresip's media encryption for both accounts (srtp, srtp-mand), or none.
    bool start(const QString &dir, bool registrar, const QString &certificate, const QString &mediaenc,
               QString &error)
    {
        QDir().mkpath(dir + "/rec");
        recDir = dir + "/rec";
        // The phone's set-up is the demo's too (tools/phone): templates with
        // ${NAME} for what differs.
        auto fill = [](const QString &name, const QMap<QString, QString> &values, QString &text) {
            QFile f(QStringLiteral(TMX_PHONE_TEMPLATES "/") + name);
            if (!f.open(QIODevice::ReadOnly))
                return false;
            text = QString::fromUtf8(f.readAll());
            for (auto it = values.begin(); it != values.end(); ++it)
                text.replace("${" + it.key() + "}", it.value());
            return true;
        };
        QString configText, accountTemplate;
        if (!fill("config",
                  {{"SIP_LISTEN", phoneSip},
                   {"TONE_HZ", QString::number(phoneToneHz)},
                   {"EXTRA_MODULES", mediaenc.isEmpty() ? "" : "module srtp.so"},
                   {"CTRL_LISTEN", QStringLiteral("%1:%2").arg(phoneCtrl).arg(phoneCtrlPort)},
                   {"REC_DIR", recDir}},
                  configText)
            || !fill("account", {}, accountTemplate)) {
            error = "cannot read baresip's templates in " TMX_PHONE_TEMPLATES;
            return false;
        }
        QFile config(dir + "/config");
        QFile accounts(dir + "/accounts");
        if (!config.open(QIODevice::WriteOnly) || !accounts.open(QIODevice::WriteOnly)) {
            error = "cannot write baresip's configuration";
            return false;
        }
        config.write(configText.toUtf8());
        if (!certificate.isEmpty())
            config.write(QStringLiteral("sip_certificate %1\nsip_cafile %2/../ca.pem\n").arg(certificate, dir).toUtf8());
        // Two apartments' phones on one baresip: the request URI picks the account.
        // apt123 knows its password (the registrar's and tmx-sip's), apt124 none.
        for (const char *user : {"apt123", "apt124"}) {
            const bool apt123 = !strcmp(user, "apt123");
            QString params = apt123 ? registrar ? "auth_pass=phone-secret;regint=600;" : "auth_pass=phone-secret;regint=0;"
                                    : "regint=0;";
            if (!mediaenc.isEmpty())
                params += "mediaenc=" + mediaenc + ";";
            QString line = accountTemplate;
            line.replace("${USER}", user)
                .replace("${ADDRESS}", registrar && apt123 ? registrarAddress : phoneSip)
                .replace("${PARAMS}", params);
            accounts.write(line.toUtf8());
        }
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

// Hand-built SIP on 127.0.0.1:5099 for what baresip cannot send: a caller
// who writes any name in From, answers a challenge with any password,
// replays an old Authorization, or holds back its ACK.
class Stranger
{
public:
    struct Call
    {
        QString user, password;
        int cseq = 0;
        QByteArray auth;                // the Authorization of the last INVITE
        QList<QByteArray> answers;      // final answers to the last INVITE
        QByteArray ok;                  // its 200
        QByteArray via;                 // more Via parameters
    };

    bool start()
    {
        return sock.bind(QHostAddress(QHostAddress::LocalHost), 5099) && away.bind(QHostAddress("127.0.0.2"), 5099)
            && rtp.bind(QHostAddress(QHostAddress::LocalHost), 0);
    }

    void invite(const QString &id, const QString &user, const QString &password, const QByteArray &auth)
    {
        Call &c = calls[id];
        c.user = user;
        c.password = password;
        send(id, ++c.cseq, auth);
    }

    void send(const QString &id, int cseq, const QByteArray &auth)
    {
        Call &c = calls[id];
        c.auth = auth;
        c.answers.clear();
        const QByteArray sdp = QStringLiteral("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                                              "m=audio %1 RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\n"
                                              "a=rtpmap:101 telephone-event/8000\r\n")
                                   .arg(rtp.localPort())
                                   .toUtf8();
        QByteArray m = request("INVITE", tmxSipUri, id, cseq, c.user, QByteArray(), c.via);
        if (!auth.isEmpty())
            m += "Authorization: " + auth + "\r\n";
        m += "Contact: <sip:" + c.user.toUtf8() + "@127.0.0.1:5099>\r\nContent-Type: application/sdp\r\n"
             "Content-Length: " + QByteArray::number(sdp.size()) + "\r\n\r\n" + sdp;
        sock.writeDatagram(m, QHostAddress::LocalHost, 5060);
    }

    // ACK or BYE within the call answered with 200.
    void inDialog(const QString &id, const QByteArray &method)
    {
        Call &c = calls[id];
        const QByteArray contact = header(c.ok, "Contact").section('<', 1).section('>', 0, 0).toUtf8();
        const QByteArray toTag = header(c.ok, "To").section("tag=", 1).toUtf8();
        const int cseq = method == "ACK" ? c.cseq : ++c.cseq;
        const QByteArray m = request(method, contact, id, cseq, c.user, toTag, c.via) + "Content-Length: 0\r\n\r\n";
        sock.writeDatagram(m, QHostAddress::LocalHost, 5060);
    }

    void read()
    {
        for (QUdpSocket *s : {&sock, &away})
            while (s->hasPendingDatagrams())
                answered(s);
        while (rtp.hasPendingDatagrams()) {
            rtp.receiveDatagram();
            ++rtpPackets;
        }
    }

    // One datagram: an answer to a call's last INVITE is kept.
    void answered(QUdpSocket *s)
    {
        QByteArray m(int(s->pendingDatagramSize()), 0);
        s->readDatagram(m.data(), m.size());
        const int code = m.startsWith("SIP/2.0 ") ? m.mid(8, 3).toInt() : 0;
        auto it = calls.find(header(m, "Call-ID"));
        if (code < 200 || it == calls.end() || header(m, "CSeq") != QString("%1 INVITE").arg(it->cseq))
            return;
        it->answers.append(m);
        if (code == 200)
            it->ok = m;
        if (code == 401 && !it->password.isEmpty() && it->auth.isEmpty())
            send(it.key(), ++it->cseq, answer(*it, header(m, "WWW-Authenticate")));
    }

    // The answer as it would be anyone's: what echoes the request, the tags
    // and the nonce left out.
    static QStringList normalised(const QByteArray &m)
    {
        QStringList out;
        for (QString line : QString::fromUtf8(m).split("\r\n")) {
            const QString name = line.section(':', 0, 0).trimmed().toLower();
            if (QStringList{"via", "from", "to", "call-id", "cseq"}.contains(name))
                line = name;
            out << line.replace(QRegularExpression("nonce=\"[^\"]*\""), "nonce");
        }
        return out;
    }

    static QString header(const QByteArray &m, const QString &name)
    {
        for (const QString &line : QString::fromUtf8(m).split("\r\n"))
            if (line.section(':', 0, 0).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                return line.section(':', 1).trimmed();
        return QString();
    }

    QUdpSocket sock, away, rtp;
    QHash<QString, Call> calls;
    int rtpPackets = 0;

private:
    static QByteArray request(const QByteArray &method, const QByteArray &uri, const QString &id, int cseq,
                              const QString &user, const QByteArray &toTag, const QByteArray &via)
    {
        return method + " " + uri + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5099;rport;branch=z9hG4bK-" + id.toUtf8()
            + "-" + QByteArray::number(cseq) + method + via + "\r\nMax-Forwards: 70\r\nFrom: <sip:" + user.toUtf8()
            + "@127.0.0.1>;tag=f-" + id.toUtf8() + "\r\nTo: <" + tmxSipUri + ">" + (toTag.isEmpty() ? "" : ";tag=" + toTag)
            + "\r\nCall-ID: " + id.toUtf8() + "\r\nCSeq: " + QByteArray::number(cseq) + " " + method + "\r\n";
    }

    // RFC 2617's digest with qop=auth, as a phone computes it.
    static QByteArray answer(const Call &c, const QString &challenge)
    {
        auto param = [&challenge](const QString &name) {
            return QRegularExpression(name + "=\"([^\"]*)\"").match(challenge).captured(1).toUtf8();
        };
        auto md5 = [](const QByteArray &text) {
            return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
        };
        const QByteArray realm = param("realm"), nonce = param("nonce"), user = c.user.toUtf8();
        const QByteArray ha1 = md5(user + ":" + realm + ":" + c.password.toUtf8());
        const QByteArray ha2 = md5(QByteArray("INVITE:") + tmxSipUri);
        const QByteArray response = md5(ha1 + ":" + nonce + ":00000001:4a7c:auth:" + ha2);
        return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce + "\", uri=\""
            + tmxSipUri + "\", response=\"" + response + "\", algorithm=MD5, qop=auth, nc=00000001, cnonce=\"4a7c\"";
    }
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

// "\\r", "\\n", "\\\\" and "\\xNN" in a step's text as the bytes they stand for.
QByteArray unescaped(const QString &text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 == in.size()) {
            out += in[i];
            continue;
        }
        const char c = in[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 'x' && i + 2 < in.size())
            out += char(in.mid(i + 1, 2).toInt(nullptr, 16)), i += 2;
        else
            out += c;
    }
    return out;
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

    bool readCall(const QString &path, QString (&sections)[3], QString &error);
    void writeConfig(const QString &rowLines);
    bool startRegistrar(bool tls);
    void startBroker();
    int countLines(const QByteArray &text, const QString &needle) const;
    QList<QHash<QString, QString>> keyed(const QString &key, const QStringList &want = {}) const;
    QString lastField(const QStringList &keys, const QString &field) const;
    void sendSip(const QByteArray &message, quint16 port);
    bool replied(const QByteArray &status);
    void readMemory(qint64 &heap, int &fds);

    QScopedPointer<QTemporaryDir> dir;
    Phone phone;
    QScopedPointer<Stranger> stranger;
    ChildProcess sipp;
    ChildProcess registrar;
    QByteArray registrarErr;
    ChildProcess broker;
    QScopedPointer<MqttWatcher> mqttWatch;
    QString configBase;
    QString tmxUri;
    ChildProcess sim;
    ChildProcess sip;
    Trace trace;
    QByteArray sipErr;
    int sipErrScanned = 0;
    QVector<double> daemonReports; // the recording's length when the daemon reported a disturbance
    double mark = -1;
    QUdpSocket sipSock;          // on testSipPort
    QList<QByteArray> replies;   // what came to it since the last sendSip
    QUdpSocket rtpSock;          // on phoneMediaPort
    quint16 rtpSeq = 0;
    quint32 rtpTs = 0;
    int forgedCseq = 10;
    qint64 heapBase = -1;
    int fdsBase = -1;
};

void tst_SipCall::init()
{
    dir.reset(new QTemporaryDir());
    QVERIFY(dir->isValid());
    sipErr.clear();
    sipErrScanned = 0;
    daemonReports.clear();
    registrarErr.clear();
    mark = -1;
    heapBase = fdsBase = -1;
    trace.since = 0;
    sipSock.abort();
    rtpSock.abort();
    replies.clear();
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
    if (mqttWatch && QTest::currentTestFailed())
        qWarning().noquote() << "--- MQTT:\n" << mqttWatch->lines.join('\n');
    mqttWatch.reset();
    for (ChildProcess *p : {&sipp, &registrar, &broker}) {
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
    stranger.reset();
    phone.buffer.clear();
    phone.received.clear();
    phone.closedSeen = phone.establishedSeen = phone.incomingSeen = 0;
}

void tst_SipCall::call_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("config");
    QTest::addColumn<QString>("steps");

    const QFileInfoList files = QDir(TMX_SIP_CALLS_DIR).entryInfoList({"*.call"}, QDir::Files, QDir::Name);
    QVERIFY2(!files.isEmpty(), "no .call files in " TMX_SIP_CALLS_DIR);
    for (const QFileInfo &file : files) {
        QString sections[3], error;
        QVERIFY2(readCall(file.filePath(), sections, error), qPrintable(file.fileName() + ": " + error));
        QTest::newRow(qPrintable(file.completeBaseName())) << sections[0] << sections[1] << sections[2];
    }
}

// A call file: comment lines (#) and "needs ..." (read by CMake) first, then
// the sections [shield], [config] and [steps], one line each as above. In
// any section, "repeat A-B" ... "end" gives its lines for n = A..B, with %n
// in them replaced by n.
bool tst_SipCall::readCall(const QString &path, QString (&sections)[3], QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = file.errorString();
        return false;
    }
    const QStringList names{"[shield]", "[config]", "[steps]"};
    int section = -1, lineNo = 0, from = 0, to = 0;
    QStringList block;
    bool inRepeat = false;
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n')) {
        ++lineNo;
        const QString where = QStringLiteral("line %1: ").arg(lineNo);
        if (names.contains(line)) {
            if (inRepeat || names.indexOf(line) != section + 1) {
                error = where + line + " out of place";
                return false;
            }
            section = names.indexOf(line);
        } else if (section < 0) {
            if (!line.isEmpty() && !line.startsWith('#') && !line.startsWith("needs ")) {
                error = where + "a line before [shield]";
                return false;
            }
        } else if (const QRegularExpressionMatch m = QRegularExpression("^repeat (\\d+)-(\\d+)$").match(line);
                   m.hasMatch() && !inRepeat) {
            inRepeat = true;
            from = m.captured(1).toInt();
            to = m.captured(2).toInt();
            block.clear();
        } else if (line == "end" && inRepeat) {
            inRepeat = false;
            for (int n = from; n <= to; ++n)
                for (const QString &l : block)
                    sections[section] += QString(l).replace("%n", QString::number(n)) + '\n';
        } else if (inRepeat) {
            block << line;
        } else if (!line.isEmpty()) {
            sections[section] += line + '\n';
        }
    }
    if (section != 2 || inRepeat)
        error = inRepeat ? "a repeat without its end" : "no [steps]";
    return error.isEmpty();
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
bool tst_SipCall::startRegistrar(bool tls)
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
    QStringList args{"-f", TMX_REGISTRAR_CONFIG, "-A", "DBURL=\"text://" + db + "\"", "-DD", "-E",
                     "-n", "1", "-m", "16", "-M", "4", "-w", dir->path()};
    if (tls)
        args << "-A" << "WITH_TLS" << "-A" << "TLSPEM=\"" + dir->path() + "/pbx.pem\"";
    registrar.start("kamailio", args);
    return registrar.waitForStarted(10000);
}

void tst_SipCall::sendSip(const QByteArray &message, quint16 port)
{
    if (sipSock.state() != QAbstractSocket::BoundState)
        QVERIFY(sipSock.bind(QHostAddress::LocalHost, testSipPort));
    replied(QByteArray());
    replies.clear();
    QCOMPARE(sipSock.writeDatagram(message, QHostAddress::LocalHost, port), qint64(message.size()));
}

// Whether a reply with this status came since the last sendSip.
bool tst_SipCall::replied(const QByteArray &status)
{
    while (sipSock.hasPendingDatagrams()) {
        QByteArray d(int(sipSock.pendingDatagramSize()), char(0));
        sipSock.readDatagram(d.data(), d.size());
        replies.append(d);
    }
    for (const QByteArray &r : replies)
        if (!status.isEmpty() && r.startsWith("SIP/2.0 " + status + " "))
            return true;
    return false;
}

// tmx-sip's line on SIGUSR1: "[memory heap=N heap_free=N fds=D] ...".
void tst_SipCall::readMemory(qint64 &heap, int &fds)
{
    const int before = keyed("memory").size();
    QVERIFY(::kill(pid_t(sip.processId()), SIGUSR1) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(keyed("memory").size() > before, stepTimeoutMs);
    heap = lastField({"memory"}, "heap").toLongLong();
    fds = lastField({"memory"}, "fds").toInt();
}

// The fields of tmx-sip's lines "sip: [KEY name=value ...] text" whose
// bracket holds each of `want` (name=value), oldest first.
QList<QHash<QString, QString>> tst_SipCall::keyed(const QString &key, const QStringList &want) const
{
    QList<QHash<QString, QString>> found;
    for (const QByteArray &line : sipErr.split('\n')) {
        const int end = line.indexOf(']');
        if (!line.startsWith("sip: [") || end < 0)
            continue;
        const QStringList words = QString::fromUtf8(line.mid(6, end - 6)).split(' ');
        if (words.first() != key || !std::all_of(want.begin(), want.end(), [&](const QString &w) { return words.contains(w); }))
            continue;
        QHash<QString, QString> fields{{"", key}};
        for (const QString &w : words.mid(1))
            fields.insert(w.section('=', 0, 0), w.section('=', 1));
        found << fields;
    }
    return found;
}

// A field of the last line with one of these keys.
QString tst_SipCall::lastField(const QStringList &keys, const QString &field) const
{
    QString value;
    for (const QByteArray &line : sipErr.split('\n')) {
        const int end = line.indexOf(']');
        if (!line.startsWith("sip: [") || end < 0)
            continue;
        const QStringList words = QString::fromUtf8(line.mid(6, end - 6)).split(' ');
        if (keys.contains(words.first()))
            for (const QString &w : words.mid(1))
                if (w.startsWith(field + "="))
                    value = w.mid(field.size() + 1);
    }
    return value;
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
    QString phoneCertificate;
    const QRegularExpressionMatch certificate = QRegularExpression("^phone-certificate (\\S+)$",
                                                                   QRegularExpression::MultilineOption).match(steps);
    if (certificate.hasMatch()) {
        QCOMPARE(QProcess::execute("sh", {TMX_MAKE_CERTIFICATES, d}), 0);
        if (certificate.captured(1) != "none")
            phoneCertificate = d + "/" + certificate.captured(1);
    }
    if (withRegistrar)
        QVERIFY2(startRegistrar(certificate.hasMatch()), "cannot start kamailio");
    if (steps.startsWith("broker\n") || steps.section('\n', 1, 1) == "broker") {
        // The broker keeps the watcher's session across a restart (and what
        // is sent to it meanwhile), so that the watcher misses nothing
        // published between the broker's start and its own. It runs as we
        // do (as root it would change to its own user), to write its file here.
        const struct passwd *self = getpwuid(geteuid());
        QVERIFY(self);
        QFile conf(d + "/broker.conf");
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("listener 1883 127.0.0.1\nallow_anonymous true\npersistence true\npersistence_location "
                   + d.toUtf8() + "/\nqueue_qos0_messages true\nuser " + QByteArray(self->pw_name) + "\n");
        conf.close();
        startBroker();
        if (QTest::currentTestFailed())
            return;
    }
    tmxUri = config.contains("transport tls") ? tmxSipTlsUri : tmxSipUri;
    QString error;
    const QString mediaenc = steps.startsWith("srtp ") ? steps.section('\n', 0, 0).section(' ', 1) : QString();
    QVERIFY2(phone.start(d + "/phone", withRegistrar, phoneCertificate, mediaenc, error), qPrintable(error));
    if (withRegistrar)
        QTRY_VERIFY_WITH_TIMEOUT(countLines(registrarErr, "saved apt123") > 0, stepTimeoutMs);
    const QString first = steps.section('\n', 0, 0);
    const bool withSipp = first == "sipp" || first.startsWith("sipp ");
    if (withSipp) {
        const QString scenarioFile = first == "sipp" ? QString("info-phone.xml") : first.section(' ', 1, 1);
        // What tone-phone.xml plays: librem's DTMF tone of # for 100 ms in PCMU.
        QFile toneFile(d + "/tone-hash.ulaw");
        struct mbuf *mb = mbuf_alloc(2 * rate);
        QVERIFY(toneFile.open(QIODevice::WriteOnly) && mb && autone_dtmf(mb, rate, '#') == 0);
        QByteArray ulaw(rate / 10, char(0));
        for (int i = 0; i < ulaw.size(); ++i)
            ulaw[i] = char(g711_pcm2ulaw(reinterpret_cast<const int16_t *>(mb->buf)[i]));
        mem_deref(mb);
        toneFile.write(ulaw);
        toneFile.close();
        sipp.setWorkingDirectory(d);
        sipp.setProcessChannelMode(QProcess::MergedChannels);
        sipp.setStandardOutputFile(d + "/sipp.log");
        sipp.start("sipp", QStringList{"-sf", QString(TMX_SIP_CALLS_DIR) + "/" + scenarioFile, "-i", "127.0.0.1", "-mi",
                                       "127.0.0.1", "-p", QString::number(sippPort), "-m", "1", "-timeout", "120",
                                       "-trace_err", "-nostdin"}
                               + first.section(' ', 2).split(' ', Qt::SkipEmptyParts));
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
        // The pickup is reported once the test says so; a drop when told.
        {"late-pickup.sh", "echo '#stand-in daemon'\n" + dialogue + "echo 'dial 123 3'\nwhile [ ! -e '" + d.toUtf8()
                               + "/picked' ]; do sleep 0.05; done\necho pickup\nwhile read cmd; do echo \"$cmd\" >> '"
                               + d.toUtf8() + "/stdin'; [ \"$cmd\" = drop ] && echo drop; done\n"},
        // ls's own listing is the 3. Its last words have no line end.
        {"fail.sh", "ls /proc/self/fd > '" + d.toUtf8() + "/fds'\nprintf 'serial: last words' >&2\nexit 3\n"},
        {"close-output.sh", "echo '#stand-in daemon'\n" + dialogue + "trap '' TERM\nexec >&-\nexec sleep 60\n"},
        {"close-input.sh", "echo '#stand-in daemon'\n" + dialogue + "trap '' TERM\nexec <&-\nexec sleep 60\n"},
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

    configBase = "listen 127.0.0.1\napartment 123 sip:apt123@"
        + (withSipp ? "127.0.0.1:" + QString::number(sippPort) : QString(phoneSip)) + "\n"
        + "apartment 124 sip:apt124@" + phoneSip + "\n";
    writeConfig(config);
    if (QTest::currentTestFailed())
        return;

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LORENTAK_USART_PORT", pty);
    const QRegularExpressionMatch spi = QRegularExpression("^spi (\\S+)$", QRegularExpression::MultilineOption).match(steps);
    env.insert("LORENTAK_SPI", spi.hasMatch() ? spi.captured(1) : QString("loopback"));
    // Freed blocks in glibc's per-thread cache count as in use for
    // mallinfo2: without the cache tmx-sip's heap figure is what is live.
    if (steps.contains("\nmemory"))
        env.insert("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0");
    sip.setProcessEnvironment(env);
    connect(&sip, &QProcess::readyReadStandardError, this, [this] {
        sipErr += sip.readAllStandardError();
        // The daemon's reports of frames it dropped or skipped carry no time:
        // they are placed where the recording is when they arrive.
        static const QRegularExpression dropped("^udp: .* (dropped|skipped) \\d+ ");
        for (int end; (end = sipErr.indexOf('\n', sipErrScanned)) >= 0; sipErrScanned = end + 1)
            if (dropped.match(QString::fromUtf8(sipErr.mid(sipErrScanned, end - sipErrScanned))).hasMatch())
                daemonReports.append(phone.recordedSeconds());
    });
    sip.start(TMX_SIP_PATH, {"--config", d + "/tmx-sip.conf"});
    QVERIFY(sip.waitForStarted(10000));

    bool stopped = false;
    for (const QString &step : steps.split('\n', Qt::SkipEmptyParts)) {
        if (step == "registrar" || step == "broker" || (step == first && withSipp) || step.startsWith("phone-certificate ")
            || step.startsWith("srtp ") || step.startsWith("spi "))
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

// mosquitto with DIR/broker.conf, and a watcher of all of it that keeps its
// session on the broker (QoS 1): started again after the broker's restart,
// it gets what was sent to it while it was away.
void tst_SipCall::startBroker()
{
    QVERIFY2(startMqttBroker(broker, dir->path() + "/broker.conf", 1883), "cannot start mosquitto");
    mqttWatch.reset(new MqttWatcher);
    mqttWatch->start(1883, "#", {}, {"-c", "-i", "watcher", "-q", "1"});
    QTRY_VERIFY_WITH_TIMEOUT(mqttPublish(1883, {}, "probe", "up") && mqttWatch->lines.contains("probe 0 up"),
                             stepTimeoutMs);
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
            const QString aor = rest.section(' ', 0, 0), target = rest.section(' ', 1);
            phone.command("uafind", aor.isEmpty() ? "sip:apt123@" + QString(phoneSip) : aor);
            phone.command("dial", target.isEmpty() ? tmxUri : target);
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
    } else if (verb == "mqtt") {
        QVERIFY2(mqttWatch || arg == "broker start", "mqtt steps need the broker step");
        const QString what = arg.section(' ', 0, 0), rest = arg.section(' ', 1);
        if (arg == "broker stop") {
            // The watcher first, so that its session is kept for it.
            mqttWatch.reset();
            broker.terminate();
            QVERIFY2(broker.waitForFinished(30000), "mosquitto did not stop");
        } else if (arg == "broker start") {
            startBroker();
        } else if (what == "pub" || what == "retain") {
            QVERIFY(mqttPublish(1883, {}, rest.section(' ', 0, 0), rest.section(' ', 1).toUtf8(), what == "retain"));
        } else if (what == "seen") {
            const QStringList want = rest.split('|');
            auto inOrder = [&] {
                int i = 0;
                for (const QString &line : mqttWatch->lines)
                    if (i < want.size() && line.contains(want[i]))
                        ++i;
                return i == want.size();
            };
            QTRY_VERIFY_WITH_TIMEOUT(inOrder(), stepTimeoutMs);
        } else if (what.startsWith('=')) {
            QCOMPARE(mqttWatch->lines.filter(rest).size(), what.mid(1).toInt());
        } else {
            QFAIL(qPrintable("unknown mqtt step: " + step));
        }
    } else if (verb == "scenario-end") {
        QTRY_VERIFY_WITH_TIMEOUT(trace.has("scenario-end"), stepTimeoutMs);
    } else if (verb == "log") {
        QTRY_VERIFY_WITH_TIMEOUT(logText().contains(arg), stepTimeoutMs);
    } else if (verb == "key") {
        const QStringList w = arg.split(' ');
        QTRY_VERIFY_WITH_TIMEOUT(!keyed(w.first(), w.mid(1)).isEmpty(), stepTimeoutMs);
    } else if (verb == "keys") {
        const QStringList w = arg.split(' ');
        if (w.first().startsWith('='))
            QCOMPARE(keyed(w.at(1), w.mid(2)).size(), w.first().mid(1).toInt());
        else
            QTRY_VERIFY_WITH_TIMEOUT(keyed(w.at(1), w.mid(2)).size() >= w.first().toInt(), stepTimeoutMs);
    } else if (verb == "clean-log") {
        int run = 0;
        for (const char c : sipErr) {
            QVERIFY2(quint8(c) >= 0x20 || c == '\n', qPrintable(QString("a byte 0x%1 in the log").arg(quint8(c), 2, 16)));
            run = c == ' ' || c == ':' || c == '\n' ? 0 : run + 1;
            QVERIFY2(run <= 128, "more than 128 characters without a space or colon in the log");
        }
    } else if (verb == "send") {
        sendSip(unescaped(arg), 5060);
    } else if (verb == "answer") {
        QTRY_VERIFY_WITH_TIMEOUT(replied(arg.toUtf8()), stepTimeoutMs);
    } else if (verb == "forge" || step == "sipp go") {
        // The identifiers of SIPp's dialog: its Call-ID and our tag.
        QList<QByteArray> id;
        auto readIds = [this, &id] {
            QFile ids(dir->path() + "/ids");
            id = ids.open(QIODevice::ReadOnly) ? ids.readAll().simplified().split(' ') : QList<QByteArray>();
            return id.size() == 2;
        };
        QTRY_VERIFY_WITH_TIMEOUT(readIds(), stepTimeoutMs);
        const QByteArray method = verb == "sipp" ? "OPTIONS" : arg.section(' ', 0, 0).toUtf8();
        QByteArray type, body;
        if (method == "INFO") {
            type = "application/dtmf-relay";
            body = "Signal=#\r\nDuration=160\r\n";
        } else if (method == "INVITE") {
            type = "application/sdp";
            body = "v=0\r\no=- 2 2 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                   "m=audio 6200 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
        }
        const int cseq = ++forgedCseq;
        QByteArray request = method + (verb == "sipp" ? " sip:apt123@127.0.0.1:5070" : " sip:intercom@127.0.0.1:5060")
            + " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + QByteArray::number(testSipPort)
            + ";branch=z9hG4bK-test-" + QByteArray::number(cseq) + "\r\n";
        if (verb == "sipp")
            request += "From: <sip:intercom@127.0.0.1>;tag=" + id[1] + "\r\nTo: <sip:apt123@127.0.0.1:5070>;tag=phone-tag-1\r\n";
        else
            request += "From: <sip:apt123@127.0.0.1:5070>;tag=phone-tag-1\r\nTo: <sip:intercom@127.0.0.1>;tag=" + id[1] + "\r\n";
        request += "Call-ID: " + id[0] + "\r\nCSeq: " + QByteArray::number(cseq) + " " + method
            + "\r\nContact: <sip:apt123@127.0.0.1:" + QByteArray::number(testSipPort) + ">\r\nMax-Forwards: 70\r\n"
            + (type.isEmpty() ? QByteArray() : "Content-Type: " + type + "\r\n")
            + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        sendSip(request, verb == "sipp" ? sippPort : 5060);
        if (verb == "forge")
            QTRY_VERIFY_WITH_TIMEOUT(replied(arg.section(' ', 1).toUtf8()), stepTimeoutMs);
    } else if (verb == "rtp") {
        // tmx-sip's RTP port, from the first answered call's audio line.
        QTRY_VERIFY_WITH_TIMEOUT(!keyed("call.audio").isEmpty(), stepTimeoutMs);
        const quint16 port = keyed("call.audio").first().value("port").toUShort();
        if (rtpSock.state() != QAbstractSocket::BoundState)
            QVERIFY(rtpSock.bind(QHostAddress::LocalHost, phoneMediaPort));
        const int pt = arg.section(' ', 0, 0).toInt();
        const char key = arg.section(' ', 1).at(0).toLatin1();
        const int code = key == '*' ? 10 : key == '#' ? 11 : key - '0';
        rtpTs += 8000;
        // The start, then the end three times (RFC 4733), one time stamp.
        for (int n = 0; n < 4; ++n, ++rtpSeq) {
            QByteArray packet(16, char(0));
            packet[0] = char(0x80);
            packet[1] = char((n == 0 ? 0x80 : 0) | pt);
            packet[2] = char(rtpSeq >> 8);
            packet[3] = char(rtpSeq);
            for (int i = 0; i < 4; ++i)
                packet[4 + i] = char(rtpTs >> (24 - 8 * i));
            packet[11] = 7;
            packet[12] = char(code);
            packet[13] = char((n ? 0x80 : 0) | 10);
            packet[15] = char(n ? 800 % 256 : 160);
            packet[14] = char(n ? 800 / 256 : 0);
            rtpSock.writeDatagram(packet, QHostAddress::LocalHost, port);
        }
    } else if (verb == "sip") {
        if (!stranger) {
            stranger.reset(new Stranger);
            QVERIFY2(stranger->start(), "cannot bind 127.0.0.1:5099");
        }
        Stranger &s = *stranger;
        const QStringList w = arg.split(' ');
        const QString id = w.value(1);
        auto last = [&s](const QString &call) {
            s.read();
            return s.calls.value(call).answers.isEmpty() ? QByteArray() : s.calls.value(call).answers.last();
        };
        if (w[0] == "invite") {
            s.invite(id, w.value(2), w.value(3), QByteArray());
        } else if (w[0] == "via") {
            s.calls[id].via = ";" + w.value(2).toUtf8();
        } else if (w[0] == "replay") {
            QVERIFY(s.calls.contains(w.value(2)));
            s.invite(id, s.calls[w[2]].user, QString(), s.calls[w[2]].auth);
        } else if (w[0] == "status") {
            // A 401 that the stranger answers is not the last answer.
            QTRY_VERIFY_WITH_TIMEOUT(!last(id).isEmpty(), stepTimeoutMs);
            QCOMPARE(QString(last(id).mid(8, 3)), w.value(2));
        } else if (w[0] == "same") {
            QCOMPARE(Stranger::normalised(last(id)), Stranger::normalised(last(w.value(2))));
        } else if (w[0] == "resent") {
            QTRY_VERIFY_WITH_TIMEOUT((last(id), s.calls[id].answers.size() >= w.value(2).toInt()), stepTimeoutMs);
        } else if (w[0] == "ack" || w[0] == "bye") {
            s.inDialog(id, w[0].toUpper().toUtf8());
        } else if (w[0] == "rtp") {
            QTRY_VERIFY_WITH_TIMEOUT((s.read(), s.rtpPackets >= id.toInt()), stepTimeoutMs);
        } else if (w[0] == "nortp") {
            s.read();
            QCOMPARE(s.rtpPackets, 0);
        } else {
            QFAIL(qPrintable("unknown step: " + step));
        }
    } else if (verb == "sighup" || verb == "kill-daemon") {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        trace.since = qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
        if (verb == "sighup") {
            writeConfig(QString(arg).replace('|', '\n') + "\n");
            QVERIFY(::kill(pid_t(sip.processId()), SIGHUP) == 0);
        } else {
            const QString pid = lastField({"started", "daemon.restarted"}, "pid");
            QVERIFY2(!pid.isEmpty(), "tmx-sip named no daemon pid");
            QVERIFY(::kill(pid_t(pid.toInt()), SIGKILL) == 0);
        }
    } else if (verb == "unbound") {
        for (const QString &port : arg.split(' '))
            QVERIFY2(QUdpSocket().bind(QHostAddress::LocalHost, port.toUShort(), QAbstractSocket::DontShareAddress),
                     qPrintable("UDP port " + port + " is bound"));
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
        QVERIFY(!keyed("call.audio").isEmpty());
        const quint16 port = keyed("call.audio").first().value("port").toUShort();
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
            out.writeDatagram(packet, QHostAddress::LocalHost, port);
        }
    } else if (verb == "forged") {
        // The phone's RTP address, as tmx-sip took it from the phone's SDP.
        QVERIFY(!keyed("call.audio").isEmpty());
        const QHash<QString, QString> audio = keyed("call.audio").first();
        QVERIFY(audio.value("peer").startsWith("127.0.0.1:"));
        // netns-run makes us root in a namespace of our own; without one
        // (and without root) there is no sending from another's port.
        const int fd = ::socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
        if (fd < 0)
            QSKIP("no raw socket: needs root in a network namespace of its own (netns-run)");
        struct sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // An RFC 4733 event of the open key on payload type 101, as baresip
        // sends it: a start and three ends, each press a time stamp of its own.
        for (int n = 0; n < 20; ++n) {
            QByteArray packet(sizeof(struct udphdr) + 12 + 4, char(0));
            struct udphdr *udp = reinterpret_cast<struct udphdr *>(packet.data());
            udp->source = htons(audio.value("peer").section(':', 1).toUShort());
            udp->dest = htons(audio.value("port").toUShort());
            udp->len = htons(quint16(packet.size()));
            char *rtp = packet.data() + sizeof(struct udphdr);
            rtp[0] = char(0x80);
            rtp[1] = char(101 | (n % 4 == 0 ? 0x80 : 0));
            rtp[3] = char(n);
            rtp[4] = char(n / 4 + 1); // the time stamp
            rtp[11] = 7;
            rtp[12] = 11; // '#'
            rtp[13] = char(n % 4 ? 0x8a : 0x0a);
            rtp[15] = char(160);
            QVERIFY(::sendto(fd, packet.constData(), size_t(packet.size()), 0,
                             reinterpret_cast<struct sockaddr *>(&to), sizeof to) == packet.size());
        }
        ::close(fd);
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
// it it is not. A starved machine may disturb the audio, but only where
// tmx-sip or the daemon said so, and in no more than half of those seconds.
// When the playout follows a drift (samples merged or split, which tmx-sip
// counts), each correction steps the tone's phase: a second of them leaves
// the tone about 20 dB above the rest, so such a call may have 15 dB.
void tst_SipCall::checkAudio()
{
    Wav wav;
    QTRY_VERIFY_WITH_TIMEOUT((wav = readWav(phone.recording())).complete, stepTimeoutMs);
    const QVector<qint16> &x = wav.samples;
    QVERIFY2(mark >= 3, "mark the recording at 3 s or later");
    const int markAt = int(mark * rate);
    QVERIFY(x.size() > markAt);

    // Stretches of the recording (seconds) that a report accounts for: tmx-sip
    // says where in the audio it sent, which reaches the recording a few
    // frames later and stays short while the playout refills; the daemon's
    // reports are placed where the recording was when they arrived, and
    // gather up to a second of drops.
    QVector<QPair<double, double>> reported;
    for (const QHash<QString, QString> &d : keyed("audio.disturbed"))
        reported.append({d.value("from").toDouble() - 0.5, d.value("to").toDouble() + 1.0});
    for (double at : daemonReports)
        reported.append({at - 2.0, at + 0.5});
    const auto accounted = [&](int from, int to) {
        for (const auto &r : reported)
            if (r.first * rate < to && r.second * rate > from)
                return true;
        return false;
    };

    QVERIFY2(!keyed("audio.report").isEmpty(), "no audio line at the end of the call");
    const QHash<QString, QString> counts = keyed("audio.report").first();
    const double corrected = counts.value("merged").toInt() + counts.value("split").toInt() > 0 ? 15 : 30;

    // One second of the call may hold a glitch of a few frames that nobody
    // reports: the phone's own jitter buffer, or a phone or tmx-sip run late
    // by a test beside it on a busy machine. The tone stays clearly above the
    // rest, and every other second must be clean or reported.
    bool phoneGlitch = false;
    double toneRms = 0;
    int seconds = 0, disturbed = 0;
    for (int start = rate; start + rate <= markAt; start += rate, ++seconds) {
        const QVector<double> p = spectrum(x.constData() + start);
        int peak = 50;
        for (int f = 50; f < rate / 2 - 50; ++f)
            if (p[f] > p[peak])
                peak = f;
        double tone = 0, rest = 0;
        for (int f = 2; f <= rate / 2; ++f)
            (std::abs(f - peak) <= 4 ? tone : rest) += p[f];
        const double db = 10 * std::log10(tone / qMax(rest, 1e-9));
        const bool clean = db >= corrected;
        qInfo("second %d: peak %d Hz, %.1f dB above the rest%s", start / rate, peak, db,
              clean ? "" : accounted(start, start + rate) ? " (disturbed, reported)" : "");
        // No disturbance moves the peak of a whole second of the tone.
        QVERIFY2(std::abs(peak - phoneToneHz) <= 5, "the tone's frequency is off");
        const bool glitch = !clean && !phoneGlitch && db >= 10 && !accounted(start, start + rate);
        phoneGlitch = phoneGlitch || glitch;
        QVERIFY2(clean || glitch || accounted(start, start + rate),
                 "the tone is less than 30 dB above the rest, and no disturbance was reported");
        if (!clean) {
            ++disturbed;
            continue;
        }
        double sum = 0;
        for (int i = start; i < start + rate; ++i)
            sum += double(x[i]) * x[i];
        toneRms = qMax(toneRms, std::sqrt(sum / rate));
    }
    QVERIFY2(2 * disturbed <= seconds, "most of the call's audio was disturbed");
    QVERIFY(toneRms > 1000);

    const int block = rate / 200; // 5 ms
    int silent = 0, longest = 0;
    for (int i = rate; i + block <= x.size() - rate / 10; i += block) {
        double sum = 0;
        for (int j = i; j < i + block; ++j)
            sum += double(x[j]) * x[j];
        silent = std::sqrt(sum / block) < toneRms / 100 ? silent + 1 : 0;
        if (silent * 5 > 40 && !accounted(i - silent * block, i + block))
            longest = qMax(longest, silent);
    }
    qInfo("longest silence after 1 s that nobody reported: %d ms", longest * 5);
    QVERIFY2(longest * 5 <= 40, "a gap of more than 40 ms that no disturbance accounts for");

    // Confirmation tone against the phone's own tone, per 50 ms; before the
    // key, reported disturbances may click.
    const int w = rate / 20;
    double before = -1e9, after = -1e9;
    for (int i = rate; i + w <= x.size(); i += w) {
        const double db = 10 * std::log10(goertzelPower(x.constData() + i, w, confirmationHz)
                                          / qMax(goertzelPower(x.constData() + i, w, phoneToneHz), 1e-9));
        if (i + w > markAt)
            after = qMax(after, db);
        else if (!accounted(i, i + w))
            before = qMax(before, db);
    }
    qInfo("confirmation tone against the phone's: %.1f dB before the key, %.1f dB after", before, after);
    QVERIFY2(before < -25, "a tone at the confirmation's frequency before the key");
    QVERIFY2(after > -15, "no confirmation tone after the key");
}

QTEST_MAIN(tst_SipCall)
#include "tst_sipcall.moc"
