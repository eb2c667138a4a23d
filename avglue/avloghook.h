#pragma once

// FFmpeg has one process-wide log hook, and some libraries put their own in
// place when they load. The code that owns the log (app/) registers how to
// put ours back; the media code calls restoreLogHook before work that may
// follow such a library, without knowing who logs.
//
// Threads: any thread may call either function at any time.

namespace av {

// The function that installs the process's FFmpeg log hook; nullptr removes it.
void setLogHookInstaller(void (*installer)());

// Runs the registered installer; does nothing when none is registered.
void restoreLogHook();

} // namespace av
