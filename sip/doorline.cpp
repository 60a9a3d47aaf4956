#include "doorline.h"
#include "consolevocabulary.h"
#include "eventline.h"
#include "log.h"

#include <algorithm>
#include <cstdlib>

#include <sys/wait.h>

const char *DoorLine::stateName(State state)
{
    switch (state) {
    case State::Idle:
        return "idle";
    case State::Ringing:
        return "ringing";
    case State::Talking:
        return "talking";
    case State::DoorOpen:
        return "door open";
    case State::Ending:
        return "ending";
    }
    return "?";
}

DoorLine::DoorLine(const Config &config)
    : masks(config.masks),
      daemon([this](const std::string &line) { daemonLine(line); }, [this](int status) { daemonExited(status); },
             [this](const std::string &line) { daemonErrorLine(line); }),
      audio(config.daemon.sampleFormat,
            [this](const int16_t *samples, size_t count) {
                if (audioPeer)
                    audioPeer->fromDaemon(samples, count);
            },
            [this](int16_t *samples, size_t count) {
                if (audioPeer)
                    audioPeer->toDaemon(samples, count);
                else
                    std::fill(samples, samples + count, int16_t(0));
            })
{
    tmr_init(&restartTimer);
    tmr_init(&dialogueTimer);
    tmr_init(&heldOpenTimer);
}

DoorLine::~DoorLine()
{
    tmr_cancel(&restartTimer);
    tmr_cancel(&dialogueTimer);
    tmr_cancel(&heldOpenTimer);
    daemon.stop();
}

void DoorLine::subscribe(Listener &listener)
{
    listeners.push_back(&listener);
}

int DoorLine::start(const std::vector<std::string> &command)
{
    int err = audio.open();
    if (err) {
        sipLog("audio: cannot bind 127.0.0.1:%u: %m", unsigned(ConsoleVocabulary::audioFromDaemonPort), err);
        return err;
    }
    daemonCommand = command;
    err = daemon.start(daemonCommand);
    if (err) {
        sipLog(logkey::daemonFailed,
               "daemon: cannot start %s: %m", daemonCommand.empty() ? "" : daemonCommand[0].c_str(), err);
        return err;
    }
    daemonStartedAt = tmr_jiffies();
    startDialogue();
    return 0;
}

void DoorLine::setMasks(const Config::Masks &fresh)
{
    masks = fresh;
    if (dialogue)
        dialogueAgain = true;
    else if (daemon.running())
        startDialogue();
}

void DoorLine::stop()
{
    if (stopping)
        return;
    stopping = true;
    tmr_cancel(&restartTimer);
    tmr_cancel(&dialogueTimer);
    stopAudio();
    daemon.terminate();
}

bool DoorLine::ended()
{
    return daemon.ended();
}

void DoorLine::kill()
{
    daemon.kill();
}

void DoorLine::go(State next)
{
    if (next == current)
        return;
    current = next;
    if (next == State::Idle) {
        ringingApartment = ringingDoor = -1;
        holder = nullptr;
        stopAudio();
    }
    // A listener that moved the line on (ring-to-open's drop on the pickup)
    // has told everyone the newer state: the rest do not hear this one after it.
    for (Listener *l : listeners)
        if (current == next)
            l->lineChanged(next);
}

void DoorLine::stopAudio()
{
    forgetHeldOpen();
    audioPeer = nullptr;
    audio.stopClock();
}

std::string DoorLine::refuse(const std::string &who, const std::string &command, const std::string &why)
{
    sipLog(logkey::commandRefused, "%s: %s refused: %s", who.c_str(), command.c_str(), why.c_str());
    return why;
}

std::string DoorLine::claim(Listener &by, const std::string &who)
{
    if (stopping)
        return refuse(who, "the call", "tmx-sip stops");
    if (holder)
        return refuse(who, "the call", holder == &by ? "already taken" : "another front-end took it");
    if (current != State::Ringing)
        return refuse(who, "the call", std::string("the line is ") + stateName(current));
    holder = &by;
    holderName = who;
    return std::string();
}

std::string DoorLine::pickup(Listener &by, const std::string &who, AudioPeer &peer, const std::string &phone)
{
    if (holder != &by)
        return refuse(who, "pickup", "not the door call's owner");
    if (current != State::Ringing || audioPeer)
        return refuse(who, "pickup", std::string("the line is ") + stateName(current));
    holderName = who;
    answeringPhone = phone;
    daemon.write(std::string(ConsoleVocabulary::pickup));
    audioPeer = &peer;
    audio.startClock();
    droppedByDaemon = skippedByDaemon = 0;
    return std::string();
}

std::string DoorLine::open(Listener &by, const std::string &who, const char *how)
{
    // The owner once it picked up; another front-end (a button elsewhere)
    // while someone talks to the visitor.
    const bool talking = current == State::Talking || current == State::DoorOpen;
    if (holder == &by ? !audioPeer : !talking)
        return refuse(who, "open", "not the answered door call");
    if (current == State::Ringing) {
        // Picked up, not yet reported: an open now would take the place of
        // the pickup the daemon has not passed on.
        if (!daemon.running())
            return refuse(who, "open", "the daemon is not running");
        if (!heldOpen) {
            heldOpen = how;
            tmr_start(&heldOpenTimer, heldOpenMs, heldOpenExpired, this);
            sipLog(logkey::doorHeld, LogFields().add("by", how).add("door", ringingDoor),
                   "%s: open: waits for the intercom to report the pickup", who.c_str());
        }
        return std::string();
    }
    return tellOpen(who, how, ringingDoor, callOpenCommand());
}

// The call's door by its number where the daemon named it: should the
// intercom's line turn idle before its drop reaches us, the daemon takes a
// bare open for door unit 1, and the number keeps it at the door the phone
// talked to. During the call the daemon opens the calling door either way.
std::string DoorLine::callOpenCommand() const
{
    std::string command(ConsoleVocabulary::open);
    if (ringingDoor >= 0)
        command += " " + std::to_string(ringingDoor);
    return command;
}

std::string DoorLine::tellOpen(const std::string &who, const char *how, int door, const std::string &command)
{
    if (!daemon.running() || !daemon.write(command))
        return refuse(who, command, "the daemon is not running");
    sipLog(logkey::doorOpen, LogFields().add("by", how).add("door", door), "%s: open door %d", who.c_str(), door);
    return std::string();
}

void DoorLine::forgetHeldOpen()
{
    heldOpen = nullptr;
    tmr_cancel(&heldOpenTimer);
}

void DoorLine::heldOpenExpired(void *arg)
{
    DoorLine *self = static_cast<DoorLine *>(arg);
    if (!self->heldOpen)
        return;
    self->heldOpen = nullptr;
    self->refuse(self->holderName, "open",
                 "the intercom reported no pickup within " + std::to_string(heldOpenMs / 1000) + " s");
}

std::string DoorLine::openUnit(Listener &by, const std::string &who, int unit, const char *how)
{
    // "open N" during a call would open the door of that call.
    if (current != State::Idle)
        return refuse(who, "open " + std::to_string(unit), "a door call is up");
    if (openingUnit >= 0 && opener != &by)
        return refuse(who, "open " + std::to_string(unit), "another door is being opened");
    const std::string refused =
        tellOpen(who, how, unit, std::string(ConsoleVocabulary::open) + " " + std::to_string(unit));
    if (!refused.empty())
        return refused;
    openingUnit = unit;
    opener = &by;
    return std::string();
}

std::string DoorLine::drop(Listener &by, const std::string &who)
{
    // The owner, or another front-end that ends the call for it: the owner
    // hears the line go to ending.
    if (holder != &by && current != State::Ringing && current != State::Talking && current != State::DoorOpen)
        return refuse(who, "drop", "no door call");
    if (holder && holder != &by)
        sipLog("%s: drop: ends the call of %s", who.c_str(), holderName.c_str());
    daemon.write(std::string(ConsoleVocabulary::drop));
    holder = nullptr;
    stopAudio();
    // Over once the daemon reports its drop.
    go(State::Ending);
    return std::string();
}

void DoorLine::release(Listener &by)
{
    if (holder != &by)
        return;
    holder = nullptr;
    stopAudio();
}

// The daemon's masks: the virtual apartments of the table and the blacklist.
void DoorLine::startDialogue()
{
    dialogueAgain = false;
    dialogue.reset(new DialPlan(masks.virtualApartments, masks.blacklist));
    if (!daemon.write(dialogue->commands())) {
        sipLog(logkey::masksFailed, "daemon: masks: cannot write the dialplan dialogue");
        dialogue.reset();
        return;
    }
    tmr_start(&dialogueTimer, dialogueWaitMs, dialogueTimeout, this);
}

void DoorLine::dialogueTimeout(void *arg)
{
    DoorLine *self = static_cast<DoorLine *>(arg);
    if (!self->dialogue)
        return;
    sipLog(logkey::masksFailed, "daemon: masks: no '%s' from the daemon within %llu s; the masks may not hold",
           self->dialogue->awaited(), (unsigned long long)(dialogueWaitMs / 1000));
    self->dialogue.reset();
    if (self->dialogueAgain)
        self->startDialogue();
}

void DoorLine::daemonErrorLine(const std::string &line)
{
    if (!audioPeer || line.compare(0, ConsoleVocabulary::audioReportPrefix.size(), ConsoleVocabulary::audioReportPrefix))
        return;
    // The count after the word, if the line has it; anything else counts 0.
    auto count = [&line](std::string_view word) -> unsigned {
        const size_t at = line.find(word);
        if (at == std::string::npos)
            return 0;
        const unsigned long n = strtoul(line.c_str() + at + word.size(), nullptr, 10);
        return unsigned(std::min<unsigned long>(n, 1000000));
    };
    droppedByDaemon += count(ConsoleVocabulary::framesDropped);
    skippedByDaemon += count(ConsoleVocabulary::framesSkipped);
}

void DoorLine::daemonLine(const std::string &line)
{
    const EventLine event = EventLine::parse(line);
    if (event.kind == EventLine::Other && dialogue) {
        switch (dialogue->answer(line)) {
        case DialPlan::Waiting:
            return;
        case DialPlan::Done:
            sipLog(logkey::masksLoaded,
                   LogFields()
                       .add("virtual", (long long)masks.virtualApartments.size())
                       .add("blacklisted", (long long)masks.blacklist.size()),
                   "daemon: masks loaded: %zu virtual, %zu blacklisted apartments", masks.virtualApartments.size(),
                   masks.blacklist.size());
            break;
        case DialPlan::Failed:
            sipLog(logkey::masksFailed, "daemon: masks: the dialplan dialogue went wrong: %s; the masks may not hold",
                   dialogue->error().c_str());
            break;
        }
        tmr_cancel(&dialogueTimer);
        dialogue.reset();
        if (dialogueAgain)
            startDialogue();
        return;
    }
    switch (event.kind) {
    case EventLine::Dial: {
        if (stopping)
            return;
        std::string who = "apartment " + std::to_string(event.apartment);
        if (event.door >= 0)
            who += " door " + std::to_string(event.door);
        if (holder) {
            sipLog(logkey::callIgnored, "%s: a call is up (%s): this dial is ignored", who.c_str(), holderName.c_str());
            return;
        }
        // The line is the visitor's now; nobody opens a door by number meanwhile.
        openingUnit = -1;
        opener = nullptr;
        ringingApartment = event.apartment;
        ringingDoor = event.door;
        answeringPhone.clear();
        go(State::Ringing);
        for (Listener *l : listeners)
            l->ring(event.apartment, event.door);
        break;
    }
    case EventLine::Pickup:
        if (current != State::Ringing) {
            if (holder)
                sipLog(logkey::intercomPickup, "%s: the intercom reports pickup", holderName.c_str());
            break;
        }
        if (holder && !audioPeer) {
            // Someone took the call at the apartment's own handset.
            sipLog(logkey::intercomTaken,
                   "%s: the intercom reports pickup while the phone rings: taken at the apartment",
                   holderName.c_str());
            holder = nullptr;
        } else if (holder) {
            sipLog(logkey::intercomPickup, "%s: the intercom reports pickup", holderName.c_str());
        } else {
            sipLog(logkey::intercomTaken, "the intercom reports pickup: taken at the apartment");
        }
        go(State::Talking);
        if (heldOpen && holder && current == State::Talking) {
            const char *how = heldOpen;
            forgetHeldOpen();
            tellOpen(holderName, how, ringingDoor, callOpenCommand());
        }
        break;
    case EventLine::Open: {
        int door = -1;
        if (current == State::Idle && openingUnit >= 0) {
            door = openingUnit;
        } else if (current == State::Talking || current == State::DoorOpen
                   || (current == State::Ringing && audioPeer)) {
            door = ringingDoor;
            // Opened already: an open still waiting for the pickup is done.
            forgetHeldOpen();
            go(State::DoorOpen);
        } else {
            sipLog("the intercom reports a door open, no call");
        }
        openingUnit = -1;
        opener = nullptr;
        for (Listener *l : listeners)
            l->doorOpened(door);
        break;
    }
    case EventLine::Drop:
        if (current == State::Idle)
            break;
        // The owner's front-end says it for its call; a drop we asked for
        // (ending) is not news.
        if (!holder && current != State::Ending) {
            std::string who = "apartment " + std::to_string(ringingApartment);
            if (ringingDoor >= 0)
                who += " door " + std::to_string(ringingDoor);
            sipLog(logkey::intercomEnded, "%s: the intercom ended the call", who.c_str());
        }
        go(State::Idle);
        for (Listener *l : listeners)
            l->callEnded();
        break;
    case EventLine::Message:
    case EventLine::Other:
        break;
    }
}

void DoorLine::daemonExited(int st)
{
    char how[64];
    LogFields fields;
    if (WIFEXITED(st)) {
        re_snprintf(how, sizeof how, "with status %d", WEXITSTATUS(st));
        fields.add("status", WEXITSTATUS(st));
    } else if (WIFSIGNALED(st)) {
        re_snprintf(how, sizeof how, "by signal %d", WTERMSIG(st));
        fields.add("signal", WTERMSIG(st));
    } else
        re_snprintf(how, sizeof how, "(status 0x%x)", st);
    if (stopping)
        return;
    const uint64_t ran = tmr_jiffies() - daemonStartedAt;
    if (ran >= steadyDaemonMs)
        restartBackoff.reset();
    const uint64_t wait = restartBackoff.next();
    fields.add("restart_s", (long long)(wait / 1000));
    sipLog(logkey::daemonEnded, fields, "daemon: ended %s after %llu.%llu s; ending the calls; starting it again in %llu s",
           how, (unsigned long long)(ran / 1000), (unsigned long long)(ran % 1000 / 100), (unsigned long long)(wait / 1000));
    tmr_cancel(&dialogueTimer);
    dialogue.reset();
    openingUnit = -1;
    opener = nullptr;
    go(State::Idle);
    for (Listener *l : listeners)
        l->daemonRunning(false);
    stopAudio();
    tmr_start(&restartTimer, wait, restartDue, this);
}

void DoorLine::restartDue(void *arg)
{
    static_cast<DoorLine *>(arg)->startDaemon();
}

void DoorLine::startDaemon()
{
    if (stopping)
        return;
    const int err = daemon.start(daemonCommand);
    daemonStartedAt = tmr_jiffies();
    if (err) {
        const uint64_t wait = restartBackoff.next();
        sipLog(logkey::daemonFailed, LogFields().add("restart_s", (long long)(wait / 1000)),
               "daemon: cannot start %s: %m; trying again in %llu s", daemonCommand[0].c_str(), err,
               (unsigned long long)(wait / 1000));
        tmr_start(&restartTimer, wait, restartDue, this);
        return;
    }
    sipLog(logkey::daemonRestarted, LogFields().add("pid", daemon.pid()), "daemon started again (pid %d)",
           int(daemon.pid()));
    for (Listener *l : listeners)
        l->daemonRunning(true);
    startDialogue();
}
