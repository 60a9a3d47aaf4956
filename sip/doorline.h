#pragma once

#include "backoff.h"
#include "config.h"
#include "daemonaudio.h"
#include "daemonchild.h"
#include "dialplan.h"

#include <re.h>

#include <memory>
#include <string>
#include <vector>

// The door line as tmx-sip knows it: the daemon (started, kept running,
// given its masks), what it reports on its event lines, and the line's one
// state. Front-ends (the phones, calling in, ...) listen to it and send it
// commands; it decides who may do what: one front-end owns a door call, a
// door unit is opened by number only while the line is idle, and every
// refusal is said in the log and returned.
//
// Its transitions (events from the daemon; commands from front-ends):
//   any state no front-end owns  --dial A U-->  ringing (an owned call
//                            ignores a dial)
//   ringing     --pickup-->  talking (the owner's; the handset's takes the
//                            call from its owner)
//   talking     --open-->    door open (the owner's open, picked up and
//                            not yet reported, waits for the pickup)
//   ringing, talking, door open  --a front-end's drop-->  ending
//   any         --the daemon's drop, or the daemon ends-->  idle
class DoorLine
{
public:
    enum class State { Idle, Ringing, Talking, DoorOpen, Ending };
    static const char *stateName(State state);

    // Everything a front-end hears of the line. Each has an empty default,
    // so that a front-end takes only what it needs.
    class Listener
    {
    public:
        // The line went to this state (said once per transition).
        virtual void lineChanged(State state) { (void)state; }
        // The intercom rings apartment from door (-1: the daemon named
        // none). A front-end that takes the call claims it here.
        virtual void ring(int apartment, int door) { (void)apartment, (void)door; }
        // The intercom reports a door open: the calling door during a
        // call, or door unit `door` after an open N (-1 when not known).
        virtual void doorOpened(int door) { (void)door; }
        // The door call is over on the intercom's side (its drop, or the
        // daemon ended).
        virtual void callEnded() {}
        // The daemon runs (again), or ended.
        virtual void daemonRunning(bool running) { (void)running; }

    protected:
        ~Listener() = default;
    };

    // The audio of the door call, for the front-end that picked it up.
    class AudioPeer
    {
    public:
        virtual void fromDaemon(const int16_t *samples, size_t count) = 0;
        // Fills one frame for the daemon.
        virtual void toDaemon(int16_t *samples, size_t count) = 0;

    protected:
        ~AudioPeer() = default;
    };

    explicit DoorLine(const Config &config);
    ~DoorLine();
    DoorLine(const DoorLine &) = delete;
    DoorLine &operator=(const DoorLine &) = delete;

    void subscribe(Listener &listener);

    // Opens the daemon's audio ports and starts the daemon, then loads its
    // masks. Returns 0 or an errno value, after saying what failed.
    int start(const std::vector<std::string> &daemonCommand);
    // The masks changed (SIGHUP): loaded again.
    void setMasks(const Config::Masks &masks);
    // Asks the daemon to end; ended() tells when it has, kill() insists.
    void stop();
    bool ended();
    void kill();

    // Commands. Each returns an empty string when done, else why it was
    // refused (also said in the log, with `who` naming the asker).
    // Takes the ringing door call for `by`, before any other front-end.
    std::string claim(Listener &by, const std::string &who);
    // The owner answered (on `phone`, a URI, when a phone did): the daemon
    // picks up, the audio flows to `audio`.
    std::string pickup(Listener &by, const std::string &who, AudioPeer &audio, const std::string &phone = std::string());
    // Opens the calling door: the owner once it picked up, another
    // front-end while the call is talked. The daemon takes one command at a
    // time, so an open of the owner's that comes before the intercom has
    // reported the pickup waits for that report (a few seconds at most).
    // `how` names the way in the log: phone, mqtt, ring_to_open...
    std::string open(Listener &by, const std::string &who, const char *how);
    // Opens door unit `unit` on an idle line.
    std::string openUnit(Listener &by, const std::string &who, int unit, const char *how);
    // Ends the door call: the owner, or another front-end for it.
    std::string drop(Listener &by, const std::string &who);
    // The owner lets go of the call without a drop (its call could not
    // start and it dropped already, or the line ended it).
    void release(Listener &by);

    State state() const { return current; }
    // Which door call: valid while ringing, talking or with the door open.
    int apartment() const { return ringingApartment; }
    int door() const { return ringingDoor; }
    const Listener *owner() const { return holder; }
    // The phone that answered the door call; empty when none did.
    const std::string &phone() const { return answeringPhone; }
    bool daemonRunning() const { return daemon.running(); }
    pid_t daemonPid() const { return daemon.pid(); }
    unsigned skippedTicks() const { return audio.skippedTicks(); }
    unsigned lateTicks() const { return audio.lateTicks(); }
    double longestGapMs() const { return audio.longestGapMs(); }
    unsigned leftOut() const { return audio.leftOut(); }
    // Audio frames the daemon reported dropping since the pickup: frames of
    // ours it threw away, frames of the shield's it did not send us.
    unsigned daemonDropped() const { return droppedByDaemon; }
    unsigned daemonSkipped() const { return skippedByDaemon; }

    // One line from the daemon; public so that the arbitration can be
    // driven without a daemon.
    void daemonLine(const std::string &line);
    // One line of the daemon's standard error.
    void daemonErrorLine(const std::string &line);

private:
    static const uint64_t dialogueWaitMs = 20000;
    static const uint64_t steadyDaemonMs = 60000;  // ran this long: the next restart is quick again
    static const uint64_t heldOpenMs = 5000;       // an open waits this long for the intercom's pickup

    void go(State next);
    std::string refuse(const std::string &who, const std::string &command, const std::string &why);
    void daemonExited(int status);
    void startDaemon();
    void startDialogue();
    void stopAudio();
    std::string callOpenCommand() const;
    std::string tellOpen(const std::string &who, const char *how, int door, const std::string &command);
    void forgetHeldOpen();
    static void heldOpenExpired(void *arg);
    static void restartDue(void *arg);
    static void dialogueTimeout(void *arg);

    Config::Masks masks;
    std::vector<Listener *> listeners;
    std::vector<std::string> daemonCommand;
    DaemonChild daemon;
    DaemonAudio audio;
    std::unique_ptr<DialPlan> dialogue;
    bool dialogueAgain = false; // the masks changed while a dialogue ran
    Backoff restartBackoff{1000, 30000};
    uint64_t daemonStartedAt = 0;
    struct tmr restartTimer;
    struct tmr dialogueTimer;
    bool stopping = false;

    State current = State::Idle;
    int ringingApartment = -1;
    int ringingDoor = -1;
    Listener *holder = nullptr;     // the front-end that owns the door call
    std::string holderName;
    std::string answeringPhone;
    unsigned droppedByDaemon = 0;
    unsigned skippedByDaemon = 0;
    AudioPeer *audioPeer = nullptr; // set by the owner's pickup
    const char *heldOpen = nullptr; // the owner's open, until the intercom reports the pickup
    struct tmr heldOpenTimer;
    int openingUnit = -1;           // an open N asked for, not yet reported
    Listener *opener = nullptr;
};
