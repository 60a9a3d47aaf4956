#pragma once

#include "call.h"
#include "config.h"
#include "disturbancelog.h"
#include "doorline.h"
#include "sipstack.h"

#include <re.h>

#include <memory>
#include <string>
#include <vector>

// Door calls on the phones: each ring of the line becomes a call to every
// phone of the apartment at once; the first phone to answer picks the line
// up and carries its audio, the others stop ringing (cancelled: answered
// elsewhere). Only that phone's open key opens the calling door, and
// whichever side ends the call ends it on the other. A phone that declines
// or fails leaves the others ringing; when none is left, the line drops.
class DoorCalls : private DoorLine::Listener, private DoorLine::AudioPeer, private Call::Listener,
                  private SipStack::Dialogs
{
public:
    DoorCalls(const Config &config, SipStack &stack, DoorLine &line);
    ~DoorCalls();
    DoorCalls(const DoorCalls &) = delete;
    DoorCalls &operator=(const DoorCalls &) = delete;

    // The apartments, keys and audio settings for the calls from now on. A
    // phone the new file no longer lists for the ringing apartment stops
    // ringing, or its call ends: it opens nothing after.
    void reload(const Config &fresh);
    // Hangs up the call, if any; no call after.
    void stop();

private:
    void lineChanged(DoorLine::State state) override;
    void ring(int apartment, int door) override;
    void doorOpened(int door) override;
    void callEnded() override;
    void daemonRunning(bool running) override;
    void fromDaemon(const int16_t *samples, size_t count) override;
    void toDaemon(int16_t *samples, size_t count) override;
    void callAnswered(Call &call) override;
    void callEnded(Call &call, const std::string &why) override;
    void callDigit(Call &call, char digit) override;
    void callReleased(Call &call) override;
    std::string strangerIn(const struct sip_msg *msg) const override;
    void hangUp();
    void dropCall();
    // Moves a call out of a list into ended, to be freed from the loop.
    void retire(std::vector<std::unique_ptr<Call>> &from, Call &call);
    static void reap(void *arg);

    Config config;
    SipStack &stack;
    DoorLine &line;
    std::vector<std::unique_ptr<Call>> calls;   // the door call: one per phone still in it
    Call *taken = nullptr;                      // the one whose phone answered
    std::string ringDomain;                     // the registrar's domain when the door call rang
    std::vector<std::unique_ptr<Call>> losing;  // cancelled for another's answer, until their phones confirm
    std::vector<std::unique_ptr<Call>> ended;   // dropped from inside their own handlers
    struct tmr reapTimer;
    bool stopping = false;
    DisturbanceLog disturbances;
};
