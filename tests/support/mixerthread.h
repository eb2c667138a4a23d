#pragma once

// The preview audio mixer on a thread of its own, started and stopped the
// way the main window does it.

#include "engine/previewaudiomixer.h"

#include <QThread>

class MixerAudioSource;

namespace testsupport {

class MixerThread {
public:
    explicit MixerThread(MixerAudioSource* source);
    // Stops the thread if needed, then deletes the mixer.
    ~MixerThread();
    MixerThread(const MixerThread&) = delete;
    MixerThread& operator=(const MixerThread&) = delete;

    PreviewAudioMixer* mixer() const { return m_mixer; }
    void start();
    // Queues stopAndReturnToMainThread and the thread's quit, and waits;
    // false when it did not finish in time.
    bool stop(int timeoutMs = 5000);

private:
    QThread m_thread;
    PreviewAudioMixer* m_mixer; // owned
};

} // namespace testsupport
