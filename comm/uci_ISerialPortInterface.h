#pragma once
// Serial-like channels: the line settings every serial channel offers (the
// COM port and the FTDI device) and the serial core that turns them into and
// out of a connection string.

#include <cstdint>
#include <string>

#include "uci_ICommunicationInterface.h"

namespace kelvo {

class ISerialPortInterface : public virtual ICommunicationInterface {
public:
    static constexpr TGUID IID{0x783E5941, 0xB8D8, 0x4FB6, {0xB5, 0xF4, 0x3D, 0x41, 0xE6, 0xDB, 0x42}};

    virtual int32_t GetBaudRate() = 0;   // bit/s
    virtual void SetBaudRate(int32_t Rate) = 0;
    virtual bool GetRTS() = 0;
    virtual void SetRTS(bool Value) = 0;
    virtual bool GetDTR() = 0;
    virtual void SetDTR(bool Value) = 0;
    virtual bool GetCTS() = 0;           // read-only line
    virtual bool GetDSR() = 0;           // read-only line
    virtual uint8_t GetStopBits() = 0;   // 0 one, 1 one and a half, 2 two
    virtual void SetStopBits(uint8_t Value) = 0;
    virtual uint8_t GetParity() = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    virtual void SetParity(uint8_t Value) = 0;
    void PurgeRx() override = 0;
    void PurgeTx() override = 0;
    virtual uint8_t GetDataBits() = 0;   // 4-8
    virtual void SetDataBits(uint8_t Value) = 0;
    virtual int32_t GetOutBufSize() = 0;
    virtual void SetOutBufSize(int32_t Value) = 0;
    virtual int32_t GetInBufSize() = 0;
    virtual void SetInBufSize(int32_t Value) = 0;

protected:
    ~ISerialPortInterface() = default;
};

// The serial core shared by the COM port and the FTDI device. The line
// settings are the implementation's; the core produces and applies the
// serial part of a connection string:
//   baudrate=9600;databits=8;stopbits=One;parity=None;dtr=-1;rts=-1
// and derives the character time from the baud rate (10 bits per byte).
class TSerialPortCoreInterface : public TCommunicationInterface, public virtual ISerialPortInterface {
public:
    explicit TSerialPortCoreInterface(const std::string& ConnectionString = std::string())
        : TCommunicationInterface(ConnectionString)
    {
    }
    TSerialPortCoreInterface(IXMLElement* XMLNode, IUnknown* Parent) : TCommunicationInterface(XMLNode, Parent) {}

    int32_t GetBaudRate() override = 0;
    // Sets the character time to 1000 / Rate * 10 ms; a rate of 0 (speed
    // unknown) gives 0. Implementations that change the line speed call it.
    // A negative rate raises ERangeError.
    void SetBaudRate(int32_t Rate) override;
    uint8_t GetDataBits() override = 0;
    void SetDataBits(uint8_t Value) override = 0;
    bool GetDTR() override = 0;
    bool GetCTS() override = 0;
    bool GetRTS() override = 0;
    bool GetDSR() override = 0;
    void SetDTR(bool Value) override = 0;
    void SetRTS(bool Value) override = 0;
    uint8_t GetStopBits() override = 0;
    void SetStopBits(uint8_t Value) override = 0;
    uint8_t GetParity() override = 0;
    void SetParity(uint8_t Value) override = 0;
    void PurgeRx() override = 0;
    void PurgeTx() override = 0;
    int32_t GetOutBufSize() override = 0;
    void SetOutBufSize(int32_t Value) override = 0;
    int32_t GetInBufSize() override = 0;
    void SetInBufSize(int32_t Value) override = 0;

    // The serial-core string (format above).
    void GetConnectionString(std::string& S) override;
    // Applies "baudrate", "databits", "stopbits", "parity", "dtr", "rts" in
    // this order, raises OnChange, then opens when "active" is "TRUE" (any
    // case) or exactly "1". A malformed number or Boolean raises
    // EConvertError, a number out of range ERangeError; keys before it stay
    // applied, keys after it are not.
    void SetConnectionString(const std::string& S) override;

protected:
    void* GetInterface(const TGUID& IID) override;
    // The serial-core application without the final OnChange and "active",
    // for subclasses that apply their own keys around it.
    bool ApplySerialCore(const std::string& S);
};

}  // namespace kelvo
