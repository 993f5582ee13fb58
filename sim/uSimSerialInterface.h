#pragma once
// A simulated module on an in-process serial channel: a channel object that
// behaves like a COM port to everything above it (open, close, line
// settings, connection strings, Query), with a simulated module at the far
// end. Tests, benchmarks and the command-line tool probe it at several
// speeds exactly as they would a real port.
//
// Bytes written reach the module at once; its answers become readable when
// their schedule says (paced at the line speed in the slow-line mode), and
// the channel's arrival signal goes off at that moment. Time comes from the
// program's tick counter, so an injected clock drives it.
// The module hears a request only while the channel runs at the module's
// line speed with 8 data bits, no parity and one stop bit.

#include <memory>
#include <string>

#include "uSimModule.h"
#include "uci_ISerialPortInterface.h"

namespace kelvo {

class TSimSerialInterface : public TSerialPortCoreInterface {
public:
    // Name is what GetName reports ("SIM1" by default).
    explicit TSimSerialInterface(std::shared_ptr<TSimModule> Module, std::string Name = "SIM1",
                                 const std::string& ConnectionString = std::string());
    ~TSimSerialInterface() override;

    TSimModule& Module() { return *FModule; }
    // Opening fails while this is set, as on a port another program holds.
    void SetOpenFails(bool Value) { FOpenFails = Value; }
    // Reads raise while this is set, as a driver does whose device is gone.
    void SetReadFails(bool Value) { FReadFails = Value; }
    // Number of Write calls and bytes written since the channel was made.
    size_t WriteCount() const { return FWriteCount; }

    bool GetActive() override;
    bool Open() override;
    bool Close(bool Force) override;
    int32_t Write(const RawByteString& Data) override;
    void Read(RawByteString& Data) override;
    int32_t InQueueCount() override;
    void GetName(std::string& Name) override;
    void SetPresent(bool Value) override;

    int32_t GetBaudRate() override;
    void SetBaudRate(int32_t Rate) override;
    uint8_t GetDataBits() override { return FDataBits; }
    void SetDataBits(uint8_t Value) override;
    bool GetDTR() override { return FDTR; }
    bool GetCTS() override { return false; }
    bool GetRTS() override { return FRTS; }
    bool GetDSR() override { return false; }
    void SetDTR(bool Value) override { FDTR = Value; }
    void SetRTS(bool Value) override { FRTS = Value; }
    uint8_t GetStopBits() override { return FStopBits; }
    void SetStopBits(uint8_t Value) override;
    uint8_t GetParity() override { return FParity; }
    void SetParity(uint8_t Value) override;
    void PurgeRx() override;
    void PurgeTx() override {}
    int32_t GetOutBufSize() override { return FOutBufSize; }
    void SetOutBufSize(int32_t Value) override { FOutBufSize = Value; }
    int32_t GetInBufSize() override { return FInBufSize; }
    void SetInBufSize(int32_t Value) override { FInBufSize = Value; }

private:
    void Collect();
    void SignalNextArrival();
    uint32_t HeardLineSpeed() const;

    std::shared_ptr<TSimModule> FModule;
    std::string FName;
    std::atomic<bool> FOpen{false};
    bool FOpenFails = false;
    std::atomic<bool> FReadFails{false};
    RawByteString FRx;  // delivered by the module, not yet read (under FLock)
    std::atomic<int32_t> FBaudRate{9600};
    uint8_t FDataBits = 8;
    uint8_t FStopBits = 0;
    uint8_t FParity = 0;
    bool FDTR = true;
    bool FRTS = true;
    int32_t FOutBufSize = 4096;
    int32_t FInBufSize = 4096;
    size_t FWriteCount = 0;
};

}  // namespace kelvo
