#pragma once

#include "callrecord.h"
#include "config.h"
#include "doorline.h"
#include "doorlinecommands.h"
#include "mqttbridge.h"

#include <string>

class RingToOpen;

// The door line on MQTT, as a front-end: hears the line and tells the
// bridge in its terms (keeping the call record the line does not keep), and
// passes the bridge's commands to the line, which decides on them.
class MqttFrontEnd : public DoorLine::Listener, private DoorLineCommands
{
public:
    MqttFrontEnd(const Config &config, DoorLine &line, RingToOpen &ringToOpen);
    MqttFrontEnd(const MqttFrontEnd &) = delete;
    MqttFrontEnd &operator=(const MqttFrontEnd &) = delete;

    // Connects to the broker and publishes the state; 0 or an errno value.
    int start();
    void reload(const Config &config);
    void registrationChanged(bool registered);
    void ringToOpenChanged(bool on);

    void lineChanged(DoorLine::State state) override;
    void ring(int apartment, int door) override;
    void doorOpened(int door) override;
    void callEnded() override;
    void daemonRunning(bool running) override;

private:
    void openUnit(int unit) override;
    void openCalling() override;
    void endCall() override;
    void setRingToOpen(bool on) override;

    Config config;
    DoorLine &line;
    RingToOpen &ringToOpen;
    MqttBridge bridge;
    CallRecord call;            // the door call up now
    bool inCall = false;
    bool openingUnit = false;   // our open N, not yet reported
    bool openingCalling = false; // our open of the calling door, not yet reported
};
