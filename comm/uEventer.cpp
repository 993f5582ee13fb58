#include "uEventer.h"

#include <algorithm>

#include "uci_ICommunicationInterface.h"
#include "uiNodedInterface.h"

namespace kelvo {

size_t TEventer::Count()
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    return FHandlers.size();
}

void TEventer::AddEntry(const TEntry& Entry)
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    FHandlers.push_back(Entry);
}

void TEventer::RemoveEntry(const TEntry& Entry)
{
    std::lock_guard<std::recursive_mutex> guard(FLock);
    auto it = std::find(FHandlers.begin(), FHandlers.end(), Entry);
    if (it != FHandlers.end())
        FHandlers.erase(it);
}

void Teventer_NodedInterface::Fire(INodedInterface* Node)
{
    IntfPtr<INodedInterface> hold(Node);
    FireAll(Node);
}

void TeventerDescentEvent::Fire(IUnknown* Node, int32_t Depth)
{
    IntfPtr<IUnknown> hold(Node);
    FireAll(Node, Depth);
}

void TeventerCiNotify::Fire(ICommunicationInterface* Sender)
{
    IntfPtr<ICommunicationInterface> hold(Sender);
    FireAll(Sender);
}

void TeventerCiNotifyChangeEvent::Fire(ICommunicationInterface* Sender, int32_t Line, bool State)
{
    IntfPtr<ICommunicationInterface> hold(Sender);
    FireAll(Sender, Line, State);
}

}  // namespace kelvo
