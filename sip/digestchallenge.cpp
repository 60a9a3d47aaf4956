#include "digestchallenge.h"
#include "steadyclock.h"

#include <cstring>

const char DigestChallenge::realm[] = "tmx-sip";

namespace {

// Compares without stopping at the first difference.
bool sameBytes(const char *a, const char *b, size_t n)
{
    unsigned char diff = 0;
    for (size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string text(const struct pl &pl)
{
    return std::string(pl.p, pl.l);
}

// The Authorization header for our realm, decoded.
struct Pick
{
    struct httpauth_digest_resp resp;
    bool found;
};

bool pickOurs(const struct sip_hdr *hdr, const struct sip_msg *msg, void *arg)
{
    (void)msg;
    Pick *pick = static_cast<Pick *>(arg);
    struct httpauth_digest_resp resp;
    if (httpauth_digest_response_decode(&resp, &hdr->val) || pl_strcmp(&resp.realm, DigestChallenge::realm))
        return false;
    pick->resp = resp;
    pick->found = true;
    return true;
}

} // namespace

DigestChallenge::DigestChallenge(uint64_t lifeMs) : life(lifeMs)
{
    uint8_t secret[32];
    rand_bytes(secret, sizeof secret);
    hmac_create(&hmac, HMAC_HASH_SHA1, secret, sizeof secret);
    std::memset(secret, 0, sizeof secret);
}

DigestChallenge::~DigestChallenge()
{
    mem_deref(hmac);
}

std::string DigestChallenge::mac(uint64_t issued) const
{
    uint8_t data[8], md[20];
    for (int i = 0; i < 8; ++i)
        data[i] = uint8_t(issued >> (56 - 8 * i));
    if (!hmac || hmac_digest(hmac, md, sizeof md, data, sizeof data))
        return std::string();
    char hex[2 * sizeof md + 1];
    re_snprintf(hex, sizeof hex, "%w", md, sizeof md);
    return hex;
}

std::string DigestChallenge::nonce(uint64_t issued) const
{
    char t[17];
    re_snprintf(t, sizeof t, "%016llx", (unsigned long long)issued);
    return t + mac(issued);
}

std::string DigestChallenge::header(bool stale) const
{
    return std::string("WWW-Authenticate: Digest realm=\"") + realm + "\", nonce=\"" + nonce(SteadyClock::ms())
        + "\", algorithm=MD5, qop=\"auth\"" + (stale ? ", stale=true" : "") + "\r\n";
}

DigestChallenge::Result DigestChallenge::verify(const struct sip_msg *msg, const std::string *password,
                                                const char *&why)
{
    const uint64_t now = SteadyClock::ms();
    for (auto it = used.begin(); it != used.end();)
        it = now - it->second > life ? used.erase(it) : std::next(it);

    Pick pick{};
    sip_msg_hdr_apply(msg, true, SIP_HDR_AUTHORIZATION, pickOurs, &pick);
    if (!pick.found) {
        why = "no answer to our challenge";
        return Unanswered;
    }
    const struct httpauth_digest_resp &resp = pick.resp;

    // Our nonce: 16 hex digits of the time it was made, then the HMAC of
    // that time; exactly as we write it, so no other spelling of the same
    // time passes for another nonce.
    const std::string n = text(resp.nonce);
    const std::string time = n.substr(0, 16);
    char *end = nullptr;
    const uint64_t issued = n.size() == 56 ? std::strtoull(time.c_str(), &end, 16) : 0;
    const std::string expected = end && !*end && issued <= now ? nonce(issued) : std::string();
    if (expected.size() != n.size() || !sameBytes(n.c_str(), expected.c_str(), n.size())) {
        why = "a nonce we never gave";
        return Refused;
    }

    // The digest itself, with a stand-in password for a name we do not know.
    uint8_t ha1[MD5_SIZE];
    md5_printf(ha1, "%r:%s:%s", &resp.username, realm, password ? password->c_str() : "\x01unknown caller");
    const bool digestRight = httpauth_digest_response_auth(&resp, &msg->met, ha1) == 0;
    if (!password || !digestRight) {
        why = "unknown caller or wrong password";
        return Refused;
    }
    if (pl_cmp(&resp.username, &msg->from.uri.user) || pl_cmp(&resp.uri, &msg->ruri)) {
        why = "a digest for another user or request";
        return Refused;
    }
    if (pl_isset(&resp.qop) && pl_strcmp(&resp.qop, "auth")) {
        why = "a digest with a quality of protection we did not offer";
        return Refused;
    }
    if (now - issued > life) {
        why = "an expired nonce";
        return Stale;
    }
    if (!used.emplace(n, issued).second) {
        why = "a nonce that already opened a call";
        return Refused;
    }
    why = "";
    return Good;
}
