#include "hadiscovery.h"

#include "jsondict.h"

#include <cctype>
#include <set>

#ifndef TMX_VERSION
#error "TMX_VERSION must give tmx-sip's version"
#endif

namespace {

// Home Assistant takes [a-zA-Z0-9_-] in a node id.
std::string nodeId(const std::string &topic)
{
    std::string id = topic;
    for (char &c : id)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            c = '_';
    return id;
}

} // namespace

std::vector<HaDiscovery::Message> HaDiscovery::messages(const Config &config)
{
    std::vector<Message> out;
    const Config::Mqtt &m = config.mqtt;
    if (m.broker.empty() || m.discovery.empty())
        return out;
    const std::string node = nodeId(m.topic);
    const std::string t = m.topic + "/";
    const std::string name = m.topic.substr(m.topic.rfind('/') + 1);

    // One entity: the keys every one has, then its own.
    auto entity = [&](const char *component, const std::string &object, const std::string &title,
                      const auto &fill) {
        JsonDict ids, device, d;
        ids.push(node);
        device.add("identifiers", ids, true)
            .add("name", "Intercom " + name)
            .add("manufacturer", "tmx")
            .add("model", "tmx intercom adapter")
            .add("sw_version", TMX_VERSION);
        d.add("name", title).add("unique_id", node + "_" + object).add("availability_topic", t + "availability");
        d.add("device", device);
        fill(d);
        out.push_back(Message{m.discovery + "/" + component + "/" + node + "/" + object + "/config", d.json()});
    };

    entity("event", "doorbell", "Doorbell", [&](JsonDict &d) {
        JsonDict types;
        types.push("ring");
        for (const auto &apartment : config.phones.apartments)
            types.push("ring_" + std::to_string(apartment.first));
        d.add("state_topic", t + "event/ring").add("event_types", types, true).add("device_class", "doorbell");
    });
    for (int unit : m.doorUnits)
        entity("button", "open_door_" + std::to_string(unit), "Open door " + std::to_string(unit), [&](JsonDict &d) {
            d.add("command_topic", t + "cmd/open_unit").add("payload_press", std::to_string(unit));
        });
    entity("button", "open_calling_door", "Open the calling door",
           [&](JsonDict &d) { d.add("command_topic", t + "cmd/open").add("payload_press", "PRESS"); });
    entity("button", "end_call", "End the door call",
           [&](JsonDict &d) { d.add("command_topic", t + "cmd/end_call").add("payload_press", "PRESS"); });
    entity("switch", "ring_to_open", "Ring to open", [&](JsonDict &d) {
        d.add("command_topic", t + "cmd/ring_to_open").add("state_topic", t + "ring_to_open");
        d.add("payload_on", "ON").add("payload_off", "OFF");
    });
    entity("sensor", "line", "Door line", [&](JsonDict &d) {
        JsonDict options;
        for (const char *state : {"idle", "ringing", "talking", "door_open"})
            options.push(state);
        d.add("state_topic", t + "line").add("device_class", "enum").add("options", options, true);
        d.add("json_attributes_topic", t + "line/detail");
    });
    entity("sensor", "last_call", "Last door call", [&](JsonDict &d) {
        d.add("state_topic", t + "last_call").add("value_template", "{{ value_json.ended }}");
        d.add("device_class", "timestamp").add("json_attributes_topic", t + "last_call");
    });
    if (!config.registrar.uri.empty())
        entity("binary_sensor", "registration", "SIP registration", [&](JsonDict &d) {
            d.add("state_topic", t + "registration").add("device_class", "connectivity");
            d.add("payload_on", "ON").add("payload_off", "OFF");
        });
    entity("binary_sensor", "daemon", "Intercom daemon", [&](JsonDict &d) {
        d.add("state_topic", t + "daemon").add("device_class", "running");
        d.add("payload_on", "ON").add("payload_off", "OFF");
    });
    return out;
}

std::string HaDiscovery::filter(const Config &config)
{
    if (config.mqtt.broker.empty() || config.mqtt.discovery.empty())
        return std::string();
    return config.mqtt.discovery + "/+/" + nodeId(config.mqtt.topic) + "/+/config";
}

std::vector<std::string> HaDiscovery::removed(const std::vector<Message> &before, const std::vector<Message> &now)
{
    std::set<std::string> kept;
    for (const Message &m : now)
        kept.insert(m.topic);
    std::vector<std::string> out;
    for (const Message &m : before)
        if (!kept.count(m.topic))
            out.push_back(m.topic);
    return out;
}
