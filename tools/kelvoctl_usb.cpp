#include "kelvoctl_usb.h"

#include <atomic>
#include <chrono>
#include <iostream>

#include "kelvoctl_connect.h"
#include "kelvoctl_report.h"
#include "uKelvoSession.h"
#include "uMainThreadQueue.h"
#include "uTickUtils.h"
#include "uci_FTDIcore.h"
#include "uci_FTDImanager.h"

namespace kelvo::ctl {

namespace {

// One watch: the manager's notifications, printed as they come.
class TWatch {
public:
    TWatch(const TOutput& Out, bool Probe, const std::set<int32_t>& Speeds) : FOut(Out), FProbe(Probe)
    {
        FSession.SearchSpeeds = Speeds;
        // What is plugged in already is listed, so that its removal names it.
        FManager.Refresh();
        FManager.SetOnArrival(TCiNotifyEvent::Of<&TWatch::Arrived>(this));
        FManager.SetOnRemoval(TCiNotifyEvent::Of<&TWatch::Removed>(this));
    }
    ~TWatch()
    {
        FManager.SetOnArrival(nullptr);
        FManager.SetOnRemoval(nullptr);
    }

private:
    void Print(const std::string& Event, const std::string& Channel, const std::string& Details = std::string(),
               const ojson& Extra = ojson::object())
    {
        const auto now = std::chrono::system_clock::now();
        if (FOut.Json) {
            ojson j = ojson{{"time", TimeText(now, true)}, {"event", Event}, {"interface", Channel}};
            for (const auto& [k, v] : Extra.items())
                j[k] = v;
            std::cout << j.dump(-1, ' ', false, ojson::error_handler_t::replace) << "\n";
        } else {
            std::cout << TimeText(now, false) << "  " << Event
                      << std::string(Event.size() < 8 ? 10 - Event.size() : 2, ' ') << Channel << (Details.empty() ? "" : "  " + Details) << "\n";
        }
        std::cout << std::flush;
    }

    void Arrived(ICommunicationInterface* Channel)
    {
        if (!Channel)
            return;
        const std::string name = ChannelName(Channel);
        Print("arrived", name);
        if (!FProbe)
            return;
        ApplyLineGap(Channel);
        // As the window does on an arrival: probe, and a USB device that
        // answered is reset once.
        TKelvorec record;
        bool found = false;
        try {
            found = FSession.ProbeInterface(Channel, record, false);
        } catch (const std::exception& e) {
            Print("failed", name, e.what(), ojson{{"error", e.what()}});
            return;
        }
        if (!found) {
            Print("nothing", name, "no module answered", ojson{{"model", nullptr}});
            return;
        }
        if (auto usb = Supports<IFTDISerialPortInterface>(Channel))
            usb->ResetDevice();
        Print("found", name, ModelName(record.Model) + " at " + SpeedText(FSession.CurrentBaudRate),
              ojson{{"model", ModelName(record.Model)}, {"speed", FSession.CurrentBaudRate}});
    }

    void Removed(ICommunicationInterface* Channel)
    {
        Print("removed", Channel ? ChannelName(Channel) : std::string("(not listed)"));
    }

    TOutput FOut;
    bool FProbe;
    TKelvoSession FSession;
    TFTDIManager FManager;
};

std::atomic<uint32_t> gLineGap{0};

}  // namespace

void SetLineGap(uint32_t Ms)
{
    gLineGap = Ms;
}

uint32_t LineGap()
{
    return gLineGap;
}

void ApplyLineGap(ICommunicationInterface* Channel)
{
    if (Channel && gLineGap != 0)
        Channel->SetConnectionString("line_gap=" + std::to_string(gLineGap.load()));
}

IntfPtr<ICommunicationInterface> MakeChannel(const TPortChoice& Where)
{
    IntfPtr<ICommunicationInterface> channel;
    if (!Where.UsbSerial.empty()) {
        auto usb = MakeIntf<TFTDIDevice>(TFTDIDevice::TFromSerialNumber{Where.UsbSerial}, std::string());
        channel = IntfPtr<ICommunicationInterface>(usb->AsInterface());
    } else {
        auto port = MakeIntf<TSerialPortInterface>("comport=" + std::to_string(Where.Port));
        channel = IntfPtr<ICommunicationInterface>(port->AsInterface());
    }
    ApplyLineGap(channel.get());
    return channel;
}

std::string ChannelName(ICommunicationInterface* Channel)
{
    std::string name;
    if (!Channel)
        return name;
    Channel->GetName(name);
    if (Supports<IFTDISerialPortInterface>(Channel))
        return "USB:" + name;
    return name;
}

std::vector<TTarget> CommandTargets(TFTDIManager& Manager, std::vector<TInterfaceName> Only)
{
    std::vector<TTarget> targets;
    TFTDIManager& manager = Manager;
    manager.Lock();
    try {
        manager.Refresh();
        IntfPtr<ICommunicationInterface> c;
        if (Only.empty()) {
            for (manager.First(c); c; manager.Next(c))
                targets.push_back({ParseInterfaceName(ChannelName(c.get())), c, ""});
        }
        for (TInterfaceName& n : Only) {
            ResolveNode(n);
            TTarget t{n, nullptr, ""};
            if (!n.UsbSerial.empty()) {
                for (manager.First(c); c && !t.Channel; manager.Next(c))
                    if (ChannelName(c.get()) == n.Text())
                        t.Channel = c;
                if (!t.Channel)
                    t.Missing = n.Text() + ": no such USB device";
            } else {
                TPortChoice where;
                where.Port = n.Port;
                t.Channel = MakeChannel(where);
            }
            targets.push_back(std::move(t));
        }
    } catch (...) {
        manager.Unlock();
        throw;
    }
    manager.Unlock();
    for (TTarget& t : targets)
        ApplyLineGap(t.Channel.get());
    return targets;
}

std::string ChannelName(const TPortChoice& Where)
{
    TInterfaceName n;
    n.Port = Where.Port;
    n.UsbSerial = Where.UsbSerial;
    return n.Text();
}

void RunWatch(const TOutput& Out, bool Probe, const std::set<int32_t>& Speeds, uint32_t Seconds)
{
    {
        TWatch watch(Out, Probe, Speeds);
        if (!Out.Json)
            std::cerr << "kelvoctl: watching for modules being plugged in and out"
                      << (Seconds ? " for " + std::to_string(Seconds) + " s" : std::string(" (Ctrl+C ends)")) << "\n";
        const uint32_t start = GetTickCount32();
        while (!Interrupted() && (Seconds == 0 || GetTickCount32() - start < Seconds * 1000u))
            TMainThreadQueue::DrainFor(100);
    }
    TMainThreadQueue::Drain();
    // Ctrl+C is how a watch ends.
    ClearInterrupted();
}

}  // namespace kelvo::ctl
