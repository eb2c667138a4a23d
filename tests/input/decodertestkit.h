#pragma once

// Shared pieces of the decoder tests: white-box access to the decoder's
// request state, a thread-safe picture collector and a signal recorder.

#include "engine/framepool.h"
#include "input/ffmpegvideodecoder.h"
#include "output/steadyclock.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

struct FFmpegVideoDecoderProbe {
    static void pushAudio(FFmpegVideoDecoder& d, const float* samples, int frames) { d.pushAudio(samples, frames); }
    static void pushAudioAt(FFmpegVideoDecoder& d, const float* samples, int frames, std::int64_t mediaUs)
    {
        d.pushAudio(samples, frames, mediaUs);
    }
    // The state a file session keeps while it plays: its sound heard by
    // `clock` (not yet anchored: no picture shown yet).
    static void followPictureClock(FFmpegVideoDecoder& d, const FilePacer& clock)
    {
        std::lock_guard lock(d.audioMutex);
        d.soundFollowsPictures = true;
        d.pictureClock = clock;
    }
    static std::int64_t queuedAudioFrames(FFmpegVideoDecoder& d) { return d.queuedAudioFrames(); }
    static bool newestAudioFrame(FFmpegVideoDecoder& d, float* pair)
    {
        std::lock_guard lock(d.audioMutex);
        if (d.audioQueue.size() < 2)
            return false;
        pair[0] = d.audioQueue[d.audioQueue.size() - 2];
        pair[1] = d.audioQueue.back();
        return true;
    }
    static void appendBounded(std::deque<av::PacketPtr>& queue, std::uint64_t& bytes, AVPacket* packet)
    {
        FFmpegVideoDecoder::appendBounded(queue, bytes, av::PacketPtr(packet));
    }
    // The live drop rule with its inputs set up.
    struct DropCase {
        bool deviceAudioMaster = false;
        std::int64_t newestAudioUs = FFmpegVideoDecoder::kNoPts;
        bool separateAudio = false;
        bool withClock = false;
    };
    static void setDropState(FFmpegVideoDecoder& d, const DropCase& c, std::shared_ptr<std::function<long long()>> clock)
    {
        d.liveDeviceAudioMaster = c.deviceAudioMaster;
        d.newestAudioPtsUs = c.newestAudioUs;
        d.separateAudio = c.separateAudio;
        d.videoOriginUs = FFmpegVideoDecoder::kNoPts;
        d.clockOriginFrames = FFmpegVideoDecoder::kNoPts;
        d.setAudioClock(c.withClock ? std::move(clock) : nullptr);
    }
    static bool shouldDropFrame(FFmpegVideoDecoder& d, qint64 ptsUs) { return d.shouldDropFrame(ptsUs); }
    // Converts one software picture without a stream, blocking acquire.
    static bool convert(FFmpegVideoDecoder& d, AVFrame* frame, FramePool* pool, QSize target)
    {
        av::SwsPtr scaler;
        av::FramePtr software(av_frame_alloc());
        return FFmpegVideoDecoder::convertAndDeliver(frame, software.get(), nullptr, scaler, pool, target, &d, true);
    }
    static void clearAudio(FFmpegVideoDecoder& d, bool fadeIn) { d.clearAudio(fadeIn); }
    // Threads of the open video decoder, read from its codec context.
    static int videoDecoderThreads(const FFmpegVideoDecoder& d) { return d.openedVideoThreads.load(); }
    static void deliverCaptured(FFmpegVideoDecoder& d, const std::uint8_t* bgra, int w, int h, int stride,
                                FramePool* pool, QSize target, std::int64_t ptsUs)
    {
        av::SwsPtr scaler;
        FFmpegVideoDecoder::deliverCapturedFrame(bgra, w, h, stride, scaler, pool, target, &d, ptsUs);
    }
};

// Collects what the frame callback receives, on any thread. Can hold the
// callback inside itself to keep a decode thread busy.
class PictureCollector {
public:
    struct Picture {
        std::uint64_t generation;
        std::int64_t ptsUs;
        int width;
        int height;
        std::int64_t arrivalUs; // steady clock
    };

    std::function<void(FrameTokenPtr)> callback()
    {
        return [this](FrameTokenPtr token) {
            const std::int64_t arrivalUs = steadyNowNs() / 1000;
            std::unique_lock lock(m_mutex);
            m_pictures.push_back({token->generation, token->ptsUs, token->width, token->height, arrivalUs});
            if (token->ptsUs == m_stallPtsUs) {
                // Inside the callback, as a slow sink holds the decode thread.
                const std::int64_t stallUs = m_stallUs;
                lock.unlock();
                std::this_thread::sleep_for(std::chrono::microseconds(stallUs));
                lock.lock();
            }
            m_last = std::move(token);
            if (m_hold) {
                m_held = true;
                m_changed.notify_all();
                m_changed.wait(lock, [this] { return !m_hold; });
                m_held = false;
            }
        };
    }
    std::vector<Picture> pictures() const
    {
        std::lock_guard lock(m_mutex);
        return m_pictures;
    }
    int count() const
    {
        std::lock_guard lock(m_mutex);
        return int(m_pictures.size());
    }
    int countOfGeneration(std::uint64_t generation) const
    {
        std::lock_guard lock(m_mutex);
        return int(std::count_if(m_pictures.begin(), m_pictures.end(),
                                 [&](const Picture& p) { return p.generation == generation; }));
    }
    FrameTokenPtr last() const
    {
        std::lock_guard lock(m_mutex);
        return m_last;
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_pictures.clear();
        m_last.reset();
    }
    // Every picture at ptsUs keeps the callback for stallUs. Set before the
    // pictures come.
    void stallOn(std::int64_t ptsUs, std::int64_t stallUs)
    {
        std::lock_guard lock(m_mutex);
        m_stallPtsUs = ptsUs;
        m_stallUs = stallUs;
    }
    // The next picture stays inside the callback until release().
    void holdNext()
    {
        std::lock_guard lock(m_mutex);
        m_hold = true;
    }
    bool waitHeld(int timeoutMs)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_held; });
    }
    void release()
    {
        {
            std::lock_guard lock(m_mutex);
            m_hold = false;
            m_last.reset();
        }
        m_changed.notify_all();
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Picture> m_pictures;
    FrameTokenPtr m_last;
    bool m_hold = false;
    bool m_held = false;
    std::int64_t m_stallPtsUs = -1;
    std::int64_t m_stallUs = 0;
};

// Records the decoder's signals on the test thread (queued from the
// worker threads that emit them).
class SignalRecorder : public QObject {
public:
    struct Info {
        int codedW, codedH, displayW, displayH;
        qulonglong generation;
    };
    explicit SignalRecorder(FFmpegVideoDecoder* d)
    {
        connect(d, &FFmpegVideoDecoder::decodeError, this, [this](const QString& m) { errors << m; },
                Qt::QueuedConnection);
        connect(d, &FFmpegVideoDecoder::sourceVideoInfoChanged, this,
                [this](int cw, int ch, int dw, int dh, qulonglong g) { infos.push_back({cw, ch, dw, dh, g}); },
                Qt::QueuedConnection);
        connect(d, &FFmpegVideoDecoder::playbackEndedNaturally, this, [this] { ++ended; }, Qt::QueuedConnection);
    }
    QStringList errors;
    std::vector<Info> infos;
    int ended = 0;
};

// One decoder with its pool, its picture collector and its signal recorder,
// torn down in that order's reverse (the decoder joins its threads before
// the collector and the pool go).
struct DecoderRig {
    explicit DecoderRig(QSize poolSize = QSize(640, 360))
        : pool(8, poolSize.width(), poolSize.height()), decoder(&pool), recorder(&decoder)
    {
        decoder.setFrameCallback(pictures.callback());
    }
    // Sets the playback request, then the source.
    void open(const QString& source, bool playing = true)
    {
        decoder.setPlayback(0, playing);
        decoder.setSource(source);
    }

    FramePool pool;
    PictureCollector pictures;
    FFmpegVideoDecoder decoder;
    SignalRecorder recorder;
};

namespace decodertest {

// Reads the decoder's audio queue until a sample differs from silence.
inline bool audioArrives(FFmpegVideoDecoder& d, int timeoutMs)
{
    std::vector<float> buffer(960);
    return QTest::qWaitFor(
        [&] {
            d.readAudio(buffer.data(), 480);
            return std::any_of(buffer.begin(), buffer.end(), [](float v) { return std::abs(v) > 1e-4f; });
        },
        timeoutMs);
}

} // namespace decodertest
