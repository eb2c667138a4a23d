#pragma once

// In-process TCP peers on 127.0.0.1 for network tests: an echo server and a
// scripted SOCKS5 server that records what it is sent and answers as told
// (split replies, wrong address types, silence). Each runs its own threads
// on blocking POSIX sockets and stops in its destructor.

#include <QByteArray>
#include <QList>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

// Blocking client helpers; -1 / false on failure. Every wait is bounded.
int connectLoopback(std::uint16_t port, const char* address = "127.0.0.1");
bool sendAllBytes(int fd, const QByteArray& data);
// Reads until `count` bytes arrived, the peer closed, or timeoutMs passed.
QByteArray receiveBytes(int fd, int count, int timeoutMs);
// Reads until the peer closes or timeoutMs passes; *closed tells which.
QByteArray receiveUntilClosed(int fd, int timeoutMs, bool* closed = nullptr, bool* reset = nullptr);
void closeFd(int fd);
// Number of open descriptors of this process.
int openDescriptorCount();

// A port of 127.0.0.1 where connections are refused for the object's life:
// bound but not listening, so nothing else can take it meanwhile.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// Base: a listening socket on 127.0.0.1 and an accept thread that hands each
// client to serve() on a thread of its own.
class LoopbackServer {
public:
    LoopbackServer() = default;
    virtual ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Listens on an ephemeral port (or the given one); false on failure.
    bool listen(std::uint16_t port = 0);
    void stop();
    std::uint16_t port() const { return m_port; }
    int acceptedCount() const { return m_accepted.load(); }

protected:
    virtual void serve(int client) = 0;
    const std::atomic<bool>& stopFlag() const { return m_stop; }

private:
    void acceptLoop();

    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    int m_listenFd = -1;
    std::uint16_t m_port = 0;
    std::thread m_acceptThread;
    std::mutex m_clientsMutex;
    std::vector<int> m_clientFds;          // guarded by m_clientsMutex
    std::vector<std::thread> m_clientThreads; // guarded by m_clientsMutex
};

// Echoes every byte; when the client ends its side, sends `trailer` (if any)
// and closes.
class EchoServer : public LoopbackServer {
public:
    ~EchoServer() override { stop(); }
    QByteArray trailer;

protected:
    void serve(int client) override;
};

// A SOCKS5 server following a script. After the exchange it echoes, like
// EchoServer, so a relay's tunnel can be checked end to end.
class ScriptedSocksServer : public LoopbackServer {
public:
    ~ScriptedSocksServer() override { stop(); }

    // Set before listen().
    QByteArray methodReply = QByteArray("\x05\x00", 2);        // empty: stay silent
    QByteArray connectReply = QByteArray("\x05\x00\x00\x01\x7f\x00\x00\x01\x12\x34", 10);
    int dribbleMs = 0; // > 0: send replies one byte at a time with this pause
    QByteArray trailer; // sent after the echo, when the client ended its side

    QByteArray greeting() const;
    QByteArray request() const;

protected:
    void serve(int client) override;

private:
    mutable std::mutex m_recordMutex;
    QByteArray m_greeting; // guarded by m_recordMutex
    QByteArray m_request;  // guarded by m_recordMutex
};

// Answers every HTTP request with 200 and `body`, then closes. Keeps each
// request (head and body) it was sent.
class HttpFileServer : public LoopbackServer {
public:
    ~HttpFileServer() override { stop(); }
    QByteArray body;
    QByteArray contentType = "application/octet-stream";

    QList<QByteArray> requests() const;

protected:
    void serve(int client) override;

private:
    mutable std::mutex m_requestsMutex;
    QList<QByteArray> m_requests; // guarded by m_requestsMutex
};

} // namespace testsupport
