// Throughput and CPU of the SOCKS relay carrying a 20 Mbit/s stream through
// microsocks, beside the same stream on a direct connection in the same run;
// then the most each path carries when the sender does not pace itself.
// Needs microsocks installed; everything runs on 127.0.0.1.

#include "net/sockstcprelay.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTcpServer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kStreamBitsPerSecond = 20e6;
constexpr int kPacedSeconds = 5;
constexpr int kTickMs = 10;
constexpr long long kUnpacedBytes = 512LL << 20;

quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Accepts one connection and reads it to the end.
struct Sink {
    int listenFd = -1;
    quint16 port = 0;
    std::atomic<long long> received{0};
    std::thread thread;

    Sink()
    {
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listenFd, 4);
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this] {
            const int fd = ::accept(listenFd, nullptr, nullptr);
            std::vector<char> buf(1 << 16);
            for (;;) {
                const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
                if (n <= 0)
                    break;
                received += n;
            }
            ::close(fd);
        });
    }
    ~Sink()
    {
        thread.join();
        ::close(listenFd);
    }
};

double processCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double childCpuSeconds(qint64 pid)
{
    QFile f(QString("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = f.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the whole line.
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

struct RunResult {
    double seconds = 0;
    long long bytes = 0;
    double ownCpu = 0;   // this process: sender, sink and (when used) the relay
    double proxyCpu = 0; // microsocks
};

// The client's own SOCKS5 CONNECT to 127.0.0.1:targetPort, for the
// reference path that uses the proxy without the relay.
bool socksConnect(int fd, quint16 targetPort)
{
    const char greeting[3] = {5, 1, 0};
    char reply[10];
    const char request[10] = {5, 1, 0, 1, 127, 0, 0, 1, char(targetPort >> 8), char(targetPort & 0xff)};
    return ::send(fd, greeting, 3, MSG_NOSIGNAL) == 3 && ::recv(fd, reply, 2, MSG_WAITALL) == 2 && reply[1] == 0
        && ::send(fd, request, 10, MSG_NOSIGNAL) == 10 && ::recv(fd, reply, 10, MSG_WAITALL) == 10 && reply[1] == 0;
}

// Sends to `port` (the sink, the relay, or the proxy itself when socksTarget
// is set) and waits until the sink has everything.
RunResult run(quint16 port, Sink& sink, bool paced, qint64 proxyPid, quint16 socksTarget = 0)
{
    RunResult r;
    const double cpu0 = processCpuSeconds();
    const double proxy0 = childCpuSeconds(proxyPid);
    const auto t0 = Clock::now();
    const int fd = connectTo(port);
    if (fd < 0)
        return r;
    if (socksTarget != 0 && !socksConnect(fd, socksTarget)) {
        ::close(fd);
        return r;
    }
    std::vector<char> chunk(paced ? size_t(kStreamBitsPerSecond / 8 * kTickMs / 1000) : size_t(1 << 16), 'x');
    long long sent = 0;
    if (paced) {
        const int ticks = kPacedSeconds * 1000 / kTickMs;
        for (int i = 0; i < ticks; ++i) {
            std::this_thread::sleep_until(t0 + std::chrono::milliseconds(i * kTickMs));
            sent += ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
        }
    } else {
        while (sent < kUnpacedBytes)
            sent += ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    }
    ::shutdown(fd, SHUT_WR);
    while (sink.received.load() < sent && Clock::now() - t0 < std::chrono::seconds(120))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::close(fd);
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    r.bytes = sink.received.load();
    r.ownCpu = processCpuSeconds() - cpu0;
    r.proxyCpu = childCpuSeconds(proxyPid) - proxy0;
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.info=false");
    const quint16 proxyPort = freePort();
    QProcess microsocks;
    microsocks.start("microsocks", {"-i", "127.0.0.1", "-p", QString::number(proxyPort)});
    if (!microsocks.waitForStarted(5000)) {
        std::fprintf(stderr, "microsocks is not installed\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::printf("SOCKS relay through microsocks, beside a direct connection (same run)\n");
    for (const bool paced : {true, false}) {
        RunResult direct;
        {
            Sink sink;
            direct = run(sink.port, sink, paced, 0);
        }
        RunResult proxyOnly;
        {
            Sink sink;
            proxyOnly = run(proxyPort, sink, paced, microsocks.processId(), sink.port);
        }
        RunResult relayed;
        {
            Sink sink;
            SocksTcpRelay relay;
            const quint16 local = relay.start("127.0.0.1", proxyPort, "127.0.0.1", sink.port);
            relayed = run(local, sink, paced, microsocks.processId());
        }
        const double directMBs = double(direct.bytes) / direct.seconds / 1e6;
        const double relayMBs = double(relayed.bytes) / relayed.seconds / 1e6;
        const double proxyMBs = double(proxyOnly.bytes) / proxyOnly.seconds / 1e6;
        if (paced) {
            std::printf("  20 Mbit/s for %d s:\n", kPacedSeconds);
            std::printf("    direct : %lld bytes, %.1f Mbit/s, CPU %.3f s (%.2f %% of a core)\n", direct.bytes,
                        directMBs * 8, direct.ownCpu, 100 * direct.ownCpu / direct.seconds);
            std::printf("    microsocks without relay: CPU %.3f s here + %.3f s microsocks\n", proxyOnly.ownCpu,
                        proxyOnly.proxyCpu);
            std::printf("    relayed: %lld bytes, %.1f Mbit/s, CPU %.3f s here + %.3f s microsocks (%.2f %% of a core)\n",
                        relayed.bytes, relayMBs * 8, relayed.ownCpu, relayed.proxyCpu,
                        100 * (relayed.ownCpu + relayed.proxyCpu) / relayed.seconds);
            std::printf("    CPU ratio relayed/direct: %.2f (relay alone adds %.2f %% of a core)\n",
                        (relayed.ownCpu + relayed.proxyCpu) / std::max(direct.ownCpu, 1e-6),
                        100 * (relayed.ownCpu - direct.ownCpu) / relayed.seconds);
        } else {
            std::printf("  unpaced, %lld MiB:\n", kUnpacedBytes >> 20);
            std::printf("    direct : %.0f MB/s, CPU %.2f s\n", directMBs, direct.ownCpu);
            std::printf("    microsocks without relay: %.0f MB/s, CPU %.2f s here + %.2f s microsocks\n", proxyMBs,
                        proxyOnly.ownCpu, proxyOnly.proxyCpu);
            std::printf("    relayed: %.0f MB/s, CPU %.2f s here + %.2f s microsocks\n", relayMBs, relayed.ownCpu,
                        relayed.proxyCpu);
            std::printf("    throughput ratio relayed/direct: %.2f, relayed/microsocks alone: %.2f\n",
                        relayMBs / directMBs, relayMBs / proxyMBs);
        }
    }
    microsocks.terminate();
    microsocks.waitForFinished(3000);
    return 0;
}
