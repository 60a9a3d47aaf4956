#pragma once

#include "config.h"
#include "registration.h"

#include <re.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The SIP plumbing the front-ends share: libre's SIP stack on one transport
// (UDP, or TLS alone), the session socket, the guard against requests from
// strangers in a call's dialog, the answer to requests nobody takes, the
// throttled log of refused calls, and the registration with the registrar.
class SipStack
{
public:
    // A front-end's calls, as the stranger guard asks about them.
    class Dialogs
    {
    public:
        // The name of the call whose dialog msg belongs to, when msg comes
        // from another address or port than that call's phone; else empty.
        virtual std::string strangerIn(const struct sip_msg *msg) const = 0;

    protected:
        ~Dialogs() = default;
    };
    // A new call from outside (an INVITE that starts a session).
    using ConnectHandler = std::function<void(const struct sip_msg *msg)>;

    explicit SipStack(const Config &config);
    ~SipStack();
    SipStack(const SipStack &) = delete;
    SipStack &operator=(const SipStack &) = delete;

    // Opens SIP on the configured address and transport. Returns 0 or an
    // errno value, after saying what failed.
    int open(ConnectHandler onConnect);
    void guard(Dialogs &dialogs);
    // Registers with the configured registrar, anew; none without one.
    void registerWith(const Config &config);
    // Told when the registration is gained or lost (also lost when a new
    // configuration replaces or removes it).
    void onRegistration(std::function<void(bool registered)> handler) { registrationChanged = std::move(handler); }
    // Unregisters, ends the sessions' socket and closes SIP once the last
    // answers came; onClosed then.
    void close(std::function<void()> onClosed);
    bool closed() const { return isClosed; }

    // A call begins: its strangers are said again, a few of them.
    void newCall() { strangersShown = 0; }
    // Refuses msg without a transaction; said in the log, a few per 10 s.
    void refuse(const struct sip_msg *msg, uint16_t scode, const char *reason, const char *why,
                const std::string &headers = std::string());

    struct sip *sip() const { return stack; }
    struct sipsess_sock *sock() const { return sessions; }
    const struct sa &laddr() const { return local; }
    bool tls() const { return config.sip.transport == Config::Transport::Tls; }
    // What the TLS set-up found unwise; empty when nothing.
    const std::string &tlsWarning() const { return tlsNote; }

private:
    static const uint64_t refusedWindowMs = 10000;
    static const unsigned refusedLinesPerWindow = 5;
    static const unsigned strangerLinesPerCall = 5;

    static void connectHandler(const struct sip_msg *msg, void *arg);
    static bool strangerHandler(const struct sip_msg *msg, void *arg);
    static bool leftoverHandler(const struct sip_msg *msg, void *arg);
    static void sipExited(void *arg);
    static void refusedSummary(void *arg);

    const Config config;        // what needs a restart: address, transport, TLS
    struct sa local;
    std::string tlsNote;
    ConnectHandler onConnect;
    std::function<void()> onClosed;
    std::vector<Dialogs *> dialogs;
    struct dnsc *dnsc = nullptr;
    struct sip *stack = nullptr;
    struct sip_lsnr *strangerGuard = nullptr;
    struct sip_lsnr *leftovers = nullptr;
    struct sipsess_sock *sessions = nullptr;
    std::unique_ptr<Registration> registration;
    std::function<void(bool)> registrationChanged;
    unsigned strangersShown = 0;   // in the calls up now
    unsigned refusedShown = 0;
    unsigned refusedHidden = 0;
    uint64_t refusedSince = 0;
    struct tmr refusedTimer;
    bool isClosed = false;
};
