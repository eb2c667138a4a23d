#pragma once

#include "output/programaudiotap.h"

#include <QByteArray>
#include <QMutex>
#include <QObject>

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

class AudioQueueIODevice;
class MixerAudioSource;
class QAudioSink;
class QTimer;

// Mixes the four channels and the four overlay videos every 10 ms into a
// monitor bus and a program bus. Both buses go, soft-clipped, to the default
// sound output; while output runs the program bus times the record gain also
// goes into the program tap that the encoder reads. The number of frames the
// sound device has taken is the audio clock of the channel decoders.
//
// Threads:
// - Created on the GUI thread, then moved to the preview-audio thread, which
//   runs startPreview, mixTick, stopPreview and stopAndReturnToMainThread and
//   owns the timer, the sound sink and the device. The destructor runs after
//   the move back (or on the mixer thread when it was deleted later there).
// - Gains and flags are written by the GUI thread (the tap flag also by the
//   output stop task) and read once per tick: atomics only.
// - readProgramAudio runs on the encode worker; playedFrames on decoder
//   threads.
class PreviewAudioMixer : public QObject, public ProgramAudioTap {
public:
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;
    static constexpr int kBytesPerFrame = ProgramAudioTap::kBytesPerFrame;
    static constexpr int kTickMs = 10;
    static constexpr int kTickFrames = kSampleRate * kTickMs / 1000;
    static constexpr int kTickBytes = kTickFrames * kBytesPerFrame;
    // About one second of sound-device buffer.
    static constexpr int kSinkBufferBytes = 196608;
    // The newest two seconds of program audio are kept for the encoder.
    static constexpr int kTapCapBytes = 384000;
    static constexpr int kTapCompactBytes = 16384;
    static constexpr int kSources = 4;
    // Sound the timer may have missed that one timer event mixes (1 s).
    static constexpr int kMaxCatchUpFrames = kSampleRate;
    // How far (5 ms) the tap's sound may sit from the time a timed read
    // asks for before it is moved.
    static constexpr int kAlignToleranceFrames = kSampleRate / 200;

    // source is not owned; it must call detachSource before it goes away.
    explicit PreviewAudioMixer(MixerAudioSource* source, QObject* parent = nullptr);
    ~PreviewAudioMixer() override;

    // Mixer thread: start the device, the sound sink and the 10 ms tick.
    void startPreview();
    // Mixer thread: stop the tick and the sound; the tap then reads as silence.
    void stopPreview();
    // Mixer thread: stopPreview, then hand the object back to the main thread.
    void stopAndReturnToMainThread();

    // One 10 ms mix step, for a caller that needs exact control of the
    // timing (tests, benchmarks), on the mixer thread; the timer mixes by the
    // steady clock instead. Nothing happens without a device or a source.
    void mixTick();

    // Any thread; after it returns no tick is inside the source and none will
    // read from it again.
    void detachSource();

    // GUI thread. Indices outside 0..3 are ignored; gains are clamped to 0..1
    // (the record gain to 0.25..4).
    void setChannelLocalGain(int channel, float gain);
    void setProgramChannelGain(float gain);
    void setOverlayLocalGain(int slot, float gain);
    void setOverlayProgramGain(int slot, float gain);
    void setOverlayInProgram(int slot, bool on);
    void setProgramRecordLinearGain(float gain);

    // GUI thread or the output stop task. Switching the tap on empties it so
    // that the encoder never receives audio from before the start.
    void setProgramTapEnabled(bool on) override;
    void clearProgramTap() override;

    // Encode worker: exactly frames x 2 samples into dst, the oldest unread
    // program audio first and silence for the rest (all silence once stopped).
    void readProgramAudio(std::int16_t* dst, int frames) override;
    // Encode worker: the same, aligned to the steady clock the timer mixes
    // by; a tap filled by mixTick has no such clock and reads as above.
    void readProgramAudioFrom(std::int16_t* dst, int frames, std::int64_t fromNs) override;

    // Any thread: frames taken by the sound device, 0 without a device.
    std::int64_t playedFrames() const;

private:
    // The timer's slot: mixes the sound due by the steady clock since the
    // start, not a fixed tick per event.
    void mixDueFrames();
    // firstFrame: the first frame's index on the mixing clock, or
    // kUntimedFrame when the sound is mixed by mixTick.
    static constexpr std::int64_t kUntimedFrame = -1;
    void mixFrames(int frames, std::int64_t firstFrame);
    void appendToTap(const std::int16_t* tap, int frames, std::int64_t firstFrame);
    void copyFromTapLocked(char* out, qsizetype wanted);
    void mixBuses(MixerAudioSource* source, int frames, float* monitor, float* program);
    // Caller holds m_tapMutex.
    void compactTapLocked();

    // Guarded by m_sourceMutex, which a tick holds while it reads the source.
    QMutex m_sourceMutex;
    MixerAudioSource* m_source; // not owned

    // Written by the GUI thread, read by the mixer thread.
    std::array<std::atomic<float>, kSources> m_channelLocalGain;
    std::atomic<float> m_programChannelGain{1.0f};
    std::array<std::atomic<float>, kSources> m_overlayLocalGain;
    std::array<std::atomic<float>, kSources> m_overlayProgramGain;
    std::array<std::atomic<bool>, kSources> m_overlayInProgram;
    // Written by the GUI thread or the output stop task, read by the mixer thread.
    std::atomic<bool> m_programTapEnabled{false};
    // Written by the GUI thread, read by the mixer thread.
    std::atomic<float> m_programRecordLinearGain{2.0f};
    // Written by the mixer thread, read by the encode worker.
    std::atomic<bool> m_stopping{false};

    // Guarded by m_tapMutex.
    QMutex m_tapMutex;
    QByteArray m_programTap;
    int m_programTapReadPos = 0;
    // When the tap's sound was mixed: the steady time (ns) of frame 0 of
    // the mixing clock, 0 while no timer mixes, and the clock's index of
    // the frame after the tap's last one.
    std::int64_t m_tapClockStartNs = 0;
    std::int64_t m_tapEndFrame = 0;

    // Mixer thread only (children, owned).
    QTimer* m_timer = nullptr;
    std::int64_t m_clockStartNs = 0; // steady time of frame 0 of the mixing clock
    std::int64_t m_framesMixed = 0;
    QAudioSink* m_audioSink = nullptr;
    // Created and deleted on the mixer thread under m_deviceMutex, so that
    // playedFrames on a decoder thread never reads a deleted device; the
    // mixer thread itself reads it without the lock.
    mutable QMutex m_deviceMutex;
    AudioQueueIODevice* m_device = nullptr;

    // Mixer thread only: scratch buffers reused every tick.
    std::vector<float> m_monitorBus;
    std::vector<float> m_programBus;
    std::vector<float> m_readBuffer;
    std::vector<std::int16_t> m_speakerPcm;
    std::vector<std::int16_t> m_tapPcm;
};
