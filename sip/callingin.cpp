#include "callingin.h"
#include "log.h"
#include "steadyclock.h"

#include <netdb.h>
#include <sys/socket.h>

CallingIn::CallingIn(const Config &config, SipStack &stack, DoorLine &line)
    : config(config), stack(stack), line(line), lockout(uint64_t(config.callingIn.pinLockoutSeconds) * 1000),
      pinBudget(config.callingIn.pinBudget)
{
    tmr_init(&reapTimer);
    line.subscribe(*this);
    stack.guard(*this);
}

CallingIn::~CallingIn()
{
    tmr_cancel(&reapTimer);
}

void CallingIn::start()
{
    findPbx();
}

void CallingIn::reload(const Config &fresh)
{
    config = fresh;
    lockout.setPeriod(uint64_t(config.callingIn.pinLockoutSeconds) * 1000);
    pinBudget.setBudget(config.callingIn.pinBudget);
    pinBudget.reset();
    findPbx();
    if (incoming) {
        std::string why = incoming->stillAllowed(config);
        // An extension's call holds only while it comes from the PBX.
        const Config::Caller *entry = config.callerNamed(incoming->caller());
        if (why.empty() && entry && entry->password.empty() && !pbxAddress(&incoming->source()))
            why = "the caller's call no longer comes from the registrar or outbound proxy";
        if (!why.empty())
            incoming->end(why, logkey::callinRevoked);
    }
}

void CallingIn::stop()
{
    stopping = true;
    end("tmx-sip stops");
}

void CallingIn::end(const std::string &why, LogKey key)
{
    if (incoming)
        incoming->end(why, key);
}

// The line is the visitor's now; nobody opens a door by PIN meanwhile.
void CallingIn::ring(int apartment, int door)
{
    (void)apartment, (void)door;
    end("a door call came", logkey::callinPreempted);
}

void CallingIn::doorOpened(int door)
{
    (void)door;
    if (incoming && incoming->awaitingOpen())
        incoming->doorOpened();
}

void CallingIn::daemonRunning(bool running)
{
    if (!running)
        end("the daemon ended");
}

void CallingIn::incomingDoor(IncomingCall &c, int door)
{
    const std::string refused = line.openUnit(*this, c.name(), door, "pin");
    if (!refused.empty()) {
        c.end(refused);
        return;
    }
    c.awaitOpen();
}

void CallingIn::incomingWrongPin(IncomingCall &c)
{
    const uint64_t now = SteadyClock::ms();
    if (pinBudget.wrong(now)) {
        const uint64_t left = pinBudget.opensAt() - now;
        sipLog(logkey::pinBudget,
               "%u wrong PINs within 24 h: calling in is closed for everyone for %llu h %02llu min, or until SIGHUP",
               config.callingIn.pinBudget, (unsigned long long)(left / 3600000),
               (unsigned long long)(left / 60000 % 60));
    }
    if (lockout.wrong(c.caller(), now))
        sipLog(logkey::pinLockout, LogFields().add("seconds", config.callingIn.pinLockoutSeconds),
               "%s: 3 wrong PINs from '%s' within %u s: its calls are refused for %u s", c.name().c_str(),
               c.caller().c_str(), config.callingIn.pinLockoutSeconds, config.callingIn.pinLockoutSeconds);
}

void CallingIn::incomingEnded(IncomingCall &c)
{
    if (incoming.get() != &c)
        return;
    ended.push_back(std::move(incoming));
    tmr_start(&reapTimer, 0, reap, this);
}

void CallingIn::reap(void *arg)
{
    static_cast<CallingIn *>(arg)->ended.clear();
}

std::string CallingIn::strangerIn(const struct sip_msg *msg) const
{
    return incoming && incoming->fromStranger(msg) ? incoming->name() : std::string();
}

void CallingIn::connect(const struct sip_msg *msg)
{
    if (stopping) {
        stack.refuse(msg, 503, "Service Unavailable", "tmx-sip stops");
        return;
    }
    // Who the caller says it is; nothing it says is believed before the
    // digest (or the PBX, for its own extensions) vouches for it. Whatever
    // fails, the answer is the same 401 with a fresh challenge, so the names
    // in the allow-list cannot be told from others.
    const Config::Caller *entry = config.caller(std::string(msg->from.uri.user.p, msg->from.uri.user.l),
                                                std::string(msg->from.uri.host.p, msg->from.uri.host.l));
    const bool pbxVouches = entry && entry->password.empty() && fromPbx(msg);
    if (!pbxVouches) {
        const char *why = "";
        const std::string *password = entry && !entry->password.empty() ? &entry->password : nullptr;
        switch (challenge.verify(msg, password, why)) {
        case DigestChallenge::Unanswered:
            // Every call's first INVITE: not worth a line.
            sip_replyf(stack.sip(), msg, 401, "Unauthorized", "%sContent-Length: 0\r\n\r\n",
                       challenge.header().c_str());
            return;
        case DigestChallenge::Stale:
            stack.refuse(msg, 401, "Unauthorized", why, challenge.header(true));
            return;
        case DigestChallenge::Refused:
            stack.refuse(msg, 401, "Unauthorized", why, challenge.header());
            return;
        case DigestChallenge::Good:
            break;
        }
    }
    const std::string &caller = entry->who;
    if (pinBudget.closed(SteadyClock::ms())) {
        stack.refuse(msg, 403, "Forbidden", "calling in is closed after too many wrong PINs");
        return;
    }
    if (lockout.locked(caller, SteadyClock::ms())) {
        stack.refuse(msg, 403, "Forbidden", "locked out after wrong PINs");
        return;
    }
    // A call in that has not ACKed our answer holds the line against no one:
    // whoever wrote the PBX's address as its source never sees that answer,
    // and would otherwise keep everyone out with one INVITE per pin_timeout.
    const bool doorCall = line.state() != DoorLine::State::Idle;
    if (incoming && !incoming->acknowledged() && !doorCall)
        incoming->end("another caller came before its ACK", logkey::callinPreempted);
    if (doorCall || incoming) {
        stack.refuse(msg, 486, "Busy Here", incoming ? "another call is opening a door" : "a door call is up");
        return;
    }
    if (!line.daemonRunning()) {
        stack.refuse(msg, 503, "Service Unavailable", "the daemon is starting again");
        return;
    }
    stack.newCall();
    incoming.reset(new IncomingCall(stack.sock(), config, stack.laddr(), *this, *entry));
    const uint16_t refused = incoming->accept(msg);
    if (refused) {
        incoming.reset();
        sip_reply(stack.sip(), msg, refused, refused == 488 ? "Not Acceptable Here" : "Server Internal Error");
    }
}

// The addresses a PBX sends its extensions' calls from: the registrar's and
// the outbound proxy's, port 5060 unless given. Looked up only when an
// allow-list entry without a password needs them.
void CallingIn::findPbx()
{
    pbx.clear();
    bool needed = false;
    for (const Config::Caller &c : config.callingIn.allow)
        needed = needed || c.password.empty();
    if (!needed)
        return;
    for (const std::string &text : {config.registrar.uri, config.registrar.outboundProxy}) {
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
            sipLog(logkey::configWarning,
                   "config: cannot find the address of %s: callers without a password cannot call in through it",
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
bool CallingIn::fromPbx(const struct sip_msg *msg) const
{
    struct pl rport;
    struct sa back;
    sip_reply_addr(&back, msg, msg_param_exists(&msg->via.params, "rport", &rport) == 0);
    return sa_cmp(&back, &msg->src, SA_ADDR) && pbxAddress(&msg->src);
}

bool CallingIn::pbxAddress(const struct sa *src) const
{
    for (const struct sa &a : pbx)
        if (sa_cmp(&a, src, SA_ALL))
            return true;
    return false;
}
