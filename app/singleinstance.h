#pragma once

#include <QString>

class QLocalServer;
class QWidget;

// One running instance per user and session. The running instance listens on
// a local socket; a later start that can connect to it exits, and the
// connection alone makes the running window come to the front.
namespace singleinstance {

inline constexpr const char* kLockName = "quorbel_single_instance";
inline constexpr int kProbeWaitMs = 400;

// Full path of the socket: in $XDG_RUNTIME_DIR when set, else in the
// temporary folder with the user id appended, so users never meet.
QString serverName();

enum class Outcome {
    AnotherInstanceRuns, // a running instance answered the probe
    Listening,           // this start holds the lock; `server` listens
    ListenFailed,        // no instance answered and listening failed
};

// Probes for a running instance, else takes the lock: removes a stale socket
// and listens on it with `server`. Starts racing each other are serialised by
// an exclusive lock on a file beside the socket, held for as long as `server`
// lives; a start that loses the race probes again until the winner answers.
// On ListenFailed the reason is in *error.
Outcome acquire(QLocalServer& server, QString* error);

// Takes the next pending connection of `server`, frees it when the other side
// disconnects, and brings `window` to the front.
void onSecondInstanceConnected(QLocalServer& server, QWidget& window);

} // namespace singleinstance
