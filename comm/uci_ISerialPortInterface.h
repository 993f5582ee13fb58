#pragma once
// Serial-like channels: the line settings every serial channel offers (the
// COM port and the FTDI device) and the serial core that turns them into and
// out of a connection string.

#include <cstdint>
#include <memory>
#include <string>

#include "uProviderRegistry.h"
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
    // Applies "baudrate", "databits", "stopbits", "parity", "dtr", "rts",
    // "line_gap" (the quiet period in ms after which a reply is taken as
    // ended, 0-60000; 50 unless set) in this order, raises OnChange, then
    // opens when "active" is "TRUE" (any
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

class TAfComPort;

// A channel on a COM port (RS232/RS485 adapters, Ethernet bridges that
// appear as COM ports). It owns one serial port component and maps every
// operation onto it. Its events arrive on the main thread and become the
// channel's notifications. The character time stays 0: a query waits its
// time-out for the first bytes and 50 ms after each chunk.
//
// Connection string: the serial core's, then ";comport=N". A string with
// "comport" selects the port; so does a bare "COM3" (nothing else in it).
class TSerialPortInterface : public TSerialPortCoreInterface {
public:
    explicit TSerialPortInterface(const std::string& ConnectionString = std::string());
    TSerialPortInterface(IXMLElement* XMLNode, IUnknown* Parent);
    ~TSerialPortInterface() override;

    // The class as the provider registry knows it ("SERIAL_PORT").
    static const TCommunicationInterfaceClass Class;

    // "COM" + port number, or "COM unknown" while the number is 0.
    const std::string& PortName() const { return FPortName; }
    TAfComPort* Port() { return FPort.get(); }

    bool GetActive() override;
    bool Open() override;
    bool Close(bool Force) override;
    int32_t Write(const RawByteString& Data) override;
    void Read(RawByteString& Data) override;
    int32_t InQueueCount() override;
    void GetName(std::string& Name) override;
    void SetPresent(bool Value) override;
    bool ShowSetupDialog() override;
    bool HasSetupDialog() override;
    void GetConnectionString(std::string& S) override;
    void SetConnectionString(const std::string& S) override;

    int32_t GetBaudRate() override;
    // The component's user rate; no character time (see above).
    void SetBaudRate(int32_t Rate) override;
    uint8_t GetDataBits() override;
    // 4-8; other values raise ERangeError.
    void SetDataBits(uint8_t Value) override;
    bool GetDTR() override;
    bool GetCTS() override;
    bool GetRTS() override;
    bool GetDSR() override;
    void SetDTR(bool Value) override;
    void SetRTS(bool Value) override;
    uint8_t GetStopBits() override;
    void SetStopBits(uint8_t Value) override;
    uint8_t GetParity() override;
    void SetParity(uint8_t Value) override;
    void PurgeRx() override;
    void PurgeTx() override;
    int32_t GetOutBufSize() override;
    void SetOutBufSize(int32_t Value) override;
    int32_t GetInBufSize() override;
    void SetInBufSize(int32_t Value) override;

private:
    void SetUpPort();
    void UpdatePortName();

    // Shared, so that the component outlives a dispatch in which one of our
    // handlers drops the last reference to this channel.
    std::shared_ptr<TAfComPort> FPort;
    std::string FPortName = "COM unknown";
};

// Whether COM<Number> exists and can be opened (it is closed again at once).
enum TComPortStatus : int {
    cpsInUse = 0,     // exists, but cannot be opened (in use, no access, other error)
    cpsFree = 1,      // exists and could be opened
    cpsNotFound = 2,  // no such port
};
TComPortStatus ProbeComPort(uint16_t Number);

}  // namespace kelvo
