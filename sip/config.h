#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// The one configuration file of tmx-sip: "key value" lines, '#' lines are
// comments. A value runs to the end of its line, so "open_key #" works.
class Config
{
public:
    enum class SampleFormat { S16BE, S16LE };
    enum class Transport { Udp, Tls };
    enum class Srtp { Off, Optional, Mandatory };

    // Reads and checks the file; on failure error names the line and the fault.
    // What is accepted but unwise goes to warnings, one line each.
    bool load(const std::string &path, std::string &error);
    // The same for text already read; name stands for the file in messages.
    bool parse(const std::string &text, const std::string &name, std::string &error);

    // The URIs that ring at once for an apartment (its phones): its own,
    // else the default; none when neither is configured. An extension (a
    // bare user) is in the registrar's domain.
    std::vector<std::string> urisFor(int apartment) const;
    // Our address of record with the registrar, sip:user@domain; empty
    // without a registrar.
    std::string aor() const;
    // One caller who may call in: "sip:user@host" or a bare user (any host),
    // with the password its phone answers our digest challenge with. Without
    // a password the caller is an extension of the registrar, taken only
    // from the registrar's or the outbound proxy's address.
    struct Caller
    {
        std::string who;
        std::string password;
    };
    // The allow-list entry for this caller's From user and host (an entry
    // naming the host before a bare user); null when none.
    const Caller *caller(const std::string &user, const std::string &host) const;
    // The entry named who; null when none.
    const Caller *callerNamed(const std::string &who) const;
    // Whether a request to this URI goes to the registrar, the only one that
    // is given the password: through the outbound proxy, or to the
    // registrar's own host and port.
    bool toRegistrar(const std::string &uri) const;
    // The allow-list entry that lets this caller in (the entry itself, which
    // also names the caller for the PIN lock-out); empty when none does.
    std::string allowed(const std::string &user, const std::string &host) const;
    // The file holds something that lets its reader in: a password or a PIN.
    // Then no one but tmx-sip's own user should read it.
    bool holdsSecrets() const;

    std::vector<std::string> warnings;

    // Where SIP listens, and how: bound to the sockets, so a SIGHUP leaves
    // it as it was.
    struct Sip
    {
        std::string listenAddress;      // empty: the machine's default source address
        uint16_t listenPort = 5060;     // 5061 by default with TLS
        // SIP over one transport only. With TLS every URI we send to is
        // reached over TLS (";transport=tls" added where none is given).
        Transport transport = Transport::Udp;
        std::string tlsCertificate;     // PEM: our certificate (and chain), and its key unless tlsKey
        std::string tlsKey;
        std::string tlsCa;              // empty: peers' certificates are not verified
        bool operator==(const Sip &o) const;
    };
    Sip sip;

    // Who we are, and the registration; no registrar: none.
    struct Registrar
    {
        std::string user = "intercom";  // user part of our From and Contact
        std::string uri;                // the registrar's
        std::string domain;             // host[:port] of that URI
        std::string password;
        std::string outboundProxy;      // a route URI, ";lr" added when missing
        unsigned expires = 3600;
        unsigned retryMin = 5;          // backoff after a failure, doubling
        unsigned retryMax = 300;
        bool operator==(const Registrar &o) const;
    };
    Registrar registrar;

    // The door calls on the phones, and the audio of every call.
    struct Phones
    {
        std::map<int, std::vector<std::string>> apartments;   // each with its phones
        std::vector<std::string> defaultUris;
        char openKey = '#';
        unsigned ringTimeoutSeconds = 30;
        double gainToPhoneDb = 0;       // intercom -> phone
        double gainToDoorDb = 0;        // phone -> intercom
        uint16_t rtpPortMin = 10000;
        uint16_t rtpPortMax = 10999;
        unsigned jitterMs = 30;
        // Encrypted audio (SRTP, keys in the SDP): never, when the phone
        // takes it, or only with it.
        Srtp srtp = Srtp::Optional;
        // Keys also as DTMF tones in the audio from the phone (InbandKeys).
        bool inbandKeys = false;
        bool operator==(const Phones &o) const;
    };
    Phones phones;

    // The daemon as it is started: a SIGHUP leaves it as it was.
    struct Daemon
    {
        std::vector<std::string> command;   // path and arguments; empty: the default
        int intercom = -1;                  // -ic for the default daemon command; -1: none
        SampleFormat sampleFormat = SampleFormat::S16BE;
        bool operator==(const Daemon &o) const;
    };
    Daemon daemon;

    // The daemon's two masks (apartments 0-1023): the apartments marked
    // "virtual" in the table (no handset on the line) and the blacklist.
    struct Masks
    {
        std::set<int> virtualApartments;
        std::set<int> blacklist;
        bool operator==(const Masks &o) const;
    };
    Masks masks;

    // Calling in to open a door.
    struct CallingIn
    {
        std::vector<Caller> allow;
        std::string pin;
        unsigned pinBudget = 10;            // wrong PINs of all callers within 24 h that close calling in
        unsigned pinTimeoutSeconds = 20;    // to enter the PIN, '#' and the door digit
        unsigned pinLockoutSeconds = 600;   // 3 wrong PINs within this refuse the caller for this long
        bool operator==(const CallingIn &o) const;
    };
    CallingIn callingIn;

    // The door in home automation, over an MQTT broker. No broker: none.
    struct Mqtt
    {
        std::string broker;             // as given: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
        std::string host;               // its host, without brackets
        uint16_t port = 1883;           // 8883 with mqtts
        bool tls = false;
        std::string ca;                 // mqtts: the CA file; empty: the system's CAs
        std::string user;
        std::string password;
        std::string topic;              // our topics' prefix; intercom/<hostname> by default
        std::string discovery = "homeassistant";    // the discovery prefix; empty: none
        std::set<int> doorUnits = {1};  // the door units (1-9) with an open button
        bool operator==(const Mqtt &o) const;
        bool operator!=(const Mqtt &o) const { return !(*this == o); }
    } mqtt;

    // Door calls to these apartments open the door without ringing a phone
    // while ring-to-open is on; it switches itself off after this long.
    struct RingToOpen
    {
        std::set<int> apartments;
        unsigned minutes = 60;
        bool on = false;                // on at start (and when a SIGHUP turns this on)
        bool operator==(const RingToOpen &o) const
        {
            return apartments == o.apartments && minutes == o.minutes && on == o.on;
        }
        bool operator!=(const RingToOpen &o) const { return !(*this == o); }
    } ringToOpen;
};
