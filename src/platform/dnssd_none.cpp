// DNS-SD where the build has no Avahi client library (Windows builds, or Linux without
// libavahi-client-dev): nothing is announced or browsed, and the callers say why.
#include "platform/dnssd.h"

namespace platform {

std::unique_ptr<TAnnouncement> announceSession(const std::string&, std::uint16_t,
                                               std::string& why) {
    why = "this build has no DNS-SD (built without the Avahi client library)";
    return nullptr;
}

bool browseSessions(int, std::vector<TSeenSession>&, std::string& why) {
    why = "this build has no DNS-SD (built without the Avahi client library)";
    return false;
}

}  // namespace platform
