#include "incomingcall.h"
#include "log.h"

IncomingCall::IncomingCall(struct sipsess_sock *sock, const Config &config, const struct sa &laddr,
                           Listener &listener, const Config::Caller &caller)
    : sock(sock), config(config), laddr(laddr), listener(listener), allowed(caller),
      stream(this->config, [this](char k) { key(k); }), pin(this->config.callingIn.pin),
      peer(this->config.registrar.outboundProxy)
{
    tmr_init(&pinTimer);
    tmr_init(&waitTimer);
    tmr_init(&clock);
    sa_init(&from, AF_INET);
}

IncomingCall::~IncomingCall()
{
    tmr_cancel(&pinTimer);
    tmr_cancel(&waitTimer);
    tmr_cancel(&clock);
    mem_deref(sess);
    mem_deref(sdp);
}

uint16_t IncomingCall::accept(const struct sip_msg *msg)
{
    from = msg->src;
    label = "incoming call " + shown(msg->callid) + " from " + shown(msg->from.auri);
    peer.learn(msg->src);
    int err = sdp_session_alloc(&sdp, &laddr);
    if (!err)
        err = stream.open(sdp, laddr);
    if (err) {
        sipLog(logkey::callinFailed, "%s: cannot open audio: %m", label.c_str(), err);
        return 500;
    }
    // The caller's offer in the INVITE, or ours in the answer and theirs in the ACK.
    const bool offered = mbuf_get_left(msg->mb) > 0;
    std::string why;
    if (offered && (sdp_decode(sdp, msg->mb, true) || stream.negotiate(true, why) || !stream.canTake())) {
        sipLog(logkey::callinFailed,
               "%s: no audio we can take in its offer%s%s", label.c_str(), why.empty() ? "" : ": ", why.c_str());
        return 488;
    }
    struct mbuf *desc = nullptr;
    err = sdp_encode(&desc, sdp, !offered);
    if (!err)
        err = sipsess_accept(&sess, sock, msg, 200, "OK", config.registrar.user.c_str(), "application/sdp", desc,
                             nullptr, nullptr, false, offerHandler, answerHandler, establishedHandler, infoHandler, nullptr,
                             closeHandler, this, "Allow: INVITE, ACK, CANCEL, BYE, INFO\r\n");
    mem_deref(desc);
    if (err) {
        sipLog(logkey::callinFailed, "%s: cannot answer: %m", label.c_str(), err);
        return 500;
    }
    sipLog(logkey::callinAnswered, LogFields().add("srtp", stream.encrypted()),
           "%s: answered%s; waiting for the PIN, '#' and the door digit (%u s)", label.c_str(),
           stream.encrypted() ? " (SRTP)" : "", config.callingIn.pinTimeoutSeconds);
    tmr_start(&pinTimer, uint64_t(config.callingIn.pinTimeoutSeconds) * 1000, pinTimeout, this);
    offerTaken = offered;
    return 0;
}

bool IncomingCall::fromStranger(const struct sip_msg *msg) const
{
    return sess && sip_dialog_cmp(sipsess_dialog(sess), msg) && !peer.accepts(msg->src);
}

void IncomingCall::startClock()
{
    nextTick = tmr_jiffies();
    tmr_start(&clock, 0, tick, this);
}

// One packet of silence (or of the tone) every 20 ms, kept to the clock
// rather than to the timer's late firings.
void IncomingCall::tick(void *arg)
{
    IncomingCall *self = static_cast<IncomingCall *>(arg);
    static const int16_t silence[160] = {};
    const uint64_t now = tmr_jiffies();
    for (int caughtUp = 0; self->nextTick <= now && caughtUp < 5; ++caughtUp) {
        self->stream.fromDaemon(silence, 160);
        self->nextTick += tickMs;
    }
    if (self->nextTick <= now)
        self->nextTick = now + tickMs;
    tmr_start(&self->clock, self->nextTick - now, tick, self);
}

int IncomingCall::offerHandler(struct mbuf **descp, const struct sip_msg *msg, void *arg)
{
    IncomingCall *self = static_cast<IncomingCall *>(arg);
    int err = sdp_decode(self->sdp, msg->mb, true);
    std::string why;
    if (!err && (err = self->stream.negotiate(true, why)) != 0)
        sipLog("%s: new offer refused: %s", self->label.c_str(), why.c_str());
    // Before the ACK the audio waits for it, as for the first offer.
    if (!err && self->acked)
        err = self->stream.start();
    else if (!err)
        self->offerTaken = true;
    if (!err)
        err = sdp_encode(descp, self->sdp, false);
    return err;
}

int IncomingCall::answerHandler(const struct sip_msg *msg, void *arg)
{
    IncomingCall *self = static_cast<IncomingCall *>(arg);
    int err = sdp_decode(self->sdp, msg->mb, false);
    std::string why;
    if (!err && (err = self->stream.negotiate(false, why)) != 0) {
        sipLog(logkey::callinFailed, "%s: not connected: %s", self->label.c_str(), why.c_str());
        return err;
    }
    if (!err)
        err = self->stream.start();
    if (err) {
        sipLog(logkey::callinFailed, "%s: no audio we can take in its answer: %m", self->label.c_str(), err);
        return err;
    }
    if (!tmr_isrunning(&self->clock))
        self->startClock();
    return 0;
}

void IncomingCall::establishedHandler(const struct sip_msg *msg, void *arg)
{
    (void)msg;
    IncomingCall *self = static_cast<IncomingCall *>(arg);
    // The ACK: the caller is where it said, audio may flow.
    self->acked = true;
    if (!self->stream.started() && self->offerTaken)
        self->stream.start();
    if (!self->stream.started()) {
        self->end("no audio agreed");
        return;
    }
    if (!tmr_isrunning(&self->clock))
        self->startClock();
}

std::string IncomingCall::stillAllowed(const Config &fresh) const
{
    const Config::Caller *now = fresh.callerNamed(allowed.who);
    if (!now)
        return "the caller is no longer allowed";
    if (now->password != allowed.password)
        return "the caller's password changed";
    if (fresh.callingIn.pin != config.callingIn.pin)
        return "the PIN changed";
    return std::string();
}

void IncomingCall::infoHandler(struct sip *sip, const struct sip_msg *msg, void *arg)
{
    IncomingCall *self = static_cast<IncomingCall *>(arg);
    char k = 0;
    const uint16_t status = MediaStream::infoKey(msg, k);
    sip_reply(sip, msg, status, status == 200 ? "OK" : status == 415 ? "Unsupported Media Type" : "Bad Request");
    if (k)
        self->stream.keyFromInfo(k, msg->cseq.num);
}

// The keys are not written anywhere: they are the PIN.
void IncomingCall::key(char k)
{
    if (isEnded || waitingForOpen || opened)
        return;
    const bool accepted = pin.pinAccepted();
    switch (pin.key(k)) {
    case PinEntry::More:
        if (!accepted && pin.pinAccepted())
            sipLog(logkey::pinRight, "%s: PIN right; waiting for the door digit", label.c_str());
        break;
    case PinEntry::WrongPin:
        sipLog(logkey::pinWrong, "%s: wrong PIN", label.c_str());
        listener.incomingWrongPin(*this);
        end("wrong PIN");
        break;
    case PinEntry::NotADoor:
        end("the key after the PIN names no door (1-9)", logkey::pinNoDoor);
        break;
    case PinEntry::Door:
        tmr_cancel(&pinTimer);
        sipLog("%s: door %d", label.c_str(), pin.door());
        listener.incomingDoor(*this, pin.door());
        break;
    }
}

void IncomingCall::awaitOpen()
{
    if (isEnded)
        return;
    waitingForOpen = true;
    tmr_start(&waitTimer, confirmWaitMs, confirmTimeout, this);
}

void IncomingCall::doorOpened()
{
    if (isEnded || !waitingForOpen)
        return;
    waitingForOpen = false;
    opened = true;
    sipLog(logkey::doorConfirmed, "%s: the intercom reports the door open: confirmation tone", label.c_str());
    stream.playConfirmation();
    tmr_start(&waitTimer, afterToneMs, afterTone, this);
}

void IncomingCall::pinTimeout(void *arg)
{
    IncomingCall *self = static_cast<IncomingCall *>(arg);
    self->end(self->pin.pinAccepted() ? "no door digit in time" : "no PIN in time", logkey::pinTimeout);
}

void IncomingCall::confirmTimeout(void *arg)
{
    static_cast<IncomingCall *>(arg)->end("the intercom did not report the door open");
}

void IncomingCall::afterTone(void *arg)
{
    static_cast<IncomingCall *>(arg)->end("door open");
}

void IncomingCall::end(const std::string &why, LogKey key)
{
    if (isEnded)
        return;
    sipLog(key, "%s: hanging up (BYE): %s", label.c_str(), why.c_str());
    // Dropping the session sends the BYE; libre keeps it until answered.
    sess = static_cast<struct sipsess *>(mem_deref(sess));
    finish();
}

void IncomingCall::closeHandler(int err, const struct sip_msg *msg, void *arg)
{
    IncomingCall *self = static_cast<IncomingCall *>(arg);
    sipLog(logkey::callinEnded,
           "%s: ended: %s", self->label.c_str(), closeReason(err, msg, "the caller hung up").c_str());
    self->finish();
}

void IncomingCall::finish()
{
    if (isEnded)
        return;
    isEnded = true;
    waitingForOpen = false;
    tmr_cancel(&pinTimer);
    tmr_cancel(&waitTimer);
    tmr_cancel(&clock);
    listener.incomingEnded(*this);
}
