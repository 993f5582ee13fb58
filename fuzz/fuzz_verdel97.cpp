// Frames from the line: the check never raises and gives 0-6; a string that
// checks 0 parses (or raises only the one parse message) and builds back to
// the same bytes; parsing anything else raises only that message. The input
// read as a request (address, signature, instruction, data) always builds a
// frame that checks 0.

#include <cstdint>
#include <cstring>
#include <exception>

#include "FuzzSupport.h"
#include "uExceptions.h"
#include "uVerdel97.h"

using namespace kelvo;

namespace {
const char kBadPacket[] = "Incorrect PACKET (Verdel format 97)!";

// True when parsing succeeded; aborts on any error but the parse message.
bool TryParse(const RawByteString& s, TVerdelFormat97& f)
{
    try {
        ParseVerdel97Packet(s, f);
        return true;
    } catch (const Exception& e) {
        FUZZ_REQUIRE(std::strcmp(e.what(), kBadPacket) == 0, e.what());
        return false;
    }
    // Anything else escapes and ends the run as a finding.
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const RawByteString s(reinterpret_cast<const char*>(data), size);

    const uint16_t check = CheckVerdel97Packet(s);
    FUZZ_REQUIRE(check <= 6, "check result in 0..6");

    TVerdelFormat97 f;
    const bool parsed = TryParse(s, f);
    if (check == 0) {
        FUZZ_REQUIRE(parsed || s.size() < 9, "an accepted frame of 9+ bytes parses");
        if (parsed) {
            FUZZ_REQUIRE(f.Length + 4u == s.size(), "length field matches");
            FUZZ_REQUIRE(BuildVerdel97Packet(f.Address, f.Signature, f.Code, f.Data) == s,
                         "an accepted frame builds back to itself");
        }
    }

    if (size >= 3) {
        const RawByteString payload = s.substr(3);
        const RawByteString frame = BuildVerdel97Packet(data[0], data[1], data[2], payload);
        FUZZ_REQUIRE(CheckVerdel97Packet(frame) == 0, "a built frame checks 0");
        FUZZ_REQUIRE(TryParse(frame, f) && f.Data == payload && f.Code == data[2],
                     "a built frame parses back");
    }
    return 0;
}
