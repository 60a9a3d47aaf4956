#pragma once

#include "backoff.h"
#include "config.h"

#include <re.h>

#include <functional>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

// Our connection to the MQTT broker, on libmosquitto in libre's event loop:
// its socket watched with fd_listen (for writing only while it has something
// to send), its keepalive on a libre timer, no thread of its own, and a
// connection that never blocks the loop: the connect is non-blocking, and a
// broker that does not answer is given up after the keepalive. Only the name
// lookup of a broker given by name waits on the loop (the system resolver,
// once per attempt); give an address or a name from /etc/hosts where that
// matters.
//
// Lost or refused, it says why on standard error (once per reason) and tries
// again after 1 s, doubling to 60 s. Its last will is "offline", retained, on
// the availability topic; on every connect it publishes "online" there,
// subscribes again and calls `connected`.
class MqttClient
{
public:
    using Connected = std::function<void()>;
    // A message from the broker: its topic, its payload, and whether the
    // broker kept it (retained) rather than passing it on as it came.
    using Message = std::function<void(const std::string &topic, const std::string &payload, bool retained)>;

    MqttClient(const Config::Mqtt &config, const std::string &availabilityTopic, Connected connected, Message message);
    // Says "offline" when connected, and closes.
    ~MqttClient();
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    // The first attempt; 0, or an errno value when libmosquitto cannot be set up.
    int start();
    bool isConnected() const { return up; }
    // Sends at once when connected; otherwise drops it (the state is
    // published again on the next connect, and events are not replayed).
    void publish(const std::string &topic, const std::string &payload, bool retain);
    // Kept, and subscribed again on every connect.
    void subscribe(const std::string &pattern);

private:
    static void onConnect(struct mosquitto *, void *arg, int rc);
    static void onMessage(struct mosquitto *, void *arg, const struct mosquitto_message *msg);
    static void ready(int flags, void *arg);
    static void tick(void *arg);
    static void retry(void *arg);
    void attempt();
    void watch();
    void lost(const std::string &why);
    void unwatch();

    const Config::Mqtt config;
    const std::string availability;
    Connected connectedHandler;
    Message messageHandler;
    std::vector<std::string> patterns;
    struct mosquitto *mosq = nullptr;
    struct tmr keepalive;
    struct tmr again;
    Backoff backoff{1000, 60000};
    int fd = -1;                // the socket we watch; -1: none
    int watched = 0;            // its flags
    bool up = false;
    std::string refusal;        // the broker's no to our connect, to be said
    std::string lastWhy;        // the last failure said
};
