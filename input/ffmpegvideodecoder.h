#pragma once

#include "avglue/avptr.h"
#include "engine/frametoken.h"
#include "engine/packedsize.h"
#include "input/filepacer.h"

#include <QObject>
#include <QSize>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

class FramePool;

// Turns one input source string (a file, a network URL, a camera or a
// capture) into pooled RGBA8888 pictures stamped with a presentation time and
// the source generation, handed to the frame callback on a worker thread,
// and into a queue of 48 kHz stereo float audio that the mixer pulls.
//
// Threads:
// - GUI thread (the owner): every public operation except readAudio.
// - Control thread (lives as long as the object): runs posted source changes
//   one at a time from a one-slot mailbox; a newer command replaces one not
//   yet run.
// - Decode thread (one per applied source): opens the source, decodes,
//   paces, delivers pictures, fills the audio queue.
// - Packet-reader thread (live cameras without a separate microphone) and
//   microphone thread (sources with an "audioSource" item).
// - Mixer thread: readAudio.
//
// Lock order: mailboxMutex is never held while another of these locks is
// taken; urlMutex is released before threadMutex is taken; no worker takes
// threadMutex (stopWorkers holds it while joining them).
class FFmpegVideoDecoder : public QObject {
    Q_OBJECT
public:
    static constexpr std::int64_t kNoPts = AV_NOPTS_VALUE;

    explicit FFmpegVideoDecoder(FramePool* pool, QObject* parent = nullptr);
    ~FFmpegVideoDecoder() override;
    FFmpegVideoDecoder(const FFmpegVideoDecoder&) = delete;
    FFmpegVideoDecoder& operator=(const FFmpegVideoDecoder&) = delete;

    // Applies the source on the control thread and returns at once; an empty
    // string stops the decoder.
    void setSource(const QString& url);
    // Stops and joins the worker threads. Blocking.
    void stopWorkers();
    // Asks the worker threads to end at their next turn.
    void requestStop();
    void requestSeek();
    void setPlayback(qint64 positionMs, bool wantPlaying);
    void setLooping(bool on);
    // Set once, before the first setSource; called on worker threads.
    void setFrameCallback(std::function<void(FrameTokenPtr)>&& callback);
    void setOutputSize(int width, int height);
    QSize effectiveOutputSize() const;
    void setAudioClock(std::shared_ptr<std::function<long long()>> clock);
    // Mixer thread: writes exactly 2 x frames floats (silence when the queue
    // runs dry) and returns frames.
    int readAudio(float* out, int frames);
    // Blocks until no source change is waiting or running.
    void waitIdle();

    // Snapshots for the owner.
    QSize codedSourceSize() const { return unpackSize(codedSize.load()); }
    QSize displaySourceSize() const { return unpackSize(displaySize.load()); }
    qint64 sourceDurationMs() const { return durationMs.load(); }
    bool isPlaying() const { return playing.load(); }
    bool isLooping() const { return looping.load(); }

    // Read and written by the owner directly: it reads generation before
    // setSource and expects the new source's pictures to carry generation+1;
    // it switches audio off for overlay decoders.
    std::atomic<std::uint64_t> generation{0};
    std::atomic<bool> audioEnabled{true};

    // Reader queue bounds.
    static constexpr std::size_t kReaderQueueMaxPackets = 300;
    static constexpr std::uint64_t kReaderQueueMaxBytes = 14680064;

    // Decoding threads for a picture of width x height on a machine with
    // `cores` logical cores (files, or live network sources when `live`).
    static int videoDecoderThreads(int width, int height, bool live, int cores);

    // Audio queue bounds.
    static constexpr int kAudioQueueCapFloats = 768000; // 8 s of 48 kHz stereo
    static constexpr int kFadeInStart = 12288;
    static constexpr int kFadeInStep = 2;
    static constexpr int kOutputSampleRate = 48000;

signals:
    void decodeError(const QString& message);
    void sourceVideoInfoChanged(int codedWidth, int codedHeight, int displayWidth, int displayHeight,
                                qulonglong generation);
    void playbackEndedNaturally();

private:
    friend struct FFmpegVideoDecoderProbe; // white-box access for tests

    struct Session;
    struct AudioDecodeState;

    // Control thread.
    void postCommand(std::function<void()>&& command);
    void controlLoop();
    void applySource(const QString& source);

    // Decode thread.
    void threadFunc();
    bool openSource(Session& s);
    bool openInput(Session& s);
    bool openVideoDecoder(Session& s);
    void openAudioDecoder(Session& s);
    void runDecodeLoop(Session& s);
    void showPausedPosition(Session& s);
    void finishPlaythrough(Session& s);
    // A jump in the file: the sound queued so far is dropped, faded in
    // again after it unless `fadeIn` is false (a loop's seam).
    void seekTo(Session& s, qint64 positionMs, bool fadeIn = true);
    // The next picture anchors the pacing anew; the sound waits for it.
    void restartPacing(Session& s);
    int readPacket(Session& s, AVPacket* out);
    int readInputPacket(Session& s, AVPacket* out);
    void packetReaderLoop(Session& s);
    // Appends to the reader queue, dropping the oldest packets beyond its
    // bounds (a single larger packet is still queued).
    static void appendBounded(std::deque<av::PacketPtr>& queue, std::uint64_t& bytes, av::PacketPtr packet);
    bool receiveFilePictures(Session& s);
    void receiveLivePictures(Session& s);
    bool showFilePicture(Session& s);
    bool drainVideoDecoder(Session& s);
    void scrubTo(Session& s);
    void readAheadWhileWaiting(Session& s, std::int64_t waitUs);
    void skipHeldBackToKeyFrame(Session& s);
    bool shouldDropFrame(qint64 ptsUs);
    static bool convertAndDeliver(AVFrame* frame, AVFrame* softwareFrame, AVStream* stream, av::SwsPtr& scaler,
                                  FramePool* pool, QSize target, FFmpegVideoDecoder* decoder, bool blockingAcquire);
    void runDesktopCapture(const QString& source);
    void runWindowCapture(const QString& source);
    // The loop over a capture library handle: waits, pause, seek, flush.
    // tooLargeText ends it on a picture beyond capacityBytes.
    void runLibraryCapture(void* handle, int capacityBytes, const QString& tooLargeText, int transientWaitUs);
    // Scales a packed BGRA picture into the target as an RGBA token with
    // black bars; silent when the picture or the pool cannot be used.
    static void deliverCapturedFrame(const std::uint8_t* bgra, int width, int height, int stride, av::SwsPtr& scaler,
                                     FramePool* pool, QSize target, FFmpegVideoDecoder* decoder,
                                     std::int64_t timestampUs);

    // Decode and microphone threads.
    void decodeAudioPacket(AudioDecodeState& a, const AVPacket* packet);
    void runMicrophoneCapture();
    // Opens the separate microphone with its audio decoder in `a`; null (the
    // error reported) when it cannot.
    av::InputPtr openMicrophone(const QString& microphone, void* interruptOpaque, AudioDecodeState& a, int* index);
    void clearAudio(bool fadeIn);
    // mediaUs: the media time of the first sample, kNoPts when unknown.
    void pushAudio(const float* samples, int frames, std::int64_t mediaUs = kNoPts);
    // Caller holds audioMutex: the sound moved onto the pictures' clock
    // before a read at nowUs; returns the frames of silence that go first.
    int alignSoundLocked(std::int64_t nowUs, int frames);
    // Caller holds audioMutex: drops up to `frames` from the head.
    void dropAudioLocked(std::int64_t frames);
    std::int64_t queuedAudioFrames();

    // Worker threads.
    void updateSourceInfo(int codedWidth, int codedHeight, int displayWidth, int displayHeight);
    void deliverFrame(FrameTokenPtr&& frame);
    void postPlaybackEnded();
    void postDecodeError(const QString& message);
    std::int64_t readAudioClock();

    FramePool* const pool; // not owned; outlives this object

    // Written by the GUI thread, read by the workers: one 64-bit word each so
    // a pair is always read consistently.
    std::atomic<std::uint64_t> requestedSize{0};
    // Published by the worker threads, reset by the control thread.
    std::atomic<std::uint64_t> codedSize{0};
    std::atomic<std::uint64_t> displaySize{0};

    // Guarded by urlMutex.
    std::mutex urlMutex;
    QString url;
    QString audioSource;

    // Decode thread only while a source runs; reset by the control thread
    // while no worker runs.
    std::int64_t videoOriginUs = kNoPts;
    std::int64_t clockOriginFrames = kNoPts;

    // Set by the control or decode thread, read by the workers.
    std::atomic<bool> separateAudio{false};
    std::atomic<bool> liveDeviceAudioMaster{false};
    std::atomic<std::int64_t> newestAudioPtsUs{kNoPts};
    // Threads of the open video decoder, as libavcodec reports them (tests).
    std::atomic<int> openedVideoThreads{0};

    // Guards starting and joining decodeThread and microphoneThread.
    std::mutex threadMutex;

    // Guarded by mailboxMutex.
    std::mutex mailboxMutex;
    std::condition_variable workCondition;
    std::condition_variable idleCondition;
    std::function<void()> pendingCommand;
    bool commandRunning = false;
    bool exitRequested = false;
    std::thread controlThread;

    // Guarded by threadMutex.
    std::thread decodeThread;
    std::thread microphoneThread;

    // Guarded by audioClockMutex.
    std::mutex audioClockMutex;
    std::shared_ptr<std::function<long long()>> audioClock;

    // Written by the GUI and control threads, read by the workers; each read
    // or exchanged on its own.
    std::atomic<bool> stopRequested{true};
    std::atomic<qint64> positionMs{0};
    std::atomic<bool> playing{false};
    std::atomic<qint64> lastShownMs{-1};
    std::atomic<qint64> lastRequestedMs{-1};
    std::atomic<qint64> shownMs{-1}; // media time of the picture handed out last
    std::atomic<qint64> durationMs{-1};
    std::atomic<bool> seekRequested{false};
    std::atomic<bool> looping{false};
    std::atomic<bool> endedOnce{false};
    std::atomic<bool> flushAudioRequested{false};

    // Set once by the owner before the first source; called on workers.
    std::function<void(FrameTokenPtr)> frameCallback;

    // Guarded by audioMutex.
    std::mutex audioMutex;
    std::deque<float> audioQueue;
    int fadeInRemaining = 0;
    // A file's sound is heard by its pictures' clock, not as fast as the
    // mixer empties the queue: its queue depth would otherwise set how far
    // the sound lags the pictures (and every dry read would add to it).
    // While no picture has anchored the clock, the sound waits.
    bool soundFollowsPictures = false;
    FilePacer pictureClock; // a copy of the decode thread's pacer once anchored
    // Media time of the queue's first sample, in 48 kHz samples; kNoPts when
    // unknown.
    std::int64_t queueHeadSamples = kNoPts;
};
