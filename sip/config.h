#pragma once

#include <cstdint>
#include <map>
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
    // when neither is configured.
    std::string uriFor(int apartment) const;

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
    std::vector<std::string> daemon;    // path and arguments; empty: the default
    int intercom = -1;                  // -ic for the default daemon command; -1: none
};
