#include "switchboard.h"
#include "log.h"

Switchboard::Switchboard(const Config &config)
    : config(config), stack(config), line(config), ringToOpen(config, line), phones(config, stack, line),
      callingIn(config, stack, line)
{
    tmr_init(&stopTimer);
#ifdef TMX_MQTT
    if (!config.mqtt.broker.empty()) {
        mqtt.reset(new MqttFrontEnd(config, line, ringToOpen));
        ringToOpen.onChanged([this](bool on) { mqtt->ringToOpenChanged(on); });
        stack.onRegistration([this](bool registered) { mqtt->registrationChanged(registered); });
    }
#else
    if (!config.mqtt.broker.empty())
        sipLog(logkey::configWarning, "mqtt: this tmx-sip is built without MQTT; mqtt_broker is not used");
#endif
}

Switchboard::~Switchboard()
{
    tmr_cancel(&stopTimer);
}

int Switchboard::start(const std::vector<std::string> &command)
{
    int err = stack.open([this](const struct sip_msg *msg) { callingIn.connect(msg); });
    if (!err)
        err = line.start(command);
    if (err)
        return err;
    std::string cmd;
    for (const std::string &word : command)
        cmd += (cmd.empty() ? "" : " ") + word;
    char sipAt[64];
    re_snprintf(sipAt, sizeof sipAt, "%J", &stack.laddr());
    sipLog(logkey::started,
           LogFields().add("transport", stack.tls() ? "tls" : "udp").add("sip", sipAt).add("pid", line.daemonPid()),
           "SIP on %s:%J; daemon started (pid %d): %s", stack.tls() ? "tls" : "udp", &stack.laddr(),
           int(line.daemonPid()), cmd.c_str());
    if (stack.tls() && config.sip.tlsCa.empty())
        sipLog(logkey::tlsWarning, "TLS: no tls_ca: the phones' certificates are not verified");
    if (!stack.tlsWarning().empty())
        sipLog(logkey::tlsWarning, "TLS: %s", stack.tlsWarning().c_str());
    callingIn.start();
    ringToOpen.start();
#ifdef TMX_MQTT
    // A broker not there yet is tried again in the background.
    if (mqtt && (err = mqtt->start()))
        sipLog(logkey::mqttFailed, "mqtt: cannot start: %m", err);
#endif
    stack.registerWith(config);
    return 0;
}

void Switchboard::reload(const Config &fresh)
{
    if (stopping)
        return;
    Config next = fresh;
    // SIP's sockets and the daemon's command line keep what they started with.
    std::string kept;
    if (!(next.sip == config.sip))
        kept = "listen/transport/tls_*";
    if (!(next.daemon == config.daemon))
        kept += std::string(kept.empty() ? "" : ", ") + "daemon/intercom/sample_format";
    if (!kept.empty())
        sipLog(logkey::configWarning, "config: %s take effect on restart only; the running values stay", kept.c_str());
    next.sip = config.sip;
    next.daemon = config.daemon;
    const bool registrationChanged = !(next.registrar == config.registrar);
    const bool masksChanged = !(next.masks == config.masks);
    config = next;
    ringToOpen.reload(config);
    phones.reload(config);
    callingIn.reload(config);
#ifdef TMX_MQTT
    if (mqtt)
        mqtt->reload(config);
    else if (!config.mqtt.broker.empty())
        sipLog(logkey::configWarning, "config: mqtt_broker takes effect on restart only");
#endif
    sipLog(logkey::configReloaded,
           "config: read again: %zu apartments (%zu virtual), %zu blacklisted, %zu allowed callers%s%s",
           config.phones.apartments.size(), config.masks.virtualApartments.size(), config.masks.blacklist.size(),
           config.callingIn.allow.size(),
           registrationChanged ? "; registering anew" : "", masksChanged ? "; loading the masks" : "");
    if (registrationChanged)
        stack.registerWith(config);
    line.setMasks(config.masks);
}

void Switchboard::shutdown()
{
    if (stopping)
        return;
    stopping = true;
    phones.stop();
    callingIn.stop();
    line.stop();
    // The daemon is waited for beside SIP's last answers.
    stack.close([this] { tmr_start(&stopTimer, 0, stopTick, this); });
    stopStartedAt = tmr_jiffies();
    tmr_start(&stopTimer, 0, stopTick, this);
}

void Switchboard::stopTick(void *arg)
{
    Switchboard *self = static_cast<Switchboard *>(arg);
    const bool daemonGone = self->line.ended();
    if (daemonGone && self->stack.closed()) {
        re_cancel();
        return;
    }
    if (tmr_jiffies() - self->stopStartedAt >= stopWithinMs) {
        if (!daemonGone) {
            sipLog(logkey::daemonKilled, "daemon: still running; killing it");
            self->line.kill();
        }
        if (!self->stack.closed())
            sipLog("SIP: stopping without the last answers");
        re_cancel();
        return;
    }
    tmr_start(&self->stopTimer, 10, stopTick, self);
}
