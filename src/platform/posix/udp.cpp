#include "platform/udp.h"

#include "platform/dnssd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace platform {

struct TUdpSocket::Impl {
    int fd = -1;
};

namespace {

socklen_t toSockaddr(const TEndpoint& e, sockaddr_storage& s) {
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

}  // namespace

std::string TEndpoint::text() const {
    char buf[INET6_ADDRSTRLEN] = "?";
    inet_ntop(family == 6 ? AF_INET6 : AF_INET, addr.data(), buf, sizeof buf);
    return (family == 6 ? "[" + std::string(buf) + "]" : std::string(buf)) + ":" +
           std::to_string(port);
}

bool parseAddress(const std::string& text, TEndpoint& out) {
    out = TEndpoint{};
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
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0 || !list) {
        error = gai_strerror(rc);
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
    const int fd = ::socket(local.family == 6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    sockaddr_storage s;
    const socklen_t len = toSockaddr(local, s);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&s), len) != 0) {
        error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    // Room for bursts: a SysEx arrives as a run of datagrams.
    int size = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    impl_->fd = fd;
    return true;
}

bool TUdpSocket::isOpen() const noexcept {
    return impl_->fd >= 0;
}

void TUdpSocket::close() noexcept {
    if (impl_->fd >= 0) ::close(impl_->fd);
    impl_->fd = -1;
}

bool TUdpSocket::sendTo(const TEndpoint& to, const std::uint8_t* data, std::size_t size) noexcept {
    if (impl_->fd < 0 || !to.valid()) return false;
    sockaddr_storage s;
    const socklen_t len = toSockaddr(to, s);
    return ::sendto(impl_->fd, data, size, 0, reinterpret_cast<sockaddr*>(&s), len) ==
           static_cast<ssize_t>(size);
}

long TUdpSocket::receive(std::uint8_t* buffer, std::size_t capacity, TEndpoint& from) noexcept {
    if (impl_->fd < 0) return -1;
    sockaddr_storage s;
    socklen_t len = sizeof s;
    for (;;) {
        const ssize_t n =
            ::recvfrom(impl_->fd, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&s), &len);
        if (n >= 0) {
            if (!fromSockaddr(reinterpret_cast<sockaddr*>(&s), from)) continue;
            return static_cast<long>(n);
        }
        // An ICMP error left by an earlier send is not a datagram: read on.
        if (errno == EINTR || errno == ECONNREFUSED) continue;
        return -1;
    }
}

std::uint16_t TUdpSocket::localPort() const noexcept {
    sockaddr_storage s;
    socklen_t len = sizeof s;
    TEndpoint e;
    if (impl_->fd < 0 || ::getsockname(impl_->fd, reinterpret_cast<sockaddr*>(&s), &len) != 0 ||
        !fromSockaddr(reinterpret_cast<sockaddr*>(&s), e))
        return 0;
    return e.port;
}

int waitReadable(TUdpSocket* const* sockets, int count, long long timeoutUs) noexcept {
    // The default slack (50 microseconds) would double the shortest waits.
    thread_local const bool slackSet = ::prctl(PR_SET_TIMERSLACK, 5000UL, 0UL, 0UL, 0UL) == 0;
    (void)slackSet;
    pollfd fds[8];
    if (count > 8) count = 8;
    for (int i = 0; i < count; ++i) {
        fds[i].fd = sockets[i] ? sockets[i]->impl_->fd : -1;
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    if (timeoutUs < 0) timeoutUs = 0;
    const timespec ts{static_cast<time_t>(timeoutUs / 1000000),
                      static_cast<long>(timeoutUs % 1000000 * 1000)};
    if (::ppoll(fds, static_cast<nfds_t>(count), &ts, nullptr) <= 0) return 0;
    int mask = 0;
    for (int i = 0; i < count; ++i)
        if (fds[i].revents & (POLLIN | POLLERR)) mask |= 1 << i;
    return mask;
}

}  // namespace platform

namespace platform {

std::string hostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == 0) return "localhost";
    return buf;
}

}  // namespace platform
