// Any text applied as a connection string to a serial channel either works
// or raises a conversion or range error; what the channel then reports as
// its connection string reads back into the same settings.
#include <cstdint>
#include <string>

#include "FakeSerialCore.h"
#include "FuzzSupport.h"
#include "uConnectionString.h"
#include "uExceptions.h"

using kelvo::testing::TFakeSerialCore;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string text(reinterpret_cast<const char*>(Data), Size);

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
