#pragma once
// A serial channel with no line behind it: it stores the line settings and
// counts what the serial core does with them, so that tests (and the
// connection-string fuzzer) can watch the core apply a connection string.

#include <string>
#include <vector>

#include "uci_ISerialPortInterface.h"

namespace kelvo::testing {

class TFakeSerialCore : public TSerialPortCoreInterface {
public:
    using TSerialPortCoreInterface::TSerialPortCoreInterface;

    bool GetActive() override { return FOpen; }
    bool Open() override
    {
        ++OpenCalls;
        FOpen = true;
        return true;
    }
    bool Close(bool) override
    {
        const bool was = FOpen;
        FOpen = false;
        return was;
    }
    int32_t Write(const RawByteString& Data) override { return static_cast<int32_t>(Data.size()); }
    int32_t InQueueCount() override { return 0; }
    void GetName(std::string& Name) override { Name = "FAKE"; }

    int32_t GetBaudRate() override { return BaudRate; }
    void SetBaudRate(int32_t Rate) override
    {
        TSerialPortCoreInterface::SetBaudRate(Rate);
        BaudRate = Rate;
        Applied.push_back("baudrate");
    }
    uint8_t GetDataBits() override { return DataBits; }
    void SetDataBits(uint8_t V) override
    {
        DataBits = V;
        Applied.push_back("databits");
    }
    bool GetDTR() override { return DTR; }
    bool GetCTS() override { return false; }
    bool GetRTS() override { return RTS; }
    bool GetDSR() override { return false; }
    void SetDTR(bool V) override
    {
        DTR = V;
        Applied.push_back("dtr");
    }
    void SetRTS(bool V) override
    {
        RTS = V;
        Applied.push_back("rts");
    }
    uint8_t GetStopBits() override { return StopBits; }
    void SetStopBits(uint8_t V) override
    {
        StopBits = V;
        Applied.push_back("stopbits");
    }
    uint8_t GetParity() override { return Parity; }
    void SetParity(uint8_t V) override
    {
        Parity = V;
        Applied.push_back("parity");
    }
    void PurgeRx() override {}
    void PurgeTx() override {}
    int32_t GetOutBufSize() override { return 0; }
    void SetOutBufSize(int32_t) override {}
    int32_t GetInBufSize() override { return 0; }
    void SetInBufSize(int32_t) override {}

    int32_t BaudRate = 9600;
    uint8_t DataBits = 8;
    uint8_t StopBits = 0;
    uint8_t Parity = 0;
    bool DTR = true;
    bool RTS = true;
    int OpenCalls = 0;
    std::vector<std::string> Applied;  // setters in the order they ran

private:
    bool FOpen = false;
};

}  // namespace kelvo::testing
