#include "uEditorLimits.h"

#include <algorithm>
#include <cmath>

#include "uConversionUtils.h"
#include "uKelvoxx.h"

namespace kelvo {

float StoredWithin(double Value, TEditorLimits Limits)
{
    if (std::isnan(Value))
        Value = std::clamp(0.0, Limits.Min, Limits.Max);
    const float stored = ToSingle(std::clamp(Value, Limits.Min, Limits.Max));
    if (stored > Limits.Max)
        return std::nextafter(stored, -INFINITY);
    if (stored < Limits.Min)
        return std::nextafter(stored, INFINITY);
    return stored;
}

bool SingleWithin(float Value, TEditorLimits Limits)
{
    return Value >= Limits.Min && Value <= Limits.Max;
}

void StoredRange(double Minimum, double Maximum, float& Offset, float& Slope)
{
    const float minimum = StoredWithin(Minimum, kRangeEditorLimits);
    const float maximum = StoredWithin(Maximum, kRangeEditorLimits);
    RangeToCoefficients(minimum, maximum, kRangeSpan, Offset, Slope);
    float shownMin = 0, shownMax = 0;
    for (int step = 0; step < 64; ++step) {
        CoefficientsToRange(Offset, Slope, kRangeSpan, shownMin, shownMax);
        if (SingleWithin(shownMax, kRangeEditorLimits))
            return;
        Slope = std::nextafter(Slope, shownMax > 0 ? -INFINITY : INFINITY);
    }
}

}  // namespace kelvo
