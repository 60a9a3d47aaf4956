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

void DoorCalls::reload(const Config &fresh)
{
    config = fresh;
    if (calls.empty() || line.owner() != this)
        return;
    // An extension is the same phone whatever the registrar's domain: the
    // new list is read with the domain its calls were placed in.
    Config listed = config;
    listed.registrar.domain = ringDomain;
    const std::vector<std::string> uris = listed.urisFor(line.apartment());
    std::vector<Call *> gone;
    for (const auto &c : calls)
        if (std::find(uris.begin(), uris.end(), c->phone()) == uris.end())
            gone.push_back(c.get());
    for (Call *c : gone)
        sipLog(logkey::callRevoked, "%s: SIGHUP took %s out of the apartment: its call ends", c->name().c_str(),
               c->phone().c_str());
    if (gone.empty())
        return;
    // The phone that answered, or the last that rings: the door call ends.
    if (gone.size() == calls.size() || std::find(gone.begin(), gone.end(), taken) != gone.end()) {
        const std::string who = (taken ? taken : gone.front())->name();
        sipLog(logkey::doorDrop, "%s: drop", who.c_str());
        line.drop(*this, who);
        hangUp();
        return;
    }
    for (Call *c : gone) {
        c->hangUp();
        retire(calls, *c);
    }
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
    const std::vector<std::string> uris = config.urisFor(apartment);
    if (uris.empty()) {
        sipLog(logkey::callNoUri,
               "%s: no URI for this apartment and no default: the intercom keeps ringing", who.c_str());
        return;
    }
    if (!line.claim(*this, who).empty())
        return;
    stack.newCall();
    ringDomain = config.registrar.domain;
    // Every phone of the flat rings at once; the call is up while one does.
    for (size_t i = 0; i < uris.size(); ++i) {
        std::unique_ptr<Call> c(new Call(stack.sip(), stack.sock(), config, stack.laddr(), *this, apartment, door,
                                         uris[i]));
        const int err = c->start();
        if (err)
            sipLog(logkey::callFailed, "%s: cannot call %s: %m%s", who.c_str(), uris[i].c_str(), err,
                   calls.empty() && i + 1 == uris.size() ? "; drop" : "");
        else
            calls.push_back(std::move(c));
    }
    if (calls.empty())
        line.drop(*this, who);
}

// The line went on without this front-end: the call was taken at the
// apartment's own handset, or another front-end ended it.
void DoorCalls::lineChanged(DoorLine::State state)
{
    if (!calls.empty() && line.owner() != this
        && (state == DoorLine::State::Talking || state == DoorLine::State::DoorOpen || state == DoorLine::State::Ending))
        hangUp();
}

void DoorCalls::doorOpened(int door)
{
    (void)door;
    if (taken && taken->answered() && line.owner() == this) {
        sipLog(logkey::doorConfirmed,
               "%s: the intercom reports the door open: confirmation tone", taken->name().c_str());
        taken->media().playConfirmation();
    }
}

void DoorCalls::callEnded()
{
    if (calls.empty())
        return;
    sipLog(logkey::intercomEnded, "%s: the intercom ended the call",
           (taken ? taken : calls.front().get())->name().c_str());
    hangUp();
}

void DoorCalls::daemonRunning(bool running)
{
    if (!running)
        hangUp();
}

void DoorCalls::fromDaemon(const int16_t *samples, size_t count)
{
    if (taken && taken->answered() && !taken->ended())
        taken->media().fromDaemon(samples, count);
}

void DoorCalls::toDaemon(int16_t *samples, size_t count)
{
    if (taken && taken->answered() && !taken->ended()) {
        MediaStream &m = taken->media();
        m.toDaemon(samples, count);
        disturbances.update(taken->name(), m.sentSeconds(), m.playout().underruns(), m.playout().lost(),
                            line.skippedTicks(), line.lateTicks());
    } else {
        std::fill(samples, samples + count, int16_t(0));
    }
}

void DoorCalls::callAnswered(Call &c)
{
    sipLog(logkey::doorPickup, "%s: pickup", c.name().c_str());
    const bool ours = !taken && std::any_of(calls.begin(), calls.end(), [&](const auto &p) { return p.get() == &c; });
    if (ours) {
        // The first phone to answer takes the call; the others stop ringing.
        taken = &c;
        for (auto it = calls.begin(); it != calls.end();) {
            if (it->get() == &c) {
                ++it;
                continue;
            }
            (*it)->cancelElsewhere();
            losing.push_back(std::move(*it));
            it = calls.erase(it);
        }
    }
    disturbances.start();
    if (!ours || !line.pickup(*this, c.name(), *this, c.phone()).empty())
        hangUp();
}

void DoorCalls::callEnded(Call &c, const std::string &why)
{
    (void)why;
    auto it = std::find_if(calls.begin(), calls.end(), [&](const auto &p) { return p.get() == &c; });
    if (it == calls.end())
        return;
    if (&c != taken && calls.size() > 1) {
        // Declined, failed or rung out: the flat's other phones ring on.
        sipLog("%s: %zu other phone(s) of the apartment still ring", c.name().c_str(), calls.size() - 1);
        retire(calls, c);
        return;
    }
    sipLog(logkey::doorDrop, "%s: drop", c.name().c_str());
    line.drop(*this, c.name());
    dropCall();
}

void DoorCalls::callDigit(Call &c, char digit)
{
    // Only the phone that took the door call, while it is up, opens.
    if (&c != taken || !c.answered() || c.ended()) {
        sipLog(logkey::keyRefused, LogFields().add("key", std::string(1, digit)),
               "%s: key %c, and this call is not the answered door call: ignored", c.name().c_str(), digit);
        return;
    }
    if (digit == config.phones.openKey) {
        sipLog(logkey::keyOpen, LogFields().add("key", std::string(1, digit)), "%s: key %c: open", c.name().c_str(), digit);
        line.open(*this, c.name(), "phone");
    } else {
        sipLog(logkey::keyPressed, LogFields().add("key", std::string(1, digit)), "%s: key %c", c.name().c_str(), digit);
    }
}

void DoorCalls::callReleased(Call &c)
{
    retire(losing, c);
}

std::string DoorCalls::strangerIn(const struct sip_msg *msg) const
{
    for (const auto *list : {&calls, &losing})
        for (const auto &c : *list)
            if (c->fromStranger(msg))
                return c->name();
    return std::string();
}

void DoorCalls::hangUp()
{
    if (calls.empty())
        return;
    for (auto &c : calls)
        c->hangUp();
    dropCall();
}

void DoorCalls::dropCall()
{
    if (calls.empty())
        return;
    if (taken && taken->answered()) {
        const Playout &p = taken->media().playout();
        // Where the audio waited: the level the playout buffer played to at
        // the end, its level at each frame for the daemon (the phone's audio
        // waits behind it), what followed the phone's clock, and how the
        // daemon's frames came (each answered with one of ours, which waits
        // there for one exchange), and the frames the daemon itself reported
        // dropping.
        sipLog(logkey::audioReport,
               LogFields()
                   .addDecimal("playout_target_ms", p.currentTarget() / 8.0)
                   .addDecimal("playout_min_ms", p.levelMin() / 8.0)
                   .addDecimal("playout_mean_ms", p.levelMean() / 8.0)
                   .addDecimal("playout_max_ms", p.levelMax() / 8.0)
                   .add("cut", p.cut())
                   .add("merged", p.merged())
                   .add("split", p.split())
                   .add("underruns", p.underruns())
                   .add("lost", p.lost())
                   .addDecimal("daemon_gap_max_ms", line.longestGapMs())
                   .add("skipped", line.skippedTicks())
                   .add("left", line.leftOut())
                   .add("late", line.lateTicks())
                   .add("daemon_dropped", line.daemonDropped())
                   .add("daemon_skipped", line.daemonSkipped())
                   .add("foreign", taken->media().foreignPackets()),
               "%s: audio of the call", taken->name().c_str());
    }
    line.release(*this);
    taken = nullptr;
    // This may run inside a call's own SIP handlers: free them from the loop.
    for (auto &c : calls)
        ended.push_back(std::move(c));
    calls.clear();
    tmr_start(&reapTimer, 0, reap, this);
}

void DoorCalls::retire(std::vector<std::unique_ptr<Call>> &from, Call &c)
{
    auto it = std::find_if(from.begin(), from.end(), [&](const auto &p) { return p.get() == &c; });
    if (it == from.end())
        return;
    ended.push_back(std::move(*it));
    from.erase(it);
    tmr_start(&reapTimer, 0, reap, this);
}

void DoorCalls::reap(void *arg)
{
    static_cast<DoorCalls *>(arg)->ended.clear();
}
