#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// A local TCP relay: listens on an ephemeral port of 127.0.0.1 and tunnels
// every accepted connection through a SOCKS5 proxy (no authentication,
// CONNECT by domain name) to one fixed target, copying bytes both ways until
// either side closes.
//
// Threads: the owner's thread calls start(), stop() and the destructor. Per
// run an accept thread sets tunnels up one at a time; per tunnel a worker
// thread pumps one direction and a second thread the other; a detached
// resolver thread per accepted client looks the proxy up.
//
// Sockets are closed only by the thread that uses them, after it is done
// with them: the owner interrupts a blocked thread with shutdown() and the
// thread then closes. A socket number is reused by the kernel as soon as it
// is closed, so closing under another thread's feet could hit a stranger.
class SocksTcpRelay {
public:
    SocksTcpRelay();
    ~SocksTcpRelay();
    SocksTcpRelay(const SocksTcpRelay&) = delete;
    SocksTcpRelay& operator=(const SocksTcpRelay&) = delete;

    // Local port on 127.0.0.1, or 0 when listening failed. Stops a previous
    // run first, so the relay may be started again.
    std::uint16_t start(const QString& proxyHost, std::uint16_t proxyPort, const QString& targetHost,
                        std::uint16_t targetPort);
    // Stops accepting, resets every tunnel and joins every thread except
    // detached resolvers. Returns when idle; may be called repeatedly.
    void stop();

    std::uint16_t localPort() const { return m_localPort; }

private:
    using StopFlag = std::shared_ptr<std::atomic<bool>>;

    // One tunnel that is up.
    struct ActiveConnection {
        // Written once before the worker starts; taken (exchanged for -1) by
        // the worker when it closes them, under socketMutex, so that an
        // interrupting thread never shuts down a reused number.
        std::atomic<int> client{-1};
        std::atomic<int> upstream{-1};
        std::mutex socketMutex;
        // Set by the worker when both directions ended and both sockets are closed.
        std::atomic<bool> finished{false};
        // Started by the accept thread under connectionsMutex, joined by the
        // reaper (accept thread or owner) after it took the connection out.
        std::thread worker;
    };

    void interruptAll();
    void acceptLoop(StopFlag stop);
    void reapConnections(bool closeAll);
    bool connectToProxy(const StopFlag& stop);
    bool socksHandshake(int upstream);
    // Closes a pending socket of the accept thread (exchanging it for -1
    // under pendingMutex), resetting the connection when abortive.
    void closePending(std::atomic<int>& socket, bool abortive);
    static void connectionWorker(std::shared_ptr<ActiveConnection> connection, StopFlag stop);

    // Owner thread only (start/stop); the accept thread gets its own copy of
    // the flag, and every tunnel thread a copy of that.
    StopFlag m_stopFlag;

    // Created by start, closed by start's failure path or by stop after the
    // accept thread is joined; interruptAll only shuts it down.
    std::atomic<int> m_listenSocket{-1};
    std::uint16_t m_localPort = 0; // owner thread only

    // Written by start before the accept thread starts, read-only while it runs.
    QString m_proxyHost;
    std::uint16_t m_proxyPort = 0;
    QString m_targetHost;
    std::uint16_t m_targetPort = 0;

    std::thread m_acceptThread; // owner thread only

    // The tunnel being set up. The accept thread stores and closes them; the
    // owner's interruptAll shuts them down. Both under pendingMutex.
    std::mutex m_pendingMutex;
    std::atomic<int> m_pendingClient{-1};
    std::atomic<int> m_pendingUpstream{-1};

    // Guarded by connectionsMutex: held while appending, reaping and
    // interrupting, never while joining, sending or receiving.
    // Lock order: connectionsMutex, then an ActiveConnection's socketMutex.
    std::mutex m_connectionsMutex;
    std::vector<std::shared_ptr<ActiveConnection>> m_connections;
};
