#include "uKelvoSession.h"

#include <algorithm>
#include <cmath>
#include <climits>
#include <cstdio>
#include <exception>
#include <vector>

#include "uConnectionString.h"
#include "uExceptions.h"
#include "uLogUtils.h"
#include "uTickUtils.h"
#include "uVerdel97.h"
#include "uci_FTDIcore.h"

namespace kelvo {

namespace {

// Every transaction starts with this pause, the first one too: modules need
// a quiet line between two requests.
constexpr uint32_t kTransactPauseMs = 25;
constexpr int32_t kProbeTimeoutMs = 250;
constexpr uint32_t kPauseBeforeRereadMs = 100;
constexpr int32_t kMeasureTimeoutMs = 500;
constexpr int kMeasureAttempts = 3;

const TLogSender& MainWindowSender()
{
    static const TLogSender sender("TfMain", "fMain");
    return sender;
}

// Nearest integer, halves to the even neighbour.
double RoundHalfEven(double X)
{
    const double lower = std::floor(X);
    const double diff = X - lower;
    if (diff > 0.5)
        return lower + 1;
    if (diff < 0.5)
        return lower;
    return std::fmod(lower, 2.0) == 0 ? lower : lower + 1;
}

}  // namespace

TReplyFault ClassifyRefusedReply(const RawByteString& Reply)
{
    static const RawByteString kFrameStart("\x2A\x61", 2);
    if (Reply.empty())
        return TReplyFault::Nothing;
    if (Reply.compare(0, std::min<size_t>(Reply.size(), 2), kFrameStart, 0, std::min<size_t>(Reply.size(), 2)) != 0)
        return Reply.find(kFrameStart) != RawByteString::npos ? TReplyFault::StrayBytes : TReplyFault::NotAFrame;
    if (Reply.size() < 4)
        return TReplyFault::Incomplete;
    const size_t announced = static_cast<uint8_t>(Reply[2]) * 256u + static_cast<uint8_t>(Reply[3]) + 4;
    if (Reply.size() < announced)
        return TReplyFault::Incomplete;
    if (Reply.size() > announced)
        return TReplyFault::StrayBytes;
    return CheckVerdel97Packet(Reply) == 5 ? TReplyFault::Checksum : TReplyFault::Malformed;
}

std::string SerialNumberText(const TKelvorec& Record)
{
    char serial[16];
    std::snprintf(serial, sizeof serial, "%.4d", int(Record.Info.SerialNumber));
    return serial;
}

TKelvoSession::TKelvoSession() = default;

bool TKelvoSession::Transact(ICommunicationInterface* Interface, uint8_t Instruction, const RawByteString& Data,
                             RawByteString& ReplyData, uint8_t Address, int32_t TimeoutMs)
{
    return Exchange(Interface, Instruction, Data, ReplyData, Address, TimeoutMs, false);
}

bool TKelvoSession::Exchange(ICommunicationInterface* Interface, uint8_t Instruction, const RawByteString& Data,
                             RawByteString& ReplyData, uint8_t Address, int32_t TimeoutMs, bool EmptyQueueFirst)
{
    SleepMs(kTransactPauseMs);
    if (!Interface || !Interface->GetActive())
        return false;
    if (EmptyQueueFirst)
        Interface->PurgeRx();
    const RawByteString request = BuildVerdel97Packet(Address, kRequestSignature, Instruction, Data);
    RawByteString reply;
    Interface->Query(request, TimeoutMs, reply, &CheckVerdel97Packet, &Verdel97ReplyHopeless);
    if (CheckVerdel97Packet(reply) != 0) {
        if (OnReply)
            OnReply(Instruction, ClassifyRefusedReply(reply), reply);
        return false;
    }
    TVerdelFormat97 frame;
    try {
        ParseVerdel97Packet(reply, frame);
    } catch (const std::exception&) {
        if (OnReply)
            OnReply(Instruction, TReplyFault::Malformed, reply);
        throw;
    }
    if (OnReply)
        OnReply(Instruction, TReplyFault::None, reply);
    ReplyData = std::move(frame.Data);
    return true;
}

int32_t TKelvoSession::SpeedTimeoutMs(int32_t BaudRate)
{
    // The time-out grows with the speed; above 9600 bit/s it stays at its
    // 9600 value, since a silent module at 115200 would otherwise cost 36 s
    // per exchange and minutes per read, and a module that answers does so
    // within milliseconds at those speeds.
    const int32_t rate = std::min(BaudRate, kSpeedTimeoutCapRate);
    return static_cast<int32_t>(RoundHalfEven(rate / 1000.0 * 300 + 250)) + 1000;
}

bool TKelvoSession::TransactWithSpeedTimeout(uint8_t Instruction, const RawByteString& Data, RawByteString& Reply,
                                             uint8_t Address, int32_t /*TimeoutMs*/)
{
    return Transact(CurrentInterface.get(), Instruction, Data, Reply,
                    Address == kBroadcastAddress ? RequestAddress : Address, SpeedTimeoutMs(CurrentBaudRate));
}

TVerdelTransactionCallback TKelvoSession::SpeedTimeoutTransaction()
{
    return [this](uint8_t Instruction, const RawByteString& Data, RawByteString& Reply, uint8_t Address,
                  int32_t TimeoutMs) {
        return TransactWithSpeedTimeout(Instruction, Data, Reply, Address, TimeoutMs);
    };
}

bool TKelvoSession::CheckDevice(ICommunicationInterface* Interface, uint8_t& Model)
{
    RawByteString reply;
    if (!Exchange(Interface, kInstrIdentify, RawByteString(), reply, RequestAddress, kProbeTimeoutMs, true))
        return false;
    Model = kModelOther;
    if (!IsKelvoFamilyReply(reply))
        return false;
    Model = ModelFromIdentification(UpperCaseText(TrimText(reply)));
    return true;
}

bool TKelvoSession::ProbeAtSpeed(ICommunicationInterface* Interface, int32_t Speed, const std::string& Description,
                                 uint8_t& Model)
{
    if (OnProbeSpeed)
        OnProbeSpeed(Interface, Speed);
    CurrentBaudRate = Speed;
    if (Interface && !Description.empty() && OnConnectionLabel) {
        std::string text;
        Interface->GetDescription(text);
        OnConnectionLabel(text + " / " + Description);
    }
    bool result = false;
    try {
        if (Interface) {
            Interface->SetConnectionString("baudrate=" + std::to_string(Speed));
            // Bytes waiting now were sent at the speed before.
            Interface->PurgeRx();
        }
        result = CheckDevice(Interface, Model);
    } catch (const std::exception& e) {
        // A reply that cannot be parsed, a channel that fails: whatever went
        // wrong belongs to this interface at this speed, and the search goes
        // on with the next one.
        Log(std::string("CheckDevice failed: ") + e.what(), MainWindowSender(), 0, 4);
    }
    Log(result ? "CheckDevice (result=1)" : "CheckDevice (result=0)", MainWindowSender(), 0, 4);
    return result;
}

bool TKelvoSession::IsFTDIDevice(ICommunicationInterface* Interface)
{
    return static_cast<bool>(Supports<IFTDISerialPortInterface>(Interface));
}

bool TKelvoSession::ResetFTDIDevice(ICommunicationInterface* Interface)
{
    const IntfPtr<IFTDISerialPortInterface> device = Supports<IFTDISerialPortInterface>(Interface);
    return device && device->ResetDevice();
}

bool TKelvoSession::ReadSerialNumber(ICommunicationInterface* Interface, uint16_t& SerialNumber)
{
    const auto transaction = [this, Interface](uint8_t Instruction, const RawByteString& Data, RawByteString& Reply,
                                               uint8_t Address, int32_t /*TimeoutMs*/) {
        return Transact(Interface, Instruction, Data, Reply, Address == kBroadcastAddress ? RequestAddress : Address,
                        SpeedTimeoutMs(CurrentBaudRate));
    };
    RawByteString reply;
    try {
        if (!ReadConfirmed(transaction, kInstrReadProductionData, RawByteString(), reply, OnReadAttempt))
            return false;
    } catch (const std::exception& e) {
        Log(std::string("ReadSerialNumber failed: ") + e.what(), MainWindowSender(), 0, 4);
        return false;
    }
    std::string_view production(reply);
    ReadItemUInt(production, 2);
    SerialNumber = static_cast<uint16_t>(ReadItemUInt(production, 2));
    return true;
}

std::string TKelvoSession::SpeedLabel(int32_t Speed)
{
    std::string digits = std::to_string(Speed);
    std::string out;
    const size_t n = digits.size();
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0 && digits[i - 1] != '-')
            out += '.';
        out += digits[i];
    }
    return out + " bps";
}

std::optional<int32_t> TKelvoSession::BaudrateParamSpeed(const std::string& Param)
{
    static const std::string prefix = "baudrate";
    if (Param.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    std::string rest = Param.substr(prefix.size());
    if (!rest.empty() && (rest[0] == '=' || rest[0] == ':'))
        rest.erase(0, 1);
    try {
        const int64_t v = StrToInt64Strict(rest);
        if (v < 0 || v > INT32_MAX)
            return std::nullopt;
        return static_cast<int32_t>(v);
    } catch (const EConvertError&) {
        return std::nullopt;
    }
}

bool TKelvoSession::Confirmed(ICommunicationInterface* Interface, uint8_t Model)
{
    // A module that answers a request only after its time-out answers it
    // while the next speed is tried: its reply then looks like a module at
    // that speed. A module really there answers a second request too.
    uint8_t again = kModelOther;
    bool confirmed = false;
    try {
        confirmed = CheckDevice(Interface, again) && again == Model;
    } catch (const std::exception& e) {
        Log(std::string("CheckDevice failed: ") + e.what(), MainWindowSender(), 0, 4);
    }
    if (!confirmed) {
        Log("CheckDevice not confirmed: a late reply to the speed before", MainWindowSender(), 0, 4);
        if (OnReply)
            OnReply(kInstrIdentify, TReplyFault::Unconfirmed, RawByteString());
    }
    return confirmed;
}

bool TKelvoSession::ProbeInterface(ICommunicationInterface* Interface, TKelvorec& Record, bool KeepOpen)
{
    FLastProbeOpened = false;
    if (!Interface)
        return false;
    const TLogSender& sender = MainWindowSender();
    std::string description;
    Interface->GetDescription(description);
    Log("Assigned CI " + description, sender, 0, 1);

    std::string savedConnection;
    Interface->GetConnectionString(savedConnection);
    const bool wasOpen = Interface->GetActive();
    auto restore = [&] {
        if (!KeepOpen) {
            Interface->SetActive(wasOpen);
            Interface->SetConnectionString(savedConnection);
        }
    };

    bool result = false;
    try {
        bool opened = false;
        try {
            opened = Interface->Open();
        } catch (const std::exception& e) {
            Log("Open CI " + description + " failed: " + e.what(), sender, 0, 2);
        }
        Log("Open CI " + description + (opened ? " OK" : " fail"), sender, 0, 2);
        FLastProbeOpened = Interface->GetActive();
        if (Interface->GetActive()) {
            std::vector<std::pair<int32_t, std::string>> speeds;
            if (auto n = BaudrateParamSpeed(BaudrateParam))
                speeds.emplace_back(*n, std::to_string(*n));
            std::vector<int32_t> order = IsFTDIDevice(Interface) ? std::vector<int32_t>{115200, 9600}
                                                                 : std::vector<int32_t>{9600, 115200};
            for (int32_t s : {300, 600, 1200, 2400, 4800, 19200, 38400, 57600, 230400})
                order.push_back(s);
            for (int32_t s : order)
                if (SearchSpeeds.count(s))
                    speeds.emplace_back(s, SpeedLabel(s));
            bool triedBefore = false;
            for (const auto& [speed, label] : speeds) {
                uint8_t model = Record.Model;
                if (ProbeAtSpeed(Interface, speed, label, model) && (!triedBefore || Confirmed(Interface, model))) {
                    Record.Model = model;
                    result = true;
                    break;
                }
                Record.Model = model;
                triedBefore = true;
            }
        }
        Log("Open SP " + description + (result ? " (result=1)" : " (result=0)"), sender, 0, 8);
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return result;
}

bool TKelvoSession::ReadModule()
{
    FLastError.clear();
    FModuleRead = false;
    try {
        if (IdentifyModule(ModuleRecord, kBroadcastAddress, SpeedTimeoutTransaction(), OnReadAttempt)) {
            ResetWorkingCopy();
            FModuleRead = true;
            return true;
        }
        FLastError = "No transaction";
    } catch (const std::exception& e) {
        FLastError = e.what();
    } catch (...) {
        FLastError = "Unknown error";
    }
    // A read that failed half-way leaves a record that is part this module,
    // part an earlier one: nothing of it may be shown, edited or saved.
    ForgetModule();
    return false;
}

void TKelvoSession::ForgetModule()
{
    ModuleRecord = TKelvorec();
    ResetWorkingCopy();
    FModuleRead = false;
}

void TKelvoSession::ResetWorkingCopy()
{
    EditedChannels = ModuleRecord.Channels;
    EditedWatches = ModuleRecord.Watch;
    EditedUserData = ModuleRecord.Info.UserData;
    EditedSpeedCode = ModuleRecord.Info.SpeedCode;
    EditedAddress = ModuleRecord.Info.Address;
}

TKelvorec TKelvoSession::WorkingRecord() const
{
    TKelvorec working = ModuleRecord;
    working.Channels = EditedChannels;
    working.Watch = EditedWatches;
    working.Info.UserData = EditedUserData;
    working.Info.SpeedCode = EditedSpeedCode;
    working.Info.Address = EditedAddress;
    return working;
}

bool TKelvoSession::WorkingCopyDiffers() const
{
    return EditedChannels != ModuleRecord.Channels || EditedWatches != ModuleRecord.Watch
           || EditedUserData != ModuleRecord.Info.UserData || EditedSpeedCode != ModuleRecord.Info.SpeedCode
           || EditedAddress != ModuleRecord.Info.Address;
}

bool TKelvoSession::SaveChanges()
{
    // Without a record read from this module there is nothing to compare
    // with and no address to write to: nothing is sent.
    if (!FModuleRead) {
        FLastSave = TSaveOutcome{};
        FLastError = "The module has not been read";
        return false;
    }
    // Everything of one save goes to the address the module had when the
    // save began, also after a write that gives it a new one; the re-read
    // at the end uses 254 and finds it either way.
    const TKelvorec device = ModuleRecord;
    const TKelvorec working = WorkingRecord();
    const uint8_t address = device.Info.Address;
    const IntfPtr<ICommunicationInterface> channel = CurrentInterface;
    const std::vector<TKelvoWriteCommand> commands = BuildSaveCommands(working, device);
    FLastSave = TSaveOutcome{0, commands.size(), false};
    for (const TKelvoWriteCommand& command : commands) {
        if (SaveStopRequested && SaveStopRequested()) {
            FLastSave.Stopped = true;
            break;
        }
        if (OnSaveProgress)
            OnSaveProgress(FLastSave.Sent, FLastSave.Total);
        RawByteString reply;
        Transact(channel.get(), kInstrWriteEnable, RawByteString(), reply, address, kWriteTimeoutMs);
        Transact(channel.get(), command.Instruction, command.Data, reply, address, kWriteTimeoutMs);
        if (!command.ConnectionStringAfter.empty() && channel)
            channel->SetConnectionString(command.ConnectionStringAfter);
        ++FLastSave.Sent;
        if (command.Instruction == kInstrWriteCommSettings && RequestAddress != kBroadcastAddress)
            RequestAddress = working.Info.Address;
    }
    SleepMs(kPauseBeforeRereadMs);
    return ReadModule();
}

bool TKelvoSession::ReadMeasuredValues(std::array<TKelvoChannelRecountedValue, 4>& Values)
{
    for (auto& v : Values)
        v.Valid = false;
    RawByteString reply;
    bool answered = false;
    for (int attempt = 0; attempt < kMeasureAttempts && !answered; ++attempt) {
        try {
            answered = Transact(CurrentInterface.get(), kInstrReadValues, RawByteString(1, '\0'), reply,
                                RequestAddress, kMeasureTimeoutMs);
        } catch (const std::exception& e) {
            // A reply that cannot be parsed or a channel error is one more
            // attempt without an answer, as silence is.
            Log(std::string("Measurement failed: ") + e.what(), MainWindowSender(), 0, 4);
        }
    }
    if (answered && !reply.empty())
        DecodeRecountedValues(reply, Values);
    return answered;
}

std::string TKelvoSession::ModuleNameCaption() const
{
    const std::string trimmed = TrimText(ModuleRecord.Info.UserData);
    return trimmed.empty() ? std::string() : " - " + trimmed;
}

}  // namespace kelvo
