#pragma once

#include "backoff.h"
#include "config.h"

#include <re.h>

#include <functional>

// tmx-sip as an extension of a registrar: REGISTER with digest
// authentication, refreshed before it expires (libre's sipreg, at 90 % of
// the time the registrar granted). A failure (a refusal, wrong credentials,
// no answer) is said on standard error with the registrar's status and
// tried again after a wait that doubles from register_retry's first to its
// longest, not sipreg's own: libre would try wrong credentials many times
// at once, and wait half a minute or more after any failure.
class Registration
{
public:
    Registration(struct sip *sip, const Config &config);
    // Unregisters when registered (libre sends REGISTER with expiry 0 and
    // keeps the request until it is answered).
    ~Registration();
    Registration(const Registration &) = delete;
    Registration &operator=(const Registration &) = delete;

    void start();
    bool registered() const { return isRegistered; }
    // Told each time the registration is gained or lost.
    void onChange(std::function<void(bool registered)> handler) { changed = std::move(handler); }

private:
    static void response(int err, const struct sip_msg *msg, void *arg);
    static void retry(void *arg);
    void send();
    void failed(const char *what);

    struct sip *sip;
    const Config config;
    struct sipreg *reg = nullptr;
    struct tmr timer;
    Backoff backoff;
    // Answers one challenge per attempt: sipreg asks again after every
    // challenge, also when the registrar has just refused what we gave.
    void *auth = nullptr;
    bool isRegistered = false;
    std::function<void(bool)> changed;
};
