#include "call.h"
#include "digestauth.h"
#include "log.h"

#include <algorithm>

// Why a phone stops ringing when another of its flat took the call.
static const char completedElsewhere[] = "Reason: SIP;cause=200;text=\"Call completed elsewhere\"\r\n";
// As long as an INVITE waits for its final answer after a CANCEL (64 T1).
static const uint64_t cancelGiveUpMs = 32000;


Call::Call(struct sip *sip, struct sipsess_sock *sock, const Config &config, const struct sa &laddr,
           Listener &listener, int apartment, int door, const std::string &uri)
    : sip(sip), sock(sock), config(config), laddr(laddr), listener(listener), apartment(apartment), door(door),
      uri(uri), stream(this->config, [this](char digit) { this->listener.callDigit(*this, digit); }),
      peer(this->config.registrar.outboundProxy)
{
    tmr_init(&ringTimer);
    tmr_init(&cancelTimer);
    sa_init(&cancelTo, AF_UNSPEC);
    label = "apartment " + std::to_string(apartment);
    if (door >= 0)
        label += " door " + std::to_string(door);
}

Call::~Call()
{
    tmr_cancel(&ringTimer);
    tmr_cancel(&cancelTimer);
    mem_deref(cancel);
    // Dropping the session sends BYE or CANCEL as its state asks; libre
    // keeps it until the phone has answered that.
    mem_deref(sess);
    mem_deref(sdp);
    mem_deref(auth);
}

int Call::start()
{
    int err = sdp_session_alloc(&sdp, &laddr);
    if (!err)
        err = stream.open(sdp, laddr);
    struct mbuf *offer = nullptr;
    if (!err)
        err = sdp_encode(&offer, sdp, true);
    if (err) {
        mem_deref(offer);
        return err;
    }
    // With a registrar we call as its extension, through the outbound proxy
    // when there is one, and answer its challenges: only those to a request
    // that goes to the registrar (a phone called by its own address gets
    // no password).
    char from[256];
    if (config.registrar.uri.empty())
        re_snprintf(from, sizeof from, "sip:%s@%J", config.registrar.user.c_str(), &laddr);
    else
        re_snprintf(from, sizeof from, "%s", config.aor().c_str());
    const char *routes[1] = {config.registrar.outboundProxy.c_str()};
    const uint32_t routeCount = config.registrar.outboundProxy.empty() ? 0 : 1;
    char display[64];
    if (door >= 0)
        re_snprintf(display, sizeof display, "Door %d, apartment %d", door, apartment);
    else
        re_snprintf(display, sizeof display, "Apartment %d", apartment);
    answersChallenges = config.toRegistrar(uri);
    auth = answersChallenges ? DigestAuth::create(config.registrar.user, config.registrar.password) : nullptr;
    err = sipsess_connect(&sess, sock, uri.c_str(), display, from, config.registrar.user.c_str(), routes, routeCount,
                          "application/sdp", offer, auth ? DigestAuth::handler : nullptr, auth, true,
                          offerHandler, answerHandler,
                          progressHandler, establishedHandler, infoHandler, nullptr, closeHandler, this,
                          "Allow: INVITE, ACK, CANCEL, BYE, INFO\r\n");
    if (!err)
        DigestAuth::watch(auth, sipsess_dialog(sess));
    mem_deref(offer);
    if (err)
        return err;
    label += std::string(" call ") + sip_dialog_callid(sipsess_dialog(sess));
    sipLog(logkey::callPlaced, "%s: calling %s as \"%s\"", label.c_str(), uri.c_str(), display);
    tmr_start(&ringTimer, uint64_t(config.phones.ringTimeoutSeconds) * 1000, ringTimeout, this);
    return 0;
}

bool Call::fromStranger(const struct sip_msg *msg) const
{
    return sess && sip_dialog_cmp(sipsess_dialog(sess), msg) && !peer.accepts(msg->src);
}

void Call::hangUp()
{
    if (isEnded)
        return;
    isEnded = true;
    tmr_cancel(&ringTimer);
    sipLog(isAnswered ? logkey::callBye : logkey::callCancel, "%s: %s", label.c_str(),
           isAnswered ? "hanging up (BYE)" : "cancelling (CANCEL)");
    sess = static_cast<struct sipsess *>(mem_deref(sess));
}

void Call::cancelElsewhere()
{
    if (isEnded)
        return;
    isEnded = true;
    elsewhere = true;
    tmr_cancel(&ringTimer);
    // An answer that crosses the CANCEL is taken and ended with a BYE that
    // says the same.
    sipsess_set_close_headers(sess, "%s", completedElsewhere);
    if (cancel)
        sendCancel();
    else
        sipLog("%s: answered elsewhere: CANCEL once the phone says it rings", label.c_str());
    tmr_start(&ringTimer, cancelGiveUpMs, cancelGivenUp, this);
}

// libre sends a CANCEL with the INVITE's own header fields only, and takes
// none of ours: this one is built from the phone's provisional answer, which
// carries the INVITE's Via, From, To, Call-ID and CSeq back to us.
bool Call::prepareCancel(const struct sip_msg *msg)
{
    struct pl to = msg->to.val;
    if (pl_isset(&msg->to.tag) && msg->to.tag.p >= to.p + 5) {
        // The INVITE's To had no tag: the phone added it.
        to.l = size_t(msg->to.tag.p - 5 - to.p);
    }
    struct mbuf *mb = mbuf_alloc(512);
    if (!mb)
        return false;
    int err = mbuf_printf(mb, "CANCEL %s SIP/2.0\r\nVia: %r\r\nMax-Forwards: 70\r\n", uri.c_str(), &msg->via.val);
    if (!config.registrar.outboundProxy.empty())
        err |= mbuf_printf(mb, "Route: <%s>\r\n", config.registrar.outboundProxy.c_str());
    err |= mbuf_printf(mb, "To: %r\r\nFrom: %r\r\nCall-ID: %r\r\nCSeq: %u CANCEL\r\n%sContent-Length: 0\r\n\r\n",
                       &to, &msg->from.val, &msg->callid, msg->cseq.num, completedElsewhere);
    if (err) {
        mem_deref(mb);
        return false;
    }
    mem_deref(cancel);
    cancel = mb;
    cancelBranch.assign(msg->via.branch.p ? msg->via.branch.p : "", msg->via.branch.l);
    cancelTo = msg->src;
    cancelTransport = msg->tp;
    return true;
}

void Call::sendCancel()
{
    sipLog(logkey::callCancel, "%s: answered elsewhere: cancelling (CANCEL)", label.c_str());
    cancelWaitMs = SIP_T1;
    cancelAgain(this);
}

// Sent again as a request without its answer is (T1 doubling up to T2, on
// UDP), until the phone's final answer to the INVITE.
void Call::cancelAgain(void *arg)
{
    Call *self = static_cast<Call *>(arg);
    self->cancel->pos = 0;
    const int err = sip_send(self->sip, nullptr, self->cancelTransport, &self->cancelTo, self->cancel);
    if (err)
        sipLog("%s: cannot send the CANCEL: %m", self->label.c_str(), err);
    if (self->cancelTransport != SIP_TRANSP_UDP)
        return;
    tmr_start(&self->cancelTimer, self->cancelWaitMs, cancelAgain, self);
    self->cancelWaitMs = std::min<uint32_t>(self->cancelWaitMs * 2, SIP_T2);
}

// The phone never ended its INVITE: libre's own CANCEL, then let go.
void Call::cancelGivenUp(void *arg)
{
    Call *self = static_cast<Call *>(arg);
    self->sess = static_cast<struct sipsess *>(mem_deref(self->sess));
    self->release("no final answer to the CANCEL");
}

void Call::release(const std::string &why)
{
    tmr_cancel(&ringTimer);
    tmr_cancel(&cancelTimer);
    sipLog(logkey::callEnded, "%s: ended: %s", label.c_str(), why.c_str());
    listener.callReleased(*this);
}

void Call::end(const std::string &why, LogKey key)
{
    if (isEnded)
        return;
    isEnded = true;
    tmr_cancel(&ringTimer);
    sipLog(key, "%s: ended: %s", label.c_str(), why.c_str());
    listener.callEnded(*this, why);
}

int Call::takeAnswer(const struct sip_msg *msg)
{
    int err = sdp_decode(sdp, msg->mb, false);
    std::string why;
    if (!err && (err = stream.negotiate(false, why)) != 0) {
        // The session ends on the error, and the call with it: a drop.
        sipLog(logkey::callFailed, "%s: not connected: %s", label.c_str(), why.c_str());
        return err;
    }
    if (!err)
        err = stream.start();
    if (err)
        sipLog(logkey::callFailed, "%s: no usable audio in the phone's answer: %m", label.c_str(), err);
    else
        sipLog(logkey::callAudio,
               LogFields()
                   .add("peer", stream.remote())
                   .add("port", stream.localPort())
                   .add("srtp", stream.encrypted()),
               "%s: audio %s%s with %s, here on port %u", label.c_str(), stream.codec(),
               stream.encrypted() ? " (SRTP)" : "", stream.remote().c_str(), stream.localPort());
    return err;
}

int Call::offerHandler(struct mbuf **descp, const struct sip_msg *msg, void *arg)
{
    Call *self = static_cast<Call *>(arg);
    int err = sdp_decode(self->sdp, msg->mb, true);
    std::string why;
    if (!err && (err = self->stream.negotiate(true, why)) != 0)
        sipLog("%s: new offer from the phone refused: %s", self->label.c_str(), why.c_str());
    if (!err)
        err = sdp_encode(descp, self->sdp, false);
    if (!err && self->isAnswered) {
        err = self->stream.start();
        sipLog("%s: new offer from the phone: audio %s with %s", self->label.c_str(), self->stream.codec(),
               self->stream.remote().c_str());
    }
    return err;
}

int Call::answerHandler(const struct sip_msg *msg, void *arg)
{
    Call *self = static_cast<Call *>(arg);
    // A call lost to another phone carries no audio, even if its answer
    // crossed our CANCEL.
    return self->elsewhere ? 0 : self->takeAnswer(msg);
}

void Call::progressHandler(const struct sip_msg *msg, void *arg)
{
    Call *self = static_cast<Call *>(arg);
    sipLog(logkey::callProgress, LogFields().add("code", msg->scode), "%s: %u %s", self->label.c_str(), msg->scode,
           shown(msg->reason).c_str());
    // The first provisional answer of each INVITE libre sends: a challenge
    // or a redirect after a 100 Trying starts another transaction (a branch
    // of its own), which the CANCEL must name.
    if (!self->cancel || pl_strcmp(&msg->via.branch, self->cancelBranch.c_str()) != 0) {
        if (self->prepareCancel(msg) && self->elsewhere)
            self->sendCancel();
    }
}

void Call::establishedHandler(const struct sip_msg *msg, void *arg)
{
    Call *self = static_cast<Call *>(arg);
    if (self->elsewhere) {
        // Its answer crossed our CANCEL: BYE, with the reason.
        sipLog(logkey::callBye, "%s: answered after another phone: hanging up (BYE)", self->label.c_str());
        self->sess = static_cast<struct sipsess *>(mem_deref(self->sess));
        self->release("answered elsewhere");
        return;
    }
    tmr_cancel(&self->ringTimer);
    if (!self->stream.started()) {
        // An answer without SDP leaves nothing to talk over; the owner drops
        // the call, which sends the BYE.
        self->end("the phone answered without audio");
        return;
    }
    self->isAnswered = true;
    self->peer.learn(msg->src);
    sipLog(logkey::callAnswered, "%s: answered: %u %s", self->label.c_str(), msg->scode, shown(msg->reason).c_str());
    self->listener.callAnswered(*self);
}

void Call::infoHandler(struct sip *sip, const struct sip_msg *msg, void *arg)
{
    Call *self = static_cast<Call *>(arg);
    // Keys count only on a call that is connected: not on one whose answer
    // we refused (no encryption with srtp mandatory) nor after its end.
    if (!self->isAnswered || self->isEnded) {
        sip_reply(sip, msg, 481, "Call Does Not Exist");
        return;
    }
    char key = 0;
    const uint16_t status = MediaStream::infoKey(msg, key);
    sip_reply(sip, msg, status, status == 200 ? "OK" : status == 415 ? "Unsupported Media Type" : "Bad Request");
    if (key)
        self->stream.keyFromInfo(key, msg->cseq.num);
}

void Call::closeHandler(int err, const struct sip_msg *msg, void *arg)
{
    Call *self = static_cast<Call *>(arg);
    if (self->elsewhere) {
        self->release(closeReason(err, msg, "the phone hung up"));
        return;
    }
    if (!err && msg && !msg->req && (msg->scode == 401 || msg->scode == 407) && !self->config.registrar.uri.empty()
        && !self->answersChallenges) {
        self->end(std::to_string(msg->scode) + " " + shown(msg->reason)
                  + ": a password was asked for, and this call does not go to the registrar: "
                    "its password goes to the registrar alone",
                  logkey::callChallenged);
        return;
    }
    if (!err && msg && !msg->req && (msg->scode == 401 || msg->scode == 407) && DigestAuth::refusedRedirect(self->auth)) {
        self->end(std::to_string(msg->scode) + " " + shown(msg->reason)
                  + ": a password was asked for after the call was redirected: "
                    "its password goes to the registrar alone",
                  logkey::callChallenged);
        return;
    }
    self->end(closeReason(err, msg, "the phone hung up"));
}

void Call::ringTimeout(void *arg)
{
    Call *self = static_cast<Call *>(arg);
    const std::string why = "no answer in " + std::to_string(self->config.phones.ringTimeoutSeconds) + " s";
    self->sess = static_cast<struct sipsess *>(mem_deref(self->sess));
    sipLog(logkey::callCancel, "%s: cancelling (CANCEL)", self->label.c_str());
    self->end(why);
}
