#include "net/sockstcprelay.h"

#include "platform/posixsocket.h"

#include <QByteArray>
#include <QDebug>

#include <chrono>
#include <condition_variable>

namespace {

using Clock = std::chrono::steady_clock;
using StopFlag = std::shared_ptr<std::atomic<bool>>;

// Tunnels are set up one at a time, so a burst of clients waits in the
// listen queue. A short queue (a handful) makes the kernel drop the excess
// in a burst, and those clients see their connection die with nothing
// carried; this one holds every connection a media session opens at once.
constexpr int kListenBacklog = 64;
constexpr int kAcceptWaitMs = 100;
constexpr int kConnectWaitMs = 100;
constexpr int kConnectWaits = 50;
constexpr int kResolveWaitMs = 50;
// Bounds each step of the SOCKS5 exchange.
constexpr int kHandshakeTimeoutMs = 5000;
// Bounds how long a live tunnel's blocked call keeps a pump from seeing stop.
constexpr int kTunnelTimeoutMs = 200;
constexpr std::size_t kPumpBufferBytes = 65536;
constexpr int kMaxSocksNameBytes = 255;

bool stopRequested(const StopFlag& stop) { return !stop || stop->load(); }

// Shared between a waiting caller and one detached resolver thread.
struct ResolveState {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;                                  // guarded by mutex
    std::vector<PosixSocket::ResolvedAddress> addresses; // guarded by mutex
};

// getaddrinfo cannot be cancelled; the caller stops waiting when asked to
// and leaves the resolver to finish alone.
std::vector<PosixSocket::ResolvedAddress> resolveHostInterruptibly(const QString& host, std::uint16_t port,
                                                                    const StopFlag& stop)
{
    auto state = std::make_shared<ResolveState>();
    std::thread([state, name = host.toUtf8(), port] {
        auto addresses = PosixSocket::resolve(name, port);
        std::lock_guard lock(state->mutex);
        state->addresses = std::move(addresses);
        state->done = true;
        state->cv.notify_all();
    }).detach();
    std::unique_lock lock(state->mutex);
    for (;;) {
        if (state->done)
            return state->addresses;
        if (stopRequested(stop))
            return {};
        state->cv.wait_for(lock, std::chrono::milliseconds(kResolveWaitMs));
    }
}

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

bool sendExact(int fd, const char* data, std::size_t length, Clock::time_point deadline)
{
    std::size_t sent = 0;
    while (sent < length) {
        const long n = PosixSocket::sendSome(fd, data + sent, length - sent);
        if (n > 0) {
            sent += std::size_t(n);
            continue;
        }
        if (n == 0 || !PosixSocket::lastErrorIsTransient())
            return false;
        const int left = remainingMs(deadline);
        if (left == 0 || PosixSocket::waitWritable(fd, left) != PosixSocket::WaitResult::Ready)
            return false;
    }
    return true;
}

// A reply may come in several segments; gathers exactly `length` bytes
// before the deadline.
bool receiveExact(int fd, char* buffer, std::size_t length, Clock::time_point deadline)
{
    std::size_t got = 0;
    while (got < length) {
        const int left = remainingMs(deadline);
        if (left == 0 || PosixSocket::waitReadable(fd, left) != PosixSocket::WaitResult::Ready)
            return false;
        const long n = PosixSocket::receiveSome(fd, buffer + got, length - got);
        if (n > 0)
            got += std::size_t(n);
        else if (n == 0 || !PosixSocket::lastErrorIsTransient())
            return false;
    }
    return true;
}

void interruptSocket(const std::atomic<int>& socket)
{
    const int fd = socket.load();
    if (fd == PosixSocket::kInvalid)
        return;
    PosixSocket::setAbortiveLinger(fd);
    PosixSocket::shutdownReceive(fd);
}

void pumpSocket(int from, int to, StopFlag stop)
{
    std::vector<char> buffer(kPumpBufferBytes);
    for (;;) {
        if (stopRequested(stop))
            break;
        const long n = PosixSocket::receiveSome(from, buffer.data(), buffer.size());
        if (n < 0 && PosixSocket::lastErrorIsTransient())
            continue;
        if (n <= 0)
            break;
        long offset = 0;
        bool failed = false;
        while (offset < n && !failed) {
            if (stopRequested(stop)) {
                failed = true;
                break;
            }
            const long s = PosixSocket::sendSome(to, buffer.data() + offset, std::size_t(n - offset));
            if (s < 0 && PosixSocket::lastErrorIsTransient())
                continue;
            if (s <= 0)
                failed = true;
            else
                offset += s;
        }
        if (failed)
            break;
    }
    // Pass the end of this direction on while the other may still run; a
    // stopped relay resets instead.
    if (to != PosixSocket::kInvalid && !stopRequested(stop))
        PosixSocket::shutdownSend(to);
}

} // namespace

SocksTcpRelay::SocksTcpRelay() = default;

SocksTcpRelay::~SocksTcpRelay() { stop(); }

std::uint16_t SocksTcpRelay::start(const QString& proxyHost, std::uint16_t proxyPort, const QString& targetHost,
                                   std::uint16_t targetPort)
{
    stop();
    m_proxyHost = proxyHost;
    m_proxyPort = proxyPort;
    m_targetHost = targetHost;
    m_targetPort = targetPort;
    m_stopFlag = std::make_shared<std::atomic<bool>>(false);

    const int fd = PosixSocket::createTcpIPv4();
    if (fd == PosixSocket::kInvalid)
        return 0;
    m_listenSocket.store(fd);
    std::uint16_t port = 0;
    if (PosixSocket::setReuseAddress(fd) && PosixSocket::bindLoopbackIPv4(fd, 0)
        && PosixSocket::listenOn(fd, kListenBacklog)) {
        PosixSocket::setNoDelay(fd);
        port = PosixSocket::boundPort(fd);
    }
    if (port == 0) {
        PosixSocket::closeSocket(m_listenSocket.exchange(PosixSocket::kInvalid));
        m_stopFlag.reset();
        return 0;
    }
    m_localPort = port;
    m_acceptThread = std::thread(&SocksTcpRelay::acceptLoop, this, m_stopFlag);
    qInfo() << "SocksTcpRelay: 127.0.0.1:" << m_localPort << "via"
            << QStringLiteral("%1:%2").arg(m_proxyHost).arg(m_proxyPort) << "->"
            << QStringLiteral("%1:%2").arg(m_targetHost).arg(m_targetPort);
    return m_localPort;
}

void SocksTcpRelay::stop()
{
    interruptAll();
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    reapConnections(true);
    // Only now is nobody left who could use the listening socket.
    PosixSocket::closeSocket(m_listenSocket.exchange(PosixSocket::kInvalid));
    m_localPort = 0;
    m_stopFlag.reset();
}

void SocksTcpRelay::interruptAll()
{
    if (m_stopFlag)
        m_stopFlag->store(true);
    const int listenFd = m_listenSocket.load();
    if (listenFd != PosixSocket::kInvalid)
        PosixSocket::shutdownBoth(listenFd);
    {
        std::lock_guard lock(m_pendingMutex);
        interruptSocket(m_pendingClient);
        interruptSocket(m_pendingUpstream);
    }
    std::lock_guard lock(m_connectionsMutex);
    for (const auto& c : m_connections) {
        std::lock_guard socketLock(c->socketMutex);
        interruptSocket(c->client);
        interruptSocket(c->upstream);
    }
}

void SocksTcpRelay::closePending(std::atomic<int>& socket, bool abortive)
{
    int fd = PosixSocket::kInvalid;
    {
        std::lock_guard lock(m_pendingMutex);
        fd = socket.exchange(PosixSocket::kInvalid);
    }
    if (fd == PosixSocket::kInvalid)
        return;
    if (abortive)
        PosixSocket::setAbortiveLinger(fd);
    PosixSocket::closeSocket(fd);
}

bool SocksTcpRelay::connectToProxy(const StopFlag& stop)
{
    const auto addresses = resolveHostInterruptibly(m_proxyHost, m_proxyPort, stop);
    for (const auto& address : addresses) {
        const int fd = PosixSocket::createSocket(address.family, address.socketType, address.protocol);
        if (fd == PosixSocket::kInvalid)
            continue;
        {
            std::lock_guard lock(m_pendingMutex);
            m_pendingUpstream.store(fd);
        }
        bool connected = false;
        if (PosixSocket::setBlocking(fd, false)) {
            const auto startResult = PosixSocket::startConnect(fd, address);
            if (startResult == PosixSocket::ConnectStart::Connected) {
                connected = true;
            } else if (startResult == PosixSocket::ConnectStart::InProgress) {
                for (int i = 0; i < kConnectWaits && !stopRequested(stop); ++i) {
                    const auto w = PosixSocket::waitWritable(fd, kConnectWaitMs);
                    if (w == PosixSocket::WaitResult::Timeout)
                        continue;
                    connected = w == PosixSocket::WaitResult::Ready && PosixSocket::pendingError(fd) == 0
                        && !stopRequested(stop);
                    break;
                }
            }
        }
        if (connected && PosixSocket::setBlocking(fd, true))
            return true;
        closePending(m_pendingUpstream, false);
    }
    return false;
}

bool SocksTcpRelay::socksHandshake(int upstream)
{
    const QByteArray name = m_targetHost.toUtf8();
    if (name.isEmpty() || name.size() > kMaxSocksNameBytes)
        return false;
    const auto stepDeadline = [] { return Clock::now() + std::chrono::milliseconds(kHandshakeTimeoutMs); };

    const char greeting[3] = {0x05, 0x01, 0x00};
    if (!sendExact(upstream, greeting, sizeof greeting, stepDeadline()))
        return false;
    char choice[2];
    if (!receiveExact(upstream, choice, sizeof choice, stepDeadline()) || choice[0] != 0x05 || choice[1] != 0x00)
        return false;

    // Always CONNECT by name, numeric targets included: the proxy resolves.
    QByteArray request;
    request.reserve(7 + name.size());
    request.append(char(0x05)).append(char(0x01)).append(char(0x00)).append(char(0x03));
    request.append(char(name.size())).append(name);
    request.append(char(m_targetPort >> 8)).append(char(m_targetPort & 0xff));
    if (!sendExact(upstream, request.constData(), std::size_t(request.size()), stepDeadline()))
        return false;

    char head[4];
    if (!receiveExact(upstream, head, sizeof head, stepDeadline()) || head[0] != 0x05 || head[1] != 0x00)
        return false;
    char bound[257 + 2];
    switch (head[3]) {
    case 0x01:
        return receiveExact(upstream, bound, 6, stepDeadline());
    case 0x04:
        return receiveExact(upstream, bound, 18, stepDeadline());
    case 0x03: {
        char length = 0;
        if (!receiveExact(upstream, &length, 1, stepDeadline()))
            return false;
        return receiveExact(upstream, bound, std::size_t(static_cast<unsigned char>(length)) + 2, stepDeadline());
    }
    default:
        return false;
    }
}

void SocksTcpRelay::acceptLoop(StopFlag stop)
{
    if (!stop)
        return;
    while (!stop->load() && m_listenSocket.load() != PosixSocket::kInvalid) {
        const int listenFd = m_listenSocket.load();
        if (PosixSocket::waitReadable(listenFd, kAcceptWaitMs) != PosixSocket::WaitResult::Ready)
            continue;
        const int client = PosixSocket::acceptClient(listenFd);
        if (client == PosixSocket::kInvalid)
            continue;
        {
            std::lock_guard lock(m_pendingMutex);
            m_pendingClient.store(client);
        }
        PosixSocket::setNoDelay(client);

        if (!connectToProxy(stop)) {
            qWarning() << "SocksTcpRelay: cannot reach proxy" << m_proxyHost << m_proxyPort;
            closePending(m_pendingClient, false);
            continue;
        }
        const int upstream = m_pendingUpstream.load();
        PosixSocket::setNoDelay(upstream);
        PosixSocket::setTimeouts(upstream, kHandshakeTimeoutMs);

        if (!socksHandshake(upstream)) {
            qWarning() << "SocksTcpRelay: SOCKS5 CONNECT failed" << m_targetHost << m_targetPort;
            closePending(m_pendingUpstream, false);
            closePending(m_pendingClient, false);
            continue;
        }
        PosixSocket::setNoDelay(upstream);
        PosixSocket::setTimeouts(client, kTunnelTimeoutMs);
        PosixSocket::setTimeouts(upstream, kTunnelTimeoutMs);
        qInfo() << "SocksTcpRelay: tunnel up";

        if (stop->load())
            break;

        auto connection = std::make_shared<ActiveConnection>();
        {
            // Moving the sockets and appending under connectionsMutex means
            // interruptAll sees them either as pending or as a connection.
            std::lock_guard lock(m_connectionsMutex);
            {
                std::lock_guard pendingLock(m_pendingMutex);
                connection->client.store(m_pendingClient.exchange(PosixSocket::kInvalid));
                connection->upstream.store(m_pendingUpstream.exchange(PosixSocket::kInvalid));
            }
            m_connections.push_back(connection);
            connection->worker = std::thread(&SocksTcpRelay::connectionWorker, connection, stop);
        }
        reapConnections(false);
    }
    // Leaving on stop: whatever was being set up is reset.
    closePending(m_pendingUpstream, true);
    closePending(m_pendingClient, true);
}

void SocksTcpRelay::connectionWorker(std::shared_ptr<ActiveConnection> connection, StopFlag stop)
{
    const int client = connection->client.load();
    const int upstream = connection->upstream.load();
    std::thread second(pumpSocket, client, upstream, stop);
    pumpSocket(upstream, client, stop);
    second.join();
    int fds[2];
    {
        std::lock_guard lock(connection->socketMutex);
        fds[0] = connection->client.exchange(PosixSocket::kInvalid);
        fds[1] = connection->upstream.exchange(PosixSocket::kInvalid);
    }
    const bool abortive = stopRequested(stop);
    for (const int fd : fds) {
        if (fd == PosixSocket::kInvalid)
            continue;
        if (abortive)
            PosixSocket::setAbortiveLinger(fd);
        PosixSocket::closeSocket(fd);
    }
    connection->finished.store(true);
}

void SocksTcpRelay::reapConnections(bool closeAll)
{
    std::vector<std::shared_ptr<ActiveConnection>> taken;
    {
        std::lock_guard lock(m_connectionsMutex);
        auto keep = m_connections.begin();
        for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
            const auto& c = *it;
            if (closeAll) {
                std::lock_guard socketLock(c->socketMutex);
                interruptSocket(c->client);
                interruptSocket(c->upstream);
            }
            if (closeAll || c->finished.load())
                taken.push_back(c);
            else
                *keep++ = c;
        }
        m_connections.erase(keep, m_connections.end());
    }
    for (const auto& c : taken) {
        if (c->worker.joinable())
            c->worker.join();
    }
}
