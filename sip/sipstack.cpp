#include "sipstack.h"
#include "log.h"
#include "tlscontext.h"

SipStack::SipStack(const Config &config) : config(config)
{
    tmr_init(&refusedTimer);
    sa_init(&local, AF_INET);
}

SipStack::~SipStack()
{
    tmr_cancel(&refusedTimer);
    registration.reset();
    mem_deref(strangerGuard);
    mem_deref(leftovers);
    mem_deref(sessions);
    if (stack)
        sip_close(stack, true);
    mem_deref(stack);
    mem_deref(dnsc);
}

int SipStack::open(ConnectHandler handler)
{
    onConnect = std::move(handler);
    if (config.sip.listenAddress.empty()) {
        if (net_default_source_addr_get(AF_INET, &local))
            sa_set_str(&local, "127.0.0.1", 0);
    } else {
        sa_set_str(&local, config.sip.listenAddress.c_str(), 0);
    }
    sa_set_port(&local, config.sip.listenPort);

    // Name servers for phones given by host name; without them only
    // addresses work.
    struct sa nsv[8];
    uint32_t nsn = 8;
    char domain[64] = "";
    if (dns_srv_get(domain, sizeof domain, nsv, &nsn) == 0 && nsn)
        dnsc_alloc(&dnsc, nullptr, nsv, nsn);

    // One transport: with TLS, no SIP in clear at all (a second one would
    // let anyone choose the one without encryption).
    TlsContext tlsContext;
    std::string tlsError;
    if (tls() && !tlsContext.load(config, tlsError)) {
        sipLog(logkey::tlsWarning, "TLS: %s", tlsError.c_str());
        return EINVAL;
    }
    tlsNote = tlsContext.warning();
    int err = sip_alloc(&stack, dnsc, 32, 32, 32, "tmx-sip", sipExited, this);
    if (!err)
        err = tls() ? sip_transp_add(stack, SIP_TRANSP_TLS, &local, tlsContext.get())
                    : sip_transp_add(stack, SIP_TRANSP_UDP, &local);
    // Ahead of the sessions' own handler: libre asks its listeners in the
    // order they were added.
    if (!err)
        err = sip_listen(&strangerGuard, stack, true, strangerHandler, this);
    if (!err)
        err = sipsess_listen(&sessions, stack, 32, connectHandler, this);
    if (!err)
        err = sip_listen(&leftovers, stack, true, leftoverHandler, this);
    if (err)
        sipLog("cannot use %J for SIP: %m", &local, err);
    return err;
}

void SipStack::guard(Dialogs &d)
{
    dialogs.push_back(&d);
}

void SipStack::registerWith(const Config &fresh)
{
    const bool was = registration && registration->registered();
    registration.reset();
    if (was && registrationChanged)
        registrationChanged(false);
    if (!fresh.registrar.uri.empty()) {
        registration.reset(new Registration(stack, fresh));
        registration->onChange([this](bool registered) {
            if (registrationChanged)
                registrationChanged(registered);
        });
        registration->start();
    }
}

void SipStack::close(std::function<void()> handler)
{
    onClosed = std::move(handler);
    registration.reset();
    // Sessions still closing hold the socket; it goes with the last of them.
    sessions = static_cast<struct sipsess_sock *>(mem_deref(sessions));
    // The exit handler comes once the BYEs, CANCELs and the unregistration
    // are answered.
    sip_close(stack, false);
}

void SipStack::sipExited(void *arg)
{
    SipStack *self = static_cast<SipStack *>(arg);
    self->isClosed = true;
    if (self->onClosed)
        self->onClosed();
}

void SipStack::connectHandler(const struct sip_msg *msg, void *arg)
{
    static_cast<SipStack *>(arg)->onConnect(msg);
}

// Refusals are answered without a transaction (nothing is kept for them)
// and said on standard error, a few per 10 s; a flood of them becomes one
// line at the end of each 10 s.
void SipStack::refuse(const struct sip_msg *msg, uint16_t scode, const char *reason, const char *why,
                      const std::string &headers)
{
    sip_replyf(stack, msg, scode, reason, "%sContent-Length: 0\r\n\r\n", headers.c_str());
    const uint64_t now = tmr_jiffies();
    if (now - refusedSince >= refusedWindowMs) {
        refusedSummary(this);
        refusedSince = now;
        refusedShown = 0;
    }
    if (refusedShown < refusedLinesPerWindow) {
        ++refusedShown;
        sipLog(logkey::callinRefused, LogFields().add("status", scode),
               "incoming call from %s: %u %s: %s", shown(msg->from.auri).c_str(), scode, reason, why);
    } else if (refusedHidden++ == 0) {
        tmr_start(&refusedTimer, refusedSince + refusedWindowMs - now, refusedSummary, this);
    }
}

void SipStack::refusedSummary(void *arg)
{
    SipStack *self = static_cast<SipStack *>(arg);
    tmr_cancel(&self->refusedTimer);
    if (self->refusedHidden)
        sipLog(logkey::callinRefused, LogFields().add("more", self->refusedHidden),
               "%u more incoming calls refused in %llu s", self->refusedHidden,
               (unsigned long long)(refusedWindowMs / 1000));
    self->refusedHidden = 0;
}

// An INFO (a key) or a re-INVITE (the media elsewhere) in a call's dialog
// that comes from another address or port than the call's phone: 403, and
// the call never hears of it.
bool SipStack::strangerHandler(const struct sip_msg *msg, void *arg)
{
    SipStack *self = static_cast<SipStack *>(arg);
    if (!pl_isset(&msg->to.tag) || (pl_strcmp(&msg->met, "INFO") && pl_strcmp(&msg->met, "INVITE")))
        return false;
    std::string name;
    for (const Dialogs *d : self->dialogs)
        if (name.empty())
            name = d->strangerIn(msg);
    if (name.empty())
        return false;
    sip_reply(self->stack, msg, 403, "Forbidden");
    if (self->strangersShown < strangerLinesPerCall) {
        ++self->strangersShown;
        sipLog(logkey::sipStranger,
               "%s: %s from %J, not from the phone in the call: 403%s", name.c_str(), shown(msg->met).c_str(),
               &msg->src, self->strangersShown == strangerLinesPerCall ? " (more are not shown)" : "");
    }
    return true;
}

// Requests nobody here takes (OPTIONS, MESSAGE, a CANCEL of nothing ...):
// answered as libre would, but without libre's line on standard error,
// which would print the request's URI as it came.
bool SipStack::leftoverHandler(const struct sip_msg *msg, void *arg)
{
    SipStack *self = static_cast<SipStack *>(arg);
    if (!pl_strcmp(&msg->met, "CANCEL"))
        sip_reply(self->stack, msg, 481, "Transaction Does Not Exist");
    else if (pl_strcmp(&msg->met, "ACK"))
        sip_reply(self->stack, msg, 501, "Not Implemented");
    return true;
}
