#include "platform/heaptuning.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// Below this, buffers are reused from the heap: picture previews and most
// encoded pictures come and go every frame and stay fast.
constexpr int kMapThresholdBytes = 1024 * 1024;

} // namespace

void keepLargeBuffersOutOfTheHeap()
{
#if defined(__GLIBC__)
    // Setting the threshold also switches its automatic raising off.
    mallopt(M_MMAP_THRESHOLD, kMapThresholdBytes);
#endif
}
