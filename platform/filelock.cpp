#include "platform/filelock.h"

#include <cerrno>
#include <sys/file.h>

namespace platform {

bool tryLockFileExclusive(int fd)
{
    if (fd < 0)
        return false;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

} // namespace platform
