#pragma once

#include <cstddef>

// Standard error redirected into a pipe, so that text a library prints
// straight to descriptor 2 can be read back by the process itself.
// Plain descriptor calls with no state of their own: the caller owns every
// descriptor these functions hand out and decides which thread uses it.
namespace platform {

struct StderrPipe {
    int savedStderrFd = -1; // duplicate of the standard error the process had
    int readFd = -1;        // read end of the pipe that now stands in for it
};

// Duplicates descriptor 2, creates a close-on-exec pipe and puts its write end
// on descriptor 2 (the only descriptor left for that end). On failure nothing
// has changed and false is returned.
bool redirectStderrToPipe(StderrPipe& pipe);

// Puts savedFd back on descriptor 2, which drops the pipe's last write end.
bool restoreStderr(int savedFd);

enum class PipeRead {
    Data,   // *received bytes were read
    Empty,  // nothing arrived within the wait
    Closed, // every write end is gone (or the descriptor failed)
};

// Waits at most waitMs for bytes, then reads at most capacity of those that are
// already there, so the call never blocks past the wait.
PipeRead readPipe(int fd, char* buffer, std::size_t capacity, std::size_t* received, int waitMs);

// Writes every byte, retrying partial writes and interrupted calls; false when
// a write fails.
bool writeAll(int fd, const char* data, std::size_t size);

void closeDescriptor(int fd);

} // namespace platform
