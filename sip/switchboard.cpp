#include "switchboard.h"
#include "eventline.h"
#include "log.h"
#include "steadyclock.h"
#include "tlscontext.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/wait.h>

Switchboard::Switchboard(const Config &config)
    : config(config),
      daemon([this](const std::string &line) { daemonLine(line); },
             [this](int status) { daemonExited(status); }),
      audio(config.sampleFormat,
            [this](const int16_t *samples, size_t count) { frameFromDaemon(samples, count); },
            [this](int16_t *samples, size_t count) { frameToDaemon(samples, count); }),
      lockout(uint64_t(config.pinLockoutSeconds) * 1000), pinBudget(config.pinBudget)
{
    tmr_init(&reapTimer);
    tmr_init(&stopTimer);
    tmr_init(&restartTimer);
    tmr_init(&dialogueTimer);
    tmr_init(&refusedTimer);
    sa_init(&laddr, AF_INET);
}

Switchboard::~Switchboard()
{
    for (struct tmr *t : {&reapTimer, &stopTimer, &restartTimer, &dialogueTimer, &refusedTimer})
        tmr_cancel(t);
    call.reset();
    incoming.reset();
    ended.clear();
    endedIncoming.clear();
    registration.reset();
    daemon.stop();
    mem_deref(strangerGuard);
    mem_deref(leftovers);
    mem_deref(sock);
    if (sip)
        sip_close(sip, true);
    mem_deref(sip);
    mem_deref(dnsc);
}

int Switchboard::start(const std::vector<std::string> &command)
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

    // One transport: with TLS, no SIP in clear at all (a second one would
    // let anyone choose the one without encryption).
    const bool tls = config.transport == Config::Transport::Tls;
    TlsContext tlsContext;
    std::string tlsError;
    if (tls && !tlsContext.load(config, tlsError)) {
        sipLog("TLS: %s", tlsError.c_str());
        return EINVAL;
    }
    err = sip_alloc(&sip, dnsc, 32, 32, 32, "tmx-sip", sipExited, this);
    if (!err)
        err = tls ? sip_transp_add(sip, SIP_TRANSP_TLS, &laddr, tlsContext.get())
                  : sip_transp_add(sip, SIP_TRANSP_UDP, &laddr);
    // Ahead of the sessions' own handler: libre asks its listeners in the
    // order they were added.
    if (!err)
        err = sip_listen(&strangerGuard, sip, true, strangerHandler, this);
    if (!err)
        err = sipsess_listen(&sock, sip, 32, connectHandler, this);
    if (!err)
        err = sip_listen(&leftovers, sip, true, leftoverHandler, this);
    if (err) {
        sipLog("cannot use %J for SIP: %m", &laddr, err);
        return err;
    }
    err = audio.open();
    if (err) {
        sipLog("audio: cannot bind 127.0.0.1:20002: %m", err);
        return err;
    }
    daemonCommand = command;
    err = daemon.start(daemonCommand);
    if (err) {
        sipLog("daemon: cannot start %s: %m", daemonCommand.empty() ? "" : daemonCommand[0].c_str(), err);
        return err;
    }
    daemonStartedAt = tmr_jiffies();
    std::string cmd;
    for (const std::string &word : daemonCommand)
        cmd += (cmd.empty() ? "" : " ") + word;
    sipLog("SIP on %s:%J; daemon started (pid %d): %s", tls ? "tls" : "udp", &laddr, int(daemon.pid()), cmd.c_str());
    if (tls && config.tlsCa.empty())
        sipLog("TLS: no tls_ca: the phones' certificates are not verified");
    if (!tlsContext.warning().empty())
        sipLog("TLS: %s", tlsContext.warning().c_str());
    startDialogue();
    findPbx();
    if (!config.registrar.empty()) {
        registration.reset(new Registration(sip, config));
        registration->start();
    }
    return 0;
}

void Switchboard::reload(const Config &fresh)
{
    if (stopping)
        return;
    Config next = fresh;
    // These are bound to sockets and the daemon's command line.
    std::string kept;
    auto keep = [&kept](bool changed, const char *key) {
        if (changed)
            kept += std::string(kept.empty() ? "" : ", ") + key;
    };
    keep(next.listenAddress != config.listenAddress || next.listenPort != config.listenPort, "listen");
    keep(next.sampleFormat != config.sampleFormat, "sample_format");
    keep(next.daemon != config.daemon || next.intercom != config.intercom, "daemon/intercom");
    keep(next.transport != config.transport || next.tlsCertificate != config.tlsCertificate
             || next.tlsKey != config.tlsKey || next.tlsCa != config.tlsCa,
         "transport/tls_*");
    if (!kept.empty())
        sipLog("config: %s take effect on restart only; the running values stay", kept.c_str());
    next.listenAddress = config.listenAddress;
    next.listenPort = config.listenPort;
    next.sampleFormat = config.sampleFormat;
    next.daemon = config.daemon;
    next.intercom = config.intercom;
    next.transport = config.transport;
    next.tlsCertificate = config.tlsCertificate;
    next.tlsKey = config.tlsKey;
    next.tlsCa = config.tlsCa;

    const bool registrationChanged = next.registrar != config.registrar || next.user != config.user
        || next.password != config.password || next.outboundProxy != config.outboundProxy
        || next.expires != config.expires || next.registerRetryMin != config.registerRetryMin
        || next.registerRetryMax != config.registerRetryMax;
    const bool masksChanged = next.virtualApartments != config.virtualApartments || next.blacklist != config.blacklist;
    config = next;
    lockout.setPeriod(uint64_t(config.pinLockoutSeconds) * 1000);
    pinBudget.setBudget(config.pinBudget);
    pinBudget.reset();
    findPbx();
    if (incoming) {
        std::string why = incoming->stillAllowed(config);
        // An extension's call holds only while it comes from the PBX.
        const Config::Caller *entry = config.callerNamed(incoming->caller());
        if (why.empty() && entry && entry->password.empty() && !pbxAddress(&incoming->source()))
            why = "the caller's call no longer comes from the registrar or outbound proxy";
        if (!why.empty())
            incoming->end(why);
    }
    sipLog("config: read again: %zu apartments (%zu virtual), %zu blacklisted, %zu allowed callers%s%s",
           config.apartments.size(), config.virtualApartments.size(), config.blacklist.size(), config.allow.size(),
           registrationChanged ? "; registering anew" : "", masksChanged ? "; loading the masks" : "");
    if (registrationChanged) {
        registration.reset();
        if (!config.registrar.empty()) {
            registration.reset(new Registration(sip, config));
            registration->start();
        }
    }
    if (dialogue)
        dialogueAgain = true;
    else if (daemon.running())
        startDialogue();
}

void Switchboard::shutdown()
{
    if (stopping)
        return;
    stopping = true;
    tmr_cancel(&restartTimer);
    tmr_cancel(&dialogueTimer);
    if (call) {
        call->hangUp();
        dropCall();
    }
    endIncoming("tmx-sip stops");
    registration.reset();
    audio.stopClock();
    daemon.terminate();
    // Sessions still closing hold the socket; it goes with the last of them.
    sock = static_cast<struct sipsess_sock *>(mem_deref(sock));
    // The exit handler comes once the BYEs, CANCELs and the unregistration
    // are answered; the daemon is waited for beside that.
    sip_close(sip, false);
    stopStartedAt = tmr_jiffies();
    tmr_start(&stopTimer, 0, stopTick, this);
}

void Switchboard::stopTick(void *arg)
{
    Switchboard *self = static_cast<Switchboard *>(arg);
    const bool daemonGone = self->daemon.ended();
    if (daemonGone && self->sipClosed) {
        re_cancel();
        return;
    }
    if (tmr_jiffies() - self->stopStartedAt >= stopWithinMs) {
        if (!daemonGone) {
            sipLog("daemon: still running; killing it");
            self->daemon.kill();
        }
        if (!self->sipClosed)
            sipLog("SIP: stopping without the last answers");
        re_cancel();
        return;
    }
    tmr_start(&self->stopTimer, 10, stopTick, self);
}

void Switchboard::sipExited(void *arg)
{
    Switchboard *self = static_cast<Switchboard *>(arg);
    self->sipClosed = true;
    if (self->stopping)
        tmr_start(&self->stopTimer, 0, stopTick, self);
}

// The daemon's masks from the configuration: the virtual apartments of the
// table and the blacklist.
void Switchboard::startDialogue()
{
    dialogueAgain = false;
    dialogue.reset(new DialPlan(config.virtualApartments, config.blacklist));
    if (!daemon.write(dialogue->commands())) {
        sipLog("daemon: masks: cannot write the dialplan dialogue");
        dialogue.reset();
        return;
    }
    tmr_start(&dialogueTimer, dialogueWaitMs, dialogueTimeout, this);
}

void Switchboard::dialogueTimeout(void *arg)
{
    Switchboard *self = static_cast<Switchboard *>(arg);
    if (!self->dialogue)
        return;
    sipLog("daemon: masks: no '%s' from the daemon within %llu s; the masks may not hold",
           self->dialogue->awaited(), (unsigned long long)(dialogueWaitMs / 1000));
    self->dialogue.reset();
    if (self->dialogueAgain)
        self->startDialogue();
}

void Switchboard::daemonLine(const std::string &line)
{
    const EventLine event = EventLine::parse(line);
    if (event.kind == EventLine::Other && dialogue) {
        switch (dialogue->answer(line)) {
        case DialPlan::Waiting:
            return;
        case DialPlan::Done:
            sipLog("daemon: masks loaded: %zu virtual, %zu blacklisted apartments", config.virtualApartments.size(),
                   config.blacklist.size());
            break;
        case DialPlan::Failed:
            sipLog("daemon: masks: the dialplan dialogue went wrong: %s; the masks may not hold",
                   dialogue->error().c_str());
            break;
        }
        tmr_cancel(&dialogueTimer);
        dialogue.reset();
        if (dialogueAgain)
            startDialogue();
        return;
    }
    switch (event.kind) {
    case EventLine::Dial:
        doorCallUp = true;
        // The line is the visitor's now; nobody opens a door by PIN meanwhile.
        endIncoming("a door call came");
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
        if (incoming && incoming->awaitingOpen()) {
            incoming->doorOpened();
        } else if (call && call->answered()) {
            sipLog("%s: the intercom reports the door open: confirmation tone", call->name().c_str());
            call->media().playConfirmation();
        } else {
            sipLog("the intercom reports a door open, no call");
        }
        break;
    case EventLine::Drop:
        doorCallUp = false;
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
    char how[64];
    if (WIFEXITED(st))
        re_snprintf(how, sizeof how, "with status %d", WEXITSTATUS(st));
    else if (WIFSIGNALED(st))
        re_snprintf(how, sizeof how, "by signal %d", WTERMSIG(st));
    else
        re_snprintf(how, sizeof how, "(status 0x%x)", st);
    if (stopping)
        return;
    const uint64_t ran = tmr_jiffies() - daemonStartedAt;
    if (ran >= steadyDaemonMs)
        restartBackoff.reset();
    const uint64_t wait = restartBackoff.next();
    sipLog("daemon: ended %s after %llu.%llu s; ending the calls; starting it again in %llu s", how,
           (unsigned long long)(ran / 1000), (unsigned long long)(ran % 1000 / 100), (unsigned long long)(wait / 1000));
    doorCallUp = false;
    tmr_cancel(&dialogueTimer);
    dialogue.reset();
    if (call) {
        call->hangUp();
        dropCall();
    }
    endIncoming("the daemon ended");
    audio.stopClock();
    tmr_start(&restartTimer, wait, restartDue, this);
}

void Switchboard::restartDue(void *arg)
{
    static_cast<Switchboard *>(arg)->startDaemon();
}

void Switchboard::startDaemon()
{
    if (stopping)
        return;
    const int err = daemon.start(daemonCommand);
    daemonStartedAt = tmr_jiffies();
    if (err) {
        const uint64_t wait = restartBackoff.next();
        sipLog("daemon: cannot start %s: %m; trying again in %llu s", daemonCommand[0].c_str(), err,
               (unsigned long long)(wait / 1000));
        tmr_start(&restartTimer, wait, restartDue, this);
        return;
    }
    sipLog("daemon started again (pid %d)", int(daemon.pid()));
    startDialogue();
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
    strangersShown = 0;
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
    if (call && call->answered() && !call->ended()) {
        MediaStream &m = call->media();
        m.toDaemon(samples, count);
        disturbances.update(call->name(), m.sentSeconds(), m.playout().underruns(), m.playout().lost(),
                            audio.skippedTicks(), audio.lateTicks());
    } else
        std::fill(samples, samples + count, int16_t(0));
}

void Switchboard::dropCall()
{
    if (!call)
        return;
    const Playout &p = call->media().playout();
    if (call->answered())
        sipLog("%s: audio: %u underruns, %u samples merged, %u split, %u packets lost, %u foreign packets, "
               "%u ticks skipped, %u late",
               call->name().c_str(), p.underruns(), p.merged(), p.split(), p.lost(),
               call->media().foreignPackets(), audio.skippedTicks(), audio.lateTicks());
    audio.stopClock();
    // This may run inside the call's own SIP handlers: free it from the loop.
    ended.push_back(std::move(call));
    tmr_start(&reapTimer, 0, reap, this);
}

void Switchboard::endIncoming(const std::string &why)
{
    if (incoming)
        incoming->end(why);
}

void Switchboard::reap(void *arg)
{
    Switchboard *self = static_cast<Switchboard *>(arg);
    self->ended.clear();
    self->endedIncoming.clear();
}

void Switchboard::callAnswered(Call &c)
{
    sipLog("%s: pickup", c.name().c_str());
    daemon.write("pickup");
    disturbances.start();
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
    // Only the phone of the door call that is up and answered opens.
    if (call.get() != &c || !c.answered() || c.ended()) {
        sipLog("%s: key %c, and this call is not the answered door call: ignored", c.name().c_str(), digit);
        return;
    }
    if (digit == config.openKey) {
        sipLog("%s: key %c: open", c.name().c_str(), digit);
        daemon.write("open");
    } else {
        sipLog("%s: key %c", c.name().c_str(), digit);
    }
}

void Switchboard::incomingDoor(IncomingCall &c, int door)
{
    // "open N" opens door unit N only on an idle line; during a call it
    // would open the door of that call.
    if (doorCallUp || call) {
        c.end("a door call is up");
        return;
    }
    if (!daemon.running() || !daemon.write("open " + std::to_string(door))) {
        c.end("the daemon is not running");
        return;
    }
    sipLog("%s: open %d", c.name().c_str(), door);
    c.awaitOpen();
}

void Switchboard::incomingWrongPin(IncomingCall &c)
{
    const uint64_t now = SteadyClock::ms();
    if (pinBudget.wrong(now)) {
        const uint64_t left = pinBudget.opensAt() - now;
        sipLog("%u wrong PINs within 24 h: calling in is closed for everyone for %llu h %02llu min, or until SIGHUP",
               config.pinBudget, (unsigned long long)(left / 3600000), (unsigned long long)(left / 60000 % 60));
    }
    if (lockout.wrong(c.caller(), now))
        sipLog("%s: 3 wrong PINs from '%s' within %u s: its calls are refused for %u s", c.name().c_str(),
               c.caller().c_str(), config.pinLockoutSeconds, config.pinLockoutSeconds);
}

void Switchboard::incomingEnded(IncomingCall &c)
{
    if (incoming.get() != &c)
        return;
    endedIncoming.push_back(std::move(incoming));
    tmr_start(&reapTimer, 0, reap, this);
}

// Refusals are answered without a transaction (nothing is kept for them)
// and said on standard error, a few per 10 s; a flood of them becomes one
// line at the end of each 10 s.
void Switchboard::refuse(const struct sip_msg *msg, uint16_t scode, const char *reason, const char *why,
                         const std::string &headers)
{
    sip_replyf(sip, msg, scode, reason, "%sContent-Length: 0\r\n\r\n", headers.c_str());
    const uint64_t now = tmr_jiffies();
    if (now - refusedSince >= refusedWindowMs) {
        refusedSummary(this);
        refusedSince = now;
        refusedShown = 0;
    }
    if (refusedShown < refusedLinesPerWindow) {
        ++refusedShown;
        sipLog("incoming call from %s: %u %s: %s", shown(msg->from.auri).c_str(), scode, reason, why);
    } else if (refusedHidden++ == 0) {
        tmr_start(&refusedTimer, refusedSince + refusedWindowMs - now, refusedSummary, this);
    }
}

void Switchboard::refusedSummary(void *arg)
{
    Switchboard *self = static_cast<Switchboard *>(arg);
    tmr_cancel(&self->refusedTimer);
    if (self->refusedHidden)
        sipLog("%u more incoming calls refused in %llu s", self->refusedHidden,
               (unsigned long long)(refusedWindowMs / 1000));
    self->refusedHidden = 0;
}

// An INFO (a key) or a re-INVITE (the media elsewhere) in a call's dialog
// that comes from another address or port than the call's phone: 403, and
// the call never hears of it.
bool Switchboard::strangerHandler(const struct sip_msg *msg, void *arg)
{
    Switchboard *self = static_cast<Switchboard *>(arg);
    if (!pl_isset(&msg->to.tag) || (pl_strcmp(&msg->met, "INFO") && pl_strcmp(&msg->met, "INVITE")))
        return false;
    std::string name;
    if (self->call && self->call->fromStranger(msg))
        name = self->call->name();
    else if (self->incoming && self->incoming->fromStranger(msg))
        name = self->incoming->name();
    else
        return false;
    sip_reply(self->sip, msg, 403, "Forbidden");
    if (self->strangersShown < strangerLinesPerCall) {
        ++self->strangersShown;
        sipLog("%s: %s from %J, not from the phone in the call: 403%s", name.c_str(), shown(msg->met).c_str(),
               &msg->src, self->strangersShown == strangerLinesPerCall ? " (more are not shown)" : "");
    }
    return true;
}

// Requests nobody here takes (OPTIONS, MESSAGE, a CANCEL of nothing ...):
// answered as libre would, but without libre's line on standard error,
// which would print the request's URI as it came.
bool Switchboard::leftoverHandler(const struct sip_msg *msg, void *arg)
{
    Switchboard *self = static_cast<Switchboard *>(arg);
    if (!pl_strcmp(&msg->met, "CANCEL"))
        sip_reply(self->sip, msg, 481, "Transaction Does Not Exist");
    else if (pl_strcmp(&msg->met, "ACK"))
        sip_reply(self->sip, msg, 501, "Not Implemented");
    return true;
}

void Switchboard::connectHandler(const struct sip_msg *msg, void *arg)
{
    Switchboard *self = static_cast<Switchboard *>(arg);
    if (self->stopping) {
        self->refuse(msg, 503, "Service Unavailable", "tmx-sip stops");
        return;
    }
    // Who the caller says it is; nothing it says is believed before the
    // digest (or the PBX, for its own extensions) vouches for it. Whatever
    // fails, the answer is the same 401 with a fresh challenge, so the names
    // in the allow-list cannot be told from others.
    const Config::Caller *entry = self->config.caller(std::string(msg->from.uri.user.p, msg->from.uri.user.l),
                                                      std::string(msg->from.uri.host.p, msg->from.uri.host.l));
    const bool pbxVouches = entry && entry->password.empty() && self->fromPbx(msg);
    if (!pbxVouches) {
        const char *why = "";
        const std::string *password = entry && !entry->password.empty() ? &entry->password : nullptr;
        switch (self->challenge.verify(msg, password, why)) {
        case DigestChallenge::Unanswered:
            // Every call's first INVITE: not worth a line.
            sip_replyf(self->sip, msg, 401, "Unauthorized", "%sContent-Length: 0\r\n\r\n",
                       self->challenge.header().c_str());
            return;
        case DigestChallenge::Stale:
            self->refuse(msg, 401, "Unauthorized", why, self->challenge.header(true));
            return;
        case DigestChallenge::Refused:
            self->refuse(msg, 401, "Unauthorized", why, self->challenge.header());
            return;
        case DigestChallenge::Good:
            break;
        }
    }
    const std::string &caller = entry->who;
    if (self->pinBudget.closed(SteadyClock::ms())) {
        self->refuse(msg, 403, "Forbidden", "calling in is closed after too many wrong PINs");
        return;
    }
    if (self->lockout.locked(caller, SteadyClock::ms())) {
        self->refuse(msg, 403, "Forbidden", "locked out after wrong PINs");
        return;
    }
    // A call in that has not ACKed our answer holds the line against no one:
    // whoever wrote the PBX's address as its source never sees that answer,
    // and would otherwise keep everyone out with one INVITE per pin_timeout.
    if (self->incoming && !self->incoming->acknowledged() && !self->doorCallUp && !self->call)
        self->incoming->end("another caller came before its ACK");
    if (self->doorCallUp || self->call || self->incoming) {
        self->refuse(msg, 486, "Busy Here", self->incoming ? "another call is opening a door" : "a door call is up");
        return;
    }
    if (!self->daemon.running()) {
        self->refuse(msg, 503, "Service Unavailable", "the daemon is starting again");
        return;
    }
    self->strangersShown = 0;
    self->incoming.reset(new IncomingCall(self->sock, self->config, self->laddr, *self, *entry));
    const uint16_t refused = self->incoming->accept(msg);
    if (refused) {
        self->incoming.reset();
        sip_reply(self->sip, msg, refused, refused == 488 ? "Not Acceptable Here" : "Server Internal Error");
    }
}

// The addresses a PBX sends its extensions' calls from: the registrar's and
// the outbound proxy's, port 5060 unless given. Looked up only when an
// allow-list entry without a password needs them.
void Switchboard::findPbx()
{
    pbx.clear();
    bool needed = false;
    for (const Config::Caller &c : config.allow)
        needed = needed || c.password.empty();
    if (!needed)
        return;
    for (const std::string &text : {config.registrar, config.outboundProxy}) {
        struct pl pl;
        struct uri uri;
        pl_set_str(&pl, text.c_str());
        if (text.empty() || uri_decode(&uri, &pl))
            continue;
        const std::string host(uri.host.p, uri.host.l);
        const uint16_t port = uri.port ? uri.port : 5060;
        struct sa sa;
        if (sa_set_str(&sa, host.c_str(), port) == 0) {
            pbx.push_back(sa);
            continue;
        }
        struct addrinfo hints = {};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        struct addrinfo *found = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
            sipLog("config: cannot find the address of %s: callers without a password cannot call in through it",
                   host.c_str());
            continue;
        }
        for (struct addrinfo *a = found; a; a = a->ai_next) {
            sa_set_sa(&sa, a->ai_addr);
            sa_set_port(&sa, port);
            pbx.push_back(sa);
        }
        freeaddrinfo(found);
    }
}

// A source address is easily written by anyone on the network; what makes
// it the PBX's is that our answers go back to it, not where the Via's maddr
// points, so that a stranger who forges it learns nothing of the call.
bool Switchboard::fromPbx(const struct sip_msg *msg) const
{
    struct pl rport;
    struct sa back;
    sip_reply_addr(&back, msg, msg_param_exists(&msg->via.params, "rport", &rport) == 0);
    return sa_cmp(&back, &msg->src, SA_ADDR) && pbxAddress(&msg->src);
}

bool Switchboard::pbxAddress(const struct sa *src) const
{
    for (const struct sa &a : pbx)
        if (sa_cmp(&a, src, SA_ALL))
            return true;
    return false;
}
