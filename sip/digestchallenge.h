#pragma once

#include <re.h>

#include <cstdint>
#include <map>
#include <string>

// Our side of digest authentication (MD5) for the calls that come in: the
// challenge to put in a 401, and the check of the Authorization a caller
// answers it with. The nonce is the time it was made and an HMAC of that
// time under a secret drawn at start, so nothing is kept per challenge and a
// nonce from before a restart is worthless. A nonce lives lifeMs and
// opens one call only: those that did are remembered until they expire, so
// a captured INVITE cannot be sent again. (DigestAuth is the other side: it
// answers the registrar's challenges.)
class DigestChallenge
{
public:
    enum Result {
        Unanswered, // no Authorization for our realm: a call's first INVITE, to challenge
        Good,       // the right password for this request, and a fresh nonce never used
        Stale,      // the right password, but the nonce is ours and expired: challenge with stale=true
        Refused,    // anything else: no answer, unknown name, wrong password, forged or used nonce
    };

    static const uint64_t nonceLifeMs = 30000;
    static const char realm[];

    explicit DigestChallenge(uint64_t lifeMs = nonceLifeMs);
    ~DigestChallenge();
    DigestChallenge(const DigestChallenge &) = delete;
    DigestChallenge &operator=(const DigestChallenge &) = delete;

    // The WWW-Authenticate header line, CRLF included, with a fresh nonce.
    std::string header(bool stale = false) const;
    // Checks the INVITE's Authorization for our realm. password: that of the
    // caller the From header names, null for a name we do not know (the
    // work done is the same, so the answer's time tells nothing). The
    // digest's username must be From's user and its uri the request's.
    // why: in words, for the log.
    Result verify(const struct sip_msg *msg, const std::string *password, const char *&why);
    // Nonces remembered as used (tests and the flood's memory).
    size_t remembered() const { return used.size(); }

private:
    std::string nonce(uint64_t issued) const;
    std::string mac(uint64_t issued) const;

    const uint64_t life;
    struct hmac *hmac = nullptr;
    std::map<std::string, uint64_t> used;   // nonce -> when it was made
};
