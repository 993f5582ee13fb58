#include "uModuleText.h"

#include <array>
#include <cstdint>

namespace kelvo {

namespace {

// Code points of the bytes 0x80-0xFF in Windows-1250. The five bytes the
// code page does not define keep their own number (C1 controls), which
// keeps the mapping one-to-one.
constexpr std::array<char32_t, 128> kHighHalf = {
    0x20AC, 0x0081, 0x201A, 0x0083, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x0088, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // A8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // B8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // C0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // C8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // D0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // D8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // E0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // E8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // F0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // F8
};

void AppendUtf8(std::string& Out, char32_t C)
{
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else if (C < 0x800) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else if (C < 0x10000) {
        Out += static_cast<char>(0xE0 | (C >> 12));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (C >> 18));
        Out += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}

// Decodes the character at Pos and advances Pos; nothing for a malformed
// sequence (overlong forms, surrogates and values beyond U+10FFFF included).
std::optional<char32_t> NextCodePoint(std::string_view S, size_t& Pos)
{
    const auto b0 = static_cast<uint8_t>(S[Pos]);
    if (b0 < 0x80) {
        ++Pos;
        return b0;
    }
    size_t len = 0;
    char32_t c = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, c = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, c = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, c = b0 & 0x07, min = 0x10000;
    } else {
        return std::nullopt;
    }
    if (S.size() - Pos < len)
        return std::nullopt;
    for (size_t i = 1; i < len; ++i) {
        const auto b = static_cast<uint8_t>(S[Pos + i]);
        if ((b & 0xC0) != 0x80)
            return std::nullopt;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return std::nullopt;
    Pos += len;
    return c;
}

}  // namespace

std::string ModuleTextToUtf8(std::string_view Bytes)
{
    std::string out;
    out.reserve(Bytes.size());
    for (char ch : Bytes) {
        const auto b = static_cast<uint8_t>(ch);
        AppendUtf8(out, b < 0x80 ? char32_t(b) : kHighHalf[b - 0x80]);
    }
    return out;
}

std::optional<std::string> Utf8ToModuleText(std::string_view Utf8, std::string* Why)
{
    std::string out;
    out.reserve(Utf8.size());
    size_t pos = 0;
    while (pos < Utf8.size()) {
        const size_t start = pos;
        const auto c = NextCodePoint(Utf8, pos);
        if (!c) {
            if (Why)
                *Why = "not valid UTF-8";
            return std::nullopt;
        }
        if (*c < 0x80) {
            out += static_cast<char>(*c);
            continue;
        }
        bool found = false;
        for (size_t i = 0; i < kHighHalf.size() && !found; ++i) {
            if (kHighHalf[i] == *c) {
                out += static_cast<char>(0x80 + i);
                found = true;
            }
        }
        if (!found) {
            if (Why)
                *Why = "\"" + std::string(Utf8.substr(start, pos - start)) + "\" cannot be stored in the module";
            return std::nullopt;
        }
    }
    return out;
}

size_t Utf8Length(std::string_view Utf8)
{
    size_t n = 0;
    for (char ch : Utf8)
        if ((static_cast<uint8_t>(ch) & 0xC0) != 0x80)
            ++n;
    return n;
}

std::string PrintableText(std::string_view Utf8)
{
    std::string out;
    out.reserve(Utf8.size());
    size_t pos = 0;
    while (pos < Utf8.size()) {
        const size_t start = pos;
        const auto c = NextCodePoint(Utf8, pos);
        if (!c) {
            // A stray byte of a broken sequence.
            out += '?';
            ++pos;
            continue;
        }
        if (*c < 0x20 || *c == 0x7F || (*c >= 0x80 && *c < 0xA0))
            out += '?';
        else
            out.append(Utf8.substr(start, pos - start));
    }
    return out;
}

}  // namespace kelvo
