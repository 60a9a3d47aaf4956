#pragma once

#include "config.h"
#include "digestchallenge.h"
#include "doorline.h"
#include "incomingcall.h"
#include "lockout.h"
#include "pinbudget.h"
#include "sipstack.h"

#include <re.h>

#include <memory>
#include <string>
#include <vector>

// Calling in to open a door: who may call (the digest challenge, or the
// PBX for its own extensions), the lock-out after wrong PINs and the budget
// of wrong PINs of all callers, one call in at a time on an idle line, and
// the door unit it names opened through the line.
class CallingIn : private DoorLine::Listener, private IncomingCall::Listener, private SipStack::Dialogs
{
public:
    CallingIn(const Config &config, SipStack &stack, DoorLine &line);
    ~CallingIn();
    CallingIn(const CallingIn &) = delete;
    CallingIn &operator=(const CallingIn &) = delete;

    // Looks up the PBX's addresses, for the callers without a password.
    void start();
    // The callers, PIN and limits from now on; the budget starts again and
    // a call in that is no longer allowed ends.
    void reload(const Config &fresh);
    // A new call from outside.
    void connect(const struct sip_msg *msg);
    // Ends the call in, if any; every call after is refused.
    void stop();

private:
    void ring(int apartment, int door) override;
    void doorOpened(int door) override;
    void daemonRunning(bool running) override;
    void incomingDoor(IncomingCall &call, int door) override;
    void incomingWrongPin(IncomingCall &call) override;
    void incomingEnded(IncomingCall &call) override;
    std::string strangerIn(const struct sip_msg *msg) const override;
    void end(const std::string &why, LogKey key = logkey::callinHangup);
    void findPbx();
    bool fromPbx(const struct sip_msg *msg) const;
    bool pbxAddress(const struct sa *src) const;
    static void reap(void *arg);

    Config config;
    SipStack &stack;
    DoorLine &line;
    std::unique_ptr<IncomingCall> incoming;
    std::vector<std::unique_ptr<IncomingCall>> ended;
    Lockout lockout;
    PinBudget pinBudget;
    DigestChallenge challenge;
    std::vector<struct sa> pbx;     // the registrar's and outbound proxy's addresses, for callers without password
    struct tmr reapTimer;
    bool stopping = false;
};
