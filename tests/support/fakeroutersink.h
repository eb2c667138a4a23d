#pragma once

// An encoder sink for router and pipeline tests: records what it is asked to
// encode, can hold encodeFrame like a sink blocked in network I/O, and lets
// the test fire the callbacks the real sink would fire.

#include "output/routersink.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace testsupport {

class FakeRouterSink : public RouterSink {
public:
    struct Encoded {
        std::int64_t ptsUs = 0;
        std::int64_t generation = 0;
        std::int64_t pictureNs = 0; // the time the router gave it
        std::int64_t takenNs = 0;   // when encodeFrame was called
    };

    // Behaviour, set before the router's start.
    bool configureResult = true;
    bool probeResult = true;

    // encodeFrame waits while the gate is closed, until it opens or abort().
    void closeGate();
    void openGate();

    // Bounded waits for the encode worker.
    bool waitEncodedCount(int count, int timeoutMs) const;
    bool waitEncodeEntered(int timeoutMs) const;

    std::vector<Encoded> encoded() const;
    int sessions() const { return m_sessions.load(); }
    int aborts() const { return m_aborts.load(); }
    int closes() const { return m_closes.load(); }

    // What the router configured, read after start.
    QString recordPath;
    std::vector<StreamTarget> targets;
    double fps = 0;
    int width = -1;
    int height = -1;
    int bitrateKbps = -1, keyframeSeconds = -1, encoderMode = -1, qualityPreset = -1;
    SegmentOptions segments;
    AudioPull audioPull;
    std::function<void()> fatalError;
    StatusCallback status;

    bool configure(const QString& path, const std::vector<StreamTarget>& t, double rate) override;
    void setOutputSize(int w, int h) override;
    void setEncoderOptions(const EncoderOptions& options) override;
    void setSegmentation(const SegmentOptions& options) override;
    bool probeEncoder(int w, int h) override;
    void setAudioPullCallback(AudioPull callback) override { audioPull = std::move(callback); }
    void setFatalErrorCallback(std::function<void()> callback) override { fatalError = std::move(callback); }
    void setStatusCallback(StatusCallback callback) override { status = std::move(callback); }
    void encodeFrame(FrameTokenPtr& frame, const std::int16_t* audio, int audioFrames,
                     std::int64_t generation) override;
    void setPictureTime(std::int64_t steadyNs) override { m_pictureNs = steadyNs; }
    void abort() override;
    void startNewSession() override { ++m_sessions; }
    void close() override { ++m_closes; }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    // Guarded by m_mutex.
    bool m_gateClosed = false;
    bool m_aborted = false;
    int m_entered = 0;
    std::vector<Encoded> m_encoded;
    std::int64_t m_pictureNs = 0; // encode worker only

    std::atomic<int> m_sessions{0};
    std::atomic<int> m_aborts{0};
    std::atomic<int> m_closes{0};
};

} // namespace testsupport
