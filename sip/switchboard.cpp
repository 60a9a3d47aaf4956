#include "switchboard.h"
#include "log.h"

Switchboard::Switchboard(const Config &config)
    : config(config), stack(config), line(config), phones(config, stack, line), callingIn(config, stack, line)
{
    tmr_init(&stopTimer);
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
    sipLog("SIP on %s:%J; daemon started (pid %d): %s", stack.tls() ? "tls" : "udp", &stack.laddr(),
           int(line.daemonPid()), cmd.c_str());
    if (stack.tls() && config.tlsCa.empty())
        sipLog("TLS: no tls_ca: the phones' certificates are not verified");
    if (!stack.tlsWarning().empty())
        sipLog("TLS: %s", stack.tlsWarning().c_str());
    callingIn.start();
    stack.registerWith(config);
    return 0;
}

void Switchboard::reload(const Config &fresh)
{
    if (stopping)
        return;
    Config next = fresh;
    // These are bound to sockets and the daemon's command line.
    std::string kept;
    auto keep = [&kept](bool changed, const char *key) {
        if (changed)
            kept += std::string(kept.empty() ? "" : ", ") + key;
    };
    keep(next.listenAddress != config.listenAddress || next.listenPort != config.listenPort, "listen");
    keep(next.sampleFormat != config.sampleFormat, "sample_format");
    keep(next.daemon != config.daemon || next.intercom != config.intercom, "daemon/intercom");
    keep(next.transport != config.transport || next.tlsCertificate != config.tlsCertificate
             || next.tlsKey != config.tlsKey || next.tlsCa != config.tlsCa,
         "transport/tls_*");
    if (!kept.empty())
        sipLog("config: %s take effect on restart only; the running values stay", kept.c_str());
    next.listenAddress = config.listenAddress;
    next.listenPort = config.listenPort;
    next.sampleFormat = config.sampleFormat;
    next.daemon = config.daemon;
    next.intercom = config.intercom;
    next.transport = config.transport;
    next.tlsCertificate = config.tlsCertificate;
    next.tlsKey = config.tlsKey;
    next.tlsCa = config.tlsCa;

    const bool registrationChanged = next.registrar != config.registrar || next.user != config.user
        || next.password != config.password || next.outboundProxy != config.outboundProxy
        || next.expires != config.expires || next.registerRetryMin != config.registerRetryMin
        || next.registerRetryMax != config.registerRetryMax;
    const bool masksChanged = next.virtualApartments != config.virtualApartments || next.blacklist != config.blacklist;
    config = next;
    phones.reload(config);
    callingIn.reload(config);
    sipLog("config: read again: %zu apartments (%zu virtual), %zu blacklisted, %zu allowed callers%s%s",
           config.apartments.size(), config.virtualApartments.size(), config.blacklist.size(), config.allow.size(),
           registrationChanged ? "; registering anew" : "", masksChanged ? "; loading the masks" : "");
    if (registrationChanged)
        stack.registerWith(config);
    line.setMasks(config.virtualApartments, config.blacklist);
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
            sipLog("daemon: still running; killing it");
            self->line.kill();
        }
        if (!self->stack.closed())
            sipLog("SIP: stopping without the last answers");
        re_cancel();
        return;
    }
    tmr_start(&self->stopTimer, 10, stopTick, self);
}
