// UDP sockets for the network bridge: open on an address, send and receive datagrams without
// blocking, and wait for any of several sockets with a timeout. One implementation per system
// (posix/udp.cpp, win32/udp.cpp). Main thread of the tool that uses them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

struct TEndpoint {
    int family = 0;  // 4 or 6; 0 for none
    std::array<std::uint8_t, 16> addr{};
    std::uint16_t port = 0;

    bool valid() const noexcept { return family == 4 || family == 6; }
    bool sameHost(const TEndpoint& o) const noexcept {
        return family == o.family && addr == o.addr;
    }
    bool operator==(const TEndpoint& o) const noexcept { return sameHost(o) && port == o.port; }
    TEndpoint withPort(std::uint16_t p) const noexcept {
        TEndpoint e = *this;
        e.port = p;
        return e;
    }
    // "192.0.2.1:5004" or "[2001:db8::1]:5004".
    std::string text() const;
};

// Resolves a host name or numeric address (empty: any address, IPv4) with `port`; false with
// a reason in `error` when the name does not resolve.
bool resolve(const std::string& host, std::uint16_t port, TEndpoint& out, std::string& error);
// Reads a numeric address without any lookup; false when it is not one.
bool parseAddress(const std::string& text, TEndpoint& out);

class TUdpSocket {
public:
    TUdpSocket();
    ~TUdpSocket();
    TUdpSocket(const TUdpSocket&) = delete;
    TUdpSocket& operator=(const TUdpSocket&) = delete;

    // Binds to `local` (its family decides the socket's); false with a reason in `error`.
    bool open(const TEndpoint& local, std::string& error);
    bool isOpen() const noexcept;
    void close() noexcept;
    // Sends one datagram; false when the system refused it.
    bool sendTo(const TEndpoint& to, const std::uint8_t* data, std::size_t size) noexcept;
    // Takes one waiting datagram without blocking: its size (datagrams larger than `capacity`
    // are cut), or -1 when none waits.
    long receive(std::uint8_t* buffer, std::size_t capacity, TEndpoint& from) noexcept;
    std::uint16_t localPort() const noexcept;

    struct Impl;

private:
    friend int waitReadable(TUdpSocket* const* sockets, int count, long long timeoutUs) noexcept;
    std::unique_ptr<Impl> impl_;
};

// Waits until a datagram waits on one of the sockets, a signal arrives or `timeoutUs` passes;
// answers a bit mask of the sockets that can be read (0 on timeout or signal). Short timeouts
// are kept closely (the calling thread's timer slack is made small on first use), because a
// caller that looks at something without a wake-up of its own waits in small steps.
int waitReadable(TUdpSocket* const* sockets, int count, long long timeoutUs) noexcept;

}  // namespace platform
