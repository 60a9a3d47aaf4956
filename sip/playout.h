#pragma once

#include <cstddef>
#include <cstdint>

struct jbuf;
struct aubuf;
struct rtp_header;

// The phone's audio on its way to the daemon. Packets go through libre's
// jitter buffer (order, duplicates, late packets) into librem's audio buffer
// (fills up to the jitter target before it plays, silence when empty); the
// daemon's 16 ms clock reads frames out of it.
// The level it keeps is what the packets' arrival needs: each second, the
// spread of their transit times (arrival less RTP time) is measured, and the
// target is a frame, a small margin and the largest spread seen lately,
// never more than the configured jitter target. Until a second after the
// stream's first is measured it plays to that ceiling. A hold-up is
// forgotten within seconds once the packets come steadily again, unless
// hold-ups keep coming back.
// The phone's clock and ours drift apart, so the buffer's lowest level over
// each second decides what the next second does: what stood over the target
// is merged away, one sample at a time spread over the second (a phone's
// drift, or the start's surplus once the target came down); a level fallen
// under a margin over one frame gets one sample more every fourth frame. The
// sample is merged or split where the signal changes least, which keeps it
// inaudible. A level that stood a whole frame over the target for a second
// (a burst after a stall) is cut back at once.
class Playout
{
public:
    // targetSamples: the jitter target, samples at 8 kHz: the most it keeps.
    explicit Playout(unsigned targetSamples);
    ~Playout();
    Playout(const Playout &) = delete;
    Playout &operator=(const Playout &) = delete;

    // The samples of one RTP packet. A new SSRC (the phone restarted its
    // stream) starts over, as its numbers bear no relation to the old ones.
    // arrivalUs: when it came, on a monotonic clock.
    void put(const struct rtp_header &hdr, const int16_t *samples, size_t count, uint64_t arrivalUs);
    // One frame for the daemon; silence while there is nothing to play.
    void read(int16_t *out, size_t count);
    // Drops what is buffered (a new stream starts).
    void flush();

    size_t level() const;          // samples waiting
    // The level it plays to now: the jitter target until the packets'
    // spread is measured, then what that spread needs.
    size_t currentTarget() const;
    unsigned underruns() const { return nUnderruns; }
    unsigned merged() const { return nMerged; }
    unsigned split() const { return nSplit; }
    unsigned lost() const { return nLost; }
    // Times the level stood a frame over the target for a second and was
    // cut back to it.
    unsigned cut() const { return nCut; }
    // The level (samples waiting) at each read since it first played:
    // lowest, average and highest; 0 before it played.
    size_t levelMin() const { return nLevels ? lowest : 0; }
    size_t levelMax() const { return highest; }
    double levelMean() const { return nLevels ? double(levelSum) / double(nLevels) : 0; }

private:
    enum Mode { Steady, Shrink, Grow };

    void measure(const struct rtp_header &hdr, uint64_t arrivalUs);
    // Takes the spread of the second just measured into what is remembered.
    void remember(size_t last);
    void deliver(const struct rtp_header &hdr, struct mbuf *mb);
    void discard(size_t samples);

    struct jbuf *jb = nullptr;
    struct aubuf *ab = nullptr;
    unsigned target;
    bool haveNext = false;
    uint32_t nextTs = 0;
    bool haveSsrc = false;
    uint32_t ssrc = 0;
    bool playing = false;
    Mode mode = Steady;
    unsigned toMerge = 0;          // samples still to merge in this second
    unsigned mergeEvery = 1;       // frames between two of them
    unsigned ticks = 0;
    // The packets' transit: arrival less RTP time, us, lowest and highest in
    // the second that began at windowUs.
    bool timing = false;
    uint32_t baseTs = 0;
    uint64_t windowUs = 0;
    int64_t transitLow = 0;
    int64_t transitHigh = 0;
    bool warmedUp = false;         // the stream's first second is over
    bool measured = false;         // a whole second measured
    size_t spread = 0;             // the largest spread lately, samples
    unsigned calm = 0;             // seconds in a row with at most half of it
    unsigned calmNeeded = 3;       // calm seconds before it falls fast
    bool fellFast = false;         // it fell fast since the last hold-up
    unsigned sinceHoldUp = 0;      // seconds since a spread over the margin raised it
    size_t minLevel = SIZE_MAX;
    unsigned nUnderruns = 0;
    unsigned nMerged = 0;
    unsigned nSplit = 0;
    unsigned nLost = 0;
    unsigned nCut = 0;
    size_t lowest = SIZE_MAX;
    size_t highest = 0;
    uint64_t levelSum = 0;
    uint64_t nLevels = 0;
};
