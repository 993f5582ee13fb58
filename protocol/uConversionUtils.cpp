#include "uConversionUtils.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "uExceptions.h"

namespace kelvo {

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559,
              "the module's floats are IEEE 754 singles");

float StrBinToFloat(const RawByteString& StrBin)
{
    if (StrBin.size() != 4)
        throw Exception("StrBin must be 4 chars length");
    uint32_t bits = (uint32_t{ByteAt(StrBin, 0)} << 24) | (uint32_t{ByteAt(StrBin, 1)} << 16) |
                    (uint32_t{ByteAt(StrBin, 2)} << 8) | uint32_t{ByteAt(StrBin, 3)};
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

RawByteString FloatToStrBin(float Value)
{
    uint32_t bits;
    std::memcpy(&bits, &Value, sizeof bits);
    return Bytes({static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16),
                  static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)});
}

float ToSingle(double Value)
{
    if (std::isnan(Value))
        return std::numeric_limits<float>::quiet_NaN();
    if (Value > FLT_MAX)
        return std::numeric_limits<float>::infinity();
    if (Value < -FLT_MAX)
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(Value);
}

bool SameSingle(float A, float B)
{
    if (A == B)
        return true;
    uint32_t a, b;
    std::memcpy(&a, &A, sizeof a);
    std::memcpy(&b, &B, sizeof b);
    return a == b;
}

void CoefficientsToRange(float Offset, float Slope, double Span, float& Minimum, float& Maximum)
{
    Minimum = Offset;
    Maximum = ToSingle(double{Offset} + double{Slope} * Span);
}

void RangeToCoefficients(double Minimum, double Maximum, double Span, float& Offset, float& Slope)
{
    Offset = ToSingle(Minimum);
    if (Span == 0)
        throw Exception("Range can't be zero");
    Slope = ToSingle((Maximum - Minimum) / Span);
}

}  // namespace kelvo
