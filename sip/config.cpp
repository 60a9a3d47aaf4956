#include "config.h"

#include <re.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>
#include <tuple>

#include <unistd.h>

namespace {

std::string trim(const std::string &s)
{
    const char *blanks = " \t\r";
    const size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos)
        return std::string();
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

std::vector<std::string> words(const std::string &s)
{
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

bool toLong(const std::string &s, long min, long max, long &value)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno || *end || v < min || v > max)
        return false;
    value = v;
    return true;
}

bool toDouble(const std::string &s, double min, double max, double &value)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno || *end || !std::isfinite(v) || v < min || v > max)
        return false;
    value = v;
    return true;
}

// A URI we can place a call to: libre must read it, and it must be sip: or sips:.
bool validUri(const std::string &text)
{
    struct pl pl;
    struct uri uri;
    pl_set_str(&pl, text.c_str());
    if (uri_decode(&uri, &pl))
        return false;
    return !pl_strcasecmp(&uri.scheme, "sip") || !pl_strcasecmp(&uri.scheme, "sips");
}

// A user part on its own (an extension at the registrar), as we put it into a URI.
bool validExtension(const std::string &text)
{
    return !text.empty() && text.find_first_of(" \t@:;<>\"/?") == std::string::npos;
}

bool hasScheme(const std::string &text)
{
    return text.compare(0, 4, "sip:") == 0 || text.compare(0, 5, "sips:") == 0;
}

// The phones of one flat, as given: each a sip: or sips: URI or an
// extension, once. Returns what is wrong with the first that is not, or
// empty. An extension's line is kept (it needs the registrar).
std::string phoneUris(std::vector<std::string>::const_iterator from, std::vector<std::string>::const_iterator to,
                      int lineNo, int &extensionLine)
{
    for (auto it = from; it != to; ++it) {
        if (hasScheme(*it) ? !validUri(*it) : !validExtension(*it))
            return "'" + *it + "' is neither a sip: URI nor an extension";
        if (std::find(from, it, *it) != it)
            return "'" + *it + "' is given twice";
        if (!hasScheme(*it))
            extensionLine = lineNo;
    }
    return std::string();
}

// Fits a URI to the one transport we speak, or says why it cannot be reached.
// With TLS, sips: becomes sip: (libre routes sip: URIs only) and a URI
// without a transport parameter gets ";transport=tls", so that a host name
// is looked up for TLS too. With UDP, a URI asking for another transport
// would fail on every call.
bool fitTransport(std::string &text, bool tls, std::string &why)
{
    struct pl pl, tp;
    struct uri uri;
    pl_set_str(&pl, text.c_str());
    if (uri_decode(&uri, &pl))
        return true; // checked where it was read
    const bool sips = !pl_strcasecmp(&uri.scheme, "sips");
    const bool hasTransport = !msg_param_decode(&uri.params, "transport", &tp);
    const std::string wanted = hasTransport ? std::string(tp.p, tp.l) : std::string();
    if (!tls) {
        if (sips || (hasTransport && !pl_strcasecmp(&tp, "tls"))) {
            why = "needs 'transport tls'";
            return false;
        }
        if (hasTransport && pl_strcasecmp(&tp, "udp")) {
            why = "asks for transport " + wanted + ", but only udp is open";
            return false;
        }
        return true;
    }
    if (hasTransport && pl_strcasecmp(&tp, "tls")) {
        why = "asks for transport " + wanted + ", but with 'transport tls' only tls is open";
        return false;
    }
    if (sips)
        text.erase(3, 1);
    if (!hasTransport) {
        const size_t headers = text.find('?');
        text.insert(headers == std::string::npos ? text.size() : headers, ";transport=tls");
    }
    return true;
}

// Apartment numbers and ranges A-B, within 0-1023 (the daemon's masks).
bool maskNumbers(const std::string &value, std::set<int> &out, std::string &bad)
{
    for (const std::string &w : words(value)) {
        const size_t dash = w.find('-', 1);
        long lo = 0, hi = 0;
        if (dash == std::string::npos ? !toLong(w, 0, 1023, lo)
                                      : !toLong(w.substr(0, dash), 0, 1023, lo)
                                            || !toLong(w.substr(dash + 1), 0, 1023, hi) || hi < lo) {
            bad = w;
            return false;
        }
        if (dash == std::string::npos)
            hi = lo;
        for (long n = lo; n <= hi; ++n)
            out.insert(int(n));
    }
    return true;
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; HOST a name, an IPv4 address
// or an IPv6 one in brackets.
bool mqttBroker(const std::string &value, Config::Mqtt &m)
{
    const bool tls = value.compare(0, 8, "mqtts://") == 0;
    if (!tls && value.compare(0, 7, "mqtt://") != 0)
        return false;
    std::string rest = value.substr(tls ? 8 : 7);
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string host = rest;
    long port = tls ? 8883 : 1883;
    size_t colon = rest.rfind(':');
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos)
            return false;
        host = rest.substr(1, close - 1);
        colon = close + 1 < rest.size() ? close + 1 : std::string::npos;
        if (colon != std::string::npos && rest[colon] != ':')
            return false;
        struct sa sa;
        if (sa_set_str(&sa, host.c_str(), 0) || sa_af(&sa) != AF_INET6)
            return false;
    } else if (colon != std::string::npos) {
        host = rest.substr(0, colon);
    }
    if (colon != std::string::npos && !toLong(rest.substr(colon + 1), 1, 65535, port))
        return false;
    if (host.empty() || host.size() > 253
        || (rest[0] != '[' && host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_")
                                  != std::string::npos))
        return false;
    m.broker = value;
    m.host = host;
    m.port = uint16_t(port);
    m.tls = tls;
    return true;
}

// A topic we publish under: printable, no wildcards, no empty level at either end.
bool mqttTopic(const std::string &value)
{
    if (value.empty() || value.size() > 200 || value.front() == '/' || value.back() == '/'
        || value.find("//") != std::string::npos)
        return false;
    for (unsigned char c : value)
        if (c <= ' ' || c >= 0x7f || c == '+' || c == '#')
            return false;
    return true;
}

std::string defaultTopic()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !mqttTopic(name) || std::strchr(name, '/'))
        return "intercom/tmx";
    return std::string("intercom/") + name;
}

} // namespace

bool Config::Mqtt::operator==(const Mqtt &o) const
{
    return broker == o.broker && ca == o.ca && user == o.user && password == o.password && topic == o.topic
        && discovery == o.discovery && doorUnits == o.doorUnits;
}

bool Config::load(const std::string &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read: " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse(text.str(), path, error);
}

bool Config::parse(const std::string &text, const std::string &name, std::string &error)
{
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    std::map<std::string, int> seen;
    int extensionLine = 0;
    int allowLine = 0;
    int noPasswordLine = 0;
    int pinLine = 0;
    warnings.clear();
    bool portGiven = false;
    std::vector<std::pair<int, std::string *>> uris;    // with their lines, to fit to the transport
    while (std::getline(in, raw)) {
        ++lineNo;
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        const size_t cut = line.find_first_of(" \t");
        const std::string key = line.substr(0, cut);
        const std::string value = cut == std::string::npos ? std::string() : trim(line.substr(cut));
        const std::string where = name + ":" + std::to_string(lineNo) + ": ";
        auto fail = [&](const std::string &what) {
            error = where + what;
            return false;
        };
        if (key != "apartment" && key != "blacklist" && key != "allow") {
            auto it = seen.find(key);
            if (it != seen.end())
                return fail("'" + key + "' is already set on line " + std::to_string(it->second));
            seen[key] = lineNo;
        }
        if (value.empty())
            return fail("'" + key + "' needs a value");

        long n = 0;
        if (key == "listen") {
            struct sa sa;
            const size_t colon = value.rfind(':');
            long port = 5060;
            std::string host = value;
            if (colon != std::string::npos) {
                host = value.substr(0, colon);
                if (!toLong(value.substr(colon + 1), 1, 65535, port))
                    return fail("listen: bad port in '" + value + "'");
            }
            if (sa_set_str(&sa, host.c_str(), 0) || sa_af(&sa) != AF_INET)
                return fail("listen: '" + host + "' is not an IPv4 address");
            sip.listenAddress = host;
            sip.listenPort = uint16_t(port);
            portGiven = colon != std::string::npos;
        } else if (key == "transport") {
            if (value == "udp")
                sip.transport = Transport::Udp;
            else if (value == "tls")
                sip.transport = Transport::Tls;
            else
                return fail("transport: '" + value + "' is neither udp nor tls");
        } else if (key == "tls_certificate" || key == "tls_key" || key == "tls_ca") {
            (key == "tls_certificate" ? sip.tlsCertificate : key == "tls_key" ? sip.tlsKey : sip.tlsCa) = value;
        } else if (key == "user") {
            if (value.find_first_of(" \t@:;<>\"") != std::string::npos)
                return fail("user: '" + value + "' is not a plain user name");
            registrar.user = value;
        } else if (key == "apartment") {
            std::vector<std::string> w = words(value);
            const bool isVirtual = w.size() >= 3 && w.back() == "virtual";
            if (isVirtual)
                w.pop_back();
            if (w.size() < 2)
                return fail("apartment needs a number and a URI (or several), and may be marked virtual");
            if (!toLong(w[0], 0, 9999, n))
                return fail("apartment: '" + w[0] + "' is not a number from 0 to 9999");
            if (isVirtual) {
                if (n > 1023)
                    return fail("apartment " + w[0] + ": only apartments 0 to 1023 can be virtual");
                masks.virtualApartments.insert(int(n));
            }
            const std::string bad = phoneUris(w.begin() + 1, w.end(), lineNo, extensionLine);
            if (!bad.empty())
                return fail("apartment " + w[0] + ": " + bad);
            auto added = phones.apartments.emplace(int(n), std::vector<std::string>(w.begin() + 1, w.end()));
            if (!added.second)
                return fail("apartment " + w[0] + " is given twice");
            for (std::string &uri : added.first->second)
                if (hasScheme(uri))
                    uris.emplace_back(lineNo, &uri);
        } else if (key == "blacklist") {
            std::string bad;
            if (!maskNumbers(value, masks.blacklist, bad))
                return fail("blacklist: '" + bad + "' is neither an apartment nor a range A-B within 0-1023");
        } else if (key == "default") {
            const std::vector<std::string> w = words(value);
            const std::string bad = phoneUris(w.begin(), w.end(), lineNo, extensionLine);
            if (!bad.empty())
                return fail("default: " + bad);
            phones.defaultUris = w;
            for (std::string &uri : phones.defaultUris)
                if (hasScheme(uri))
                    uris.emplace_back(lineNo, &uri);
        } else if (key == "open_key") {
            if (value.size() != 1 || !std::strchr("0123456789*#ABCDabcd", value[0]))
                return fail("open_key: '" + value + "' is not one of 0-9 * # A-D");
            phones.openKey = char(std::toupper(static_cast<unsigned char>(value[0])));
        } else if (key == "ring_timeout") {
            if (!toLong(value, 1, 600, n))
                return fail("ring_timeout: '" + value + "' is not a number of seconds from 1 to 600");
            phones.ringTimeoutSeconds = unsigned(n);
        } else if (key == "sample_format") {
            if (value == "s16be")
                daemon.sampleFormat = SampleFormat::S16BE;
            else if (value == "s16le")
                daemon.sampleFormat = SampleFormat::S16LE;
            else
                return fail("sample_format: '" + value + "' is neither s16be nor s16le");
        } else if (key == "gain_to_phone" || key == "gain_to_door") {
            double db = 0;
            if (!toDouble(value, -60, 30, db))
                return fail(key + ": '" + value + "' is not a gain in dB from -60 to 30");
            (key == "gain_to_phone" ? phones.gainToPhoneDb : phones.gainToDoorDb) = db;
        } else if (key == "rtp_ports") {
            const size_t dash = value.find('-');
            long lo = 0, hi = 0;
            if (dash == std::string::npos || !toLong(value.substr(0, dash), 1024, 65534, lo)
                || !toLong(value.substr(dash + 1), 1025, 65535, hi) || hi <= lo)
                return fail("rtp_ports: '" + value + "' is not a range MIN-MAX within 1024-65535");
            phones.rtpPortMin = uint16_t(lo);
            phones.rtpPortMax = uint16_t(hi);
        } else if (key == "jitter_ms") {
            if (!toLong(value, 10, 500, n))
                return fail("jitter_ms: '" + value + "' is not a number from 10 to 500");
            phones.jitterMs = unsigned(n);
        } else if (key == "srtp") {
            if (value == "off")
                phones.srtp = Srtp::Off;
            else if (value == "optional")
                phones.srtp = Srtp::Optional;
            else if (value == "mandatory")
                phones.srtp = Srtp::Mandatory;
            else
                return fail("srtp: '" + value + "' is none of off, optional, mandatory");
        } else if (key == "inband_keys") {
            if (value != "on" && value != "off")
                return fail("inband_keys: '" + value + "' is not on or off");
            phones.inbandKeys = value == "on";
        } else if (key == "daemon") {
            daemon.command = words(value);
        } else if (key == "intercom") {
            if (!toLong(value, 0, 255, n))
                return fail("intercom: '" + value + "' is not a number from 0 to 255");
            daemon.intercom = int(n);
        } else if (key == "registrar" || key == "outbound_proxy") {
            struct pl pl;
            struct uri uri;
            pl_set_str(&pl, value.c_str());
            if (!validUri(value) || uri_decode(&uri, &pl) || pl_isset(&uri.user))
                return fail(key + ": '" + value + "' is not a sip: URI of a host");
            if (key == "registrar") {
                registrar.uri = value;
                registrar.domain = std::string(uri.host.p, uri.host.l);
                if (uri.af == AF_INET6)
                    registrar.domain = "[" + registrar.domain + "]";
                if (uri.port)
                    registrar.domain += ":" + std::to_string(uri.port);
                uris.emplace_back(lineNo, &registrar.uri);
            } else {
                registrar.outboundProxy = value;
                if (value.find(";lr") == std::string::npos)
                    registrar.outboundProxy += ";lr";
                uris.emplace_back(lineNo, &registrar.outboundProxy);
            }
        } else if (key == "password") {
            registrar.password = value;
        } else if (key == "expires") {
            if (!toLong(value, 2, 86400, n))
                return fail("expires: '" + value + "' is not a number of seconds from 2 to 86400");
            registrar.expires = unsigned(n);
        } else if (key == "register_retry") {
            const size_t dash = value.find('-');
            long lo = 0, hi = 0;
            if (dash == std::string::npos || !toLong(value.substr(0, dash), 1, 3600, lo)
                || !toLong(value.substr(dash + 1), 1, 3600, hi) || hi < lo)
                return fail("register_retry: '" + value + "' is not a range of seconds MIN-MAX within 1-3600");
            registrar.retryMin = unsigned(lo);
            registrar.retryMax = unsigned(hi);
        } else if (key == "allow") {
            const std::vector<std::string> w = words(value);
            if (w.size() > 2)
                return fail("allow: one caller per line: allow USER PASSWORD, or allow sip:user@host PASSWORD");
            if (hasScheme(w[0])) {
                struct pl pl;
                struct uri uri;
                pl_set_str(&pl, w[0].c_str());
                if (!validUri(w[0]) || uri_decode(&uri, &pl) || !pl_isset(&uri.user))
                    return fail("allow: '" + w[0] + "' is not a sip:user@host URI");
            } else if (!validExtension(w[0])) {
                return fail("allow: '" + w[0] + "' is neither a sip:user@host URI nor a user");
            }
            for (const Caller &c : callingIn.allow)
                if (c.who == w[0])
                    return fail("allow: '" + w[0] + "' is given twice");
            callingIn.allow.push_back(Caller{w[0], w.size() == 2 ? w[1] : std::string()});
            allowLine = allowLine ? allowLine : lineNo;
            if (w.size() == 1 && !noPasswordLine)
                noPasswordLine = lineNo;
        } else if (key == "pin") {
            if (value.size() < 4 || value.size() > 16 || value.find_first_not_of("0123456789") != std::string::npos)
                return fail("pin: give 4 to 16 digits");
            callingIn.pin = value;
            pinLine = lineNo;
        } else if (key == "pin_budget") {
            if (!toLong(value, 1, 1000, n))
                return fail("pin_budget: '" + value + "' is not a number of wrong PINs from 1 to 1000");
            callingIn.pinBudget = unsigned(n);
        } else if (key == "pin_timeout") {
            if (!toLong(value, 1, 600, n))
                return fail("pin_timeout: '" + value + "' is not a number of seconds from 1 to 600");
            callingIn.pinTimeoutSeconds = unsigned(n);
        } else if (key == "pin_lockout") {
            if (!toLong(value, 1, 86400, n))
                return fail("pin_lockout: '" + value + "' is not a number of seconds from 1 to 86400");
            callingIn.pinLockoutSeconds = unsigned(n);
        } else if (key == "mqtt_broker") {
            if (!mqttBroker(value, mqtt))
                return fail("mqtt_broker: '" + value + "' is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
        } else if (key == "mqtt_ca") {
            mqtt.ca = value;
        } else if (key == "mqtt_user") {
            if (value.size() > 256 || value.find_first_of(" \t") != std::string::npos)
                return fail("mqtt_user: '" + value + "' is not one word");
            mqtt.user = value;
        } else if (key == "mqtt_password") {
            mqtt.password = value;
        } else if (key == "mqtt_topic" || key == "mqtt_discovery") {
            if (key == "mqtt_discovery" && value == "off")
                mqtt.discovery.clear();
            else if (!mqttTopic(value))
                return fail(key + ": '" + value + "' is not a topic: printable, no '+' or '#', no empty level");
            else
                (key == "mqtt_topic" ? mqtt.topic : mqtt.discovery) = value;
        } else if (key == "mqtt_door_units") {
            mqtt.doorUnits.clear();
            for (const std::string &w : words(value)) {
                if (!toLong(w, 1, 9, n))
                    return fail("mqtt_door_units: '" + w + "' is not a door unit from 1 to 9");
                mqtt.doorUnits.insert(int(n));
            }
        } else if (key == "ring_to_open") {
            for (const std::string &w : words(value)) {
                if (!toLong(w, 0, 9999, n))
                    return fail("ring_to_open: '" + w + "' is not an apartment from 0 to 9999");
                ringToOpen.apartments.insert(int(n));
            }
        } else if (key == "ring_to_open_minutes") {
            if (!toLong(value, 1, 1440, n))
                return fail("ring_to_open_minutes: '" + value + "' is not a number of minutes from 1 to 1440");
            ringToOpen.minutes = unsigned(n);
        } else if (key == "ring_to_open_on") {
            if (value != "yes" && value != "no")
                return fail("ring_to_open_on: '" + value + "' is not yes or no");
            ringToOpen.on = value == "yes";
        } else {
            return fail("unknown key '" + key + "'");
        }
    }
    auto failAt = [&](int line, const std::string &what) {
        error = name + ":" + std::to_string(line) + ": " + what;
        return false;
    };
    const bool tls = sip.transport == Transport::Tls;
    if (tls && sip.tlsCertificate.empty())
        return failAt(seen["transport"], "'transport tls' needs 'tls_certificate' (and 'tls_key' unless the key is in it)");
    for (const char *key : {"tls_certificate", "tls_key", "tls_ca"})
        if (!tls && seen.count(key))
            return failAt(seen[key], std::string("'") + key + "' goes with 'transport tls'");
    if (tls && !portGiven)
        sip.listenPort = 5061;
    for (auto &uri : uris) {
        std::string why;
        if (!fitTransport(*uri.second, tls, why))
            return failAt(uri.first, "'" + *uri.second + "' " + why);
    }
    if (extensionLine && registrar.uri.empty())
        return failAt(extensionLine, "an extension without 'registrar': give a sip: URI or the registrar");
    if (!callingIn.allow.empty() && callingIn.pin.empty())
        return failAt(allowLine, "'allow' lets callers open doors and needs 'pin'");
    if (noPasswordLine && registrar.uri.empty()) {
        std::string who;
        for (const Caller &c : callingIn.allow)
            if (c.password.empty())
                who = who.empty() ? c.who : who;
        return failAt(noPasswordLine, "allow: '" + who + "' has no password: add the password its phone answers"
                                      " with (allow " + who + " PASSWORD), or a 'registrar' whose extension it is");
    }
    if (!callingIn.pin.empty() && callingIn.pin.size() < 6)
        warnings.push_back(name + ":" + std::to_string(pinLine) + ": warning: pin: "
                           + std::to_string(callingIn.pin.size())
                           + " digits are guessed soon; give 6 or more");
    if (!registrar.uri.empty() && registrar.password.empty())
        return failAt(seen["registrar"], "'registrar' needs 'password'");
    if (registrar.uri.empty() && (seen.count("outbound_proxy") || seen.count("password") || seen.count("expires")))
        return failAt(seen.count("outbound_proxy") ? seen["outbound_proxy"]
                      : seen.count("password")     ? seen["password"]
                                                   : seen["expires"],
                      "registration settings without 'registrar'");
    for (const char *key : {"mqtt_ca", "mqtt_user", "mqtt_password", "mqtt_topic", "mqtt_discovery", "mqtt_door_units"})
        if (seen.count(key) && mqtt.broker.empty())
            return failAt(seen[key], std::string("'") + key + "' goes with 'mqtt_broker'");
    if (seen.count("mqtt_ca") && !mqtt.tls)
        return failAt(seen["mqtt_ca"], "'mqtt_ca' goes with an mqtts:// broker");
    if (seen.count("mqtt_password") && mqtt.user.empty())
        return failAt(seen["mqtt_password"], "'mqtt_password' needs 'mqtt_user'");
    if (seen.count("mqtt_password") && !mqtt.tls)
        warnings.push_back(name + ":" + std::to_string(seen["mqtt_password"])
                           + ": warning: mqtt_password goes to the broker unencrypted; use mqtts://");
    if (ringToOpen.on && ringToOpen.apartments.empty())
        return failAt(seen["ring_to_open_on"], "'ring_to_open_on yes' needs 'ring_to_open'");
    if (!mqtt.broker.empty() && mqtt.topic.empty())
        mqtt.topic = defaultTopic();
    if (seen.count("daemon") && seen.count("intercom")) {
        error = name + ":" + std::to_string(seen["intercom"])
            + ": 'intercom' goes with the default daemon command; put -ic in 'daemon' instead";
        return false;
    }
    return true;
}

std::vector<std::string> Config::urisFor(int apartment) const
{
    auto it = phones.apartments.find(apartment);
    std::vector<std::string> out = it != phones.apartments.end() ? it->second : phones.defaultUris;
    for (std::string &target : out)
        if (!hasScheme(target))
            target = "sip:" + target + "@" + registrar.domain + (sip.transport == Transport::Tls ? ";transport=tls" : "");
    return out;
}

std::string Config::aor() const
{
    return registrar.uri.empty() ? std::string() : "sip:" + registrar.user + "@" + registrar.domain;
}

const Config::Caller *Config::caller(const std::string &callerUser, const std::string &callerHost) const
{
    if (callerUser.empty())
        return nullptr;
    // The caller at its own host first: a bare "allow 201" (the PBX's
    // extension, say) must not hide "allow sip:201@home PASSWORD" and so
    // shut that caller out, whatever the order of the lines.
    for (const Caller &entry : callingIn.allow) {
        struct pl pl;
        struct uri uri;
        pl_set_str(&pl, entry.who.c_str());
        if (!hasScheme(entry.who) || uri_decode(&uri, &pl))
            continue;
        if (!pl_strcmp(&uri.user, callerUser.c_str()) && !pl_strcasecmp(&uri.host, callerHost.c_str()))
            return &entry;
    }
    for (const Caller &entry : callingIn.allow)
        if (!hasScheme(entry.who) && entry.who == callerUser)
            return &entry;
    return nullptr;
}

const Config::Caller *Config::callerNamed(const std::string &who) const
{
    for (const Caller &entry : callingIn.allow)
        if (entry.who == who)
            return &entry;
    return nullptr;
}

std::string Config::allowed(const std::string &callerUser, const std::string &callerHost) const
{
    const Caller *c = caller(callerUser, callerHost);
    return c ? c->who : std::string();
}

bool Config::holdsSecrets() const
{
    if (!registrar.password.empty() || !callingIn.pin.empty() || !mqtt.password.empty())
        return true;
    for (const Caller &c : callingIn.allow)
        if (!c.password.empty())
            return true;
    return false;
}

bool Config::toRegistrar(const std::string &target) const
{
    if (registrar.uri.empty())
        return false;
    if (!registrar.outboundProxy.empty())
        return true;
    struct pl pl, rpl;
    struct uri uri, reg;
    pl_set_str(&pl, target.c_str());
    pl_set_str(&rpl, registrar.uri.c_str());
    if (uri_decode(&uri, &pl) || uri_decode(&reg, &rpl))
        return false;
    const uint16_t port = uri.port ? uri.port : uint16_t(SIP_PORT);
    const uint16_t regPort = reg.port ? reg.port : uint16_t(SIP_PORT);
    return !pl_casecmp(&uri.scheme, &reg.scheme) && !pl_casecmp(&uri.host, &reg.host) && port == regPort;
}

bool Config::Sip::operator==(const Sip &o) const
{
    return std::tie(listenAddress, listenPort, transport, tlsCertificate, tlsKey, tlsCa)
        == std::tie(o.listenAddress, o.listenPort, o.transport, o.tlsCertificate, o.tlsKey, o.tlsCa);
}

bool Config::Registrar::operator==(const Registrar &o) const
{
    return std::tie(user, uri, domain, password, outboundProxy, expires, retryMin, retryMax)
        == std::tie(o.user, o.uri, o.domain, o.password, o.outboundProxy, o.expires, o.retryMin, o.retryMax);
}

bool Config::Phones::operator==(const Phones &o) const
{
    return std::tie(apartments, defaultUris, openKey, ringTimeoutSeconds, gainToPhoneDb, gainToDoorDb, rtpPortMin,
                    rtpPortMax, jitterMs, srtp, inbandKeys)
        == std::tie(o.apartments, o.defaultUris, o.openKey, o.ringTimeoutSeconds, o.gainToPhoneDb, o.gainToDoorDb,
                    o.rtpPortMin, o.rtpPortMax, o.jitterMs, o.srtp, o.inbandKeys);
}

bool Config::Daemon::operator==(const Daemon &o) const
{
    return std::tie(command, intercom, sampleFormat) == std::tie(o.command, o.intercom, o.sampleFormat);
}

bool Config::Masks::operator==(const Masks &o) const
{
    return std::tie(virtualApartments, blacklist) == std::tie(o.virtualApartments, o.blacklist);
}

bool Config::CallingIn::operator==(const CallingIn &o) const
{
    if (std::tie(pin, pinBudget, pinTimeoutSeconds, pinLockoutSeconds)
        != std::tie(o.pin, o.pinBudget, o.pinTimeoutSeconds, o.pinLockoutSeconds))
        return false;
    if (allow.size() != o.allow.size())
        return false;
    for (size_t i = 0; i < allow.size(); ++i)
        if (allow[i].who != o.allow[i].who || allow[i].password != o.allow[i].password)
            return false;
    return true;
}
