#pragma once

#include "config.h"
#include "doorlinecommands.h"
#include "doorlinelistener.h"
#include "hadiscovery.h"
#include "mqttclient.h"

#include <memory>
#include <string>
#include <vector>

// The door line on MQTT: a front-end that listens to the line and publishes
// it under the topic prefix T (mqtt_topic), and passes the commands it takes
// on T's command topics to the line.
//
// Retained state: T/line (idle, ringing, talking, door_open), T/last_call
// (JSON), T/registration, T/daemon, T/ring_to_open (ON/OFF), T/availability
// (online/offline, the last will). Events, not retained: T/event/ring,
// T/event/door_opened, T/event/call_ended (JSON). Commands: T/cmd/open_unit
// with a door unit of mqtt_door_units, T/cmd/open and T/cmd/end_call with
// PRESS, T/cmd/ring_to_open with ON or OFF. Anything else there, and any
// retained command (it would act again on every connect), is ignored with a
// line on standard error, at most one every 10 s.
//
// On every connect it publishes the state again; what happened while the
// broker was away is not sent late (T/last_call tells the last call). It
// withdraws the discovery messages that a SIGHUP removed, and on connect
// those the broker kept from an earlier configuration.
class MqttBridge : public DoorLineListener
{
public:
    MqttBridge(const Config &config, DoorLineCommands &line);
    MqttBridge(const MqttBridge &) = delete;
    MqttBridge &operator=(const MqttBridge &) = delete;

    // Connects; 0, or an errno value. Without a broker: nothing, 0.
    int start();
    // A new configuration (SIGHUP): a new connection when the broker, the
    // credentials or the topic changed, and the discovery messages that it
    // removed withdrawn.
    int reconfigure(const Config &config);
    bool isConnected() const { return client && client->isConnected(); }

    void lineChanged(State state, int apartment, int door) override;
    void ring(int apartment, int door) override;
    void doorOpened(int door, const std::string &by) override;
    void callEnded(const CallRecord &call) override;
    void registrationChanged(bool registered) override;
    void daemonChanged(bool running) override;
    void ringToOpenChanged(bool on) override;

private:
    void connected();
    void message(const std::string &topic, const std::string &payload, bool retained);
    void staleDiscovery(const std::string &topic, const std::string &payload, bool retained);
    void ignored(const std::string &topic, const char *why);
    void publishState(const char *key, const std::string &value);
    void publishDiscovery();
    std::string topic(const char *key) const { return config.mqtt.topic + "/" + key; }

    Config config;
    DoorLineCommands &line;
    std::unique_ptr<MqttClient> client;
    std::vector<HaDiscovery::Message> discovery;        // as published
    std::vector<std::string> withdrawn;                 // to withdraw on the next connect
    // The retained state as last published, by key under T.
    std::vector<std::pair<std::string, std::string>> state;
    uint64_t ignoredAt = 0;                             // when the last "ignored" line was said
    unsigned ignoredSince = 0;                          // those not said since
};
