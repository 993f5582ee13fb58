#pragma once
// The limits of the window's editors, in one place: the window builds its
// editors from them, its logic keeps every value that reaches the working
// copy within them, and kelvoctl and the configuration files check against
// them. What a user cannot type into the window, no face of the program
// writes into a module.

#include <cstddef>

namespace kelvo {

struct TEditorLimits {
    double Min;
    double Max;
};

inline constexpr TEditorLimits kRangeEditorLimits{-99999999, 99999999};  // range minimum and maximum
inline constexpr TEditorLimits kWatchEditorLimits{-10000, 10000};        // upper, lower limit, hysteresis
inline constexpr TEditorLimits kDecimalsEditorLimits{0, 2};              // decimals
inline constexpr size_t kChannelNameEditorLength = 20;
inline constexpr size_t kUnitEditorLength = 5;
inline constexpr size_t kUserDataEditorLength = 16;

// The single-precision value the module stores for Value, within Limits:
// Value is clamped (NaN becomes the limit nearer to 0), rounded to the
// nearest single, and a single that rounding carried beyond a limit is
// taken back to the last one inside (99999999 is held as 99999992, since
// its nearest single, 100000000, lies beyond the limit).
float StoredWithin(double Value, TEditorLimits Limits);

// Whether a single lies within Limits.
bool SingleWithin(float Value, TEditorLimits Limits);

// The offset and slope the module stores for a range Minimum ... Maximum
// typed into the range editors: both ends kept within the range limits as
// singles, then the slope over the fixed span; a slope whose maximum
// (Offset + Slope * span, as the page shows it again) would lie beyond the
// limits is taken back until it does not.
void StoredRange(double Minimum, double Maximum, float& Offset, float& Slope);

}  // namespace kelvo
