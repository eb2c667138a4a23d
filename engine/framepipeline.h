#pragma once

#include "engine/compositioncontroller.h"
#include "engine/framequeue.h"
#include "engine/frametoken.h"
#include "engine/mixeraudiosource.h"
#include "engine/newestmailbox.h"
#include "engine/outputsizepolicy.h"
#include "output/routersink.h"
#include "output/streamtarget.h"

#include <QImage>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <vector>

class FFmpegVideoDecoder;
class FramePool;
class OutputRouter;
class OverlayManager;
class PreviewAudioMixer;
class VulkanCompositor;

// The engine object of the program picture. Owns the output router, the two
// frame pools, four channel decoders, four overlay-video decoders and the
// compositor. Decoder threads hand their pictures in through the frame
// callbacks; only the newest picture of each kind is kept, and the GUI thread
// is woken with at most one queued call per kind. There the program frame is
// composed, sent to the router and published.
//
// Threads: everything runs on the GUI thread except onChannelFrame and
// onOverlayFrame (decoder threads), the audio reads (mixer thread), the audio
// clock (decoder threads) and the asynchronous output stop task.
// Lock order: the mutex of a pending-frame mailbox or of a FrameQueue may be
// held while a pool's state mutex is taken, never the reverse; none of them
// is held with another of them.
class FramePipeline : public QObject, public MixerAudioSource {
    Q_OBJECT
public:
    explicit FramePipeline(QObject* parent = nullptr);
    // The router's sinks come from sinkFactory (the FFmpeg sink by default).
    FramePipeline(RouterSinkFactory sinkFactory, QObject* parent);
    ~FramePipeline() override;
    FramePipeline(const FramePipeline&) = delete;
    FramePipeline& operator=(const FramePipeline&) = delete;

    static constexpr int kChannels = 4;
    static constexpr int kOverlaySlots = 4;

    // Decoder threads: the bodies of the decoders' frame callbacks.
    void onChannelFrame(int channel, FrameTokenPtr&& frame);
    void onOverlayFrame(int slot, FrameTokenPtr&& frame);
    // Decoder or GUI thread: the single program frame waiting for the GUI.
    void queueBaseFrame(FrameTokenPtr&& frame);

    // Program frames from the main window.
    void submitBlankFrame(qint64 positionMs);
    void submitImageFrame(const QImage& image, qint64 ptsUs);
    void submitImageFrameMs(const QImage& image, qint64 positionMs);
    void recomposeProgram();

    // Program source and channels.
    void setChannelSources(const QString sources[kChannels]);
    void applyProgramState(const ProgramState& state, OverlayManager* overlays);
    void setChannelPlayback(int channel, qint64 positionMs, bool playing);
    void setChannelLooping(int channel, bool loop);
    qint64 channelDurationMs(int channel) const;

    // Overlay-video slots.
    bool registerOverlayVideo(int mediaId, const QString& path);
    void releaseOverlayVideoSlot(int mediaId);
    void setOverlayVideoLooping(int mediaId, bool loop);
    void setOverlayVideoPlayback(int mediaId, qint64 positionMs, bool playing);
    void requestOverlayVideoResync(int mediaId);
    int overlaySlotForMedia(int mediaId) const;
    qint64 overlayDurationMs(int mediaId) const;

    // Mixer thread.
    void readChannelAudio(int channel, float* out, int frames) override;
    void readOverlayAudio(int slot, float* out, int frames) override;
    int programChannelIndex() const override { return activeChannel.load(std::memory_order_acquire); }

    // Output settings, kept by the router for its next run.
    void setOutputPath(const QString& path);
    void setStreamTargets(const std::vector<StreamTarget>& targets);
    void setEncoderOptions(int videoBitrateKbps, int keyframeIntervalSeconds, int encoderMode, int qualityPreset);
    void setSegmentOptions(bool enabled, qint64 durationMs, qint64 sizeBytes);
    void setOutputFps(double fps);
    double outputFps() const;
    bool isOutputRunning() const;

    // Output size.
    void setOutputResolutionSelection(int width, int height);
    void recomputeEffectiveOutput();
    void applyEffectiveOutput(const EffectiveOutput& eo);
    void updateDecoderTargetSizes(bool outputsRunning);
    QSize lockOutputResolution();
    void unlockOutputResolution();
    const EffectiveOutput& effectiveOutput() const { return effective; }
    bool isOutputResolutionLocked() const { return outputResolutionLocked; }

    // Output run.
    bool startOutputs();
    void stopOutputsAsync();
    void stopOutputsAndWait();

    // Audio mixer link.
    void setPreviewAudioMixerForOutput(PreviewAudioMixer* mixer);
    void detachPreviewAudioMixer(PreviewAudioMixer* mixer) override;

signals:
    void errorOccurred(QString message);
    void programOutputTransportFailed(QString reason);
    void programOutputStopped();
    void programStreamStatusChanged(int index, QString status);
    void effectiveOutputResolutionChanged(QSize size, bool usedFallback, bool limitedByProduct);
    void baseFrameReady(FrameTokenPtr frame);
    void programFrameReady(FrameTokenPtr frame);
    void channelFrameReady(int channel, FrameTokenPtr frame);
    void channelPlaybackEnded(int channel);
    void overlayFrameReady(int mediaId, qint64 ptsMs, QImage image);
    void overlayPlaybackFinished(int mediaId);
    // A decoder has opened its source and knows its picture (and so its
    // duration, when it has one). GUI thread.
    void channelSourceOpened(int channel);
    void overlaySourceOpened(int mediaId);

public slots:
    void onEncodeTransportFailed();
    void onChannelSourceVideoInfoChanged(int channel, int codedWidth, int codedHeight, int displayWidth,
                                         int displayHeight, qulonglong generation);
    void onBaseFrameDecoded(FrameTokenPtr frame);
    // Invoked by name through queued calls.
    void flushDecodedFrameQueue();
    void flushChannelPreviewQueue();
    void flushOverlayPreviewQueue();

private:
    friend struct FramePipelineTestAccess;

    struct PendingOverlayFrame {
        int mediaId = -1;
        qint64 ptsMs = 0;
        FrameTokenPtr frame;
    };

    static constexpr int kChannelPoolCapacity = 18;
    static constexpr int kOverlayPoolCapacity = 6;
    // Channel-pool buffers a run uses in its first second: the program's
    // pictures in the hand-offs, the composed frames in the encode queue and
    // the ones being encoded and shown.
    static constexpr int kFramesInFlightAtStart = 8;
    static constexpr int kPreviewWidth = 640;
    static constexpr int kPreviewHeight = 360;
    static constexpr int kOverlayThumbWidth = 320;
    static constexpr int kOverlayThumbHeight = 180;

    void createDecoders();
    void composeAndPublish(FrameTokenPtr base);
    void prepareForOutputSize();
    FrameTokenPtr uniformFrame(unsigned char byte);
    QSize programSourceSize() const;
    QSize overlayDecodeSize(int mediaId, QSize canvas) const;
    void finishOutputStop();
    QSize effectiveSizeForDecoders() const;

    std::unique_ptr<OutputRouter> router;
    std::future<void> stopFuture;
    std::atomic<bool> stopInProgress{false};
    // Not owned; detaches itself before it goes. Set on the GUI thread; the
    // mixer may detach from its own thread when it is deleted late.
    std::atomic<PreviewAudioMixer*> audioMixer{nullptr};

    std::unique_ptr<FramePool> channelPool;
    std::array<std::unique_ptr<FFmpegVideoDecoder>, kChannels> channelDecoders;
    std::array<FrameQueue, kChannels> latestFrames;
    std::array<QString, kChannels> channelSources;
    // Written on the GUI thread, read per frame by decoder threads.
    std::array<std::atomic<std::uint64_t>, kChannels> expectedGeneration{};
    std::array<QSize, kChannels> codedSizes;
    std::array<QSize, kChannels> displaySizes;

    std::unique_ptr<FramePool> overlayPool;
    std::array<std::unique_ptr<FFmpegVideoDecoder>, kOverlaySlots> overlayDecoders;
    // Written on the GUI thread, read per frame by decoder threads.
    std::array<std::atomic<int>, kOverlaySlots> overlayMediaIds;
    std::array<QString, kOverlaySlots> overlayPaths;

    std::unique_ptr<VulkanCompositor> compositor;

    // GUI thread only.
    ProgramState programState;
    double fps = 30.0;
    // Not owned; handed in with every program state. Guarded, so a model that
    // goes before the pipeline is seen as gone rather than dangling.
    QPointer<OverlayManager> overlayManager;
    OutputResolutionSelection resolutionSelection;
    OutputSizeLimit sizeLimit;
    EffectiveOutput effective;
    bool outputResolutionLocked = false;
    QSize stillImageSize{-1, -1};
    QImage imageCanvas;
    qint64 imageCanvasKey = 0;

    // The effective size as decoder threads read it: width high, height low.
    std::atomic<std::uint64_t> effectiveSizePacked{0};
    // Written on the GUI thread, read by decoder threads and the mixer thread.
    std::atomic<int> activeChannel{-1};

    NewestMailbox<FrameTokenPtr> pendingProgramFrame;
    NewestMailbox<FrameTokenPtr, kChannels> pendingPreviews;
    NewestMailbox<PendingOverlayFrame, kOverlaySlots> pendingOverlayFrames;

    std::array<QMetaObject::Connection, kOverlaySlots> overlayEndedConnections;
};
