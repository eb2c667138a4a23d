#pragma once

#include "engine/frametoken.h"
#include "avglue/avptr.h"
#include "net/streamurl.h"
#include "output/audiofifo.h"
#include "output/encoderoptions.h"
#include "output/iencodersink.h"
#include "output/mediaclock.h"
#include "output/muxtarget.h"
#include "output/pictureconverter.h"
#include "output/segmentoptions.h"
#include "output/streamtarget.h"
#include "output/videoencoderchoice.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class RecordingFile;
class StreamPublisher;

// Encodes the composed program once (H.264, HEVC above 4096 pixels) with the
// program audio (AAC) and hands every packet to the recording file
// (RecordingFile) and to every stream destination (StreamPublisher, each
// with its own worker thread).
//
// Threads:
// - GUI thread, before the encode worker exists: configure, the setters,
//   the callbacks and probeEncoder. Afterwards the settings are only read.
// - Encode worker (under the router's sink mutex): encodeFrame, close, and
//   every field not marked otherwise below, the recording file included.
// - Any thread, without the sink mutex: abort. GUI thread under the sink
//   mutex: startNewSession.
// Lock order: targetsMutex before a publisher's own lock.
class FfmpegEncoderSink : public IEncoderSink {
public:
    using FatalErrorCallback = std::function<void()>;
    using StatusCallback = std::function<void(int row, const QString& status)>;
    // Fills frames x 2 samples into dst: the program sound from steady time
    // fromNs on (ProgramAudioTap::kNoTime before the first picture).
    using AudioPullCallback = std::function<void(std::int16_t* dst, int frames, std::int64_t fromNs)>;

    FfmpegEncoderSink();
    ~FfmpegEncoderSink() override;
    FfmpegEncoderSink(const FfmpegEncoderSink&) = delete;
    FfmpegEncoderSink& operator=(const FfmpegEncoderSink&) = delete;

    bool open(const QString& recordPath, double fps) override;
    void pushFrame(FrameTokenPtr&& frame, const std::int16_t* audio, int audioFrames) override;
    void close() override;

    bool configure(const QString& recordPath, const std::vector<StreamTarget>& targets, double fps);
    void setOutputSize(int width, int height);
    void setEncodingParams(int videoBitrateKbps, int keyframeIntervalSeconds, int encoderMode,
                           int qualityPreset);
    void setEncoderOptions(const EncoderOptions& options);
    void setSegmentation(const SegmentOptions& options);
    void setFatalErrorCallback(FatalErrorCallback callback);
    void setAudioPullCallback(AudioPullCallback callback);
    void setStatusCallback(StatusCallback callback);
    bool probeEncoder(int width, int height);

    void encodeFrame(FrameTokenPtr& frame, const std::int16_t* audio, int audioFrames, std::int64_t seq);
    // Encode thread: the steady time (ns) the next frame was composed at;
    // the program sound is read that much earlier than the frame's stamp.
    void setPictureTime(std::int64_t steadyNs) { nextPictureNs = steadyNs; }
    void abort();
    void startNewSession();

    // The stream-URL rules (net/streamurl.h), kept here for the sink's callers.
    static bool isNetworkOutputUrl(const char* url) { return url && streamurl::isNetworkOutputUrl(url); }
    static QByteArray redactUrl(const QByteArray& url) { return streamurl::redactUrl(url); }
    static QByteArray upgradeIngestToRtmps(const QByteArray& url) { return streamurl::upgradeIngestToRtmps(url); }
    // A proxy URL fit for a log line: user name and password become "***".
    static QByteArray redactProxyCredentials(const QByteArray& proxyUrl)
    {
        return streamurl::redactCredentials(proxyUrl);
    }
    static bool isRtmpUrl(const char* text) { return text && streamurl::isRtmpUrl(text); }
    static bool isMp4FamilyMuxer(const char* name) { return ::isMp4FamilyMuxer(name); }
    static int ioInterruptCallback(void* flag) { return muxInterruptCallback(flag); }
    // Automatic video bitrate in kb/s for a picture of w x h at fps.
    static std::int64_t automaticBitrateKbps(double fps, int width, int height)
    {
        return videoencoderchoice::automaticBitrateKbps(fps, width, height);
    }

    static constexpr int kEncoderAutomatic = EncoderOptions::Automatic;
    static constexpr int kEncoderHardwareOnly = EncoderOptions::HardwareOnly;
    static constexpr int kEncoderSoftwareOnly = EncoderOptions::SoftwareOnly;

private:
    friend struct EncoderSinkTestAccess;

    // Encoders (GUI thread from the probe, encode thread otherwise).
    bool sizeAllowed(int w, int h) const;
    bool selectVideoEncoder(int w, int h, bool globalHeader);
    bool wantsGlobalHeader() const;
    int frameRate() const { return videoencoderchoice::roundedFps(fps); }
    bool ensureOpen(int frameWidth, int frameHeight);
    bool openAudioEncoder(bool globalHeader);
    bool reopenVideoEncoderForNewSize(int w, int h, bool globalHeader);

    // Encoding (encode thread).
    bool convertFrame(const FrameToken& token);
    bool keyframeDue(std::int64_t now, std::int64_t seq);
    void encodeProgramAudio(const std::int16_t* audio, int audioFrames);
    void pullProgramAudio();
    void pullAudioUpTo(const AudioPullCallback& pull, std::int64_t untilMs);
    void notePictureOffset(std::int64_t composedNs);
    void pullAudio(const AudioPullCallback& pull, int frames);
    std::int64_t audioFramesTaken() const;
    void encodeAudio(bool pad);
    void drainEncoder(AVCodecContext* codec, bool isVideo);
    void flushVideoEncoder();
    void drainRecordingAtClose(const AudioPullCallback& lastPull);
    void fail();
    void resetRunState();

    // Outputs (encode thread).
    bool openOutputs();
    void addPublisher(const StreamTarget& target, int fallbackRow);
    bool hasOutputs() const { return recordingFile || !publishers.empty(); }
    MuxStreams muxStreams() const { return MuxStreams::fromEncoders(videoCodec.get(), audioCodec.get()); }
    MuxOpenOptions fileOpenOptions();
    void routePacket(AVPacket* packet, AVCodecContext* codec, bool isVideo);
    void writeToRecording(const AVPacket* packet, const QueuedPacket& descriptor);
    void stopPublishers();

    // Configuration: written on the GUI thread before the worker starts.
    QString recordPath;
    std::vector<StreamTarget> streamTargets;
    double fps = 30.0;
    int outputWidth = 0;
    int outputHeight = 0;
    EncoderOptions encoderOptions;
    bool recording = false;
    SegmentOptions segmentOptions;

    // Run state, encode thread.
    bool sizeChangeWarned = false;
    bool live = false;

    // Any thread. `aborted` ends the stream destinations at once; the
    // recording file's I/O never listens to it, so a stop cannot cut the
    // file's drain or trailer.
    std::atomic<bool> aborted{false};
    std::atomic<bool> keyframeRequested{false};
    std::atomic<std::int64_t> sessionSeq{1};
    std::int64_t currentFrameSeq = 1;
    std::int64_t nextPictureNs = 0;  // 0: not known
    std::int64_t pictureOffsetNs = 0; // media time less composition time, smoothed
    bool havePictureOffset = false;

    FatalErrorCallback fatalErrorCallback;
    StatusCallback statusCallback; // handed to each publisher, called on its worker
    bool failed = false;
    std::atomic<bool> failedOnce{false};
    std::atomic<bool> closing{false};

    AudioPullCallback audioPullCallback;
    std::vector<std::int16_t> pullBuffer;

    // Tests only: runs on the encode thread in close, after the drain and
    // just before the recording's trailer.
    std::function<void()> beforeTrailerHook;

    // The outputs of the run. Created and destroyed by the encode thread
    // under targetsMutex, so abort and startNewSession can reach the
    // publishers from other threads; the encode thread reads them without
    // the lock.
    std::mutex targetsMutex;
    std::unique_ptr<RecordingFile> recordingFile;
    std::vector<std::unique_ptr<StreamPublisher>> publishers;

    av::CodecContextPtr videoCodec;
    PictureConverter picture;

    MediaClock mediaClock;
    std::int64_t lastFileFlushNs = 0;
    bool lastFileFlushValid = false;
    std::int64_t lastForcedKeyframeNs = 0;
    bool lastForcedKeyframeValid = false;

    av::CodecContextPtr audioCodec;
    av::FramePtr audioFrame;
    std::int64_t audioSamplesSent = 0;
    int audioFrameSize = 1024;
    AudioFifo audioFifo;

    av::PacketPtr encodePacket;
    av::PacketPtr routeScratchPacket;
};
