#ifndef CONSOLEVOCABULARY_H
#define CONSOLEVOCABULARY_H

#include <cstddef>
#include <cstdint>
#include <string_view>

// What the daemon and the telephony application (tmx-sip, or the shield
// simulator in its place) say to each other: the words on the daemon's
// standard streams, one line each, and the numbers of the datagrams between
// them on 127.0.0.1. Plain C++17 without Qt, for both sides alike.
namespace ConsoleVocabulary {

// Events, on the daemon's standard output:
//   dial APARTMENT [UNIT]   a call for an apartment (UNIT, the calling door,
//                           when the daemon runs with -ic)
//   pickup, open, drop      the apartment answered, opened the door, hung up
//   message HEX             an answer of the shield the daemon passes on
// Commands, on its standard input: pickup, open [UNIT], drop, dial
// APARTMENT, phonedetect APARTMENT and dialplan (below).
inline constexpr std::string_view dial = "dial";
inline constexpr std::string_view pickup = "pickup";
inline constexpr std::string_view open = "open";
inline constexpr std::string_view drop = "drop";
inline constexpr std::string_view message = "message";
inline constexpr std::string_view phonedetect = "phonedetect";

// The dialplan dialogue loads the daemon's two apartment masks: "dialplan",
// the virtual apartments one per line, listEnd, the blacklist one per line,
// listEnd. An accepted apartment gets no answer, one too big gets
// numberTooBig; the rest of the daemon's answers are dialplanAnswers, in
// order.
inline constexpr std::string_view dialplan = "dialplan";
inline constexpr std::string_view listEnd = "-1";
inline constexpr std::string_view virtualMask = "mask_imit";
inline constexpr std::string_view virtualPrompt = "#Write rooms for shield:";
inline constexpr std::string_view listRead = "#End read rooms";   // followed by an empty line
inline constexpr std::string_view blacklistMask = "mask_block";
inline constexpr std::string_view blacklistPrompt = "#Write blacklist rooms for shield:";
inline constexpr std::string_view virtualUpdated = "#Shield update virtual list";
inline constexpr std::string_view blacklistUpdated = "#Shield update black list";
inline constexpr std::string_view numberTooBig = "Error: big number";

inline constexpr std::string_view dialplanAnswers[] = {
    virtualMask, virtualPrompt, listRead, "",
    blacklistMask, blacklistPrompt, listRead, "",
    virtualUpdated, blacklistUpdated,
};
inline constexpr size_t dialplanAnswerCount = sizeof dialplanAnswers / sizeof dialplanAnswers[0];

// Audio, as UDP datagrams on 127.0.0.1: the daemon sends each frame it gets
// from the shield to audioFromDaemonPort and takes the frames for the
// shield on audioToDaemonPort. A frame is audioFrameSamples 16-bit samples
// (8 kHz), one every audioFrameMs.
inline constexpr uint16_t audioFromDaemonPort = 20002;
inline constexpr uint16_t audioToDaemonPort = 20003;
inline constexpr size_t audioFrameSamples = 128;
inline constexpr size_t audioFrameBytes = 2 * audioFrameSamples;
inline constexpr unsigned audioFrameMs = 16;

// The daemon's log lines, one UDP datagram each, to 127.0.0.1:logPort.
inline constexpr uint16_t logPort = 20004;

// Its standard error, where it tells of the audio frames it dropped: lines of
// its UDP side, "udp: ...; dropped N oldest frame(s) ..." (frames for the
// shield that came faster than they went) and "udp: ...; skipped N received
// frame(s)" (frames from the shield it fell behind on).
inline constexpr std::string_view audioReportPrefix = "udp: ";
inline constexpr std::string_view framesDropped = "; dropped ";
inline constexpr std::string_view framesSkipped = "; skipped ";

}

#endif
