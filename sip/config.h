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

    // Reads and checks the file; on failure error names the line and the fault.
    bool load(const std::string &path, std::string &error);
    // The same for text already read; name stands for the file in messages.
    bool parse(const std::string &text, const std::string &name, std::string &error);

    // The URI that rings for an apartment: its own, else the default; empty
    // when neither is configured. An extension (a bare user) is in the
    // registrar's domain.
    std::string uriFor(int apartment) const;
    // Our address of record with the registrar, sip:user@domain; empty
    // without a registrar.
    std::string aor() const;
    // The allow-list entry that lets this caller in (the entry itself, which
    // also names the caller for the PIN lock-out); empty when none does.
    std::string allowed(const std::string &user, const std::string &host) const;

    std::string listenAddress;          // empty: the machine's default source address
    uint16_t listenPort = 5060;
    std::string user = "intercom";      // user part of our From and Contact
    std::map<int, std::string> apartments;
    std::string defaultUri;
    char openKey = '#';
    unsigned ringTimeoutSeconds = 30;
    SampleFormat sampleFormat = SampleFormat::S16BE;
    double gainToPhoneDb = 0;           // intercom -> phone
    double gainToDoorDb = 0;            // phone -> intercom
    uint16_t rtpPortMin = 10000;
    uint16_t rtpPortMax = 10999;
    unsigned jitterMs = 30;
    // Encrypted audio (SRTP, keys in the SDP): never, when the phone takes
    // it, or only with it.
    enum class Srtp { Off, Optional, Mandatory };
    Srtp srtp = Srtp::Optional;
    std::vector<std::string> daemon;    // path and arguments; empty: the default
    int intercom = -1;                  // -ic for the default daemon command; -1: none

    // The daemon's two masks (apartments 0-1023): the apartments marked
    // "virtual" in the table (no handset on the line) and the blacklist.
    std::set<int> virtualApartments;
    std::set<int> blacklist;

    // Registration; no registrar: none.
    std::string registrar;              // its URI
    std::string registrarDomain;        // host[:port] of that URI
    std::string password;
    std::string outboundProxy;          // a route URI, ";lr" added when missing
    unsigned expires = 3600;
    unsigned registerRetryMin = 5;      // backoff after a failure, doubling
    unsigned registerRetryMax = 300;

    // Calling in to open a door.
    std::vector<std::string> allow;     // "sip:user@host" or a bare user (any host)
    std::string pin;
    unsigned pinTimeoutSeconds = 20;    // to enter the PIN, '#' and the door digit
    unsigned pinLockoutSeconds = 600;   // 3 wrong PINs within this refuse the caller for this long
};
