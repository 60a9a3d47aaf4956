#pragma once

#include "call.h"
#include "config.h"
#include "daemonaudio.h"
#include "daemonchild.h"

#include <re.h>

#include <memory>
#include <string>
#include <vector>

// Connects the daemon to the phones: each "dial" from the daemon becomes a
// call to the apartment's URI, and what the phone and the daemon do on either
// side turns into the other's commands. One call at a time.
class Switchboard : private Call::Listener
{
public:
    explicit Switchboard(const Config &config);
    ~Switchboard();
    Switchboard(const Switchboard &) = delete;
    Switchboard &operator=(const Switchboard &) = delete;

    // Opens SIP and the audio ports, then starts the daemon. Returns 0 or an
    // errno value, after saying what failed.
    int start(const std::vector<std::string> &daemonCommand);
    // Ends the call and the daemon, lets SIP finish, then leaves re_main().
    void shutdown();
    int exitStatus() const { return status; }

private:
    void daemonLine(const std::string &line);
    void daemonExited(int status);
    void dial(int apartment, int door);
    void frameFromDaemon(const int16_t *samples, size_t count);
    void frameToDaemon(int16_t *samples, size_t count);
    void dropCall();
    void callAnswered(Call &call) override;
    void callEnded(Call &call, const std::string &why) override;
    void callDigit(Call &call, char digit) override;
    static void connectHandler(const struct sip_msg *msg, void *arg);
    static void sipExited(void *arg);
    static void reap(void *arg);
    static void giveUp(void *arg);

    const Config &config;
    struct sa laddr;
    struct dnsc *dnsc = nullptr;
    struct sip *sip = nullptr;
    struct sipsess_sock *sock = nullptr;
    DaemonChild daemon;
    DaemonAudio audio;
    std::unique_ptr<Call> call;
    std::vector<std::unique_ptr<Call>> ended;   // dropped from inside their own handlers
    struct tmr reapTimer;
    struct tmr stopTimer;
    bool stopping = false;
    int status = 0;
};
