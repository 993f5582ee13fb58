#pragma once
// A module's settings by name, as KEY=VALUE: what kelvoctl sets and what
// configuration files (uModuleBackup) hold:
//
//   address=5  speed=19200  userdata="Hala 3"
//   ch2.name=Teplota  ch2.unit=C  ch2.min=-50  ch2.max=150  ch2.decimals=1
//   ch2.gain=8x  ch2.sensor=on  ch2.watch=on  ch2.upper=90  ch2.lower=-20  ch2.hyst=2
//
// Each value is checked against the limits of the window's editor for it
// (uEditorLimits) before anything is sent, and again as the module would
// store it: a value the module cannot hold is refused, with the nearest
// value it can hold, unless the nearest is asked for. Applying a list of
// settings changes the working copy of a session exactly as the editors
// would, and only where the value differs from what the module holds, so
// the save that follows writes the settings that really change and nothing
// else.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "uExceptions.h"
#include "uKelvoSession.h"
#include "uKelvoxx.h"

namespace kelvo {

// A value that is not one of a setting's: an unknown key, a value outside
// the limits or of the wrong kind, a change the module cannot take. The
// message names the key.
class ESettingError : public Exception {
public:
    using Exception::Exception;
};

enum class TKeyField : uint8_t {
    // the module
    Address,
    Speed,
    UserData,
    // one channel
    Name,
    Unit,
    RangeMin,
    RangeMax,
    Decimals,
    Gain,
    Sensor,
    Watch,
    Upper,
    Lower,
    Hysteresis,
};

struct TKey {
    TKeyField Field = TKeyField::Address;
    uint8_t Channel = 0;  // 1-4 for the channel fields, 0 for the module's

    // "address", "ch2.unit"
    std::string Name() const;
    // Address or speed: settings of one module on its bus, which must not
    // go onto several modules from one file or command.
    bool IsCommSetting() const { return Field == TKeyField::Address || Field == TKeyField::Speed; }
    bool operator==(const TKey&) const = default;
};

// The field names in the order kelvoctl lists them; the channel fields are
// written "chN." + name.
struct TFieldInfo {
    TKeyField Field;
    const char* Name;
    bool PerChannel;
    std::string Help;  // meaning and limits, for --help
};
const std::vector<TFieldInfo>& KeyFields();

// Every key in listing order: the module's, then channel 1's ... channel 4's.
std::vector<TKey> AllKeys();

// A checked value for one key.
struct TAssignment {
    TKey Key;
    double Number = 0;   // address, speed in bit/s, decimals, gain code, range and limits
    std::string Text;    // name, unit, user data: module bytes, trimmed
    bool Switch = false; // sensor, watch
    // Why the value may stand only where the module holds it already (a
    // backup of a module that holds a text no one can type); empty
    // normally.
    std::string OnlyWhereHeld;
};

// Where a value comes from. A backup holds what a module held, which may
// lie a rounding beyond the limits (a range maximum of 99999999 is held as
// 100000000) or hold characters no one can type; such a value is taken
// where the module holds it already, and refused where it would change it.
enum class TValueSource : uint8_t { Typed, Backup };

// "ch2.unit" (any letter case) -> the key; ESettingError for an unknown one.
TKey ParseKey(std::string_view Key);

// A value for Key, checked against the editor's limits; ESettingError with a
// message naming the key otherwise: a number outside the limits, a whole
// number outside its range ("ch1.decimals: -1 is outside 0 ... 2"), a text
// too long or with a control character in it (a tab, a line break).
TAssignment ParseSetting(std::string_view Key, std::string_view Value, TValueSource Source = TValueSource::Typed);

// "KEY=VALUE" (the value may be empty, e.g. "ch1.unit=").
TAssignment ParseAssignment(std::string_view KeyEqualsValue);

// The value of Key in Record as kelvoctl and the files show it
// (UTF-8, the same form ParseSetting accepts): a number with at most six
// significant digits where setting that gives the module back exactly what
// it holds, else in as many digits as that takes (1000001, not 1000000);
// nothing when the key does not apply: a channel the module did not
// report, a gain or 4-20 mA option the channel does not have, a speed code
// outside the speed list.
std::optional<std::string> KeyValueText(const TKelvorec& Record, const TKey& Key);

// One setting that the working copy now holds differently from the module.
struct TChange {
    TKey Key;
    std::string Old;
    std::string New;
    // The value asked for, when New is the nearest the module can hold
    // instead; empty otherwise.
    std::string Asked;
};

// A value the module cannot hold: as it would store it, it lies beyond the
// limits, or it reads back as another number than the one asked for.
// Nearest is the nearest value it can hold.
class ENotHoldable : public ESettingError {
public:
    ENotHoldable(std::string Message, std::string Nearest)
        : ESettingError(std::move(Message)), FNearest(std::move(Nearest))
    {
    }
    const std::string& Nearest() const { return FNearest; }

private:
    std::string FNearest;
};

struct TApplyOptions {
    // A value the module cannot hold becomes the nearest it can hold
    // (TChange::Asked tells), instead of being refused.
    bool Nearest = false;
};

// Applies the assignments in order to the session's working copy (a later
// one of the same key wins) and returns the keys whose value changed, each
// once. A value equal to what the working copy holds changes nothing. A
// changing value the module cannot take raises ESettingError and leaves the
// working copy untouched: address and speed on other models than KelvoRS,
// a gain or 4-20 mA option the channel does not have, a channel the module
// did not report, a value only a module that holds it may carry; and
// ENotHoldable for a value the module cannot hold, unless Options ask for
// the nearest.
std::vector<TChange> ApplyAssignments(TKelvoSession& Session, const std::vector<TAssignment>& Assignments,
                                      const TApplyOptions& Options = {});

// The changes whose field differs between Wanted (the working record that
// was saved) and Got (what the module reports after the save): the settings
// the module did not take. Old of each then holds what the module reports.
std::vector<TChange> ChangesNotTaken(const TKelvorec& Wanted, const TKelvorec& Got,
                                     const std::vector<TChange>& Changes);

}  // namespace kelvo
