#pragma once

#include "config.h"
#include "dialogpeer.h"
#include "logkey.h"
#include "mediastream.h"
#include "pinentry.h"

#include <re.h>

#include <string>

// A call from an allowed caller who wants a door opened. Answered at once;
// the caller enters the PIN, '#' and the door digit (RFC 4733 telephone
// events or SIP INFO). The owner hears of a door digit after the right PIN
// and of a wrong PIN, opens the door, and tells doorOpened() when the
// daemon confirms: the caller hears the confirmation tone and we hang up.
// Audio starts with the caller's ACK, not before: an INVITE's addresses
// are the sender's word until its ACK follows our answer.
// The call carries no audio of the door: towards the caller it sends silence
// (and the tone) on its own 20 ms clock, and what the caller sends is not
// played anywhere.
class IncomingCall
{
public:
    class Listener
    {
    public:
        virtual void incomingDoor(IncomingCall &call, int door) = 0;
        virtual void incomingWrongPin(IncomingCall &call) = 0;
        // The call is over; the owner frees it from the main loop.
        virtual void incomingEnded(IncomingCall &call) = 0;

    protected:
        ~Listener() = default;
    };

    // caller: the allow-list entry that let the caller in.
    IncomingCall(struct sipsess_sock *sock, const Config &config, const struct sa &laddr, Listener &listener,
                 const Config::Caller &caller);
    ~IncomingCall();
    IncomingCall(const IncomingCall &) = delete;
    IncomingCall &operator=(const IncomingCall &) = delete;

    // Answers the INVITE. Returns 0, or the status to refuse it with.
    uint16_t accept(const struct sip_msg *msg);
    // The door's opening is asked for: wait for the daemon's confirmation.
    void awaitOpen();
    bool awaitingOpen() const { return waitingForOpen; }
    // The daemon confirmed the opening.
    void doorOpened();
    // Ends the call from our side (BYE).
    void end(const std::string &why, LogKey key = logkey::callinHangup);
    bool ended() const { return isEnded; }
    // The caller's ACK came: it saw our answer, so it is where it said.
    bool acknowledged() const { return acked; }
    const std::string &caller() const { return allowed.who; }
    // Where its INVITE came from.
    const struct sa &source() const { return from; }
    // Whether this configuration still lets the caller in as it came: the
    // same entry, password and PIN. Empty when it does, else why not.
    std::string stillAllowed(const Config &fresh) const;
    // "incoming call <Call-ID> from <URI>", for every line about this call.
    const std::string &name() const { return label; }
    // A request in this call's dialog from another address or port than
    // the INVITE's: to be refused.
    bool fromStranger(const struct sip_msg *msg) const;

private:
    static const unsigned tickMs = 20;
    static const unsigned confirmWaitMs = 12000;   // the daemon gives an opening up after 10 s
    static const unsigned afterToneMs = 1000;

    static int offerHandler(struct mbuf **descp, const struct sip_msg *msg, void *arg);
    static int answerHandler(const struct sip_msg *msg, void *arg);
    static void establishedHandler(const struct sip_msg *msg, void *arg);
    static void infoHandler(struct sip *sip, const struct sip_msg *msg, void *arg);
    static void closeHandler(int err, const struct sip_msg *msg, void *arg);
    static void pinTimeout(void *arg);
    static void confirmTimeout(void *arg);
    static void afterTone(void *arg);
    static void tick(void *arg);
    void key(char k);
    void startClock();
    void finish();

    struct sipsess_sock *sock;
    const Config config;
    struct sa laddr;
    Listener &listener;
    const Config::Caller allowed;
    struct sa from;
    std::string label;
    struct sipsess *sess = nullptr;
    struct sdp_session *sdp = nullptr;
    MediaStream stream;
    PinEntry pin;
    DialogPeer peer;
    struct tmr pinTimer;
    struct tmr waitTimer;
    struct tmr clock;
    uint64_t nextTick = 0;
    bool offerTaken = false;    // the caller's offer came in its INVITE
    bool acked = false;
    bool waitingForOpen = false;
    bool opened = false;
    bool isEnded = false;
};
