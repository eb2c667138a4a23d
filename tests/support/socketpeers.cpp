#include "support/socketpeers.h"

#include <QDir>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

bool waitIn(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

void sendPaced(int fd, const QByteArray& data, int pauseMs)
{
    if (pauseMs <= 0) {
        sendAllBytes(fd, data);
        return;
    }
    for (char c : data) {
        ::send(fd, &c, 1, MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
}

// Echo until the client ends its side; false when it reset or we stop.
void echo(int fd, const std::atomic<bool>& stop)
{
    char buf[65536];
    while (!stop.load()) {
        if (!waitIn(fd, 100))
            continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return;
        if (!sendAllBytes(fd, QByteArray::fromRawData(buf, int(n))))
            return;
    }
}

} // namespace

int connectLoopback(std::uint16_t port, const char* address)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAllBytes(int fd, const QByteArray& data)
{
    qsizetype sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

QByteArray receiveBytes(int fd, int count, int timeoutMs)
{
    QByteArray out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (out.size() < count) {
        const int left = msLeft(deadline);
        if (left == 0 || !waitIn(fd, left))
            break;
        const ssize_t n = ::recv(fd, buf, std::min<size_t>(sizeof buf, size_t(count - out.size())), 0);
        if (n <= 0)
            break;
        out.append(buf, int(n));
    }
    return out;
}

QByteArray receiveUntilClosed(int fd, int timeoutMs, bool* closed, bool* reset)
{
    QByteArray out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    if (closed)
        *closed = false;
    if (reset)
        *reset = false;
    for (;;) {
        const int left = msLeft(deadline);
        if (left == 0 || !waitIn(fd, left))
            break;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (closed)
                *closed = true;
            if (reset)
                *reset = n < 0 && errno == ECONNRESET;
            break;
        }
        out.append(buf, int(n));
    }
    return out;
}

void closeFd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

int openDescriptorCount() { return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size()); }

RefusingPort::RefusingPort()
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        m_port = ntohs(a.sin_port);
}

RefusingPort::~RefusingPort() { closeFd(m_fd); }

LoopbackServer::~LoopbackServer() { stop(); }

bool LoopbackServer::listen(std::uint16_t port)
{
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        return false;
    const int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m_listenFd, 64) != 0
        || ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    m_port = ntohs(a.sin_port);
    m_acceptThread = std::thread(&LoopbackServer::acceptLoop, this);
    return true;
}

void LoopbackServer::acceptLoop()
{
    while (!m_stop.load()) {
        if (!waitIn(m_listenFd, 100))
            continue;
        const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        m_accepted.fetch_add(1);
        std::lock_guard lock(m_clientsMutex);
        m_clientFds.push_back(client);
        m_clientThreads.emplace_back([this, client] { serve(client); });
    }
}

void LoopbackServer::stop()
{
    m_stop.store(true);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    std::vector<std::thread> threads;
    std::vector<int> fds;
    {
        std::lock_guard lock(m_clientsMutex);
        for (int fd : m_clientFds)
            ::shutdown(fd, SHUT_RDWR);
        threads.swap(m_clientThreads);
        fds.swap(m_clientFds);
    }
    for (auto& t : threads)
        t.join();
    for (int fd : fds)
        ::close(fd);
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
}

void EchoServer::serve(int client)
{
    echo(client, stopFlag());
    if (!trailer.isEmpty())
        sendAllBytes(client, trailer);
    ::shutdown(client, SHUT_WR); // closed by stop(), after this thread ends
}

void HttpFileServer::serve(int client)
{
    QByteArray request;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!request.contains("\r\n\r\n") && msLeft(deadline) > 0) {
        const QByteArray part = receiveBytes(client, 1, msLeft(deadline));
        if (part.isEmpty())
            break;
        request += part;
    }
    const qsizetype headEnd = request.indexOf("\r\n\r\n");
    const qsizetype lengthAt = request.toLower().indexOf("content-length:");
    if (headEnd >= 0 && lengthAt >= 0 && lengthAt < headEnd) {
        const int length = request.mid(lengthAt + 15, request.indexOf("\r\n", lengthAt) - lengthAt - 15).trimmed().toInt();
        const int have = int(request.size() - headEnd - 4);
        if (length > have)
            request += receiveBytes(client, length - have, msLeft(deadline));
    }
    {
        std::lock_guard lock(m_requestsMutex);
        m_requests.append(request);
    }
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    sendAllBytes(client, head + body);
    ::shutdown(client, SHUT_WR);
}

QList<QByteArray> HttpFileServer::requests() const
{
    std::lock_guard lock(m_requestsMutex);
    return m_requests;
}

QByteArray ScriptedSocksServer::greeting() const
{
    std::lock_guard lock(m_recordMutex);
    return m_greeting;
}

QByteArray ScriptedSocksServer::request() const
{
    std::lock_guard lock(m_recordMutex);
    return m_request;
}

void ScriptedSocksServer::serve(int client)
{
    const QByteArray hello = receiveBytes(client, 3, 3000);
    {
        std::lock_guard lock(m_recordMutex);
        m_greeting = hello;
    }
    const auto holdOpen = [&] {
        // Silence: keep the connection until the client leaves or we stop.
        while (!stopFlag().load()) {
            if (waitIn(client, 100)) {
                char c;
                if (::recv(client, &c, 1, 0) <= 0)
                    return;
            }
        }
    };
    if (hello.size() != 3 || methodReply.isEmpty())
        return holdOpen();
    sendPaced(client, methodReply, dribbleMs);
    if (methodReply != QByteArray("\x05\x00", 2))
        return holdOpen();
    QByteArray req = receiveBytes(client, 5, 3000);
    if (req.size() == 5)
        req += receiveBytes(client, static_cast<unsigned char>(req[4]) + 2, 3000);
    {
        std::lock_guard lock(m_recordMutex);
        m_request = req;
    }
    if (connectReply.isEmpty())
        return holdOpen();
    sendPaced(client, connectReply, dribbleMs);
    echo(client, stopFlag());
    if (!trailer.isEmpty())
        sendAllBytes(client, trailer);
    ::shutdown(client, SHUT_WR);
}

} // namespace testsupport
