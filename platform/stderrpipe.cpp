#include "platform/stderrpipe.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace platform {

bool redirectStderrToPipe(StderrPipe& pipe)
{
    const int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (saved < 0)
        return false;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        ::close(saved);
        return false;
    }
    // dup2 clears close-on-exec on descriptor 2, so children still inherit a
    // standard error.
    if (::dup2(ends[1], STDERR_FILENO) < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        ::close(saved);
        return false;
    }
    ::close(ends[1]);
    pipe.savedStderrFd = saved;
    pipe.readFd = ends[0];
    return true;
}

bool restoreStderr(int savedFd)
{
    if (savedFd < 0 || savedFd == STDERR_FILENO)
        return false;
    int rc;
    do {
        rc = ::dup2(savedFd, STDERR_FILENO);
    } while (rc < 0 && errno == EINTR);
    return rc >= 0;
}

PipeRead readPipe(int fd, char* buffer, std::size_t capacity, std::size_t* received, int waitMs)
{
    *received = 0;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, waitMs);
    if (ready < 0)
        return errno == EINTR ? PipeRead::Empty : PipeRead::Closed;
    if (ready == 0)
        return PipeRead::Empty;
    if (p.revents & (POLLERR | POLLNVAL))
        return PipeRead::Closed;
    int available = 0;
    if (::ioctl(fd, FIONREAD, &available) != 0)
        return PipeRead::Closed;
    if (available <= 0) {
        // Readable with nothing to read is the end of the pipe.
        return (p.revents & (POLLHUP | POLLIN)) ? PipeRead::Closed : PipeRead::Empty;
    }
    const std::size_t want = std::size_t(available) < capacity ? std::size_t(available) : capacity;
    ssize_t got;
    do {
        got = ::read(fd, buffer, want);
    } while (got < 0 && errno == EINTR);
    if (got <= 0)
        return PipeRead::Closed;
    *received = std::size_t(got);
    return PipeRead::Data;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

void closeDescriptor(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

} // namespace platform
