#pragma once

#include <cstddef>
#include <cstdint>

struct jbuf;
struct aubuf;
struct rtp_header;

// The phone's audio on its way to the daemon. Packets go through libre's
// jitter buffer (order, duplicates, late packets) into librem's audio buffer
// (fills up to the jitter target before it plays, silence when empty); the
// daemon's 16 ms clock reads frames out of it. The phone's clock and ours
// drift apart, so the buffer's lowest level over each second decides whether
// the next second gives one sample less every fourth frame (the level grew)
// or one more (it shrank). The sample is merged or split where the signal
// changes least, which keeps it inaudible. A level that stood a whole frame
// over the target for a second (a burst after a stall) is cut back at once.
class Playout
{
public:
    // targetSamples: the jitter target, samples at 8 kHz.
    explicit Playout(unsigned targetSamples);
    ~Playout();
    Playout(const Playout &) = delete;
    Playout &operator=(const Playout &) = delete;

    // The samples of one RTP packet. A new SSRC (the phone restarted its
    // stream) starts over, as its numbers bear no relation to the old ones.
    void put(const struct rtp_header &hdr, const int16_t *samples, size_t count);
    // One frame for the daemon; silence while there is nothing to play.
    void read(int16_t *out, size_t count);
    // Drops what is buffered (a new stream starts).
    void flush();

    size_t level() const;          // samples waiting
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
    unsigned ticks = 0;
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
