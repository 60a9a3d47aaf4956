#pragma once

#include "config.h"
#include "dialogpeer.h"
#include "logkey.h"
#include "mediastream.h"

#include <re.h>

#include <string>

// One outgoing SIP call to the phone of an apartment, from INVITE to its end.
// Its owner hears through Listener what the phone did; hangUp() ends it from
// our side (BYE once answered, CANCEL while it rings).
class Call
{
public:
    class Listener
    {
    public:
        virtual void callAnswered(Call &call) = 0;
        // The call is over on the phone's side (hung up, declined, failed, no answer).
        virtual void callEnded(Call &call, const std::string &why) = 0;
        virtual void callDigit(Call &call, char digit) = 0;
        // A call lost to another phone (cancelElsewhere) is settled with its
        // phone: it may be freed (not from inside this call).
        virtual void callReleased(Call &call) = 0;

    protected:
        ~Listener() = default;
    };

    Call(struct sip *sip, struct sipsess_sock *sock, const Config &config, const struct sa &laddr, Listener &listener,
         int apartment, int door, const std::string &uri);
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    // Sends the INVITE and starts the ring timeout. Returns 0 or an errno value.
    int start();
    void hangUp();
    // Another phone of the flat answered first: CANCEL while this one rings,
    // BYE if its answer crossed ours; either says so (RFC 3326). The owner
    // hears callReleased once the phone has confirmed, or given up on.
    void cancelElsewhere();
    bool answered() const { return isAnswered; }
    bool ended() const { return isEnded; }
    // "apartment 123 door 3 call <Call-ID>", for every line about this call.
    const std::string &name() const { return label; }
    // The phone's URI, as called.
    const std::string &phone() const { return uri; }
    MediaStream &media() { return stream; }
    // A request in this call's dialog from another address or port than
    // the phone's: to be refused.
    bool fromStranger(const struct sip_msg *msg) const;

private:
    static int offerHandler(struct mbuf **descp, const struct sip_msg *msg, void *arg);
    static int answerHandler(const struct sip_msg *msg, void *arg);
    static void progressHandler(const struct sip_msg *msg, void *arg);
    static void establishedHandler(const struct sip_msg *msg, void *arg);
    static void infoHandler(struct sip *sip, const struct sip_msg *msg, void *arg);
    static void closeHandler(int err, const struct sip_msg *msg, void *arg);
    static void ringTimeout(void *arg);
    static void cancelAgain(void *arg);
    static void cancelGivenUp(void *arg);
    // Returns whether it built one.
    bool prepareCancel(const struct sip_msg *provisional);
    void sendCancel();
    void release(const std::string &why);
    int takeAnswer(const struct sip_msg *msg);
    void end(const std::string &why, LogKey key = logkey::callEnded);

    struct sip *sip;
    struct sipsess_sock *sock;
    const Config config;        // as it was when the call began
    struct sa laddr;
    Listener &listener;
    int apartment;
    int door;
    std::string uri;
    std::string label;
    struct sipsess *sess = nullptr;
    struct sdp_session *sdp = nullptr;
    MediaStream stream;
    DialogPeer peer;
    bool answersChallenges = false;     // the request goes to the registrar
    void *auth = nullptr;               // its credentials (DigestAuth), libre's object
    struct tmr ringTimer;
    bool isAnswered = false;
    bool isEnded = false;
    // The CANCEL of a call lost to another phone, built from the first
    // provisional answer to the INVITE sent last, and sent until the phone
    // ends that INVITE.
    bool elsewhere = false;
    struct mbuf *cancel = nullptr;
    std::string cancelBranch;   // of the INVITE it cancels
    struct sa cancelTo;
    enum sip_transp cancelTransport = SIP_TRANSP_UDP;
    uint32_t cancelWaitMs = 0;
    struct tmr cancelTimer;
};
