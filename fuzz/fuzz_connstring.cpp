// Any text applied as a connection string to a serial channel either works
// or raises a conversion or range error; what the channel then reports as
// its connection string reads back into the same settings.
//
// Any text as a value - an FTDI chip's serial number is whatever its EEPROM
// holds - round-trips exactly: written with ConnectionValue it reads back
// as itself and injects no key, a value that needs no quotes is written as
// it stands, and an FTDI device of that serial number writes a string that
// names the same serial number when read again.
#include <cstdint>
#include <string>

#include "FakeSerialCore.h"
#include "FuzzSupport.h"
#include "uConnectionString.h"
#include "uExceptions.h"
#include "uci_FTDIcore.h"

using kelvo::testing::TFakeSerialCore;

namespace {

void ValueRoundTrip(const std::string& Value)
{
    const std::string written = kelvo::ConnectionValue(Value);
    const bool special = (!Value.empty() && Value[0] == '"') || Value.find_first_of(";\r\n") != std::string::npos;
    if (!special)
        FUZZ_REQUIRE(written == Value, "a value without special characters is written as it stands");
    const kelvo::TConnectionString read("serial_number=" + written + ";baudrate=9600");
    FUZZ_REQUIRE(read.Value("serial_number") == Value, "a written value reads back exactly");
    FUZZ_REQUIRE(read.Value("baudrate") == std::string("9600"), "the item after it is intact");
    FUZZ_REQUIRE(read.Items().size() == 2, "a value injects no item");

    // Through the FTDI device (no driver bound: nothing is opened). The
    // devices live across inputs: making and freeing one costs a pause.
    static auto* device = new kelvo::IntfPtr<kelvo::TFTDIDevice>(kelvo::MakeIntf<kelvo::TFTDIDevice>());
    static auto* copy = new kelvo::IntfPtr<kelvo::TFTDIDevice>(kelvo::MakeIntf<kelvo::TFTDIDevice>());
    (*device)->SetConnectionString("serial_number=" + written);
    std::string name;
    (*device)->GetName(name);
    FUZZ_REQUIRE(name == Value, "the device takes the whole serial number");
    std::string produced;
    (*device)->GetConnectionString(produced);
    if (!special)
        FUZZ_REQUIRE(produced.compare(0, 31 + Value.size(), "provider=FTD_USB;serial_number=" + Value) == 0,
                     "the device writes a plain serial number as it always did");
    (*copy)->SetConnectionString(produced);
    (*copy)->GetName(name);
    FUZZ_REQUIRE(name == Value, "the device's string names the same serial number");
    FUZZ_REQUIRE(!(*copy)->GetActive(), "nothing opened by a serial number");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    ValueRoundTrip(text);

    // The reader alone never raises.
    const kelvo::TConnectionString parsed(text);
    for (const auto& [key, value] : parsed.Items())
        FUZZ_REQUIRE(parsed.Has(key), "every item's key is found");

    auto channel = kelvo::MakeIntf<TFakeSerialCore>();
    try {
        channel->SetConnectionString(text);
    } catch (const kelvo::EConvertError&) {
        return 0;
    } catch (const kelvo::ERangeError&) {
        return 0;
    }
    std::string produced;
    channel->GetConnectionString(produced);
    auto copy = kelvo::MakeIntf<TFakeSerialCore>();
    copy->SetConnectionString(produced);
    std::string again;
    copy->GetConnectionString(again);
    FUZZ_REQUIRE(again == produced, "a produced string reads back into the same settings");
    return 0;
}
