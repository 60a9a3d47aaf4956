#include "mqttclient.h"

#include "log.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>

namespace {

// Keepalive: a ping after this long without traffic, and a broker that
// answers neither the ping nor our connect within it is given up.
constexpr int keepaliveSeconds = 30;

} // namespace

MqttClient::MqttClient(const Config::Mqtt &config, const std::string &availabilityTopic, Connected connected,
                       Message message)
    : config(config), availability(availabilityTopic), connectedHandler(std::move(connected)),
      messageHandler(std::move(message))
{
    tmr_init(&keepalive);
    tmr_init(&again);
}

MqttClient::~MqttClient()
{
    tmr_cancel(&keepalive);
    tmr_cancel(&again);
    if (!mosq)
        return;
    if (up) {
        // A clean DISCONNECT keeps the broker from sending the last will.
        mosquitto_publish(mosq, nullptr, availability.c_str(), 7, "offline", 0, true);
        mosquitto_disconnect(mosq);
    }
    unwatch();
    mosquitto_destroy(mosq);
}

int MqttClient::start()
{
    static const bool initialised = mosquitto_lib_init() == MOSQ_ERR_SUCCESS;
    if (!initialised)
        return ENOSYS;
    mosq = mosquitto_new(nullptr, true, this);
    if (!mosq)
        return errno ? errno : ENOMEM;
    if (mosquitto_will_set(mosq, availability.c_str(), 7, "offline", 0, true) != MOSQ_ERR_SUCCESS)
        return EINVAL;
    if (!config.user.empty()
        && mosquitto_username_pw_set(mosq, config.user.c_str(),
                                     config.password.empty() ? nullptr : config.password.c_str()) != MOSQ_ERR_SUCCESS)
        return EINVAL;
    if (config.tls) {
        int rc = config.ca.empty() ? mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                                   : mosquitto_tls_set(mosq, config.ca.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            sipLog(logkey::mqttFailed,
                   "mqtt: cannot use the CA file '%s': %s", config.ca.c_str(), mosquitto_strerror(rc));
            return EINVAL;
        }
    }
    mosquitto_connect_callback_set(mosq, onConnect);
    mosquitto_message_callback_set(mosq, onMessage);
    attempt();
    return 0;
}

void MqttClient::publish(const std::string &topic, const std::string &payload, bool retain)
{
    if (!up)
        return;
    mosquitto_publish(mosq, nullptr, topic.c_str(), int(payload.size()), payload.data(), 0, retain);
    watch();
}

void MqttClient::subscribe(const std::string &pattern)
{
    patterns.push_back(pattern);
    if (up) {
        mosquitto_subscribe(mosq, nullptr, pattern.c_str(), 0);
        watch();
    }
}

void MqttClient::attempt()
{
    errno = 0;
    const int rc = mosquitto_connect_async(mosq, config.host.c_str(), config.port, keepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        return;
    }
    watch();
    tmr_start(&keepalive, 1000, tick, this);
}

// Reads when the broker sent something, writes only while libmosquitto has
// something to send (else the loop would wake on every pass).
void MqttClient::watch()
{
    const int s = mosquitto_socket(mosq);
    if (s < 0) {
        // Closed by libmosquitto (a write that failed, say): stop watching
        // the number before anything else gets it.
        if (fd >= 0)
            lost("closed");
        return;
    }
    const int flags = FD_READ | (mosquitto_want_write(mosq) ? FD_WRITE : 0);
    if (s == fd && flags == watched)
        return;
    if (fd >= 0 && s != fd)
        unwatch();
    if (fd_listen(s, flags, ready, this) == 0) {
        fd = s;
        watched = flags;
    }
}

void MqttClient::unwatch()
{
    if (fd >= 0)
        fd_close(fd);
    fd = -1;
    watched = 0;
}

void MqttClient::ready(int flags, void *arg)
{
    MqttClient *self = static_cast<MqttClient *>(arg);
    int rc = MOSQ_ERR_SUCCESS;
    errno = 0;
    if (flags & (FD_READ | FD_EXCEPT))
        rc = mosquitto_loop_read(self->mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && (flags & FD_WRITE))
        rc = mosquitto_loop_write(self->mosq, 1);
    if (!self->refusal.empty()) {
        // The broker's answer to our connect was no; libmosquitto closes.
        if (mosquitto_socket(self->mosq) >= 0)
            mosquitto_disconnect(self->mosq);
        const std::string why = self->refusal;
        self->refusal.clear();
        self->lost(why);
    } else if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(self->mosq) < 0) {
        self->lost(rc == MOSQ_ERR_ERRNO && errno ? std::strerror(errno)
                   : rc == MOSQ_ERR_SUCCESS      ? "closed"
                   : rc == MOSQ_ERR_TLS          ? "TLS failed (does mqtt_ca sign the broker's certificate, for this name?)"
                                                 : mosquitto_strerror(rc));
    } else {
        self->watch();
    }
}

void MqttClient::tick(void *arg)
{
    MqttClient *self = static_cast<MqttClient *>(arg);
    mosquitto_loop_misc(self->mosq);
    if (mosquitto_socket(self->mosq) < 0) {
        self->lost(self->up ? "no answer to our ping" : "no answer");
        return;
    }
    self->watch();
    tmr_start(&self->keepalive, 1000, tick, self);
}

void MqttClient::retry(void *arg)
{
    static_cast<MqttClient *>(arg)->attempt();
}

void MqttClient::onConnect(struct mosquitto *, void *arg, int rc)
{
    MqttClient *self = static_cast<MqttClient *>(arg);
    if (rc != 0) {
        // Said and handled once loop_read has returned (ready()).
        std::string why = mosquitto_connack_string(rc);
        if (why.compare(0, 20, "Connection Refused: ") == 0)
            why.erase(0, 20);
        self->refusal = "refused: " + why;
        return;
    }
    if (!self->lastWhy.empty())
        sipLog(logkey::mqttConnected, "mqtt: connected to %s", self->config.broker.c_str());
    self->up = true;
    self->lastWhy.clear();
    self->backoff.reset();
    mosquitto_publish(self->mosq, nullptr, self->availability.c_str(), 6, "online", 0, true);
    for (const std::string &p : self->patterns)
        mosquitto_subscribe(self->mosq, nullptr, p.c_str(), 0);
    if (self->connectedHandler)
        self->connectedHandler();
}

void MqttClient::onMessage(struct mosquitto *, void *arg, const struct mosquitto_message *msg)
{
    MqttClient *self = static_cast<MqttClient *>(arg);
    if (!msg || !msg->topic || msg->payloadlen < 0 || !self->messageHandler)
        return;
    self->messageHandler(msg->topic, std::string(static_cast<const char *>(msg->payload), size_t(msg->payloadlen)),
                         msg->retain);
}

// Gone: closed by the broker or the network, refused, or never reached.
// Said once per reason, then tried again after the backoff.
void MqttClient::lost(const std::string &why)
{
    if (fd < 0 && tmr_isrunning(&again))
        return;     // said and scheduled already
    unwatch();
    tmr_cancel(&keepalive);
    up = false;
    const uint64_t wait = backoff.next();
    std::string said = why;
    while (!said.empty() && said.back() == '.')
        said.pop_back();
    if (why != lastWhy)
        sipLog(logkey::mqttDown, LogFields().add("retry_s", (long long)(wait / 1000)),
               "mqtt: %s: %s; trying again in %llu s",
               config.broker.c_str(), said.c_str(), (unsigned long long)(wait / 1000));
    lastWhy = why;
    tmr_start(&again, wait, retry, this);
}
