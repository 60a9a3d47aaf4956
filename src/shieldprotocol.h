#ifndef SHIELDPROTOCOL_H
#define SHIELDPROTOCOL_H

#include <cstdint>

// The numbers of the serial protocol between the daemon and the shield, for
// the daemon, the shield simulator and the tests alike. Both directions use
// one 11-byte frame:
//
//   FA  device  unit  A2|00  status  command  d1000 d100 d10 d1  F5
//
// The daemon's polls carry device 0x03 and 0xA2 in byte 3, a poll status and
// a command; the shield's answers carry device 0x01, its line state bits and
// the called apartment as four decimal digits.
namespace ShieldProtocol {

constexpr int frameSize = 11;
constexpr uint8_t frameStart = 0xFA;
constexpr uint8_t frameEnd = 0xF5;
constexpr uint8_t pollDevice = 0x03;
constexpr uint8_t pollMarker = 0xA2;
constexpr uint8_t shieldDevice = 0x01;

// Byte offsets within a frame.
enum Field : int {
    FieldDevice = 1,
    FieldUnit = 2,
    FieldStatus = 4,
    FieldCommand = 5,
    FieldApartment = 6,  // four bytes, one decimal digit each
};

// Line state bits in the status byte of the shield's answers.
enum LineBit : uint8_t {
    LineIdle = 0x01,
    LineCall = 0x02,
    LineConversation = 0x08,
    LineEnding = 0x10,
    LineDoorOpened = 0x20,
};

// Status byte of the daemon's polls.
enum PollStatus : uint8_t {
    PollIdle = 1,
    PollCall = 2,
    PollConversation = 4,
    PollImitation = 0x40,
    PollBlacklisted = 0x60,
};

// Command byte of the daemon's polls.
enum Command : uint8_t {
    CmdNone = 0,
    CmdDrop = 1,
    CmdOpen = 4,
    CmdPickup = 8,
    CmdOpenOnetime = 0x10,
};

}

#endif
