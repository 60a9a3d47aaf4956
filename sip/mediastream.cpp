#include "mediastream.h"
#include "steadyclock.h"
#include "log.h"

#include <re.h>
#include <rem.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

const uint32_t srate = 8000;
const size_t packetSamples = 160;          // 20 ms
const char eventPtLocal[] = "101";
const unsigned cryptoTag = 1;              // of the one a=crypto line we offer
const size_t rtpReceiveBytes = 4096;       // a datagram larger is cut (see open())

// Confirmation: two 150 ms beeps at 1400 Hz, 100 ms apart.
const uint32_t toneHz = 1400;
const int toneLevel = 30;                  // % of full scale
const size_t beep = 1200;
const size_t pause = 800;
const size_t toneLength = 2 * beep + pause;

int16_t scaled(int v, double gain)
{
    const double x = std::lround(v * gain);
    return int16_t(x > 32767 ? 32767 : x < -32768 ? -32768 : x);
}

double factor(double db)
{
    return db == 0 ? 1.0 : std::pow(10.0, db / 20.0);
}

} // namespace

MediaStream::MediaStream(const Config &config, DigitHandler onDigit)
    : config(config), onDigit(std::move(onDigit)), play(config.phones.jitterMs * srate / 1000),
      gainToPhone(factor(config.phones.gainToPhoneDb)), gainToDoor(factor(config.phones.gainToDoorDb))
{
    struct mbuf *mb = mbuf_alloc(2 * srate);
    if (mb && autone_sine(mb, srate, toneHz, toneLevel, 0, 0) == 0) {
        tone.resize(mb->end / 2);
        std::memcpy(tone.data(), mb->buf, tone.size() * 2);
    }
    mem_deref(mb);
    raddr = static_cast<struct sa *>(mem_zalloc(sizeof(struct sa), nullptr));
    if (config.phones.inbandKeys)
        inband.reset(new InbandKeys([this](char key, bool echo) { toneKey(key, echo); }));
}

MediaStream::~MediaStream()
{
    crypto.detach();
    mem_deref(rtp);
    mem_deref(tel);
    mem_deref(raddr);
    // The SDP media line belongs to the session.
}

int MediaStream::open(struct sdp_session *sdp, const struct sa &laddr)
{
    int err = rtp_listen(&rtp, IPPROTO_UDP, &laddr, config.phones.rtpPortMin, config.phones.rtpPortMax, true,
                         rtpReceived, nullptr, this);
    if (err)
        return err;
    // libre reads each datagram into a fresh buffer of 8 kB, which tmx-sip
    // takes from its own mapping (main.cpp): an mmap and a munmap for every
    // packet. 4 kB holds any audio packet we take (20 ms of G.711 is 172
    // bytes) and stays in the heap.
    udp_rxsz_set(static_cast<struct udp_sock *>(rtp_sock(rtp)), rtpReceiveBytes);
    udp_rxsz_set(static_cast<struct udp_sock *>(rtcp_sock(rtp)), rtpReceiveBytes);
    // Optional encryption is offered on RTP/AVP, as phones that take it
    // when offered expect; mandatory on RTP/SAVP. Either is taken in an offer
    // or answer; the a=crypto lines decide.
    const bool srtp = config.phones.srtp != Config::Srtp::Off;
    err = sdp_media_add(&media, sdp, sdp_media_audio, sa_port(rtp_local(rtp)),
                        config.phones.srtp == Config::Srtp::Mandatory ? sdp_proto_rtpsavp : sdp_proto_rtpavp);
    if (!err && srtp)
        err = sdp_media_set_alt_protos(media, 2, sdp_proto_rtpavp, sdp_proto_rtpsavp);
    if (!err && srtp)
        err = sdp_media_set_lattr(media, true, "crypto", "%s", crypto.attribute(cryptoTag).c_str());
    if (!err && srtp)
        err = crypto.attach(rtp);
    if (err)
        return err;
    err |= sdp_format_add(nullptr, media, false, "0", "PCMU", srate, 1, nullptr, nullptr, nullptr, false, nullptr);
    err |= sdp_format_add(nullptr, media, false, "8", "PCMA", srate, 1, nullptr, nullptr, nullptr, false, nullptr);
    err |= sdp_format_add(nullptr, media, false, eventPtLocal, telev_rtpfmt, srate, 1, nullptr, nullptr,
                          nullptr, false, "0-15");
    err |= sdp_media_set_lattr(media, true, sdp_attr_ptime, "20");
    if (err)
        return err;
    return telev_alloc(&tel, 20);
}

namespace {

struct CryptoSearch
{
    bool offer;
    unsigned tag;
    SrtpLayer::Crypto found;
    bool ok = false;
};

bool cryptoLine(const char *name, const char *value, void *arg)
{
    (void)name;
    CryptoSearch *s = static_cast<CryptoSearch *>(arg);
    SrtpLayer::Crypto c;
    if (!SrtpLayer::parse(value, c) || (!s->offer && c.tag != s->tag))
        return false;
    s->found = c;
    s->ok = true;
    return true;
}

} // namespace

int MediaStream::negotiate(bool offer, std::string &why)
{
    if (!media)
        return EINVAL;
    if (config.phones.srtp == Config::Srtp::Off)
        return 0;
    CryptoSearch search{offer, cryptoTag, {}};
    sdp_media_rattr_apply(media, "crypto", cryptoLine, &search);
    const char *side = offer ? "offer" : "answer";
    if (search.ok) {
        int err = offer ? sdp_media_set_lattr(media, true, "crypto", "%s", crypto.attribute(search.found.tag).c_str())
                        : 0;
        if (!err)
            err = crypto.enable(search.found.key);
        std::memset(search.found.key, 0, sizeof search.found.key);
        if (err)
            why = "cannot set up SRTP";
        return err;
    }
    if (crypto.enabled()) {
        why = std::string("its new ") + side + " has no SRTP key we can use, and this call is encrypted";
        return EPROTO;
    }
    if (config.phones.srtp == Config::Srtp::Mandatory) {
        why = std::string("its ") + side + " has no SRTP key (" + SrtpLayer::suite + ", SDES) and srtp is mandatory";
        return EPROTO;
    }
    if (offer && !str_casecmp(sdp_media_proto(media), sdp_proto_rtpsavp)) {
        why = "it offers RTP/SAVP without a key we can use";
        return EPROTO;
    }
    // Unencrypted: our answer carries no key.
    if (offer)
        sdp_media_del_lattr(media, "crypto");
    return 0;
}

int MediaStream::start()
{
    if (!media)
        return EINVAL;
    // A port of 0: the phone refused the audio (or its protocol).
    if (!sdp_media_rport(media))
        return EPROTO;
    // PCMU when the phone takes it, PCMA otherwise.
    const struct sdp_format *fmt = sdp_media_rformat(media, "PCMU");
    if (!fmt)
        fmt = sdp_media_rformat(media, "PCMA");
    if (!fmt)
        return ENOENT;
    const bool changed = running && (alaw != !str_casecmp(fmt->name, "PCMA") || !sa_cmp(raddr, sdp_media_raddr(media), SA_ALL));
    alaw = !str_casecmp(fmt->name, "PCMA");
    audioPt = fmt->pt;
    const struct sdp_format *ev = sdp_media_rformat(media, telev_rtpfmt);
    eventPt = ev ? ev->pt : -1;
    *raddr = *sdp_media_raddr(media);
    if (changed)
        play.flush();
    if (!running) {
        struct sa rtcp;
        sdp_media_raddr_rtcp(media, &rtcp);
        char cname[64];
        re_snprintf(cname, sizeof cname, "tmx-sip@%j", rtp_local(rtp));
        rtcp_start(rtp, cname, &rtcp);
        rtcp_set_srate(rtp, srate, srate);
        txTs = rand_u32();
        firstPacket = true;
    }
    running = true;
    return 0;
}

bool MediaStream::canTake() const
{
    return media && (sdp_media_rformat(media, "PCMU") || sdp_media_rformat(media, "PCMA"));
}

const char *MediaStream::codec() const
{
    return alaw ? "PCMA" : "PCMU";
}

std::string MediaStream::remote() const
{
    char text[64];
    re_snprintf(text, sizeof text, "%J", raddr);
    return text;
}

unsigned MediaStream::localPort() const
{
    return rtp ? sa_port(rtp_local(rtp)) : 0;
}

void MediaStream::rtpReceived(const struct sa *src, const struct rtp_header *hdr, struct mbuf *mb, void *arg)
{
    static_cast<MediaStream *>(arg)->received(src, *hdr, mb);
}

void MediaStream::received(const struct sa *src, const struct rtp_header &hdr, struct mbuf *mb)
{
    if (!running)
        return;
    if (!sa_cmp(src, raddr, SA_ALL)) {
        if (nForeign++ == 0)
            sipLog(logkey::rtpForeign, "rtp: ignoring packets from %J, the call's media is at %J", src,
                   raddr);
        return;
    }
    if (hdr.pt == audioPt) {
        const size_t n = mbuf_get_left(mb);
        if (!n || n > 1024)
            return;
        int16_t samples[1024];
        const uint8_t *p = mbuf_buf(mb);
        for (size_t i = 0; i < n; ++i)
            samples[i] = alaw ? g711_alaw2pcm(p[i]) : g711_ulaw2pcm(p[i]);
        play.put(hdr, samples, n, SteadyClock::us());
        if (inband)
            inband->fromPhone(samples, n, SteadyClock::ms());
    } else if (eventPt >= 0 && int(hdr.pt) == eventPt) {
        int event = 0;
        bool end = false;
        if (telev_recv(tel, mb, &event, &end))
            return;
        const int digit = telev_code2digit(event);
        if (digit > 0 && keys.event(char(digit), hdr.ts, SteadyClock::ms()))
            onDigit(char(digit));
    }
}

void MediaStream::fromDaemon(const int16_t *samples, size_t count)
{
    if (!running)
        return;
    for (size_t i = 0; i < count; ++i) {
        int v = samples[i];
        if (tonePos < toneLength) {
            if (tonePos < beep || tonePos >= beep + pause)
                v += tone[tonePos % tone.size()];
            ++tonePos;
        }
        pending.push_back(gainToPhone == 1.0 && v >= -32768 && v <= 32767 ? int16_t(v) : scaled(v, gainToPhone));
    }
    while (pending.size() >= packetSamples)
        sendPacket();
}

void MediaStream::sendPacket()
{
    struct mbuf *mb = mbuf_alloc(RTP_HEADER_SIZE + packetSamples);
    if (mb) {
        mb->pos = mb->end = RTP_HEADER_SIZE;
        for (size_t i = 0; i < packetSamples; ++i)
            mbuf_write_u8(mb, alaw ? g711_pcm2alaw(pending[i]) : g711_pcm2ulaw(pending[i]));
        mb->pos = RTP_HEADER_SIZE;
        rtp_send(rtp, raddr, false, firstPacket, uint8_t(audioPt), txTs, mb);
        mem_deref(mb);
    }
    if (inband)
        inband->toPhone(pending.data(), packetSamples, SteadyClock::ms());
    firstPacket = false;
    txTs += packetSamples;
    samplesSent += packetSamples;
    pending.erase(pending.begin(), pending.begin() + packetSamples);
}

void MediaStream::toDaemon(int16_t *samples, size_t count)
{
    play.read(samples, count);
    if (gainToDoor != 1.0)
        for (size_t i = 0; i < count; ++i)
            samples[i] = scaled(samples[i], gainToDoor);
}

void MediaStream::playConfirmation()
{
    if (!tone.empty())
        tonePos = 0;
}

void MediaStream::toneKey(char key, bool echo)
{
    if (!echo) {
        if (keys.tone(key, SteadyClock::ms()))
            onDigit(key);
        return;
    }
    // Not the key itself: on a call in it would be a digit of the PIN. A few
    // lines per call, however many tones the door plays.
    if (++echoesRefused <= 3)
        sipLog(logkey::keyEcho,
               "rtp: a key as a tone from the phone refused: the door's own audio had the same tone just before it "
               "(its echo)%s", echoesRefused == 3 ? "; further ones are not said" : "");
}

void MediaStream::keyFromInfo(char key, uint32_t cseq)
{
    if (keys.info(key, cseq, SteadyClock::ms()))
        onDigit(key);
}

uint16_t MediaStream::infoKey(const struct sip_msg *msg, char &key)
{
    struct pl body, signal;
    pl_set_mbuf(&body, msg->mb);
    key = 0;
    if (msg_ctype_cmp(&msg->ctyp, "application", "dtmf-relay")) {
        if (!re_regex(body.p, body.l, "Signal=[ \t]*[0-9*#A-Da-d]1", nullptr, &signal))
            key = signal.p[0];
    } else if (msg_ctype_cmp(&msg->ctyp, "application", "dtmf")) {
        if (!re_regex(body.p, body.l, "[ \t\r\n]*[0-9*#A-Da-d]1", nullptr, &signal))
            key = signal.p[0];
    } else {
        return 415;
    }
    if (!key)
        return 400;
    key = char(std::toupper(static_cast<unsigned char>(key)));
    return 200;
}
