#include "mqttfrontend.h"
#include "log.h"
#include "ringtoopen.h"

#include <ctime>

static const char who[] = "mqtt";

MqttFrontEnd::MqttFrontEnd(const Config &config, DoorLine &line, RingToOpen &ringToOpen)
    : config(config), line(line), ringToOpen(ringToOpen), bridge(config, *this)
{
    line.subscribe(*this);
}

int MqttFrontEnd::start()
{
    const int err = bridge.start();
    bridge.daemonChanged(line.daemonRunning());
    bridge.ringToOpenChanged(ringToOpen.isOn());
    bridge.registrationChanged(false);
    lineChanged(line.state());
    return err;
}

void MqttFrontEnd::reload(const Config &fresh)
{
    config = fresh;
    bridge.reconfigure(fresh);
}

void MqttFrontEnd::registrationChanged(bool registered)
{
    bridge.registrationChanged(registered);
}

void MqttFrontEnd::ringToOpenChanged(bool on)
{
    bridge.ringToOpenChanged(on);
}

void MqttFrontEnd::lineChanged(DoorLine::State state)
{
    using S = DoorLineListener::State;
    switch (state) {
    case DoorLine::State::Idle:
        bridge.lineChanged(S::Idle, -1, -1);
        break;
    case DoorLine::State::Ringing:
        bridge.lineChanged(S::Ringing, line.apartment(), line.door());
        break;
    case DoorLine::State::Talking:
        if (inCall && call.answeredBy.empty()) {
            if (!line.owner())
                call.answeredBy = "handset";
            else if (line.owner() == &ringToOpen)
                call.answeredBy = "ring_to_open";
            else
                call.answeredBy = line.phone();
        }
        bridge.lineChanged(S::Talking, line.apartment(), line.door());
        break;
    case DoorLine::State::DoorOpen:
        bridge.lineChanged(S::DoorOpen, line.apartment(), line.door());
        break;
    case DoorLine::State::Ending:
        // Shown as it was until the intercom's drop makes it idle.
        break;
    }
}

void MqttFrontEnd::ring(int apartment, int door)
{
    call = CallRecord();
    call.apartment = apartment;
    call.door = door;
    call.began = time(nullptr);
    inCall = true;
    openingCalling = false;
    bridge.ring(apartment, door);
}

void MqttFrontEnd::doorOpened(int door)
{
    std::string by;
    if (!inCall || line.state() == DoorLine::State::Idle) {
        // A door unit opened by number: ours, or a caller's with a PIN.
        by = openingUnit ? who : "pin";
        openingUnit = false;
    } else {
        call.doorOpened = true;
        if (openingCalling)
            by = who;
        else
            by = call.answeredBy.empty() ? "handset" : call.answeredBy;
        openingCalling = false;
    }
    bridge.doorOpened(door, by);
}

void MqttFrontEnd::callEnded()
{
    if (!inCall)
        return;
    inCall = false;
    openingCalling = false;
    call.ended = time(nullptr);
    bridge.callEnded(call);
}

void MqttFrontEnd::daemonRunning(bool running)
{
    if (!running)
        callEnded();
    bridge.daemonChanged(running);
}

void MqttFrontEnd::openUnit(int unit)
{
    if (line.openUnit(*this, who, unit, "mqtt").empty())
        openingUnit = true;
}

void MqttFrontEnd::openCalling()
{
    if (line.open(*this, who, "mqtt").empty())
        openingCalling = true;
}

void MqttFrontEnd::endCall()
{
    line.drop(*this, who);
}

void MqttFrontEnd::setRingToOpen(bool on)
{
    ringToOpen.set(on);
}
