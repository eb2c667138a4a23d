#include "support/mixerthread.h"

namespace testsupport {

MixerThread::MixerThread(MixerAudioSource* source)
    : m_mixer(new PreviewAudioMixer(source))
{
    m_mixer->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::started, m_mixer, &PreviewAudioMixer::startPreview);
}

MixerThread::~MixerThread()
{
    if (stop())
        delete m_mixer;
    else
        m_mixer->deleteLater(); // still on its thread: it goes when that thread's loop runs

}

void MixerThread::start()
{
    m_thread.start();
}

bool MixerThread::stop(int timeoutMs)
{
    if (!m_thread.isRunning())
        return true;
    // The thread quits from inside the queued call: a quit from here could
    // end its loop before the call has run.
    PreviewAudioMixer* mixer = m_mixer;
    QThread* thread = &m_thread;
    QMetaObject::invokeMethod(
        mixer,
        [mixer, thread] {
            mixer->stopAndReturnToMainThread();
            thread->quit();
        },
        Qt::QueuedConnection);
    return m_thread.wait(timeoutMs);
}

} // namespace testsupport
