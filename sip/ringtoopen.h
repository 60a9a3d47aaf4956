#pragma once

#include "config.h"
#include "doorline.h"

#include <re.h>

#include <functional>

// Ring-to-open: while on, a door call to one of the apartments of
// ring_to_open is taken before a phone rings, picked up, the door opened and
// the call ended. It switches itself off after ring_to_open_minutes.
//
// It takes the call first because it subscribes to the line before the
// phones do: the line tells its listeners in that order, and the phones'
// claim of a call already taken is refused.
//
// A call it took and the daemon does not carry through (no pickup, or no
// opening, reported within claimLimitMs: a daemon that hangs) is dropped
// with a line in the log, so that the line is not held for good.
class RingToOpen final : public DoorLine::Listener, private DoorLine::AudioPeer
{
public:
    // The daemon reports a pickup and an opening within a few polls.
    static const uint64_t claimLimitMs = 5000;

    RingToOpen(const Config &config, DoorLine &line);
    ~RingToOpen();
    RingToOpen(const RingToOpen &) = delete;
    RingToOpen &operator=(const RingToOpen &) = delete;

    // Switches it on (for ring_to_open_minutes from now) or off; said in
    // the log and told to onChanged.
    void set(bool on);
    bool isOn() const { return on; }
    // Switches it on when the configuration says ring_to_open_on yes; a
    // configuration read again switches it when that key changed.
    void start();
    void reload(const Config &config);
    void onChanged(std::function<void(bool on)> handler) { changed = std::move(handler); }

    void ring(int apartment, int door) override;
    void lineChanged(DoorLine::State state) override;
    void doorOpened(int door) override;
    void callEnded() override;

private:
    static void expired(void *arg);
    static void claimExpired(void *arg);
    void letGo();
    void fromDaemon(const int16_t *, size_t) override {}
    void toDaemon(int16_t *samples, size_t count) override;

    Config::RingToOpen config;
    DoorLine &line;
    bool on = false;
    bool mine = false;          // the door call up now is ours
    struct tmr offTimer;
    struct tmr claimTimer;      // runs while a call is ours
    std::function<void(bool)> changed;
};
