#include "mqttbridge.h"

#include "jsondict.h"
#include "log.h"

#include <re.h>

namespace {

// At most one "ignored" line within this.
constexpr uint64_t ignoredEveryMs = 10000;

// ISO 8601, UTC, to the second.
std::string isoTime(time_t t)
{
    struct tm tm;
    char text[32];
    if (!gmtime_r(&t, &tm) || !strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm))
        return std::string();
    return text;
}

const char *stateWord(DoorLineListener::State state)
{
    switch (state) {
    case DoorLineListener::State::Idle: return "idle";
    case DoorLineListener::State::Ringing: return "ringing";
    case DoorLineListener::State::Talking: return "talking";
    case DoorLineListener::State::DoorOpen: return "door_open";
    }
    return "idle";
}

// A topic from the network, fit for our log: printable ASCII, cut short.
std::string printable(const std::string &text)
{
    std::string out = text.substr(0, 80);
    for (char &c : out)
        if (c < ' ' || c > '~')
            c = '?';
    return text.size() > 80 ? out + "..." : out;
}

} // namespace

MqttBridge::MqttBridge(const Config &config, DoorLineCommands &line) : config(config), line(line)
{
}

int MqttBridge::start()
{
    if (config.mqtt.broker.empty())
        return 0;
    client = std::make_unique<MqttClient>(
        config.mqtt, topic("availability"), [this] { connected(); },
        [this](const std::string &t, const std::string &payload, bool retained) { message(t, payload, retained); });
    client->subscribe(topic("cmd/+"));
    // What the broker kept of an earlier configuration's discovery comes
    // back on connect, and what this one no longer has is withdrawn.
    if (!HaDiscovery::filter(config).empty())
        client->subscribe(HaDiscovery::filter(config));
    return client->start();
}

int MqttBridge::reconfigure(const Config &next)
{
    const std::vector<HaDiscovery::Message> now = HaDiscovery::messages(next);
    for (const std::string &t : HaDiscovery::removed(discovery, now))
        withdrawn.push_back(t);
    const Config::Mqtt &a = config.mqtt, &b = next.mqtt;
    const bool reconnect = a.broker != b.broker || a.ca != b.ca || a.user != b.user || a.password != b.password
        || a.topic != b.topic || a.discovery != b.discovery;
    if (reconnect) {
        // What the old broker holds of ours is withdrawn there, if it still listens.
        if (isConnected())
            for (const std::string &t : withdrawn)
                client->publish(t, std::string(), true);
        withdrawn.clear();
        discovery.clear();
        client.reset();
        config = next;
        return start();
    }
    config = next;
    if (isConnected())
        connected();
    return 0;
}

// Everything retained, again: the broker may have lost it, or never had it.
void MqttBridge::connected()
{
    for (const std::string &t : withdrawn)
        client->publish(t, std::string(), true);
    withdrawn.clear();
    discovery = HaDiscovery::messages(config);
    for (const HaDiscovery::Message &m : discovery)
        client->publish(m.topic, m.payload, true);
    for (const auto &s : state)
        client->publish(topic(s.first.c_str()), s.second, true);
}

void MqttBridge::publishState(const char *key, const std::string &value)
{
    bool found = false;
    for (auto &s : state)
        if (s.first == key) {
            s.second = value;
            found = true;
        }
    if (!found)
        state.emplace_back(key, value);
    if (client)
        client->publish(topic(key), value, true);
}

void MqttBridge::lineChanged(State s, int apartment, int door)
{
    JsonDict detail;
    detail.add("state", stateWord(s));
    apartment >= 0 ? detail.add("apartment", apartment) : detail.addNull("apartment");
    door >= 0 ? detail.add("door", door) : detail.addNull("door");
    publishState("line/detail", detail.json());
    publishState("line", stateWord(s));
}

void MqttBridge::ring(int apartment, int door)
{
    JsonDict event;
    event.add("event_type", config.phones.apartments.count(apartment) ? "ring_" + std::to_string(apartment) : "ring");
    event.add("apartment", apartment);
    door >= 0 ? event.add("door", door) : event.addNull("door");
    if (client)
        client->publish(topic("event/ring"), event.json(), false);
}

void MqttBridge::doorOpened(int door, const std::string &by)
{
    JsonDict event;
    door >= 0 ? event.add("door", door) : event.addNull("door");
    event.add("by", by);
    if (client)
        client->publish(topic("event/door_opened"), event.json(), false);
}

void MqttBridge::callEnded(const CallRecord &call)
{
    JsonDict record;
    record.add("apartment", call.apartment);
    call.door >= 0 ? record.add("door", call.door) : record.addNull("door");
    record.add("began", isoTime(call.began));
    call.ended ? record.add("ended", isoTime(call.ended)) : record.addNull("ended");
    call.answeredBy.empty() ? record.addNull("answered_by") : record.add("answered_by", call.answeredBy);
    record.add("door_opened", call.doorOpened);
    const std::string json = record.json();
    publishState("last_call", json);
    if (client)
        client->publish(topic("event/call_ended"), json, false);
}

void MqttBridge::registrationChanged(bool registered)
{
    publishState("registration", registered ? "ON" : "OFF");
}

void MqttBridge::daemonChanged(bool running)
{
    publishState("daemon", running ? "ON" : "OFF");
}

void MqttBridge::ringToOpenChanged(bool on)
{
    publishState("ring_to_open", on ? "ON" : "OFF");
}

// Only our own command topics, each with its one payload; a retained command
// would act again on every connect.
void MqttBridge::message(const std::string &t, const std::string &payload, bool retained)
{
    const std::string prefix = topic("cmd/");
    if (t.compare(0, prefix.size(), prefix) != 0) {
        if (!config.mqtt.discovery.empty() && t.compare(0, config.mqtt.discovery.size() + 1, config.mqtt.discovery + "/") == 0)
            return staleDiscovery(t, payload, retained);
        return ignored(t, "not a command topic of ours");
    }
    if (retained)
        return ignored(t, "a retained command");
    const std::string command = t.substr(prefix.size());
    if (command == "open_unit") {
        const int unit = payload.size() == 1 && payload[0] >= '1' && payload[0] <= '9' ? payload[0] - '0' : 0;
        if (!config.mqtt.doorUnits.count(unit))
            return ignored(t, "not a door unit of mqtt_door_units");
        line.openUnit(unit);
    } else if (command == "open" || command == "end_call") {
        if (payload != "PRESS")
            return ignored(t, "the payload is not PRESS");
        command == "open" ? line.openCalling() : line.endCall();
    } else if (command == "ring_to_open") {
        if (payload != "ON" && payload != "OFF")
            return ignored(t, "the payload is neither ON nor OFF");
        line.setRingToOpen(payload == "ON");
    } else {
        ignored(t, "no such command");
    }
}

// A discovery message of ours that the broker kept: withdrawn unless this
// configuration has it. Our own messages, as they come back, are not kept ones.
void MqttBridge::staleDiscovery(const std::string &t, const std::string &payload, bool retained)
{
    if (!retained || payload.empty() || !client)
        return;
    for (const HaDiscovery::Message &m : discovery)
        if (m.topic == t)
            return;
    client->publish(t, std::string(), true);
}

void MqttBridge::ignored(const std::string &t, const char *why)
{
    const uint64_t now = tmr_jiffies();
    if (ignoredAt && now - ignoredAt < ignoredEveryMs) {
        ++ignoredSince;
        return;
    }
    if (ignoredSince)
        sipLog(logkey::mqttIgnored, LogFields().add("topic", t),
               "mqtt: ignored a message on '%s': %s (and %u more since the last such line)",
               printable(t).c_str(), why, ignoredSince);
    else
        sipLog(logkey::mqttIgnored, LogFields().add("topic", t), "mqtt: ignored a message on '%s': %s",
               printable(t).c_str(), why);
    ignoredAt = now;
    ignoredSince = 0;
}
