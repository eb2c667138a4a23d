#pragma once

// The process's resident memory from /proc, with the part the kernel has
// collapsed into transparent huge pages: it collapses regions marked for
// huge pages (the encoder's picture buffers) in the background, 16 MB
// scanned every 10 s, which adds resident memory in 2 MB pages long after
// they were allocated, up to a plateau.

#include <QByteArray>
#include <QFile>

#include <algorithm>

namespace bench {

// A "<key> <n> kB" figure of a /proc file, -1 when missing.
inline long procKiB(const char* path, const QByteArray& key)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).simplified().split(' ').value(0).toLong();
    }
    return -1;
}

struct Resident {
    long total = -1;
    long hugePages = -1;
    long withoutHugePages() const { return total - std::max(0L, hugePages); }
};

inline Resident resident()
{
    return Resident{procKiB("/proc/self/status", "VmRSS:"), procKiB("/proc/self/smaps_rollup", "AnonHugePages:")};
}

} // namespace bench
