#pragma once
// Verdel 97 frames: one request or one reply on the line.
//
//   2A 61 | len hi | len lo | address | signature | code | data... | sum | 0D
//
// len counts the bytes from the address to the terminator (data + 5); the
// checksum is 0xFF minus the 8-bit sum of every byte before it. A frame is
// delimited by its length alone: data may hold any byte, 0x0D included.

#include <cstdint>

#include "uByteString.h"

namespace kelvo {

// One parsed frame. Plain value type; it owns its Data.
struct TVerdelFormat97 {
    char Prefix = 0;
    char Format = 0;
    uint16_t Length = 0;
    uint8_t Address = 0;
    uint8_t Signature = 0;
    uint8_t Code = 0;  // instruction of a request, acknowledge code of a reply
    RawByteString Data;
    uint8_t CheckSum = 0;
    char Terminator = 0;
};

// 0xFF minus the 8-bit sum of Data (0xFF for an empty string). Inputs longer
// than 65535 bytes raise ERangeError.
uint8_t Verdel97CheckSum(const RawByteString& Data);

// The complete frame for one request. Data over 65530 bytes raises
// ERangeError before anything is built.
RawByteString BuildVerdel97Packet(uint8_t Address, uint8_t Signature, uint8_t Instruction,
                                  const RawByteString& Data);

// 0 when Packet is exactly one complete valid frame, otherwise the number of
// the first test that failed: 1 shorter than 8 bytes, 2 wrong prefix,
// 3 wrong format, 4 size differs from the length field + 4, 5 wrong
// checksum, 6 wrong terminator. Never raises.
uint16_t CheckVerdel97Packet(const RawByteString& Packet);

// True once no bytes appended to Packet can make it a valid frame: its
// first or second byte is wrong, it is longer than its length field
// announces (or the length field names a frame shorter than any valid
// one), or it has the announced size but fails the check. False while more
// bytes could still complete it. Never raises.
bool Verdel97ReplyHopeless(const RawByteString& Packet);

// Splits a frame into Result. Raises the general error "Incorrect PACKET
// (Verdel format 97)!" on malformed input; meant for input that
// CheckVerdel97Packet accepted.
void ParseVerdel97Packet(const RawByteString& Packet, TVerdelFormat97& Result);

}  // namespace kelvo
