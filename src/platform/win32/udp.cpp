#include "platform/udp.h"

#include "platform/dnssd.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace platform {

struct TUdpSocket::Impl {
    SOCKET s = INVALID_SOCKET;
};

namespace {

bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int toSockaddr(const TEndpoint& e, sockaddr_storage& s) {
    std::memset(&s, 0, sizeof s);
    if (e.family == 6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&s);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(e.port);
        std::memcpy(&a->sin6_addr, e.addr.data(), 16);
        return sizeof(sockaddr_in6);
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&s);
    a->sin_family = AF_INET;
    a->sin_port = htons(e.port);
    std::memcpy(&a->sin_addr, e.addr.data(), 4);
    return sizeof(sockaddr_in);
}

bool fromSockaddr(const sockaddr* s, TEndpoint& e) {
    e = TEndpoint{};
    if (s->sa_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(s);
        e.family = 6;
        std::memcpy(e.addr.data(), &a->sin6_addr, 16);
        e.port = ntohs(a->sin6_port);
        return true;
    }
    if (s->sa_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(s);
        e.family = 4;
        std::memcpy(e.addr.data(), &a->sin_addr, 4);
        e.port = ntohs(a->sin_port);
        return true;
    }
    return false;
}

std::string errorText(int code) {
    return "socket error " + std::to_string(code);
}

}  // namespace

std::string TEndpoint::text() const {
    char buf[INET6_ADDRSTRLEN] = "?";
    startWinsock();
    inet_ntop(family == 6 ? AF_INET6 : AF_INET, addr.data(), buf, sizeof buf);
    return (family == 6 ? "[" + std::string(buf) + "]" : std::string(buf)) + ":" +
           std::to_string(port);
}

bool parseAddress(const std::string& text, TEndpoint& out) {
    out = TEndpoint{};
    startWinsock();
    if (inet_pton(AF_INET, text.c_str(), out.addr.data()) == 1) {
        out.family = 4;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), out.addr.data()) == 1) {
        out.family = 6;
        return true;
    }
    return false;
}

bool resolve(const std::string& host, std::uint16_t port, TEndpoint& out, std::string& error) {
    if (host.empty()) {
        out = TEndpoint{};
        out.family = 4;
        out.port = port;
        return true;
    }
    if (parseAddress(host, out)) {
        out.port = port;
        return true;
    }
    if (!startWinsock()) {
        error = "winsock did not start";
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0 || !list) {
        error = errorText(rc);
        return false;
    }
    bool found = false;
    for (addrinfo* a = list; a && !found; a = a->ai_next) found = fromSockaddr(a->ai_addr, out);
    freeaddrinfo(list);
    if (!found) {
        error = "no usable address";
        return false;
    }
    out.port = port;
    return true;
}

TUdpSocket::TUdpSocket() : impl_(std::make_unique<Impl>()) {}

TUdpSocket::~TUdpSocket() {
    close();
}

bool TUdpSocket::open(const TEndpoint& local, std::string& error) {
    close();
    if (!startWinsock()) {
        error = "winsock did not start";
        return false;
    }
    const SOCKET s = ::socket(local.family == 6 ? AF_INET6 : AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        error = errorText(WSAGetLastError());
        return false;
    }
    sockaddr_storage a;
    const int len = toSockaddr(local, a);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), len) != 0) {
        error = errorText(WSAGetLastError());
        closesocket(s);
        return false;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    int size = 1 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    impl_->s = s;
    return true;
}

bool TUdpSocket::isOpen() const noexcept {
    return impl_->s != INVALID_SOCKET;
}

void TUdpSocket::close() noexcept {
    if (impl_->s != INVALID_SOCKET) closesocket(impl_->s);
    impl_->s = INVALID_SOCKET;
}

bool TUdpSocket::sendTo(const TEndpoint& to, const std::uint8_t* data, std::size_t size) noexcept {
    if (impl_->s == INVALID_SOCKET || !to.valid()) return false;
    sockaddr_storage a;
    const int len = toSockaddr(to, a);
    return ::sendto(impl_->s, reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
                    reinterpret_cast<sockaddr*>(&a), len) == static_cast<int>(size);
}

long TUdpSocket::receive(std::uint8_t* buffer, std::size_t capacity, TEndpoint& from) noexcept {
    if (impl_->s == INVALID_SOCKET) return -1;
    for (;;) {
        sockaddr_storage a;
        int len = sizeof a;
        const int n =
            ::recvfrom(impl_->s, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                       reinterpret_cast<sockaddr*>(&a), &len);
        if (n >= 0) {
            if (!fromSockaddr(reinterpret_cast<sockaddr*>(&a), from)) continue;
            return n;
        }
        const int code = WSAGetLastError();
        // A datagram larger than the buffer arrives cut; an earlier send's ICMP error is no
        // datagram.
        if (code == WSAEMSGSIZE) return static_cast<long>(capacity);
        if (code == WSAECONNRESET) continue;
        return -1;
    }
}

std::uint16_t TUdpSocket::localPort() const noexcept {
    sockaddr_storage a;
    int len = sizeof a;
    TEndpoint e;
    if (impl_->s == INVALID_SOCKET ||
        getsockname(impl_->s, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        !fromSockaddr(reinterpret_cast<sockaddr*>(&a), e))
        return 0;
    return e.port;
}

int waitReadable(TUdpSocket* const* sockets, int count, long long timeoutUs) noexcept {
    WSAPOLLFD fds[8];
    if (count > 8) count = 8;
    for (int i = 0; i < count; ++i) {
        fds[i].fd = sockets[i] ? sockets[i]->impl_->s : INVALID_SOCKET;
        fds[i].events = POLLRDNORM;
        fds[i].revents = 0;
    }
    if (timeoutUs < 0) timeoutUs = 0;
    const int ms = static_cast<int>((timeoutUs + 999) / 1000);
    if (WSAPoll(fds, static_cast<ULONG>(count), ms) <= 0) return 0;
    int mask = 0;
    for (int i = 0; i < count; ++i)
        if (fds[i].revents & (POLLRDNORM | POLLERR)) mask |= 1 << i;
    return mask;
}

}  // namespace platform

namespace platform {

std::string hostName() {
    char buf[256] = {};
    if (!startWinsock() || gethostname(buf, sizeof buf - 1) != 0 || buf[0] == 0) return "localhost";
    return buf;
}

}  // namespace platform
