#pragma once
// A module record as a read leaves it, and a session holding it, for the
// tests of the settings, the backup files and what kelvoctl prints.

#include <string>
#include <utility>
#include <vector>

#include "uConversionUtils.h"
#include "uKelvoSession.h"
#include "uModuleSettings.h"

namespace kelvo::testing {

inline TChannelConfig SampleChannel(uint8_t N, const char* Name, const char* Unit, float Min, float Max)
{
    TChannelConfig c;
    c.Number = N;
    c.Name = FitText(Name, kChannelNameWidth);
    c.Unit = FitText(Unit, kUnitWidth);
    c.RangeText = FitText("0-10 V", kRangeTextWidth);
    c.Decimals = 1;
    RangeToCoefficients(Min, Max, kRangeSpan, c.Offset, c.Slope);
    c.Sensor4to20mA = 2;
    return c;
}

// A module as a read leaves it: channel 1 with a 4-20 mA option, channel 3
// with gain, channel 4 not reported.
inline TKelvorec SampleRecord(uint8_t Model = kModelKelvoUSB)
{
    TKelvorec r;
    r.Model = Model;
    r.Info.Identification = "KelvoUSB 4AI v1.07";
    r.Info.UserData = "Hala 3";
    r.Info.SpeedCode = 6;
    r.Info.Address = 1;
    r.Info.ProductCode = 42;
    r.Info.SerialNumber = 256;
    r.Info.SerialText = "0042.xx.xx/0256";
    r.Channels[0] = SampleChannel(1, "Tlak", "bar", 0, 10);
    r.Channels[0].Sensor4to20mA = 1;
    r.Channels[1] = SampleChannel(2, "Teplota", "C", -50, 150);
    r.Channels[1].Sensor4to20mA = 0;
    r.Channels[2] = SampleChannel(3, "Vlhkost", "%", 0, 100);
    r.Channels[2].HasGain = true;
    r.Channels[2].GainCode = 2;
    for (uint8_t i = 0; i < 3; ++i) {
        r.Watch[i].Number = i + 1;
        r.Watch[i].WatchFlags = 0x01;  // a bit the program must keep
        r.Watch[i].Upper = 0.1f;
        r.Watch[i].Lower = -7.25f;
        r.Watch[i].Hysteresis = 1e-7f;
    }
    return r;
}

// A session holding Record as read, its working copy reset.
struct TSampleSession {
    explicit TSampleSession(TKelvorec Record = SampleRecord())
    {
        S.ModuleRecord = std::move(Record);
        S.ResetWorkingCopy();
    }
    std::vector<TChange> Apply(std::vector<std::string> Args)
    {
        std::vector<TAssignment> a;
        for (const auto& s : Args)
            a.push_back(ParseAssignment(s));
        return ApplyAssignments(S, a);
    }
    TKelvoSession S;
};

}  // namespace kelvo::testing
