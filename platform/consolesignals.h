#pragma once

// The end of a terminal session or a request to stop (SIGINT, SIGTERM,
// SIGHUP), standing in for a console-close notification: the hook runs first,
// then the signal takes the course it had before (by default it ends the
// process). A signal that was ignored stays ignored and gets no hook.
namespace platform {

// The hook runs inside a signal handler on whichever thread received the
// signal: it may only try-lock and must not wait.
void installConsoleCloseHook(void (*hook)());

} // namespace platform
