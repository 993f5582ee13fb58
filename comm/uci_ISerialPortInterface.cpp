#include "uci_ISerialPortInterface.h"

#include <cstdint>
#include <limits>

#include "uConnectionString.h"
#include "uExceptions.h"

namespace kelvo {

void* TSerialPortCoreInterface::GetInterface(const TGUID& IID)
{
    if (IID == ISerialPortInterface::IID)
        return static_cast<ISerialPortInterface*>(this);
    return TCommunicationInterface::GetInterface(IID);
}

void TSerialPortCoreInterface::SetBaudRate(int32_t Rate)
{
    if (Rate < 0)
        throw ERangeError("Baud rate " + std::to_string(Rate) + " is out of range");
    // 10 bits per character (start, 8 data, stop). A rate of 0 means the
    // speed is not known: no character time rather than an infinite one,
    // which would make every deadline of a query meaningless.
    FCharTime = Rate == 0 ? 0.0 : 1000.0 / Rate * 10.0;
}

void TSerialPortCoreInterface::GetConnectionString(std::string& S)
{
    S = "baudrate=" + std::to_string(GetBaudRate());
    S += ";databits=" + std::to_string(GetDataBits());
    S += std::string(";stopbits=") + StopBitsName(GetStopBits());
    S += std::string(";parity=") + ParityName(GetParity());
    S += std::string(";dtr=") + BoolToConnText(GetDTR());
    S += std::string(";rts=") + BoolToConnText(GetRTS());
}

bool TSerialPortCoreInterface::ApplySerialCore(const std::string& S)
{
    const TConnectionString cs(S);
    if (auto v = cs.IntValue("baudrate", 0, std::numeric_limits<int32_t>::max()))
        SetBaudRate(static_cast<int32_t>(*v));
    if (auto v = cs.IntValue("databits", 0, 255))
        SetDataBits(static_cast<uint8_t>(*v));
    if (auto v = cs.Value("stopbits"))
        if (auto code = ParseStopBitsText(*v))
            SetStopBits(*code);
    if (auto v = cs.Value("parity"))
        if (auto code = ParseParityText(*v))
            SetParity(*code);
    if (auto v = cs.BoolValue("dtr"))
        SetDTR(*v);
    if (auto v = cs.BoolValue("rts"))
        SetRTS(*v);
    const auto active = cs.Value("active");
    return active && IsActiveText(*active);
}

void TSerialPortCoreInterface::SetConnectionString(const std::string& S)
{
    const bool open = ApplySerialCore(S);
    NotifyChanged();
    if (open)
        Open();
}

}  // namespace kelvo
