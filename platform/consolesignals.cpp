#include "platform/consolesignals.h"

#include <atomic>
#include <csignal>

namespace platform {

namespace {

constexpr int kCloseSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<void (*)()> closeHook{nullptr};
// Written before the handlers are installed, read only inside them.
struct sigaction previousActions[3];

int slotOf(int signo)
{
    for (int i = 0; i < 3; ++i) {
        if (kCloseSignals[i] == signo)
            return i;
    }
    return -1;
}

void consoleCloseHandler(int signo)
{
    if (void (*hook)() = closeHook.load())
        hook();
    const int slot = slotOf(signo);
    if (slot < 0)
        return;
    // The signal stays blocked until this handler returns, so the re-raised
    // one reaches the previous disposition afterwards.
    ::sigaction(signo, &previousActions[slot], nullptr);
    ::raise(signo);
}

} // namespace

void installConsoleCloseHook(void (*hook)())
{
    closeHook.store(hook);
    for (int i = 0; i < 3; ++i) {
        struct sigaction current {};
        if (::sigaction(kCloseSignals[i], nullptr, &current) != 0)
            continue;
        if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN)
            continue;
        if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == consoleCloseHandler)
            continue;
        previousActions[i] = current;
        struct sigaction action {};
        action.sa_handler = consoleCloseHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(kCloseSignals[i], &action, nullptr);
    }
}

} // namespace platform
