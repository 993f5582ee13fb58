#include "uProviderRegistry.h"

#include <mutex>

namespace kelvo {

namespace {

// Created on first use, so that it exists before the first static
// registration whatever the order of static construction, and never
// destroyed, so that it outlives the last static removal.
struct TRegistry {
    std::mutex Lock;
    std::vector<TProviderEntry> Entries;
};

TRegistry& Registry()
{
    static TRegistry* registry = new TRegistry;
    return *registry;
}

}  // namespace

bool RegisterProvider(const TCommunicationInterfaceClass* ProviderClass, const std::string& ProviderName)
{
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.Lock);
    r.Entries.push_back({ProviderClass, ProviderName});
    return true;
}

bool UnregisterProvider(const TCommunicationInterfaceClass* ProviderClass)
{
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.Lock);
    for (auto it = r.Entries.begin(); it != r.Entries.end(); ++it) {
        if (it->ProviderClass == ProviderClass) {
            r.Entries.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<TProviderEntry> RegisteredProviders()
{
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> guard(r.Lock);
    return r.Entries;
}

}  // namespace kelvo
