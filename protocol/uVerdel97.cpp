#include "uVerdel97.h"

#include <string_view>

#include "uExceptions.h"

namespace kelvo {

namespace {

constexpr char kPrefix = 0x2A;      // '*'
constexpr char kFormat = 0x61;      // 'a', format number 97
constexpr char kTerminator = 0x0D;  // carriage return

// Bytes that the length field counts besides the data: address, signature,
// code, checksum, terminator.
constexpr size_t kLengthOverhead = 5;
// Bytes before the address: prefix, format, two length bytes.
constexpr size_t kHeadSize = 4;
constexpr size_t kMaxData = 0xFFFF - kLengthOverhead;

constexpr char kIncorrectPacket[] = "Incorrect PACKET (Verdel format 97)!";

// The checksum rule without the size limit of the public function: a frame
// with the largest data covers more than 65535 bytes with its checksum, and
// the check must never raise.
uint8_t SumComplement(std::string_view data)
{
    uint8_t sum = 0;
    for (char c : data)
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    return static_cast<uint8_t>(0xFF - sum);
}

}  // namespace

uint8_t Verdel97CheckSum(const RawByteString& Data)
{
    if (Data.size() > 0xFFFF)
        throw ERangeError("Verdel 97 checksum: data of " + std::to_string(Data.size()) +
                          " bytes exceeds 65535");
    return SumComplement(Data);
}

RawByteString BuildVerdel97Packet(uint8_t Address, uint8_t Signature, uint8_t Instruction,
                                  const RawByteString& Data)
{
    if (Data.size() > kMaxData)
        throw ERangeError("Verdel 97 request: data of " + std::to_string(Data.size()) +
                          " bytes exceeds 65530");
    const size_t length = Data.size() + kLengthOverhead;

    RawByteString packet;
    packet.reserve(length + kHeadSize);
    packet.push_back(kPrefix);
    packet.push_back(kFormat);
    packet.push_back(static_cast<char>(length >> 8));
    packet.push_back(static_cast<char>(length & 0xFF));
    packet.push_back(static_cast<char>(Address));
    packet.push_back(static_cast<char>(Signature));
    packet.push_back(static_cast<char>(Instruction));
    packet += Data;
    packet.push_back(static_cast<char>(SumComplement(packet)));
    packet.push_back(kTerminator);
    return packet;
}

uint16_t CheckVerdel97Packet(const RawByteString& Packet)
{
    if (Packet.size() < 8)
        return 1;
    if (Packet[0] != kPrefix)
        return 2;
    if (Packet[1] != kFormat)
        return 3;
    const size_t length = ByteAt(Packet, 2) * 256u + ByteAt(Packet, 3);
    if (Packet.size() != length + kHeadSize)
        return 4;
    const std::string_view covered(Packet.data(), Packet.size() - 2);
    if (SumComplement(covered) != ByteAt(Packet, Packet.size() - 2))
        return 5;
    if (Packet.back() != kTerminator)
        return 6;
    return 0;
}

bool Verdel97ReplyHopeless(const RawByteString& Packet)
{
    if (!Packet.empty() && Packet[0] != kPrefix)
        return true;
    if (Packet.size() >= 2 && Packet[1] != kFormat)
        return true;
    if (Packet.size() < 4)
        return false;
    const size_t expected = ByteAt(Packet, 2) * 256u + ByteAt(Packet, 3) + kHeadSize;
    if (expected < 8 || Packet.size() > expected)
        return true;
    return Packet.size() == expected && CheckVerdel97Packet(Packet) != 0;
}

void ParseVerdel97Packet(const RawByteString& Packet, TVerdelFormat97& Result)
{
    Result.Terminator = 0;
    if (Packet.size() < 9)
        throw Exception(kIncorrectPacket);

    Result.Prefix = Packet[0];
    Result.Format = Packet[1];
    Result.Length = static_cast<uint16_t>(ByteAt(Packet, 2) * 256u + ByteAt(Packet, 3));
    Result.Address = ByteAt(Packet, 4);
    Result.Signature = ByteAt(Packet, 5);
    Result.Code = ByteAt(Packet, 6);

    // At most Length - 5 data bytes, fewer when the input ends sooner; a
    // length field below 5 gives no data.
    const size_t wanted = Result.Length > kLengthOverhead ? Result.Length - kLengthOverhead : 0;
    Result.Data = Packet.substr(7, wanted);

    const size_t sumPos = size_t{Result.Length} + 2;
    const size_t endPos = size_t{Result.Length} + 3;
    if (endPos >= Packet.size())
        throw Exception(kIncorrectPacket);
    Result.CheckSum = ByteAt(Packet, sumPos);
    Result.Terminator = Packet[endPos];
}

}  // namespace kelvo
