#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct mbuf;
struct rtp_sock;
struct sa;
struct srtp;
struct udp_helper;

// The encryption of one call's audio: SRTP and SRTCP with
// AES_CM_128_HMAC_SHA1_80, keyed by a=crypto lines in the SDP (SDES). It sits
// under the RTP and RTCP sockets as a layer of their own: what the RTP stack
// sends is encrypted on its way out, and what arrives is decrypted and
// authenticated before the RTP stack parses it. Until keys are agreed it
// lets everything through; from then on a packet that fails (plain RTP, a
// forgery, a replay) is dropped and counted, and never reaches anything that
// could take a key from it.
class SrtpLayer
{
public:
    static const size_t keyLength = 30;     // 16-byte master key, then 14-byte salt
    static const char suite[];              // "AES_CM_128_HMAC_SHA1_80"

    // The value of an a=crypto attribute ("TAG SUITE inline:KEY..."), taken
    // only when it is our suite with one plain key (no MKI, no session
    // parameters that would weaken it).
    struct Crypto
    {
        unsigned tag = 0;
        uint8_t key[keyLength] = {};
    };
    static bool parse(const char *value, Crypto &out);

    SrtpLayer();
    ~SrtpLayer();
    SrtpLayer(const SrtpLayer &) = delete;
    SrtpLayer &operator=(const SrtpLayer &) = delete;

    // Goes under the RTP and RTCP sockets of rtp.
    int attach(struct rtp_sock *rtp);
    // Leaves the sockets; before they are freed, which would free the layer's
    // hold on them too.
    void detach();
    // Our a=crypto value with this tag: the same key for the whole call.
    std::string attribute(unsigned tag) const;
    // Encrypts and decrypts from now on; the phone's key is remoteKey. A
    // phone that keeps its key keeps its stream state (replay window).
    int enable(const uint8_t *remoteKey);
    bool enabled() const { return tx != nullptr; }
    // Packets dropped for failing decryption or authentication.
    unsigned dropped() const { return nDropped; }
    // One RTP packet from src as the socket layer hands it over: decrypted
    // in place, or false when it is to be dropped.
    bool unprotect(const struct sa *src, struct mbuf *mb);

private:
    static bool sendRtp(int *err, struct sa *dst, struct mbuf *mb, void *arg);
    static bool sendRtcp(int *err, struct sa *dst, struct mbuf *mb, void *arg);
    static bool recvRtp(struct sa *src, struct mbuf *mb, void *arg);
    static bool recvRtcp(struct sa *src, struct mbuf *mb, void *arg);
    bool drop(const struct sa *src, int err, const char *what);
    bool outOfStep(const struct mbuf *mb) const;
    void authenticated(const struct mbuf *mb);

    uint8_t localKey[keyLength];
    uint8_t remoteKey[keyLength] = {};
    struct srtp *tx = nullptr;
    struct srtp *rx = nullptr;
    struct udp_helper *rtpHelper = nullptr;
    struct udp_helper *rtcpHelper = nullptr;
    unsigned nDropped = 0;
    // The phone's stream as far as it authenticated: its SSRC and highest
    // sequence number.
    bool haveStream = false;
    uint32_t streamSsrc = 0;
    uint16_t highestSeq = 0;
};
