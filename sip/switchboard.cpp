#include "switchboard.h"
#include "eventline.h"
#include "log.h"

#include <sys/wait.h>

Switchboard::Switchboard(const Config &config)
    : config(config),
      daemon([this](const std::string &line) { daemonLine(line); },
             [this](int status) { daemonExited(status); }),
      audio(config.sampleFormat,
            [this](const int16_t *samples, size_t count) { frameFromDaemon(samples, count); },
            [this](int16_t *samples, size_t count) { frameToDaemon(samples, count); })
{
    tmr_init(&reapTimer);
    tmr_init(&stopTimer);
    sa_init(&laddr, AF_INET);
}

Switchboard::~Switchboard()
{
    tmr_cancel(&reapTimer);
    tmr_cancel(&stopTimer);
    call.reset();
    ended.clear();
    daemon.stop();
    mem_deref(sock);
    if (sip)
        sip_close(sip, true);
    mem_deref(sip);
    mem_deref(dnsc);
}

int Switchboard::start(const std::vector<std::string> &daemonCommand)
{
    int err = 0;
    if (config.listenAddress.empty()) {
        if (net_default_source_addr_get(AF_INET, &laddr))
            sa_set_str(&laddr, "127.0.0.1", 0);
    } else {
        sa_set_str(&laddr, config.listenAddress.c_str(), 0);
    }
    sa_set_port(&laddr, config.listenPort);

    // Name servers for phones given by host name; without them only
    // addresses work.
    struct sa nsv[8];
    uint32_t nsn = 8;
    char domain[64] = "";
    if (dns_srv_get(domain, sizeof domain, nsv, &nsn) == 0 && nsn)
        dnsc_alloc(&dnsc, nullptr, nsv, nsn);

    err = sip_alloc(&sip, dnsc, 32, 32, 32, "tmx-sip", sipExited, this);
    if (!err)
        err = sip_transp_add(sip, SIP_TRANSP_UDP, &laddr);
    if (!err)
        err = sipsess_listen(&sock, sip, 32, connectHandler, this);
    if (err) {
        sipLog("cannot use %J for SIP: %m", &laddr, err);
        return err;
    }
    err = audio.open();
    if (err) {
        sipLog("audio: cannot bind 127.0.0.1:20002: %m", err);
        return err;
    }
    err = daemon.start(daemonCommand);
    if (err) {
        sipLog("daemon: cannot start %s: %m", daemonCommand.empty() ? "" : daemonCommand[0].c_str(), err);
        return err;
    }
    std::string cmd;
    for (const std::string &word : daemonCommand)
        cmd += (cmd.empty() ? "" : " ") + word;
    sipLog("SIP on udp:%J; daemon started: %s", &laddr, cmd.c_str());
    return 0;
}

void Switchboard::shutdown()
{
    if (stopping)
        return;
    stopping = true;
    if (call) {
        call->hangUp();
        dropCall();
    }
    audio.stopClock();
    daemon.stop();
    // Let the BYE or CANCEL go out and be answered, for 2 s at most.
    tmr_start(&stopTimer, 2000, giveUp, this);
    sip_close(sip, false);
}

void Switchboard::giveUp(void *arg)
{
    (void)arg;
    re_cancel();
}

void Switchboard::sipExited(void *arg)
{
    (void)arg;
    re_cancel();
}

void Switchboard::daemonLine(const std::string &line)
{
    const EventLine event = EventLine::parse(line);
    switch (event.kind) {
    case EventLine::Dial:
        dial(event.apartment, event.door);
        break;
    case EventLine::Pickup:
        if (call && !call->answered()) {
            // Someone took the call at the apartment's own handset.
            sipLog("%s: the intercom reports pickup while the phone rings: taken at the apartment",
                   call->name().c_str());
            call->hangUp();
            dropCall();
        } else if (call) {
            sipLog("%s: the intercom reports pickup", call->name().c_str());
        }
        break;
    case EventLine::Open:
        if (call && call->answered()) {
            sipLog("%s: the intercom reports the door open: confirmation tone", call->name().c_str());
            call->media().playConfirmation();
        } else {
            sipLog("the intercom reports a door open, no call");
        }
        break;
    case EventLine::Drop:
        if (call) {
            sipLog("%s: the intercom ended the call", call->name().c_str());
            call->hangUp();
            dropCall();
        }
        break;
    case EventLine::Message:
    case EventLine::Other:
        break;
    }
}

void Switchboard::daemonExited(int st)
{
    if (WIFEXITED(st))
        sipLog("daemon: ended with status %d", WEXITSTATUS(st));
    else if (WIFSIGNALED(st))
        sipLog("daemon: ended by signal %d", WTERMSIG(st));
    status = 1;
    shutdown();
}

void Switchboard::dial(int apartment, int door)
{
    std::string who = "apartment " + std::to_string(apartment);
    if (door >= 0)
        who += " door " + std::to_string(door);
    if (stopping)
        return;
    if (call) {
        sipLog("%s: a call is up (%s): this dial is ignored", who.c_str(), call->name().c_str());
        return;
    }
    const std::string uri = config.uriFor(apartment);
    if (uri.empty()) {
        sipLog("%s: no URI for this apartment and no default: the intercom keeps ringing", who.c_str());
        return;
    }
    call.reset(new Call(sock, config, laddr, *this, apartment, door, uri));
    const int err = call->start();
    if (err) {
        sipLog("%s: cannot call %s: %m; drop", who.c_str(), uri.c_str(), err);
        call.reset();
        daemon.write("drop");
    }
}

void Switchboard::frameFromDaemon(const int16_t *samples, size_t count)
{
    if (call && call->answered() && !call->ended())
        call->media().fromDaemon(samples, count);
}

void Switchboard::frameToDaemon(int16_t *samples, size_t count)
{
    if (call && call->answered() && !call->ended())
        call->media().toDaemon(samples, count);
    else
        std::fill(samples, samples + count, int16_t(0));
}

void Switchboard::dropCall()
{
    if (!call)
        return;
    const Playout &p = call->media().playout();
    if (call->answered())
        sipLog("%s: audio: %u underruns, %u samples merged, %u split, %u packets lost, %u foreign packets, "
               "%u ticks skipped",
               call->name().c_str(), p.underruns(), p.merged(), p.split(), p.lost(),
               call->media().foreignPackets(), audio.skippedTicks());
    audio.stopClock();
    // This may run inside the call's own SIP handlers: free it from the loop.
    ended.push_back(std::move(call));
    tmr_start(&reapTimer, 0, reap, this);
}

void Switchboard::reap(void *arg)
{
    static_cast<Switchboard *>(arg)->ended.clear();
}

void Switchboard::callAnswered(Call &c)
{
    sipLog("%s: pickup", c.name().c_str());
    daemon.write("pickup");
    audio.startClock();
}

void Switchboard::callEnded(Call &c, const std::string &why)
{
    (void)why;
    sipLog("%s: drop", c.name().c_str());
    daemon.write("drop");
    if (call.get() == &c)
        dropCall();
}

void Switchboard::callDigit(Call &c, char digit)
{
    if (digit == config.openKey) {
        sipLog("%s: key %c: open", c.name().c_str(), digit);
        daemon.write("open");
    } else {
        sipLog("%s: key %c", c.name().c_str(), digit);
    }
}

void Switchboard::connectHandler(const struct sip_msg *msg, void *arg)
{
    Switchboard *self = static_cast<Switchboard *>(arg);
    sipLog("incoming call from %r: declined, tmx-sip only places calls", &msg->from.auri);
    sip_treply(nullptr, self->sip, msg, 603, "Decline");
}
