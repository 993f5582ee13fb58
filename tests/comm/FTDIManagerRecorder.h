#pragma once
// Records what a device manager reports: "+name" for an arrival, "-name"
// for a removal ("-" alone for a removal of something never listed).

#include <string>
#include <vector>

#include "uci_FTDImanager.h"

namespace kelvo::testing {

struct TPlugRecorder {
    std::vector<std::string> Events;
    std::vector<IntfPtr<ICommunicationInterface>> Devices;

    void OnArrival(ICommunicationInterface* D) { Note("+", D); }
    void OnRemoval(ICommunicationInterface* D) { Note("-", D); }
    void Attach(TFTDIManager& M)
    {
        M.SetOnArrival(TCiNotifyEvent::Of<&TPlugRecorder::OnArrival>(this));
        M.SetOnRemoval(TCiNotifyEvent::Of<&TPlugRecorder::OnRemoval>(this));
    }
    static void Detach(TFTDIManager& M)
    {
        M.SetOnArrival(nullptr);
        M.SetOnRemoval(nullptr);
    }

private:
    void Note(const char* Sign, ICommunicationInterface* D)
    {
        std::string name;
        if (D)
            D->GetName(name);
        Events.push_back(Sign + name);
        Devices.emplace_back(D);
    }
};

inline std::vector<std::string> Names(TFTDIManager& M)
{
    std::vector<std::string> names;
    IntfPtr<ICommunicationInterface> d;
    for (M.First(d); d; M.Next(d)) {
        std::string n;
        d->GetName(n);
        names.push_back(n);
    }
    return names;
}

}  // namespace kelvo::testing
