// shield-sim: plays the intercom shield's microcontroller on a pseudo-terminal
// so that tmx-driver can be run and tested without the board.
//
//   shield-sim [options] [--] [daemon command...]
//
// The simulator opens a pty pair, prints "shield-sim: pty /dev/pts/N" on
// standard error, and answers the daemon's poll frames from the line state of
// a scenario (idle without one). With a daemon command it starts the daemon
// with LORENTAK_USART_PORT set to the pty, passes standard input to it and its
// standard output back, and exits with the daemon's exit status; a quit step
// ends the daemon and exits 0, a failed expect-cmd exits 1, a bad scenario
// exits 2. Without a command it serves the pty until killed.
//
// Packets: what the daemon writes is cut at 10 ms of silence, as the daemon
// cuts what it reads. An 11-byte packet FA .. F5 is a poll; the answer is
// FA 01 unit 00 status 00 d1000 d100 d10 d1 F5, written a few milliseconds
// after the packet ended. Any other packet is a message and is echoed by
// default (--message-answer / the answer step change that).
//
// Commands in byte 5 of a poll change the line:
//   8  pickup   during a call: the call becomes a conversation (0x08)
//   4  open     during a call or conversation: this answer adds the door bit 0x20
//   1  drop     during a call or conversation: 0x10 twice, then idle
//   16 one-time open while idle: this answer is 0x21 for the polled unit
// Other commands, or commands in other states, are ignored.
//
// Scenario files: one step per line, '#' starts a comment, blank lines are
// skipped. DUR is a duration such as 250ms, 2s, 1.5s, 1min; numbers are
// decimal or 0x hex; HEX is byte pairs, spaced or not ("fa 01", "fa01").
//   idle [DUR]                 line idle (0x01, answered for the polled unit)
//   call APT [from UNIT] [DUR] call to apartment APT from call unit UNIT (default 1), 0x02
//   talk [DUR]                 the call is picked up at the apartment: conversation, 0x08
//   door [DUR]                 the next answer carries the door bit once
//   hangup [N]                 N answers with 0x10 (default 2), then idle
//   status BYTE [DUR]          answer with this status byte as it is
//   silence [DUR]              answer nothing: for DUR, or until the next line step
//   sleep DUR                  just wait
//   raw HEX                    write the bytes at once, in one write
//   split HEX | DUR | HEX ...  write the parts with pauses between them
//   garbage N                  write N random bytes (--seed makes them repeatable)
//   babble DUR                 for DUR, 10 random bytes below 0xF0 every 0.8 ms
//   wait pickup|open|drop [DUR]  until the daemon's command did that (or DUR passed)
//   wait EVENT DUR or type TEXT  the same; when DUR runs out, TEXT is typed on the
//                              daemon's standard input and the wait goes on (10 s)
//   wait polls N [DUR]         until N more polls have been answered
//   expect-cmd CODE [DUR]      fail unless a poll with command CODE comes within DUR (10s)
//   answer echo|none|HEX       how message packets are answered from now on
//   quit                       end the daemon and exit 0
// DUR after a line step holds that state before the next step. A wait for an
// event is also met by one that happened earlier, after the last call step
// and not yet claimed by another wait. When the steps run out, the shield
// keeps its last state and goes on answering.
//
// Trace: a readable line on standard error per event (-q silences it), and
// with --trace FILE one line per event, "<ns> <kind> key=value...", where ns
// is CLOCK_MONOTONIC: rx-poll, rx-message (with first= and last= byte
// arrival), tx-answer, tx-message, tx-raw, tx-split, tx-garbage (stamped right
// before the write), tx-babble and babble-end, no-answer, event, step, timeout, expect-ok, expect-fail,
// scenario-end, quit, child-start, child-exit, child-stop, start, stop.

#include "audiopeer.h"
#include "daemonchild.h"
#include "ptyport.h"
#include "scenario.h"
#include "scenariorunner.h"
#include "shieldsim.h"
#include "tracer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int sig)
{
    const char c = char(sig);
    const ssize_t ignored = ::write(signalPipe[0], &c, 1);
    (void)ignored;
}

bool writePtyFile(const QString &path, const QString &pty)
{
    // Written whole and renamed into place, so a reader never sees half a name.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(pty.toLocal8Bit() + '\n');
    return file.commit();
}

}

int main(int argc, char *argv[])
{
    // A closed standard stream would otherwise be taken by the pty or a
    // socket, and read or written as if it were one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1)
            ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("shield-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays the intercom shield on a pseudo-terminal for tmx-driver.\n"
        "The scenario grammar is described in shield-sim/README.md."));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addHelpOption();
    const QCommandLineOption scenarioOpt({QStringLiteral("s"), QStringLiteral("scenario")},
                                         QStringLiteral("Scenario file to play."), QStringLiteral("file"));
    const QCommandLineOption checkOpt(QStringLiteral("check"),
                                      QStringLiteral("Only check the scenario file, then exit."));
    const QCommandLineOption quietOpt({QStringLiteral("q"), QStringLiteral("quiet")},
                                      QStringLiteral("No trace on standard error."));
    const QCommandLineOption traceOpt(QStringLiteral("trace"),
                                      QStringLiteral("Write a machine-readable trace to <file>."),
                                      QStringLiteral("file"));
    const QCommandLineOption ptyFileOpt(QStringLiteral("pty-file"),
                                        QStringLiteral("Write the pty's slave path to <file>."),
                                        QStringLiteral("file"));
    const QCommandLineOption answerOpt(QStringLiteral("message-answer"),
                                       QStringLiteral("Answer to message packets: echo (default), none or hex bytes."),
                                       QStringLiteral("mode"), QStringLiteral("echo"));
    const QCommandLineOption delayOpt(QStringLiteral("reply-delay"),
                                      QStringLiteral("Milliseconds from a packet's end to the answer (default 3)."),
                                      QStringLiteral("ms"), QStringLiteral("3"));
    const QCommandLineOption gapOpt(QStringLiteral("gap"),
                                    QStringLiteral("Milliseconds of silence that end a packet (default 10)."),
                                    QStringLiteral("ms"), QStringLiteral("10"));
    const QCommandLineOption audioOpt(QStringLiteral("audio"),
        QStringLiteral("Also play the telephony side of the audio: numbered frames to 127.0.0.1:20003, counted back from 20002."));
    const QCommandLineOption seedOpt(QStringLiteral("seed"),
                                     QStringLiteral("Seed of the garbage step's bytes (default 1)."),
                                     QStringLiteral("n"), QStringLiteral("1"));
    parser.addOptions({scenarioOpt, checkOpt, quietOpt, traceOpt, ptyFileOpt, answerOpt, delayOpt, gapOpt, seedOpt, audioOpt});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("Daemon to start on the pty."),
                                 QStringLiteral("[--] [command...]"));
    parser.process(app);

    bool ok = false;
    const int replyDelay = parser.value(delayOpt).toInt(&ok);
    const int gap = ok ? parser.value(gapOpt).toInt(&ok) : 0;
    const uint32_t seed = ok ? parser.value(seedOpt).toUInt(&ok) : 0;
    if (!ok || replyDelay < 0 || gap < 1) {
        Tracer::message(QStringLiteral("bad number in --reply-delay, --gap or --seed"));
        return 2;
    }
    QString answerMode;
    QByteArray answerBytes;
    if (!Scenario::parseAnswerMode(parser.value(answerOpt), &answerMode, &answerBytes)) {
        Tracer::message(QStringLiteral("--message-answer takes echo, none or hex bytes"));
        return 2;
    }

    Scenario scenario;
    if (parser.isSet(scenarioOpt)) {
        QString error;
        if (!scenario.load(parser.value(scenarioOpt), &error)) {
            Tracer::message(QStringLiteral("%1: %2").arg(parser.value(scenarioOpt), error));
            return 2;
        }
    }
    if (parser.isSet(checkOpt)) {
        Tracer::message(QStringLiteral("%1: %2 steps").arg(parser.value(scenarioOpt)).arg(scenario.steps().size()));
        return 0;
    }

    Tracer tracer;
    tracer.setQuiet(parser.isSet(quietOpt));
    if (parser.isSet(traceOpt) && !tracer.openFile(parser.value(traceOpt))) {
        Tracer::message(QStringLiteral("cannot write trace file %1").arg(parser.value(traceOpt)));
        return 2;
    }

    PtyPort port(gap);
    QString error;
    if (!port.open(&error)) {
        Tracer::message(error);
        return 1;
    }
    Tracer::message(QStringLiteral("pty %1").arg(port.slavePath()));
    tracer.event(QString(), QStringLiteral("start pty=%1").arg(port.slavePath()));
    if (parser.isSet(ptyFileOpt) && !writePtyFile(parser.value(ptyFileOpt), port.slavePath())) {
        Tracer::message(QStringLiteral("cannot write %1").arg(parser.value(ptyFileOpt)));
        return 2;
    }

    ShieldSim sim(&port, &tracer, replyDelay);
    sim.setMessageAnswer(answerMode, answerBytes);
    ScenarioRunner runner(scenario, &sim, &tracer, seed);
    DaemonChild child(&tracer);

    signal(SIGPIPE, SIG_IGN);
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe);
    QSocketNotifier signalNotifier(signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        char sig = 0;
        if (::read(signalPipe[1], &sig, 1) != 1)
            return;
        tracer.event(QStringLiteral("stopped by signal %1").arg(int(sig)), QStringLiteral("stop signal=%1").arg(int(sig)));
        child.stop();
        QCoreApplication::exit(128 + sig);
    });
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        signal(sig, onSignal);

    QObject::connect(&runner, &ScenarioRunner::quitRequested, [&] {
        child.stop();
        QCoreApplication::exit(0);
    });
    QObject::connect(&runner, &ScenarioRunner::failed, [&] {
        child.stop();
        QCoreApplication::exit(1);
    });
    QObject::connect(&runner, &ScenarioRunner::typeRequested, &child, &DaemonChild::type);
    QObject::connect(&child, &DaemonChild::exited, [](int status) { QCoreApplication::exit(status); });

    AudioPeer audio;
    if (parser.isSet(audioOpt) && !audio.start(&error)) {
        Tracer::message(error);
        return 2;
    }

    const QStringList command = parser.positionalArguments();
    if (!command.isEmpty() && !child.start(command, port.slavePath()))
        return 127;

    // Started from the event loop, so that a quit or a failure in the very
    // first steps finds a loop to end.
    QTimer::singleShot(0, &runner, &ScenarioRunner::start);
    return app.exec();
}
