#include "platform/posixsocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace PosixSocket {

std::vector<ResolvedAddress> resolve(const QByteArray& host, std::uint16_t port)
{
    std::vector<ResolvedAddress> result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.constData(), service.c_str(), &hints, &list) != 0 || !list)
        return result;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen < 1 || ai->ai_addrlen > sizeof(ResolvedAddress::address))
            continue;
        ResolvedAddress a;
        std::memcpy(a.address.data(), ai->ai_addr, ai->ai_addrlen);
        a.length = unsigned(ai->ai_addrlen);
        a.family = ai->ai_family;
        a.socketType = ai->ai_socktype;
        a.protocol = ai->ai_protocol;
        result.push_back(a);
    }
    freeaddrinfo(list);
    return result;
}

int createSocket(int family, int socketType, int protocol)
{
    return ::socket(family, socketType | SOCK_CLOEXEC, protocol);
}

int createTcpIPv4() { return createSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

bool setReuseAddress(int fd)
{
    const int one = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

bool setNoDelay(int fd)
{
    const int one = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool setTimeouts(int fd, int milliseconds)
{
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    const bool r = ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
    const bool s = ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
    return r && s;
}

bool setAbortiveLinger(int fd)
{
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0;
}

bool setBlocking(int fd, bool blocking)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

bool bindLoopbackIPv4(int fd, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool listenOn(int fd, int backlog) { return ::listen(fd, backlog) == 0; }

std::uint16_t boundPort(int fd)
{
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    if (a.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return 0;
}

int acceptClient(int listenFd) { return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC); }

static WaitResult waitFor(int fd, short events, int milliseconds)
{
    pollfd p{};
    p.fd = fd;
    p.events = events;
    const int n = ::poll(&p, 1, milliseconds);
    if (n == 0)
        return WaitResult::Timeout;
    if (n < 0)
        return errno == EINTR ? WaitResult::Timeout : WaitResult::Error;
    if (p.revents & POLLNVAL)
        return WaitResult::Error;
    if (p.revents & (events | POLLHUP | POLLERR))
        return WaitResult::Ready;
    return WaitResult::Error;
}

WaitResult waitReadable(int fd, int milliseconds) { return waitFor(fd, POLLIN, milliseconds); }

WaitResult waitWritable(int fd, int milliseconds) { return waitFor(fd, POLLOUT, milliseconds); }

ConnectStart startConnect(int fd, const ResolvedAddress& address)
{
    if (::connect(fd, reinterpret_cast<const sockaddr*>(address.address.data()), address.length) == 0)
        return ConnectStart::Connected;
    return errno == EINPROGRESS || errno == EAGAIN ? ConnectStart::InProgress : ConnectStart::Failed;
}

int pendingError(int fd)
{
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return errno;
    return error;
}

long sendSome(int fd, const void* data, std::size_t length)
{
    return long(::send(fd, data, length, MSG_NOSIGNAL));
}

long receiveSome(int fd, void* buffer, std::size_t length) { return long(::recv(fd, buffer, length, 0)); }

bool lastErrorIsTransient()
{
    const int e = errno;
    return e == EINTR || e == EAGAIN || e == EWOULDBLOCK || e == ETIMEDOUT;
}

void shutdownSend(int fd) { ::shutdown(fd, SHUT_WR); }

void shutdownReceive(int fd) { ::shutdown(fd, SHUT_RD); }

void shutdownBoth(int fd) { ::shutdown(fd, SHUT_RDWR); }

void closeSocket(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

} // namespace PosixSocket
