#pragma once

#include "backoff.h"
#include "call.h"
#include "config.h"
#include "daemonaudio.h"
#include "daemonchild.h"
#include "dialplan.h"
#include "disturbancelog.h"
#include "digestchallenge.h"
#include "incomingcall.h"
#include "lockout.h"
#include "pinbudget.h"
#include "registration.h"

#include <re.h>

#include <memory>
#include <string>
#include <vector>

// Connects the daemon to the phones: each "dial" from the daemon becomes a
// call to the apartment's URI, and what the phone and the daemon do on either
// side turns into the other's commands. One door call at a time. Also lets
// allowed callers open a door with a PIN, registers with the registrar,
// loads the daemon's masks, and keeps the daemon running.
class Switchboard : private Call::Listener, private IncomingCall::Listener
{
public:
    explicit Switchboard(const Config &config);
    ~Switchboard();
    Switchboard(const Switchboard &) = delete;
    Switchboard &operator=(const Switchboard &) = delete;

    // Opens SIP and the audio ports, registers, then starts the daemon and
    // loads its masks. Returns 0 or an errno value, after saying what failed.
    int start(const std::vector<std::string> &daemonCommand);
    // A configuration read again (SIGHUP): the apartments, masks, callers,
    // PIN and registration take it at once; what needs a restart keeps its
    // running value, with a line saying so.
    void reload(const Config &fresh);
    // Ends the calls, unregisters and ends the daemon, then leaves
    // re_main(): as soon as that is done, within 2 s.
    void shutdown();

private:
    static const uint64_t stopWithinMs = 1800;
    static const uint64_t dialogueWaitMs = 20000;
    static const uint64_t steadyDaemonMs = 60000;  // ran this long: the next restart is quick again
    static const uint64_t refusedWindowMs = 10000;
    static const unsigned refusedLinesPerWindow = 5;
    static const unsigned strangerLinesPerCall = 5;

    void daemonLine(const std::string &line);
    void daemonExited(int status);
    void startDaemon();
    void startDialogue();
    void dial(int apartment, int door);
    void frameFromDaemon(const int16_t *samples, size_t count);
    void frameToDaemon(int16_t *samples, size_t count);
    void dropCall();
    void refuse(const struct sip_msg *msg, uint16_t scode, const char *reason, const char *why,
                const std::string &headers = std::string());
    void findPbx();
    bool fromPbx(const struct sip_msg *msg) const;
    bool pbxAddress(const struct sa *src) const;
    void endIncoming(const std::string &why);
    void callAnswered(Call &call) override;
    void callEnded(Call &call, const std::string &why) override;
    void callDigit(Call &call, char digit) override;
    void incomingDoor(IncomingCall &call, int door) override;
    void incomingWrongPin(IncomingCall &call) override;
    void incomingEnded(IncomingCall &call) override;
    static void connectHandler(const struct sip_msg *msg, void *arg);
    static bool strangerHandler(const struct sip_msg *msg, void *arg);
    static bool leftoverHandler(const struct sip_msg *msg, void *arg);
    static void sipExited(void *arg);
    static void reap(void *arg);
    static void stopTick(void *arg);
    static void restartDue(void *arg);
    static void dialogueTimeout(void *arg);
    static void refusedSummary(void *arg);

    Config config;
    struct sa laddr;
    struct dnsc *dnsc = nullptr;
    struct sip *sip = nullptr;
    struct sip_lsnr *strangerGuard = nullptr;
    struct sip_lsnr *leftovers = nullptr;
    struct sipsess_sock *sock = nullptr;
    std::unique_ptr<Registration> registration;
    std::vector<std::string> daemonCommand;
    DaemonChild daemon;
    DaemonAudio audio;
    DisturbanceLog disturbances;
    std::unique_ptr<Call> call;
    std::unique_ptr<IncomingCall> incoming;
    std::vector<std::unique_ptr<Call>> ended;           // dropped from inside their own handlers
    std::vector<std::unique_ptr<IncomingCall>> endedIncoming;
    bool doorCallUp = false;    // the daemon reported a dial and no drop since
    Lockout lockout;
    PinBudget pinBudget;
    DigestChallenge challenge;
    std::vector<struct sa> pbx;     // the registrar's and outbound proxy's addresses, for callers without password
    std::unique_ptr<DialPlan> dialogue;
    bool dialogueAgain = false; // the configuration changed while a dialogue ran
    Backoff restartBackoff{1000, 30000};
    uint64_t daemonStartedAt = 0;
    unsigned strangersShown = 0;   // in the calls up now
    unsigned refusedShown = 0;
    unsigned refusedHidden = 0;
    uint64_t refusedSince = 0;
    struct tmr reapTimer;
    struct tmr stopTimer;
    struct tmr restartTimer;
    struct tmr dialogueTimer;
    struct tmr refusedTimer;
    uint64_t stopStartedAt = 0;
    bool stopping = false;
    bool sipClosed = false;
};
