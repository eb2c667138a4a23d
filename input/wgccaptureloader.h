#pragma once

// Loads the window capture library, libwgccapture.so, at run time and
// resolves its four entry points. The program looks for it only beside
// itself and in the folder above (where a build tree puts it for the tests
// and benchmarks), never in the working directory: that would run code from
// wherever the program was started.
//
// Threads: any; one process-wide loader serialises its loads. A library,
// once loaded, stays loaded until the process ends.

#include <QLibrary>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <mutex>

// The library's entry points. Handles are X window ids and the monitor
// handles of monitorForOutputIndex, as pointer-sized integers.
using WgcCreateFn = void* (*)(std::uintptr_t window);
using WgcCreateMonitorFn = void* (*)(std::uintptr_t monitor);
using WgcDestroyFn = void (*)(void* handle);
using WgcCopyBgraFn = int (*)(void* handle, std::uint8_t* destination, int capacityBytes, int* width, int* height,
                             std::int64_t* timestampUs);

struct WgcCaptureFunctions {
    WgcCreateFn create = nullptr;
    WgcCreateMonitorFn createMonitor = nullptr; // optional
    WgcDestroyFn destroy = nullptr;
    WgcCopyBgraFn copyBgra = nullptr;
};

// Results of wgc_capture_copy_bgra.
namespace wgcresult {
inline constexpr int kOk = 0;
inline constexpr int kNoNewPicture = -1;
inline constexpr int kTooLarge = -4;
inline constexpr int kWindowGone = -5; // the window was destroyed
} // namespace wgcresult

inline constexpr const char* kWgcCaptureFileName = "libwgccapture.so";

class WgcCaptureLoader {
public:
    explicit WgcCaptureLoader(const QString& applicationDir);

    // The files tried, in order.
    static QStringList candidates(const QString& applicationDir);

    // True when loaded (now or before). A failed load is tried again by the
    // next call.
    bool ensureLoaded(QString* error);
    WgcCaptureFunctions functions() const;

private:
    bool load(); // with mutex held

    mutable std::mutex mutex;
    const QString applicationDir;
    QLibrary library;
    QString loadError;
    bool loadAttempted = false;
    WgcCaptureFunctions fns;
};

// The program's loader, looking beside the running executable.
WgcCaptureLoader& wgcCaptureLoader();
bool ensureWgcCaptureLoaded(QString* error);
