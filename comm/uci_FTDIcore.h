#pragma once
// A channel to a module behind an FTDI USB chip, driven directly through the
// D2XX library (uci_FTDIdirect): a serial-like channel (ISerialPortInterface)
// named by the chip's USB serial number, with the USB operations of
// IFTDISerialPortInterface. Registered as "FTD_USB".
//
// While the device is open a reader thread waits for the driver's receive
// event and raises the data-available notification; it only ever tries the
// channel lock, so it never delays a Query. Data-available handlers run on
// that thread with the lock held and may close the device.
//
// Connection string: "provider=FTD_USB;serial_number=S;" then the serial
// core's keys. Applying one closes the device and reopens it when it was
// open. Only the baud rate is sent again at Open; the data format and the
// DTR/RTS lines go to the driver when they are set, with whatever handle the
// device has (a closed device keeps them only if the driver takes them).
//
// Errors of the driver are silent except those that mean the chip is gone
// (FTStatusMeansGone: FT_IO_ERROR, FT_INVALID_HANDLE, FT_DEVICE_NOT_FOUND),
// which close an open device; its closed notification tells the owner.

#include <atomic>
#include <cstdint>
#include <string>

#include "uci_FTDIdirect.h"
#include "uci_ISerialPortInterface.h"

namespace kelvo {

// True for the statuses with which drivers report a chip that vanished
// under an open handle: FT_IO_ERROR, FT_INVALID_HANDLE, FT_DEVICE_NOT_FOUND.
bool FTStatusMeansGone(FT_STATUS Status);

class IFTDISerialPortInterface : public virtual ISerialPortInterface {
public:
    static constexpr TGUID IID{0xCBFAE6C0, 0x8E72, 0x4D7F, {0x8C, 0x51, 0xC3, 0x60, 0x38, 0xE6, 0xF5, 0xF5}};

    virtual void GetSerialNumber(std::string& S) = 0;
    virtual void GetUSBDescription(std::string& S) = 0;
    virtual int32_t GetDeviceIndex() = 0;
    virtual void GetCaption(std::string& S) = 0;
    virtual FT_HANDLE GetHandle() = 0;
    // The data-available notification with an empty sender (the reader's).
    virtual void NotifyDataAvailable() = 0;
    // FT_ResetDevice on the open device; false when closed or refused.
    virtual bool ResetDevice() = 0;
    virtual bool EraseEE() = 0;

protected:
    ~IFTDISerialPortInterface() = default;
};

class TFTDIDevicecore;

class TFTDIDevice : public TSerialPortCoreInterface, public virtual IFTDISerialPortInterface {
public:
    struct TFromIndex {
        int32_t Index;
    };
    struct TFromSerialNumber {
        std::string SerialNumber;
    };
    // From a driver enumeration index: reads serial number and description
    // from the driver (the device manager's refresh).
    TFTDIDevice(TFromIndex Index, const std::string& Caption);
    // From a serial number (a USB arrival); no description, index -1.
    TFTDIDevice(TFromSerialNumber SerialNumber, const std::string& Caption);
    // From a connection string (the provider registry).
    explicit TFTDIDevice(const std::string& ConnectionString = std::string());
    ~TFTDIDevice() override;

    static const TCommunicationInterfaceClass Class;

    // Serial number and description of the device at DeviceIndex, from
    // the driver; false (fields unchanged) when it cannot tell.
    bool QueryDetails();

    // ICommunicationInterface
    bool GetActive() override;
    bool Open() override;
    bool Close(bool Force) override;
    int32_t Write(const RawByteString& Data) override;
    void Read(RawByteString& Data) override;
    int32_t InQueueCount() override;
    void GetName(std::string& Name) override;
    void GetDescription(std::string& Text) override;
    void SetPresent(bool Value) override;
    bool ShowSetupDialog() override;
    bool HasSetupDialog() override;
    void GetConnectionString(std::string& S) override;
    void SetConnectionString(const std::string& S) override;

    // ISerialPortInterface
    int32_t GetBaudRate() override;
    void SetBaudRate(int32_t Rate) override;
    uint8_t GetDataBits() override;
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

    // IFTDISerialPortInterface
    void GetSerialNumber(std::string& S) override;
    void GetUSBDescription(std::string& S) override;
    int32_t GetDeviceIndex() override;
    void GetCaption(std::string& S) override;
    FT_HANDLE GetHandle() override;
    void NotifyDataAvailable() override;
    bool ResetDevice() override;
    bool EraseEE() override;

    // For an owner that drops its reference: a device that nobody but its
    // own reader thread would hold any more (Others: references the caller
    // holds besides the one it drops) is closed by force and its reader
    // ended, so that it is freed instead of staying open for ever.
    void ReleaseIfOrphaned(int32_t Others);

    // Shown by ShowSetupDialog (the window installs it); none: no dialog.
    using TSetupDialog = bool (*)(TFTDIDevice& Device);
    static void SetSetupDialog(TSetupDialog Dialog);

protected:
    void* GetInterface(const TGUID& IID) override;

private:
    // The one error hook: a status that means the chip is gone closes,
    // everything else is ignored.
    void ReportError(const char* Label, FT_STATUS Status);
    void SetDataFormat(uint8_t& Field, uint8_t Value);
    void StopReader();

    std::atomic<FT_HANDLE> FHandle{nullptr};
    std::string FCaption;
    TFTDIDevicecore* FReader = nullptr;  // under FLock
    std::string FSerialNumber;
    std::string FDescription;
    int32_t FDeviceIndex = -1;
    std::atomic<int32_t> FBaudRate{115200};
    std::atomic<bool> FRTS{false};
    std::atomic<bool> FDTR{false};
    uint8_t FDataBits = 8;
    uint8_t FStopBits = 0;
    uint8_t FParity = 0;
};

}  // namespace kelvo
