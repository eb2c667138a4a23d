#pragma once

#include <QByteArray>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Thin layer over POSIX TCP sockets for code that manages sockets by number
// on plain threads. No state; any thread. Every descriptor is created
// close-on-exec, and sends never raise SIGPIPE.
//
// A descriptor number is reused by the kernel as soon as it is closed, so a
// socket that another thread may still use must be interrupted with
// shutdownReceive()/shutdownBoth() and closed only once that thread is done.
namespace PosixSocket {

constexpr int kInvalid = -1;

// One result of name resolution, copied out of the system's list.
struct ResolvedAddress {
    std::array<unsigned char, 128> address{};
    unsigned length = 0;
    int family = 0;
    int socketType = 0;
    int protocol = 0;
};

enum class WaitResult { Ready, Timeout, Error };
enum class ConnectStart { Connected, InProgress, Failed };

// Blocking resolution of host and port for stream sockets of any family, in
// the order the resolver returns them. Empty on failure.
std::vector<ResolvedAddress> resolve(const QByteArray& host, std::uint16_t port);

int createSocket(int family, int socketType, int protocol);
int createTcpIPv4();
bool setReuseAddress(int fd);
bool setNoDelay(int fd);
// Receive and send timeouts; a timed-out call fails with a transient error.
bool setTimeouts(int fd, int milliseconds);
// Makes the next close reset the connection instead of ending it orderly.
bool setAbortiveLinger(int fd);
bool setBlocking(int fd, bool blocking);

// Binds to 127.0.0.1 (port 0 = any free port).
bool bindLoopbackIPv4(int fd, std::uint16_t port);
bool listenOn(int fd, int backlog);
// Port the socket is bound to, 0 on failure.
std::uint16_t boundPort(int fd);
int acceptClient(int listenFd);

// Readable also counts a closed or reset peer, since the next receive then
// returns at once.
WaitResult waitReadable(int fd, int milliseconds);
WaitResult waitWritable(int fd, int milliseconds);

ConnectStart startConnect(int fd, const ResolvedAddress& address);
// The socket's pending error (SO_ERROR), or the error of reading it.
int pendingError(int fd);

// One send or receive call; -1 on error (see lastErrorIsTransient).
long sendSome(int fd, const void* data, std::size_t length);
long receiveSome(int fd, void* buffer, std::size_t length);
// The last call failed for a reason worth retrying: interrupted, would
// block, or the socket timeout ran out.
bool lastErrorIsTransient();

void shutdownSend(int fd);
// Wakes a thread blocked receiving on fd without sending anything to the peer.
void shutdownReceive(int fd);
void shutdownBoth(int fd);
void closeSocket(int fd);

} // namespace PosixSocket
