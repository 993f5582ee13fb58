// The broker link where kelvoctl was built without libmosquitto (Debian
// ships none for MinGW): publish says so and does nothing else.
#include "kelvoctl_args.h"
#include "kelvoctl_mqtt.h"

namespace kelvo::ctl {

struct TBrokerLink::TState {};

TBrokerLink::TBrokerLink(const TBrokerSettings&, size_t)
{
    throw EStepFailed("this kelvoctl was built without libmosquitto, so it cannot publish to a broker; "
                      "use a build for Linux, or one made where libmosquitto is installed");
}

TBrokerLink::~TBrokerLink() = default;
void TBrokerLink::Publish(TOutMessage) {}
void TBrokerLink::HoldWill(const std::string&, const std::string&) {}
std::string TBrokerLink::Refused() const { return std::string(); }
std::vector<std::string> TBrokerLink::TakeNotes() { return {}; }
uint64_t TBrokerLink::TakeDropped(size_t) { return 0; }
size_t TBrokerLink::Close(std::chrono::steady_clock::time_point) { return 0; }

}  // namespace kelvo::ctl
