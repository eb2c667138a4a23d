#include "avglue/avloghook.h"

#include <atomic>

namespace av {

namespace {
std::atomic<void (*)()> logHookInstaller{nullptr};
}

void setLogHookInstaller(void (*installer)())
{
    logHookInstaller.store(installer);
}

void restoreLogHook()
{
    if (auto installer = logHookInstaller.load())
        installer();
}

} // namespace av
