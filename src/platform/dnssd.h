// DNS-SD for RTP-MIDI sessions (service type _apple-midi._udp): announce a session while an
// object lives, and list the sessions announced nearby. Through the Avahi client library where
// it was found at build time and its daemon runs; elsewhere both answer that DNS-SD is not
// available, with the reason. Main thread of the tool that uses them (an announcement runs its
// own thread inside the object).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class TAnnouncement {
public:
    virtual ~TAnnouncement() = default;
};

// Announces session `name` on control port `port`; null, with the reason in `why`, when
// DNS-SD is not available.
std::unique_ptr<TAnnouncement> announceSession(const std::string& name, std::uint16_t port,
                                               std::string& why);

struct TSeenSession {
    std::string name, host, address;
    std::uint16_t port = 0;
};

// Collects the sessions announced within `milliseconds`; false, with the reason in `why`, when
// DNS-SD is not available.
bool browseSessions(int milliseconds, std::vector<TSeenSession>& out, std::string& why);

// The machine's host name ("localhost" when the system does not tell).
std::string hostName();

}  // namespace platform
