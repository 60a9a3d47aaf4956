#include "registration.h"
#include "digestauth.h"
#include "log.h"

#include <cerrno>

Registration::Registration(struct sip *sip, const Config &config)
    : sip(sip), config(config),
      backoff(uint64_t(config.registrar.retryMin) * 1000, uint64_t(config.registrar.retryMax) * 1000)
{
    tmr_init(&timer);
    auth = DigestAuth::create(config.registrar.user, config.registrar.password, 1);
}

Registration::~Registration()
{
    tmr_cancel(&timer);
    if (reg && isRegistered)
        sipLog(logkey::unregistering, "register: unregistering %s", config.aor().c_str());
    mem_deref(reg);
    mem_deref(auth);
}

void Registration::start()
{
    send();
}

void Registration::send()
{
    DigestAuth::newRound(auth);
    const std::string aor = config.aor();
    const char *routes[1] = {config.registrar.outboundProxy.c_str()};
    const int err = sipreg_register(&reg, sip, config.registrar.uri.c_str(), aor.c_str(), nullptr, aor.c_str(),
                                    config.registrar.expires, config.registrar.user.c_str(), routes,
                                    config.registrar.outboundProxy.empty() ? 0 : 1, 0, DigestAuth::handler, auth, true,
                                    response, this, nullptr, nullptr);
    if (err) {
        reg = nullptr;
        char what[128];
        re_snprintf(what, sizeof what, "cannot send REGISTER: %m", err);
        failed(what);
    }
}

void Registration::response(int err, const struct sip_msg *msg, void *arg)
{
    Registration *self = static_cast<Registration *>(arg);
    const unsigned challenges = DigestAuth::asked(self->auth);
    DigestAuth::newRound(self->auth);
    if (!err && msg && msg->scode < 300) {
        const uint32_t granted = sipreg_proxy_expires(self->reg);
        if (!granted) {
            self->failed("the registrar's answer holds no binding for our contact");
            return;
        }
        sipLog(self->isRegistered ? logkey::registerRefreshed : logkey::registered,
               LogFields().add("aor", self->config.aor()).add("expires", granted),
               "register: %s %s at %s for %u s", self->isRegistered ? "refreshed" : "registered",
               self->config.aor().c_str(), self->config.registrar.uri.c_str(), granted);
        const bool gained = !self->isRegistered;
        self->isRegistered = true;
        self->backoff.reset();
        if (gained && self->changed)
            self->changed(true);
        return;
    }
    char what[192];
    if (err)
        re_snprintf(what, sizeof what, "no answer: %m", err);
    else if (msg && (msg->scode == 401 || msg->scode == 407) && challenges > 1)
        re_snprintf(what, sizeof what, "%u %s: wrong user or password", msg->scode, shown(msg->reason).c_str());
    else if (msg)
        re_snprintf(what, sizeof what, "%u %s", msg->scode, shown(msg->reason).c_str());
    else
        re_snprintf(what, sizeof what, "failed");
    self->failed(what);
}

void Registration::failed(const char *what)
{
    const bool lost = isRegistered;
    isRegistered = false;
    // Drop sipreg and its own retry timer (after a failed refresh it first
    // withdraws the old binding).
    reg = static_cast<struct sipreg *>(mem_deref(reg));
    const uint64_t wait = backoff.next();
    sipLog(logkey::registerFailed, LogFields().add("retry_s", (long long)(wait / 1000)),
           "register: %s at %s: %s; trying again in %llu s", config.aor().c_str(), config.registrar.uri.c_str(), what,
           (unsigned long long)(wait / 1000));
    tmr_start(&timer, wait, retry, this);
    if (lost && changed)
        changed(false);
}

void Registration::retry(void *arg)
{
    static_cast<Registration *>(arg)->send();
}
