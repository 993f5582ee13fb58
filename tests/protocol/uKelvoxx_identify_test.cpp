#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "uConversionUtils.h"
#include "uExceptions.h"
#include "uKelvoxx.h"
#include "uMessageSink.h"
#include "uTickUtils.h"

using namespace kelvo;

namespace {

struct Call {
    uint8_t instruction;
    RawByteString data;
    uint8_t address;
    int32_t timeout;
    uint32_t tick;
};

// A scripted module behind the transaction: answers each request (instruction
// byte + data) from a table, silent for requests not in it. Tweak, when set,
// sees the n-th request (from 0) and may change the reply or return false.
struct FakeModule {
    std::map<RawByteString, RawByteString> answers;
    std::function<bool(size_t n, RawByteString& reply)> tweak;
    std::vector<Call> calls;

    FakeModule()
    {
        answers[Bytes({0xF3})] = "  KelvoUSB 1.03\r\n";
        for (uint8_t i = 1; i <= 4; ++i) {
            answers[Bytes({0x1F, i})] = Bytes({0x01, i, 0x13}) + "mA   " + Bytes({0x15, i});
            answers[Bytes({0x1D, i})] = Bytes({0x01, i, 0x12, 0x80, 0x13}) + FloatToStrBin(i * 10.0f);
        }
        answers[Bytes({0x1F, 0x00})] = FromHex("01 02 14") + "V    " + FromHex("01 04 1A 02");
        answers[Bytes({0x1D, 0x00})] = FromHex("01 03 1A 01");
        answers[Bytes({0x1B})] = FromHex("00 01 00 02 00 01 00 02");
        answers[Bytes({0xF0})] = FromHex("05 07");
        answers[Bytes({0xF2})] = RawByteString(" Kotelna 2 \0", 12);
        answers[Bytes({0xFA})] = FromHex("00 2A 01 00");
    }

    TVerdelTransactionCallback Callback()
    {
        return [this](uint8_t instruction, const RawByteString& data, RawByteString& reply,
                      uint8_t address, int32_t timeout) {
            calls.push_back({instruction, data, address, timeout, GetTickCount32()});
            auto it = answers.find(RawByteString(1, static_cast<char>(instruction)) + data);
            RawByteString r = it == answers.end() ? RawByteString() : it->second;
            bool ok = it != answers.end();
            if (tweak)
                ok = tweak(calls.size() - 1, r) && ok;
            if (ok)
                reply = r;
            return ok;
        };
    }
};

std::string IdentifyError(FakeModule& module, TKelvorec& rec)
{
    try {
        IdentifyModule(rec, 254, module.Callback());
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(KelvoIdentify, ReadsTheWholeModuleWithConfirmedReads)
{
    TManualTimeSource clock;
    TScopedTimeSource scope(&clock);
    FakeModule module;
    TKelvorec rec;
    ASSERT_TRUE(IdentifyModule(rec, 7, module.Callback()));

    const std::vector<std::string> order = {"F3", "1F 01", "1F 02", "1F 03", "1F 04", "1D 01",
                                            "1D 02", "1D 03", "1D 04", "1F 00", "1D 00", "1B",
                                            "F0", "F2", "FA"};
    ASSERT_EQ(module.calls.size(), 2 * order.size());
    for (size_t k = 0; k < module.calls.size(); ++k) {
        const Call& c = module.calls[k];
        EXPECT_EQ(ToHex(RawByteString(1, static_cast<char>(c.instruction)) + c.data), order[k / 2]);
        EXPECT_EQ(c.address, 0xFE);  // not the address argument
        EXPECT_EQ(c.timeout, 500);
    }
    // The 100 ms pause comes between the identification and the first channel read.
    EXPECT_EQ(module.calls[1].tick, module.calls[0].tick);
    EXPECT_EQ(module.calls[2].tick - module.calls[1].tick, 100u);
    EXPECT_EQ(module.calls.back().tick, module.calls[2].tick);

    EXPECT_EQ(rec.Model, kModelKelvoUSB);
    EXPECT_EQ(rec.Info.Identification, "KelvoUSB 1.03");
    EXPECT_EQ(rec.Info.UserData, "Kotelna 2");
    EXPECT_EQ(rec.Info.Address, 5);
    EXPECT_EQ(rec.Info.SpeedCode, 7);
    EXPECT_EQ(rec.Info.ProductCode, 42);
    EXPECT_EQ(rec.Info.SerialNumber, 256);
    EXPECT_EQ(rec.Info.SerialText, "0042.xx.xx/0256");
    for (uint8_t i = 1; i <= 4; ++i) {
        EXPECT_EQ(rec.Channels[i - 1].Number, i);
        EXPECT_EQ(rec.Channels[i - 1].Unit, "mA   ");
        EXPECT_EQ(rec.Channels[i - 1].Decimals, i);
        EXPECT_EQ(rec.Channels[i - 1].Sensor4to20mA, i % 2 ? 1 : 2);  // bytes 1, 3, 5, 7 of 0x1B
        EXPECT_EQ(rec.Watch[i - 1].WatchFlags, 0x80);
        EXPECT_EQ(rec.Watch[i - 1].Upper, i * 10.0f);
    }
    EXPECT_EQ(rec.Channels[1].Unit2, "V    ");  // from the channel-0 reads
    EXPECT_TRUE(rec.Channels[3].HasGain);
    EXPECT_EQ(rec.Channels[3].GainCode, 2);
    EXPECT_TRUE(rec.Watch[2].ExtraFlag);

    // A foreign device still reads through; it just has no model.
    module.answers[Bytes({0xF3})] = "Acme Meter 2000";
    ASSERT_TRUE(IdentifyModule(rec, 254, module.Callback()));
    EXPECT_EQ(rec.Model, kModelOther);
    EXPECT_FALSE(IsKelvoFamilyReply(rec.Info.Identification));
}

TEST(KelvoIdentify, ReadConfirmedNeedsTwoEqualNonEmptyReplies)
{
    FakeModule module;
    RawByteString reply = "keep";
    size_t counter = 0;
    // Every reply differs from the one before: five attempts, then failure.
    module.tweak = [&](size_t, RawByteString& r) { r += std::to_string(counter++); return true; };
    EXPECT_FALSE(ReadConfirmed(module.Callback(), 0xF3, "", reply));
    EXPECT_EQ(module.calls.size(), 10u);
    EXPECT_EQ(reply, "keep");

    // Answering only every second request fails every attempt, whichever comes first.
    for (size_t silent : {0, 1}) {
        module.calls.clear();
        module.tweak = [&](size_t n, RawByteString&) { return n % 2 != silent; };
        EXPECT_FALSE(ReadConfirmed(module.Callback(), 0xF3, "", reply));
        EXPECT_EQ(module.calls.size(), silent == 0 ? 9u : 10u);
    }

    // Empty replies never confirm.
    module.calls.clear();
    module.tweak = [&](size_t, RawByteString& r) { r.clear(); return true; };
    EXPECT_FALSE(ReadConfirmed(module.Callback(), 0xF3, "", reply));
    EXPECT_EQ(module.calls.size(), 10u);

    // A first pair that disagrees is followed by a pair that agrees.
    module.calls.clear();
    module.tweak = [&](size_t n, RawByteString& r) { r = n == 0 ? "x" : "y"; return true; };
    EXPECT_TRUE(ReadConfirmed(module.Callback(), 0xF2, "", reply));
    EXPECT_EQ(reply, "y");
    EXPECT_EQ(module.calls.size(), 4u);

    // Exceptions of the transaction pass through.
    module.tweak = [&](size_t, RawByteString&) -> bool { throw ERangeError("too long"); };
    EXPECT_THROW(ReadConfirmed(module.Callback(), 0xF3, "", reply), ERangeError);
}

TEST(KelvoIdentify, EachFailedStepHasItsMessage)
{
    TManualTimeSource clock;
    TScopedTimeSource scope(&clock);
    const std::vector<std::pair<RawByteString, std::string>> steps = {
        {Bytes({0xF3}), "Device not responding ($F3)"},
        {Bytes({0x1F, 0x03}), "Device not responding ($1F)"},
        {Bytes({0x1D, 0x04}), "Device not responding ($1D)"},
        {Bytes({0x1F, 0x00}), "Device not responding"},
        {Bytes({0x1D, 0x00}), "Device not responding"},
        {Bytes({0x1B}), "Device not responding ($1B)"},
        {Bytes({0xF0}), "Device not responding ($F0)"},
        {Bytes({0xF2}), "Device not responding ($F2)"},
        {Bytes({0xFA}), "Device not responding ($FA)"},
    };
    for (const auto& [request, message] : steps) {
        FakeModule module;
        module.answers.erase(request);
        TKelvorec rec;
        EXPECT_EQ(IdentifyError(module, rec), message) << ToHex(request);
    }
    FakeModule module;
    TKelvorec rec;
    module.answers[Bytes({0x1B})] = FromHex("00 01 00 02 00 01 00");
    EXPECT_EQ(IdentifyError(module, rec), "Device not responding ($1B)");
    module.answers[Bytes({0x1B})] = FromHex("00 01 00 02 00 01 00 02 FF");  // longer is fine
    for (const char* f0 : {"05", "05 07 00"}) {
        module.answers[Bytes({0xF0})] = FromHex(f0);
        EXPECT_EQ(IdentifyError(module, rec), "Device not responding ($F0)") << f0;
    }
    // Decoder errors end the read unchanged.
    module.answers[Bytes({0xF0})] = FromHex("05 07");
    module.answers[Bytes({0x1F, 0x02})] = FromHex("12 80");
    EXPECT_THROW(IdentifyModule(rec, 254, module.Callback()), ERangeError);
    module.answers[Bytes({0x1F, 0x02})] = FromHex("01 02 16 41");
    EXPECT_EQ(IdentifyError(module, rec), "StrBin must be 4 chars length");
}

TEST(KelvoIdentify, RecordIsClearedFirstAndKeepsWhatWasNotRead)
{
    TManualTimeSource clock;
    TScopedTimeSource scope(&clock);
    TKelvorec rec;
    rec.Model = kModelKelvoRS;
    rec.Info.UserData = "old";
    rec.Info.SpeedCode = 9;
    rec.Channels[0].Name = "old";
    rec.Watch[3].Upper = 3;
    const TKelvorec before = rec;

    EXPECT_FALSE(IdentifyModule(rec, 254, TVerdelTransactionCallback()));
    EXPECT_EQ(rec, before);

    FakeModule silent;
    silent.answers.clear();
    EXPECT_EQ(IdentifyError(silent, rec), "Device not responding ($F3)");
    EXPECT_EQ(rec.Model, 0);
    EXPECT_EQ(rec.Channels, (std::array<TChannelConfig, 4>{}));
    EXPECT_EQ(rec.Watch, (std::array<TChannelWatch, 4>{}));
    EXPECT_EQ(rec.Info.UserData, "old");

    // Speed code 12 names no speed and is kept as reported (never the code
    // an earlier read left); a short FA reply gives the bytes present.
    FakeModule module;
    module.answers[Bytes({0xF0})] = FromHex("05 0C");
    module.answers[Bytes({0xFA})] = FromHex("00 2A 01");
    module.answers[Bytes({0xF3})] = "tarnel 4";
    ASSERT_TRUE(IdentifyModule(rec, 254, module.Callback()));
    EXPECT_EQ(rec.Info.SpeedCode, 12);
    EXPECT_EQ(rec.Info.Address, 5);
    EXPECT_EQ(rec.Info.ProductCode, 42);
    EXPECT_EQ(rec.Info.SerialNumber, 1);
    EXPECT_EQ(rec.Info.SerialText, "0042.xx.xx/0001");
    EXPECT_EQ(rec.Model, kModelTarnel);
}
