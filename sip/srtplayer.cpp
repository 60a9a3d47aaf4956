#include "srtplayer.h"
#include "log.h"

#include <re.h>

#include <cstring>

namespace {

// Under everything else on the socket: the RTP stack sees plain packets only.
const int layer = 10;

// 30 bytes are 40 characters of base64, without padding.
const size_t keyChars = 40;

// A sequence number this close to 0 after one this close to 65535 is the
// phone's counter wrapping (20 s of packets either side).
const unsigned wrapWindow = 1000;

uint16_t seqOf(const uint8_t *p)
{
    return uint16_t(p[2] << 8 | p[3]);
}

uint32_t ssrcOf(const uint8_t *p)
{
    return uint32_t(p[8]) << 24 | uint32_t(p[9]) << 16 | uint32_t(p[10]) << 8 | p[11];
}

bool base64Char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool digits(const std::string &s)
{
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

const char SrtpLayer::suite[] = "AES_CM_128_HMAC_SHA1_80";

// TAG SP SUITE SP "inline:" KEY ["|" LIFETIME] [SP SESSION-PARAMS]. A
// lifetime (a number, or 2^N) is taken as given: the call ends long before.
// An MKI would add a field to every packet that the encryption does not
// handle, and session parameters can switch encryption or authentication
// off, so a line with either is not ours to take.
bool SrtpLayer::parse(const char *value, Crypto &out)
{
    if (!value)
        return false;
    const std::string v(value, strnlen(value, 512));
    const size_t sp1 = v.find(' ');
    if (sp1 == std::string::npos)
        return false;
    const std::string tag = v.substr(0, sp1);
    if (!digits(tag) || tag.size() > 9)
        return false;
    size_t at = v.find_first_not_of(' ', sp1);
    const size_t sp2 = v.find(' ', at);
    if (at == std::string::npos || sp2 == std::string::npos || v.compare(at, sp2 - at, suite) != 0)
        return false;
    at = v.find_first_not_of(' ', sp2);
    if (at == std::string::npos)
        return false;
    const size_t end = v.find_first_of(" \t", at);
    const std::string param = v.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (end != std::string::npos && v.find_first_not_of(" \t\r\n", end) != std::string::npos)
        return false;   // session parameters
    static const char method[] = "inline:";
    if (param.compare(0, sizeof method - 1, method) != 0 || param.find(';') != std::string::npos)
        return false;   // another method, or more than one key
    const std::string info = param.substr(sizeof method - 1);
    const size_t bar = info.find('|');
    const std::string key = info.substr(0, bar);
    if (bar != std::string::npos) {
        const std::string lifetime = info.substr(bar + 1);
        if (!digits(lifetime) && !(lifetime.compare(0, 2, "2^") == 0 && digits(lifetime.substr(2))))
            return false;   // an MKI, or garbage
    }
    if (key.size() != keyChars)
        return false;
    for (char c : key)
        if (!base64Char(c))
            return false;
    uint8_t raw[keyLength + 3];
    size_t n = sizeof raw;
    if (base64_decode(key.data(), key.size(), raw, &n) || n != keyLength)
        return false;
    out.tag = unsigned(std::stoul(tag));
    std::memcpy(out.key, raw, keyLength);
    std::memset(raw, 0, sizeof raw);
    return true;
}

SrtpLayer::SrtpLayer()
{
    rand_bytes(localKey, sizeof localKey);
}

SrtpLayer::~SrtpLayer()
{
    detach();
    mem_deref(tx);
    mem_deref(rx);
    std::memset(localKey, 0, sizeof localKey);
    std::memset(remoteKey, 0, sizeof remoteKey);
}

int SrtpLayer::attach(struct rtp_sock *rtp)
{
    detach();
    int err = udp_register_helper(&rtpHelper, static_cast<struct udp_sock *>(rtp_sock(rtp)), layer, sendRtp,
                                  recvRtp, this);
    if (!err && rtcp_sock(rtp))
        err = udp_register_helper(&rtcpHelper, static_cast<struct udp_sock *>(rtcp_sock(rtp)), layer, sendRtcp,
                                  recvRtcp, this);
    return err;
}

void SrtpLayer::detach()
{
    rtpHelper = static_cast<struct udp_helper *>(mem_deref(rtpHelper));
    rtcpHelper = static_cast<struct udp_helper *>(mem_deref(rtcpHelper));
}

std::string SrtpLayer::attribute(unsigned tag) const
{
    char key[keyChars + 4];
    size_t n = sizeof key;
    if (base64_encode(localKey, sizeof localKey, key, &n) || n != keyChars)
        return std::string();
    return std::to_string(tag) + " " + suite + " inline:" + std::string(key, n);
}

int SrtpLayer::enable(const uint8_t *key)
{
    if (rx && std::memcmp(key, remoteKey, keyLength) == 0)
        return 0;
    struct srtp *in = nullptr;
    int err = srtp_alloc(&in, SRTP_AES_CM_128_HMAC_SHA1_80, key, keyLength, 0);
    if (err)
        return err;
    if (!tx) {
        err = srtp_alloc(&tx, SRTP_AES_CM_128_HMAC_SHA1_80, localKey, keyLength, 0);
        if (err) {
            mem_deref(in);
            return err;
        }
    }
    mem_deref(rx);
    rx = in;
    haveStream = false;
    std::memcpy(remoteKey, key, keyLength);
    return 0;
}

bool SrtpLayer::sendRtp(int *err, struct sa *dst, struct mbuf *mb, void *arg)
{
    (void)dst;
    SrtpLayer *self = static_cast<SrtpLayer *>(arg);
    if (self->tx)
        *err = srtp_encrypt(self->tx, mb);
    return *err != 0;   // true: not sent
}

bool SrtpLayer::sendRtcp(int *err, struct sa *dst, struct mbuf *mb, void *arg)
{
    (void)dst;
    SrtpLayer *self = static_cast<SrtpLayer *>(arg);
    if (self->tx)
        *err = srtcp_encrypt(self->tx, mb);
    return *err != 0;
}

bool SrtpLayer::recvRtp(struct sa *src, struct mbuf *mb, void *arg)
{
    return !static_cast<SrtpLayer *>(arg)->unprotect(src, mb);
}

bool SrtpLayer::unprotect(const struct sa *src, struct mbuf *mb)
{
    if (!rx)
        return true;
    if (outOfStep(mb))
        return !drop(src, EBADMSG, "SRTP");
    const int err = srtp_decrypt(rx, mb);
    if (err)
        return !drop(src, err, "SRTP");
    authenticated(mb);
    return true;
}

// The decryption takes a sequence number more than half the counter behind
// the highest for a wrap of the counter, and moves its count of wraps before
// it checks the packet's authentication: one forged packet with the phone's
// SSRC would put every later packet of the phone out of step, and the call
// would go silent. Such a packet is dropped here unless it is a plausible
// wrap.
bool SrtpLayer::outOfStep(const struct mbuf *mb) const
{
    if (!haveStream || mbuf_get_left(mb) < RTP_HEADER_SIZE)
        return false;
    const uint8_t *p = mbuf_buf(mb);
    if (ssrcOf(p) != streamSsrc)
        return false;
    const uint16_t seq = seqOf(p);
    const bool wrap = highestSeq >= 65536 - wrapWindow && seq < wrapWindow;
    return int(seq) - int(highestSeq) <= -32768 && !wrap;
}

void SrtpLayer::authenticated(const struct mbuf *mb)
{
    if (mbuf_get_left(mb) < RTP_HEADER_SIZE)
        return;
    const uint8_t *p = mbuf_buf(mb);
    const uint16_t seq = seqOf(p);
    if (!haveStream || ssrcOf(p) != streamSsrc || int(seq) - int(highestSeq) <= -32768 || seq > highestSeq)
        highestSeq = seq;
    streamSsrc = ssrcOf(p);
    haveStream = true;
}

bool SrtpLayer::recvRtcp(struct sa *src, struct mbuf *mb, void *arg)
{
    SrtpLayer *self = static_cast<SrtpLayer *>(arg);
    if (!self->rx)
        return false;
    const int err = srtcp_decrypt(self->rx, mb);
    return err ? self->drop(src, err, "SRTCP") : false;
}

bool SrtpLayer::drop(const struct sa *src, int err, const char *what)
{
    if (nDropped++ == 0)
        sipLog(logkey::srtpRefused,
               "rtp: dropping packets that are not %s of this call (the first from %J: %m)", what, src, err);
    return true;
}
