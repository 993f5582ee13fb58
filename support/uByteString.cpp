#include "uByteString.h"

#include "uExceptions.h"

namespace kelvo {

RawByteString Bytes(std::initializer_list<uint8_t> values)
{
    RawByteString s;
    s.reserve(values.size());
    for (uint8_t v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

std::string ToHex(std::string_view data)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(data.size() * 3);
    for (size_t i = 0; i < data.size(); ++i) {
        if (i)
            out.push_back(' ');
        uint8_t b = ByteAt(data, i);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string_view TrimBlanksAndControls(std::string_view Text)
{
    while (!Text.empty() && static_cast<unsigned char>(Text.front()) <= ' ')
        Text.remove_prefix(1);
    while (!Text.empty() && static_cast<unsigned char>(Text.back()) <= ' ')
        Text.remove_suffix(1);
    return Text;
}

std::string UpperCaseAscii(std::string_view Text)
{
    std::string out(Text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string NormalizedSwitch(std::string_view Param)
{
    std::string_view s = TrimBlanksAndControls(Param);
    if (!s.empty() && (s.front() == '/' || s.front() == '-'))
        s.remove_prefix(1);
    return UpperCaseAscii(s);
}

RawByteString FromHex(std::string_view text)
{
    RawByteString out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        int v = HexDigitValue(c);
        if (v < 0)
            throw EConvertError("'" + std::string(text) + "' is not a hexadecimal byte string");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<char>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0)
        throw EConvertError("'" + std::string(text) + "' has an odd number of hexadecimal digits");
    return out;
}

}  // namespace kelvo
