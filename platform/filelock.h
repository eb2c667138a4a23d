#pragma once

// Advisory whole-file locks between processes. A lock lives as long as the
// open file description it was taken on, so closing the file releases it.
namespace platform {

// Takes an exclusive lock on the open file without waiting; false when another
// open file description holds one (or the call fails).
bool tryLockFileExclusive(int fd);

} // namespace platform
