#pragma once

#include "callingin.h"
#include "config.h"
#include "doorcalls.h"
#include "doorline.h"
#include "ringtoopen.h"
#include "sipstack.h"
#ifdef TMX_MQTT
#include "mqttfrontend.h"
#endif

#include <re.h>

#include <memory>
#include <string>
#include <vector>

// tmx-sip as a whole: the door line (the daemon and its state), and around
// it the front-ends that act on it: ring-to-open, door calls on the phones
// and calling in with a PIN over the SIP stack they share, and MQTT. Starts them, hands them a
// configuration read again, and stops them.
class Switchboard
{
public:
    explicit Switchboard(const Config &config);
    ~Switchboard();
    Switchboard(const Switchboard &) = delete;
    Switchboard &operator=(const Switchboard &) = delete;

    // Opens SIP and the audio ports, starts the daemon and loads its masks,
    // then registers. Returns 0 or an errno value, after saying what failed.
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

    static void stopTick(void *arg);

    Config config;
    SipStack stack;
    DoorLine line;
    // Subscribes to the line before the phones: it hears a ring first and
    // takes the call before a phone rings.
    RingToOpen ringToOpen;
    DoorCalls phones;
    CallingIn callingIn;
#ifdef TMX_MQTT
    std::unique_ptr<MqttFrontEnd> mqtt;     // with mqtt_broker only
#endif
    struct tmr stopTimer;
    uint64_t stopStartedAt = 0;
    bool stopping = false;
};
