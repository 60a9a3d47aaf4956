#include "doorcalls.h"
#include "log.h"

#include <algorithm>

DoorCalls::DoorCalls(const Config &config, SipStack &stack, DoorLine &line)
    : config(config), stack(stack), line(line)
{
    tmr_init(&reapTimer);
    line.subscribe(*this);
    stack.guard(*this);
}

DoorCalls::~DoorCalls()
{
    tmr_cancel(&reapTimer);
}

void DoorCalls::stop()
{
    stopping = true;
    hangUp();
}

void DoorCalls::ring(int apartment, int door)
{
    if (stopping)
        return;
    std::string who = "apartment " + std::to_string(apartment);
    if (door >= 0)
        who += " door " + std::to_string(door);
    const std::string uri = config.uriFor(apartment);
    if (uri.empty()) {
        sipLog("%s: no URI for this apartment and no default: the intercom keeps ringing", who.c_str());
        return;
    }
    call.reset(new Call(stack.sock(), config, stack.laddr(), *this, apartment, door, uri));
    if (!line.claim(*this, call->name()).empty()) {
        call.reset();
        return;
    }
    stack.newCall();
    const int err = call->start();
    if (err) {
        sipLog("%s: cannot call %s: %m; drop", who.c_str(), uri.c_str(), err);
        call.reset();
        line.drop(*this, who);
    }
}

// The line went on without this front-end: the call was taken at the
// apartment's own handset, or another front-end ended it.
void DoorCalls::lineChanged(DoorLine::State state)
{
    if (call && !call->ended() && line.owner() != this
        && (state == DoorLine::State::Talking || state == DoorLine::State::DoorOpen || state == DoorLine::State::Ending))
        hangUp();
}

void DoorCalls::doorOpened(int door)
{
    (void)door;
    if (call && call->answered() && line.owner() == this) {
        sipLog("%s: the intercom reports the door open: confirmation tone", call->name().c_str());
        call->media().playConfirmation();
    }
}

void DoorCalls::callEnded()
{
    if (!call)
        return;
    sipLog("%s: the intercom ended the call", call->name().c_str());
    hangUp();
}

void DoorCalls::daemonRunning(bool running)
{
    if (!running)
        hangUp();
}

void DoorCalls::fromDaemon(const int16_t *samples, size_t count)
{
    if (call && call->answered() && !call->ended())
        call->media().fromDaemon(samples, count);
}

void DoorCalls::toDaemon(int16_t *samples, size_t count)
{
    if (call && call->answered() && !call->ended()) {
        MediaStream &m = call->media();
        m.toDaemon(samples, count);
        disturbances.update(call->name(), m.sentSeconds(), m.playout().underruns(), m.playout().lost(),
                            line.skippedTicks(), line.lateTicks());
    } else {
        std::fill(samples, samples + count, int16_t(0));
    }
}

void DoorCalls::callAnswered(Call &c)
{
    sipLog("%s: pickup", c.name().c_str());
    disturbances.start();
    if (call.get() != &c || !line.pickup(*this, c.name(), *this).empty())
        hangUp();
}

void DoorCalls::callEnded(Call &c, const std::string &why)
{
    (void)why;
    sipLog("%s: drop", c.name().c_str());
    if (call.get() == &c) {
        line.drop(*this, c.name());
        dropCall();
    }
}

void DoorCalls::callDigit(Call &c, char digit)
{
    // Only the phone of the door call that is up and answered opens.
    if (call.get() != &c || !c.answered() || c.ended()) {
        sipLog("%s: key %c, and this call is not the answered door call: ignored", c.name().c_str(), digit);
        return;
    }
    if (digit == config.phones.openKey) {
        sipLog("%s: key %c: open", c.name().c_str(), digit);
        line.open(*this, c.name());
    } else {
        sipLog("%s: key %c", c.name().c_str(), digit);
    }
}

std::string DoorCalls::strangerIn(const struct sip_msg *msg) const
{
    return call && call->fromStranger(msg) ? call->name() : std::string();
}

void DoorCalls::hangUp()
{
    if (!call)
        return;
    call->hangUp();
    dropCall();
}

void DoorCalls::dropCall()
{
    if (!call)
        return;
    const Playout &p = call->media().playout();
    // Where the audio waited: the playout buffer's level at each frame for
    // the daemon (the phone's audio waits behind it), what followed the
    // phone's clock, and how the daemon's frames came (each answered with
    // one of ours, which waits there for one exchange).
    if (call->answered())
        sipLog("%s: audio: playout min=%.1f mean=%.1f max=%.1f ms cut=%u merged=%u split=%u underruns=%u lost=%u, "
               "daemon gap max=%.1f ms skipped=%u left=%u late=%u, foreign=%u",
               call->name().c_str(), p.levelMin() / 8.0, p.levelMean() / 8.0, p.levelMax() / 8.0, p.cut(),
               p.merged(), p.split(), p.underruns(), p.lost(), line.longestGapMs(), line.skippedTicks(),
               line.leftOut(), line.lateTicks(), call->media().foreignPackets());
    line.release(*this);
    // This may run inside the call's own SIP handlers: free it from the loop.
    ended.push_back(std::move(call));
    tmr_start(&reapTimer, 0, reap, this);
}

void DoorCalls::reap(void *arg)
{
    static_cast<DoorCalls *>(arg)->ended.clear();
}
