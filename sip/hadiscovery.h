#pragma once

#include "config.h"

#include <string>
#include <vector>

// The Home Assistant MQTT discovery messages that show the adapter as one
// device: the doorbell (an event, one event type per apartment in the table
// and "ring" for the others), an open button per door unit, buttons to open
// the calling door and to end the call, the ring-to-open switch, sensors for
// the line and the last call, binary sensors for the daemon and (with a
// registrar) the registration. Each under
// <discovery>/<component>/<node>/<object>/config, retained, with our
// availability topic.
class HaDiscovery
{
public:
    struct Message
    {
        std::string topic;
        std::string payload;
    };

    // None when discovery is off or there is no broker.
    static std::vector<Message> messages(const Config &config);
    // The filter that matches every discovery topic of this adapter, ours
    // now or left from an earlier configuration; empty when discovery is off.
    static std::string filter(const Config &config);
    // The topics of `before` that `now` has no more: to be withdrawn with an
    // empty retained payload.
    static std::vector<std::string> removed(const std::vector<Message> &before, const std::vector<Message> &now);
};
