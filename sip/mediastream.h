#pragma once

#include "config.h"
#include "inbandkeys.h"
#include "keyfilter.h"
#include "playout.h"
#include "srtplayer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct rtp_sock;
struct sdp_media;
struct sdp_session;
struct telev;
struct rtp_header;
struct mbuf;
struct sip_msg;

// The audio of one call on the phone's side: RTP with G.711 (PCMU or PCMA as
// negotiated) in 20 ms packets, RTCP beside it, RFC 4733 telephone events in
// on the payload type negotiated. Every key of the call, by telephone event,
// by SIP INFO (keyFromInfo) or, with inband_keys on, as a tone in the audio
// from the phone (InbandKeys), reaches the digit handler once.
// Towards the phone it packs the daemon's frames into packets; from the phone
// it feeds the playout buffer that the daemon's clock reads.
class MediaStream
{
public:
    using DigitHandler = std::function<void(char digit)>;

    MediaStream(const Config &config, DigitHandler onDigit);
    ~MediaStream();
    MediaStream(const MediaStream &) = delete;
    MediaStream &operator=(const MediaStream &) = delete;

    // Opens the RTP socket on laddr and adds the audio line to the offer.
    int open(struct sdp_session *sdp, const struct sa &laddr);
    // Agrees on encryption from the SDP just decoded: the phone's offer
    // (then our answer gets our key with the tag it chose) or its answer to
    // ours. Returns 0, or an errno value with why in words: no key we can
    // use with srtp mandatory, or a new offer that would drop the
    // encryption already agreed.
    int negotiate(bool offer, std::string &why);
    // Takes the remote address and codec from the SDP just decoded; audio
    // flows from now on. Returns 0 or an errno value.
    int start();
    // Whether the SDP just decoded has a codec we take (PCMU or PCMA).
    bool canTake() const;
    bool started() const { return running; }
    bool encrypted() const { return crypto.enabled(); }
    const char *codec() const;
    std::string remote() const;
    unsigned localPort() const;

    // One frame from the daemon, on its way to the phone.
    void fromDaemon(const int16_t *samples, size_t count);
    // One frame for the daemon.
    void toDaemon(int16_t *samples, size_t count);
    // The short tone that tells the phone the door opened.
    void playConfirmation();

    // The key in a SIP INFO (application/dtmf-relay or application/dtmf),
    // upper case. Returns the status to answer the INFO with: 200 with the
    // key, or 400 / 415 without one.
    static uint16_t infoKey(const struct sip_msg *msg, char &key);
    // A key from an INFO of the call, with the INFO's CSeq: to the digit
    // handler unless it came already.
    void keyFromInfo(char key, uint32_t cseq);

    const Playout &playout() const { return play; }
    // Seconds of audio sent to the phone so far.
    double sentSeconds() const { return double(samplesSent) / 8000; }
    // Packets from another address, and packets that failed decryption.
    unsigned foreignPackets() const { return nForeign + crypto.dropped(); }

private:
    static void rtpReceived(const struct sa *src, const struct rtp_header *hdr, struct mbuf *mb, void *arg);
    void received(const struct sa *src, const struct rtp_header &hdr, struct mbuf *mb);
    void sendPacket();
    void toneKey(char key, bool echo);

    const Config &config;
    DigitHandler onDigit;
    SrtpLayer crypto;
    struct rtp_sock *rtp = nullptr;
    struct sdp_media *media = nullptr;
    struct telev *tel = nullptr;
    Playout play;
    bool running = false;
    bool alaw = false;
    int audioPt = 0;
    int eventPt = -1;
    struct sa *raddr = nullptr;
    double gainToPhone = 1.0;
    double gainToDoor = 1.0;

    // Towards the phone.
    std::vector<int16_t> pending;
    uint32_t txTs = 0;
    uint64_t samplesSent = 0;
    bool firstPacket = true;

    // The confirmation tone: samples of a 1 s sine, and where it is.
    std::vector<int16_t> tone;
    size_t tonePos = SIZE_MAX;

    KeyFilter keys;
    std::unique_ptr<InbandKeys> inband;     // with inband_keys on
    unsigned echoesRefused = 0;
    unsigned nForeign = 0;
};
