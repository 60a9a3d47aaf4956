// tmx-sip's configuration reader (Config::parse) on any text: it ends, and a
// file it takes holds only what tmx-sip can act on. A file it refuses names
// a line. The masks loaded from a file it takes are well-formed dialogue lines.

#include "fuzzsupport.h"

#include "config.h"
#include "consolevocabulary.h"
#include "dialplan.h"

#include <sstream>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::quietProcess();
    return 0;
}

static bool hasScheme(const std::string &uri)
{
    return uri.compare(0, 4, "sip:") == 0 || uri.compare(0, 5, "sips:") == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    Config config;
    std::string error;
    const bool ok = config.parse(text, "f", error);

    Config again;
    std::string error2;
    FUZZ_CHECK(again.parse(text, "f", error2) == ok && error2 == error, "a second reading differs");
    if (!ok) {
        FUZZ_CHECK(error.compare(0, 2, "f:") == 0 && error.size() > 2 && error[2] >= '1' && error[2] <= '9',
                   "an error that names no line: '%s'", error.c_str());
        return 0;
    }
    FUZZ_CHECK(error.empty(), "an error for a file taken: '%s'", error.c_str());
    for (const auto &apartment : config.phones.apartments) {
        FUZZ_CHECK(apartment.first >= 0 && apartment.first <= 9999, "apartment %d", apartment.first);
        const std::vector<std::string> uris = config.urisFor(apartment.first);
        FUZZ_CHECK(!uris.empty(), "apartment %d rings no phone", apartment.first);
        for (const std::string &uri : uris)
            FUZZ_CHECK(hasScheme(uri), "apartment %d rings '%s'", apartment.first, uri.c_str());
    }
    for (const std::string &uri : config.urisFor(-1))
        FUZZ_CHECK(hasScheme(uri), "the default rings '%s'", uri.c_str());
    for (int n : config.masks.virtualApartments)
        FUZZ_CHECK(n >= 0 && n <= 1023 && config.phones.apartments.count(n), "virtual apartment %d", n);
    for (int n : config.masks.blacklist)
        FUZZ_CHECK(n >= 0 && n <= 1023, "blacklisted apartment %d", n);
    FUZZ_CHECK(config.callingIn.allow.empty() || config.callingIn.pin.size() >= 4, "callers allowed without a PIN");
    FUZZ_CHECK(config.callingIn.pin.find_first_not_of("0123456789") == std::string::npos, "PIN '%s'",
               config.callingIn.pin.c_str());
    FUZZ_CHECK(config.registrar.uri.empty() || !config.registrar.password.empty(), "a registrar without a password");
    FUZZ_CHECK(config.registrar.retryMin >= 1 && config.registrar.retryMin <= config.registrar.retryMax,
               "register_retry");
    FUZZ_CHECK(config.phones.rtpPortMin < config.phones.rtpPortMax, "rtp_ports");
    FUZZ_CHECK(config.phones.ringTimeoutSeconds >= 1 && config.callingIn.pinTimeoutSeconds >= 1
                   && config.callingIn.pinLockoutSeconds >= 1,
               "a time of 0");

    // The dialogue: "dialplan", numbers 0-1023, -1, numbers 0-1023, -1.
    const DialPlan plan(config.masks.virtualApartments, config.masks.blacklist);
    std::istringstream lines(plan.commands());
    std::string line;
    int ends = 0, numbers = 0;
    FUZZ_CHECK(std::getline(lines, line) && line == ConsoleVocabulary::dialplan, "the dialogue starts with '%s'", line.c_str());
    while (std::getline(lines, line)) {
        if (line == ConsoleVocabulary::listEnd) {
            ++ends;
            continue;
        }
        FUZZ_CHECK(ends < 2 && !line.empty() && line.size() <= 4
                       && line.find_first_not_of("0123456789") == std::string::npos && std::stoi(line) <= 1023,
                   "a dialogue line '%s'", line.c_str());
        ++numbers;
    }
    FUZZ_CHECK(ends == 2 && size_t(numbers) == config.masks.virtualApartments.size() + config.masks.blacklist.size(),
               "the dialogue has %d ends and %d numbers", ends, numbers);
    return 0;
}
