// DNS-SD through the Avahi client library: an announcement keeps an entry group on Avahi's
// threaded event loop (its own thread) until the object goes; browsing runs a simple event loop
// on the caller's thread for the time asked. Without a running daemon both say so at once.
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/thread-watch.h>

#include <chrono>

#include "platform/dnssd.h"

namespace platform {

namespace {

constexpr const char* kServiceType = "_apple-midi._udp";

class TAvahiAnnouncement : public TAnnouncement {
public:
    TAvahiAnnouncement(std::string name, std::uint16_t port)
        : name_(std::move(name)), port_(port) {}
    ~TAvahiAnnouncement() override {
        if (poll_) avahi_threaded_poll_stop(poll_);
        if (client_) avahi_client_free(client_);
        if (poll_) avahi_threaded_poll_free(poll_);
    }

    bool start(std::string& why) {
        poll_ = avahi_threaded_poll_new();
        if (!poll_) {
            why = "the Avahi event loop could not be made";
            return false;
        }
        int error = 0;
        // The first state change comes from inside avahi_client_new, before the loop runs.
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0),
                                   &TAvahiAnnouncement::onClient, this, &error);
        if (!client_) {
            why = std::string("the Avahi daemon is not reachable (") + avahi_strerror(error) + ")";
            return false;
        }
        if (avahi_threaded_poll_start(poll_) < 0) {
            why = "the Avahi event loop did not start";
            return false;
        }
        return true;
    }

private:
    // Avahi's thread (and once the constructor's).
    static void onClient(AvahiClient* c, AvahiClientState state, void* self) {
        auto* a = static_cast<TAvahiAnnouncement*>(self);
        if (state == AVAHI_CLIENT_S_RUNNING) a->publish(c);
        if (state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) {
            if (a->group_) avahi_entry_group_reset(a->group_);
        }
    }
    static void onGroup(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self) {
        auto* a = static_cast<TAvahiAnnouncement*>(self);
        if (state != AVAHI_ENTRY_GROUP_COLLISION) return;
        // Another session has the name: take the next free variant ("name #2").
        char* other = avahi_alternative_service_name(a->name_.c_str());
        a->name_ = other;
        avahi_free(other);
        a->publish(avahi_entry_group_get_client(g));
    }
    void publish(AvahiClient* c) {
        if (!group_) group_ = avahi_entry_group_new(c, &TAvahiAnnouncement::onGroup, this);
        if (!group_) return;
        avahi_entry_group_reset(group_);
        if (avahi_entry_group_add_service(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                          AvahiPublishFlags(0), name_.c_str(), kServiceType,
                                          nullptr, nullptr, port_, nullptr) == 0)
            avahi_entry_group_commit(group_);
    }

    std::string name_;
    std::uint16_t port_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
};

struct Browse {
    AvahiClient* client = nullptr;
    std::vector<TSeenSession>* out = nullptr;
};

void onResolved(AvahiServiceResolver* r, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                const char* name, const char*, const char*, const char* host,
                const AvahiAddress* address, std::uint16_t port, AvahiStringList*,
                AvahiLookupResultFlags, void* self) {
    auto* b = static_cast<Browse*>(self);
    if (event == AVAHI_RESOLVER_FOUND && name && host && address) {
        char text[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(text, sizeof text, address);
        TSeenSession s{name, host, text, port};
        bool known = false;
        for (const auto& o : *b->out) known |= o.name == s.name && o.address == s.address;
        if (!known) b->out->push_back(s);
    }
    avahi_service_resolver_free(r);
}

void onFound(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
             AvahiLookupResultFlags, void* self) {
    auto* b = static_cast<Browse*>(self);
    if (event != AVAHI_BROWSER_NEW) return;
    avahi_service_resolver_new(b->client, interface, protocol, name, type, domain,
                               AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), &onResolved, b);
}

}  // namespace

std::unique_ptr<TAnnouncement> announceSession(const std::string& name, std::uint16_t port,
                                               std::string& why) {
    auto a = std::make_unique<TAvahiAnnouncement>(name, port);
    if (!a->start(why)) return nullptr;
    return a;
}

bool browseSessions(int milliseconds, std::vector<TSeenSession>& out, std::string& why) {
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (!poll) {
        why = "the Avahi event loop could not be made";
        return false;
    }
    Browse b;
    b.out = &out;
    int error = 0;
    b.client = avahi_client_new(avahi_simple_poll_get(poll), AvahiClientFlags(0), nullptr, nullptr,
                                &error);
    if (!b.client) {
        why = std::string("the Avahi daemon is not reachable (") + avahi_strerror(error) + ")";
        avahi_simple_poll_free(poll);
        return false;
    }
    AvahiServiceBrowser* browser =
        avahi_service_browser_new(b.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, kServiceType,
                                  nullptr, AvahiLookupFlags(0), &onFound, &b);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (browser) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || avahi_simple_poll_iterate(poll, static_cast<int>(left)) != 0) break;
    }
    avahi_client_free(b.client);  // frees the browser and resolvers too
    avahi_simple_poll_free(poll);
    if (!browser) {
        why = "the browser could not start";
        return false;
    }
    return true;
}

}  // namespace platform
