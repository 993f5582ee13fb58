#pragma once
// Value conversions for the module's data formats.
//
// A float travels as an IEEE 754 single in 4 bytes, most significant byte
// first ("StrBin"). An input range is stored in the module as an offset and
// a slope over a fixed span: minimum = offset, maximum = offset + slope * span.

#include "uByteString.h"

namespace kelvo {

// The four bytes of StrBin as a big-endian IEEE single. Any other length
// raises the general error "StrBin must be 4 chars length".
float StrBinToFloat(const RawByteString& StrBin);

// The inverse of StrBinToFloat: 4 bytes, most significant first. The bit
// pattern is kept as it is (NaN payloads included).
RawByteString FloatToStrBin(float Value);

// Minimum = Offset, Maximum = Offset + Slope * Span. A maximum beyond the
// single-precision range becomes an infinity of its sign.
void CoefficientsToRange(float Offset, float Slope, double Span, float& Minimum, float& Maximum);

// Offset = Minimum, Slope = (Maximum - Minimum) / Span. Span 0 raises the
// general error "Range can't be zero" (Offset is assigned before that).
// Values beyond the single-precision range become infinities of their sign.
void RangeToCoefficients(double Minimum, double Maximum, double Span, float& Offset, float& Slope);

// A double rounded to single precision without undefined behaviour: values
// beyond the single range give an infinity of their sign, NaN stays NaN.
float ToSingle(double Value);

// True when two singles are the same value: equal as numbers, or the same
// bit pattern (so a NaN read from a module equals itself).
bool SameSingle(float A, float B);

}  // namespace kelvo
