#pragma once
// The provider registry: one process-wide ordered list that pairs provider
// names ("SERIAL_PORT", "FTD_USB") with channel classes. A channel module
// registers its class when the program starts and removes it at the end.
// Nothing looks a provider up by name; channels are created by class.

#include <string>
#include <vector>

#include "ui_MyInterfacedObject.h"

namespace kelvo {

class ICommunicationInterface;

// A class reference to a channel class: its name and its virtual
// constructor from a connection string. Each channel class owns one static
// instance, so the address identifies the class.
struct TCommunicationInterfaceClass {
    const char* ClassName;
    IntfPtr<ICommunicationInterface> (*Create)(const std::string& ConnectionString);
};

struct TProviderEntry {
    const TCommunicationInterfaceClass* ProviderClass;
    std::string ProviderName;
};

// Appends the pair at the end of the list; duplicates are allowed. Always
// true.
bool RegisterProvider(const TCommunicationInterfaceClass* ProviderClass, const std::string& ProviderName);

// Removes the first pair whose class is ProviderClass; false when there is
// none.
bool UnregisterProvider(const TCommunicationInterfaceClass* ProviderClass);

// A copy of the list in registration order.
std::vector<TProviderEntry> RegisteredProviders();

// Registers a class for the lifetime of a static object: the way a channel
// module registers itself at start and removes itself at the end.
class TProviderRegistration {
public:
    TProviderRegistration(const TCommunicationInterfaceClass* ProviderClass, const char* ProviderName)
        : FClass(ProviderClass)
    {
        RegisterProvider(ProviderClass, ProviderName);
    }
    ~TProviderRegistration() { UnregisterProvider(FClass); }
    TProviderRegistration(const TProviderRegistration&) = delete;
    TProviderRegistration& operator=(const TProviderRegistration&) = delete;

private:
    const TCommunicationInterfaceClass* FClass;
};

}  // namespace kelvo
