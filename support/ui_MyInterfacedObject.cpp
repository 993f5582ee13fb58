#include "ui_MyInterfacedObject.h"
#include "uByteString.h"

#include <cstdio>
#include <mutex>
#include <random>

#include "uExceptions.h"

namespace kelvo {

std::string GUIDToString(const TGUID& GUID)
{
    char buf[39];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(GUID.D1), static_cast<unsigned>(GUID.D2),
                  static_cast<unsigned>(GUID.D3), GUID.D4[0], GUID.D4[1], GUID.D4[2], GUID.D4[3],
                  GUID.D4[4], GUID.D4[5], GUID.D4[6], GUID.D4[7]);
    return std::string(buf, 38);
}

namespace {

// Reads Count hex digits of Text from Pos; false at the first non-digit.
bool ReadHex(const std::string& Text, size_t Pos, int Count, uint32_t& Value)
{
    Value = 0;
    for (int i = 0; i < Count; ++i) {
        int d = HexDigitValue(Text[Pos + i]);
        if (d < 0)
            return false;
        Value = Value * 16 + static_cast<uint32_t>(d);
    }
    return true;
}

}  // namespace

TGUID StringToGUID(const std::string& Text)
{
    auto fail = [&]() -> EConvertError { return EConvertError("'" + Text + "' is not a valid GUID value"); };
    if (Text.size() != 38 || Text[0] != '{' || Text[37] != '}' || Text[9] != '-' || Text[14] != '-' ||
        Text[19] != '-' || Text[24] != '-')
        throw fail();
    TGUID g{};
    uint32_t v = 0;
    if (!ReadHex(Text, 1, 8, v))
        throw fail();
    g.D1 = v;
    if (!ReadHex(Text, 10, 4, v))
        throw fail();
    g.D2 = static_cast<uint16_t>(v);
    if (!ReadHex(Text, 15, 4, v))
        throw fail();
    g.D3 = static_cast<uint16_t>(v);
    // Two bytes before the last hyphen, six after it.
    static const size_t bytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(Text, bytePos[i], 2, v))
            throw fail();
        g.D4[i] = static_cast<uint8_t>(v);
    }
    return g;
}

TGUID CreateGUID()
{
    static std::mutex m;
    static std::mt19937_64 gen{[] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
        return std::mt19937_64(seq);
    }()};
    uint64_t a, b;
    {
        std::lock_guard<std::mutex> guard(m);
        a = gen();
        b = gen();
    }
    TGUID g{};
    g.D1 = static_cast<uint32_t>(a >> 32);
    g.D2 = static_cast<uint16_t>(a >> 16);
    g.D3 = static_cast<uint16_t>((a & 0x0FFF) | 0x4000);  // version 4
    for (int i = 0; i < 8; ++i)
        g.D4[i] = static_cast<uint8_t>(b >> (56 - 8 * i));
    g.D4[0] = static_cast<uint8_t>((g.D4[0] & 0x3F) | 0x80);  // variant 1
    return g;
}

}  // namespace kelvo
