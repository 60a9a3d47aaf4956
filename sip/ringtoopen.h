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
class RingToOpen : public DoorLine::Listener, private DoorLine::AudioPeer
{
public:
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
    void fromDaemon(const int16_t *, size_t) override {}
    void toDaemon(int16_t *samples, size_t count) override;

    Config::RingToOpen config;
    DoorLine &line;
    bool on = false;
    bool mine = false;          // the door call up now is ours
    struct tmr offTimer;
    std::function<void(bool)> changed;
};
