// Reply data from the module: the item-list decoders, the measured-value
// block decoder and the decoding of a whole values reply. Only the decoders'
// own errors may escape (kelvo::Exception and its subclasses); anything else
// - another exception, a crash, a sanitizer report - is a finding. A record
// compared with itself never yields a change list, and what a change list
// writes decodes back into the same values.

#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "uExceptions.h"
#include "uKelvoxx.h"
#include "uMessageSink.h"

using namespace kelvo;

namespace {

void CheckSelfCompare(const TKelvorec& rec)
{
    for (size_t i = 0; i < 4; ++i) {
        FUZZ_REQUIRE(BuildChannelConfigChanges(rec.Channels[i], rec.Channels[i]).empty(),
                     "config compared with itself");
        FUZZ_REQUIRE(BuildChannelWatchChanges(rec.Watch[i], rec.Watch[i]).empty(),
                     "watch compared with itself");
    }
    FUZZ_REQUIRE(BuildSaveCommands(rec, rec).empty(), "record compared with itself");
}

// Writes every field of the decoded channel against an empty record and
// decodes the write: the fields sent come back as the fitted values.
void CheckWriteReadsBack(const TKelvorec& rec)
{
    for (uint8_t i = 1; i <= 4; ++i) {
        TChannelConfig blank;
        blank.HasGain = true;
        blank.GainCode = static_cast<uint8_t>(~rec.Channels[i - 1].GainCode);
        const RawByteString config = BuildChannelConfigChanges(rec.Channels[i - 1], blank);
        const RawByteString watch = BuildChannelWatchChanges(rec.Watch[i - 1], TChannelWatch{});
        TKelvorec back;
        DecodeChannelConfig(back, BuildChannelConfigData(i, config));
        DecodeChannelWatch(back, BuildChannelWatchData(i, watch));
        const TChannelConfig& a = rec.Channels[i - 1];
        const TChannelConfig& b = back.Channels[i - 1];
        FUZZ_REQUIRE(b.Unit == FitText(a.Unit, kUnitWidth) || a.Unit.empty(), "unit reads back");
        FUZZ_REQUIRE(b.GainCode == a.GainCode, "gain reads back");
        FUZZ_REQUIRE(std::memcmp(&b.Slope, &a.Slope, sizeof a.Slope) == 0 || a.Slope == 0,
                     "slope reads back bit for bit");
        FUZZ_REQUIRE(back.Watch[i - 1].WatchFlags == rec.Watch[i - 1].WatchFlags, "flags read back");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TScopedMessageSink quiet([](const std::string&) {});
    const RawByteString s(reinterpret_cast<const char*>(data), size);

    TKelvorec rec;
    bool configOk = false;
    try {
        configOk = DecodeChannelConfig(rec, s);
    } catch (const Exception&) {
    }
    try {
        DecodeChannelWatch(rec, s);
    } catch (const Exception&) {
    }
    CheckSelfCompare(rec);
    if (configOk)
        CheckWriteReadsBack(rec);

    TKelvoChannelRecountedValue value;
    value.Valid = true;
    try {
        DecodeRecountedValue(s, value);
        FUZZ_REQUIRE(size == kValueBlockSize, "only 18-byte blocks decode");
        FUZZ_REQUIRE(value.Valid == ((data[1] & 0x80) != 0), "valid is status bit 7");
    } catch (const Exception& e) {
        FUZZ_REQUIRE(std::strcmp(e.what(), "Invalid value data length") == 0, e.what());
        FUZZ_REQUIRE(!value.Valid, "a failed block is invalid");
    }

    std::array<TKelvoChannelRecountedValue, 4> slots{};
    for (auto& slot : slots)
        slot.Valid = true;
    DecodeRecountedValues(s, slots);  // never raises
    for (size_t k = 0; k < 4; ++k)
        if (size < (k + 1) * kValueBlockSize)
            FUZZ_REQUIRE(!slots[k].Valid, "a slot without a whole block is invalid");
    return 0;
}
