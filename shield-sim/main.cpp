// shield-sim: plays the intercom shield's microcontroller on a pseudo-terminal
// so that tmx-driver can be run, tested and measured without the board, and
// decodes a live daemon's serial trace (--watch-log). Options, scenario
// grammar, trace format and exit statuses: README.md in this folder.

#include "audiopeer.h"
#include "consolevocabulary.h"
#include "logwatch.h"
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

#include <cerrno>
#include <csignal>
#include <cstring>
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

// Exit statuses of the simulator's own; otherwise it exits with the daemon's.
enum Exit {
    ExitQuit = 0,
    ExitExpectFailed = 1,
    ExitUsage = 2,
    ExitSetup = 3,
    ExitNoDaemon = 127,
};

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
        QStringLiteral("Also play the telephony side of the audio: numbered frames to 127.0.0.1:%1, counted back from %2.")
            .arg(ConsoleVocabulary::audioToDaemonPort).arg(ConsoleVocabulary::audioFromDaemonPort));
    const QCommandLineOption rateOpt(QStringLiteral("audio-rate"),
                                     QStringLiteral("Audio frames per second (default 62.5)."),
                                     QStringLiteral("fps"), QStringLiteral("62.5"));
    const QCommandLineOption burstOpt(QStringLiteral("audio-burst"),
                                      QStringLiteral("Audio frames per datagram (default 1)."),
                                      QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption jitterOpt(QStringLiteral("audio-jitter"),
                                       QStringLiteral("Send each audio datagram up to this many ms early or late."),
                                       QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption hiccupOpt(QStringLiteral("audio-hiccup"),
                                       QStringLiteral("Every S seconds stop sending audio for MS ms, then catch up."),
                                       QStringLiteral("ms/s"));
    const QCommandLineOption audioForOpt(QStringLiteral("audio-seconds"),
                                         QStringLiteral("Stop sending audio this many seconds after the start."),
                                         QStringLiteral("s"), QStringLiteral("0"));
    const QCommandLineOption watchOpt(QStringLiteral("watch-log"),
        QStringLiteral("Only print the daemon's serial trace (log datagrams on 127.0.0.1:%1) decoded.")
            .arg(ConsoleVocabulary::logPort));
    const QCommandLineOption seedOpt(QStringLiteral("seed"),
                                     QStringLiteral("Seed of the garbage step's bytes (default 1)."),
                                     QStringLiteral("n"), QStringLiteral("1"));
    parser.addOptions({scenarioOpt, checkOpt, quietOpt, traceOpt, ptyFileOpt, answerOpt, delayOpt, gapOpt, seedOpt,
                       audioOpt, rateOpt, burstOpt, jitterOpt, hiccupOpt, audioForOpt, watchOpt});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("Daemon to start on the pty."),
                                 QStringLiteral("[--] [command...]"));
    parser.process(app);

    bool ok = false;
    const int replyDelay = parser.value(delayOpt).toInt(&ok);
    const int gap = ok ? parser.value(gapOpt).toInt(&ok) : 0;
    const uint32_t seed = ok ? parser.value(seedOpt).toUInt(&ok) : 0;
    if (!ok || replyDelay < 0 || gap < 1) {
        Tracer::message(QStringLiteral("bad number in --reply-delay, --gap or --seed"));
        return ExitUsage;
    }
    AudioPeer::Pace pace;
    pace.rate = parser.value(rateOpt).toDouble(&ok);
    pace.burst = ok ? parser.value(burstOpt).toInt(&ok) : 0;
    pace.jitterMs = ok ? parser.value(jitterOpt).toInt(&ok) : 0;
    pace.stopAfterMs = ok ? int(parser.value(audioForOpt).toDouble(&ok) * 1000) : 0;
    if (ok && parser.isSet(hiccupOpt)) {
        const QStringList parts = parser.value(hiccupOpt).split(QLatin1Char('/'));
        pace.hiccupMs = parts.value(0).toInt(&ok);
        pace.hiccupEveryS = ok ? parts.value(1).toInt(&ok) : 0;
        ok = ok && parts.size() == 2 && pace.hiccupMs > 0 && pace.hiccupEveryS > 0;
    }
    if (!ok || pace.rate <= 0 || pace.burst < 1 || pace.jitterMs < 0 || pace.stopAfterMs < 0) {
        Tracer::message(QStringLiteral("bad value in an --audio-* option"));
        return ExitUsage;
    }

    if (parser.isSet(watchOpt)) {
        LogWatch watch;
        QString error;
        if (!watch.listen(&error)) {
            Tracer::message(error);
            return ExitSetup;
        }
        return app.exec();
    }
    QString answerMode;
    QByteArray answerBytes;
    if (!Scenario::parseAnswerMode(parser.value(answerOpt), &answerMode, &answerBytes)) {
        Tracer::message(QStringLiteral("--message-answer takes echo, none or hex bytes"));
        return ExitUsage;
    }

    Scenario scenario;
    if (parser.isSet(scenarioOpt)) {
        QString error;
        if (!scenario.load(parser.value(scenarioOpt), &error)) {
            Tracer::message(QStringLiteral("%1: %2").arg(parser.value(scenarioOpt), error));
            return ExitUsage;
        }
    }
    if (parser.isSet(checkOpt)) {
        Tracer::message(QStringLiteral("%1: %2 steps").arg(parser.value(scenarioOpt)).arg(scenario.steps().size()));
        return ExitQuit;
    }

    Tracer tracer;
    tracer.setQuiet(parser.isSet(quietOpt));
    if (parser.isSet(traceOpt) && !tracer.openFile(parser.value(traceOpt))) {
        Tracer::message(QStringLiteral("cannot write trace file %1").arg(parser.value(traceOpt)));
        return ExitSetup;
    }

    PtyPort port(gap);
    QString error;
    if (!port.open(&error)) {
        Tracer::message(error);
        return ExitSetup;
    }
    Tracer::message(QStringLiteral("pty %1").arg(port.slavePath()));
    tracer.event(QString(), QStringLiteral("start"), {{QStringLiteral("pty"), port.slavePath()}});
    if (parser.isSet(ptyFileOpt) && !writePtyFile(parser.value(ptyFileOpt), port.slavePath())) {
        Tracer::message(QStringLiteral("cannot write %1").arg(parser.value(ptyFileOpt)));
        return ExitSetup;
    }

    AudioPeer audio(&tracer);
    audio.setPace(pace);
    if ((parser.isSet(audioOpt) || scenario.usesAudio()) && !audio.listen(&error)) {
        Tracer::message(error);
        return ExitSetup;
    }
    if (parser.isSet(audioOpt))
        audio.run();

    ShieldSim sim(&port, &tracer, replyDelay);
    sim.setMessageAnswer(answerMode, answerBytes);
    ScenarioRunner runner(scenario, &sim, &audio, &tracer, seed);
    DaemonChild child(&tracer);

    signal(SIGPIPE, SIG_IGN);
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        Tracer::message(QStringLiteral("cannot make the signal socket pair: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return ExitSetup;
    }
    QSocketNotifier signalNotifier(signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        char sig = 0;
        if (::read(signalPipe[1], &sig, 1) != 1)
            return;
        tracer.event(QStringLiteral("stopped by signal %1").arg(int(sig)), QStringLiteral("stop"),
                     {{QStringLiteral("signal"), QString::number(int(sig))}});
        child.stop();
        QCoreApplication::exit(128 + sig);
    });
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        signal(sig, onSignal);

    QObject::connect(&runner, &ScenarioRunner::quitRequested, [&] {
        child.stop();
        QCoreApplication::exit(ExitQuit);
    });
    QObject::connect(&runner, &ScenarioRunner::failed, [&] {
        child.stop();
        QCoreApplication::exit(ExitExpectFailed);
    });
    QObject::connect(&runner, &ScenarioRunner::typeRequested, &child, &DaemonChild::type);
    QObject::connect(&child, &DaemonChild::exited, [](int status) { QCoreApplication::exit(status); });

    const QStringList command = parser.positionalArguments();
    if (!command.isEmpty() && !child.start(command, port.slavePath()))
        return ExitNoDaemon;

    // Started from the event loop, so that a quit or a failure in the very
    // first steps finds a loop to end.
    QTimer::singleShot(0, &runner, &ScenarioRunner::start);
    return app.exec();
}
