#include "engine/framepipeline.h"

#include "engine/framepool.h"
#include "engine/overlaymanager.h"
#include "engine/packedsize.h"
#include "engine/previewaudiomixer.h"
#include "engine/vulkancompositor.h"
#include "input/ffmpegvideodecoder.h"
#include "output/outputrouter.h"

#include <QDebug>
#include <QPainter>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr int kPoolWidth = 1920;
constexpr int kPoolHeight = 1080;
const QSize kFallbackSize(1920, 1080);
const QSize kPreviewBounds(1920, 1080);

const char* const kTransportFailedReason =
    "输出已停止：本地录制写入失败，或 RTMP 在多次自动重连后仍无法恢复（服务器关闭、超时或网络中断）。";

// Nearest integer, halves away from zero, at least 1.
int scaledDimension(int total, double fraction) { return std::max(1, int(std::lround(total * fraction))); }

void releaseFrameRef(void* info) { delete static_cast<FrameTokenPtr*>(info); }

// A read-only image over the frame's pixels; the image keeps the frame alive.
QImage wrapFrame(const FrameTokenPtr& frame)
{
    auto* ref = new FrameTokenPtr(frame);
    return QImage(reinterpret_cast<const uchar*>(frame->data.constData()), frame->width, frame->height,
                  frame->bytesPerLine, QImage::Format_RGBA8888, releaseFrameRef, ref);
}

EffectiveOutput initialEffectiveOutput()
{
    EffectiveOutput eo;
    eo.resolution.basis = QSize(-1, -1);
    eo.resolution.effective = kFallbackSize;
    eo.resolution.usedFallback = true;
    eo.resolution.changed = false;
    eo.resolution.valid = true;
    eo.recommendation.size = kFallbackSize;
    eo.recommendation.fps = 30.0;
    eo.recommendation.kbps = 7500;
    eo.recommendation.over4096 = false;
    return eo;
}

bool usableOutput(const EffectiveOutput& eo)
{
    return eo.resolution.valid && eo.resolution.effective.width() > 0 && eo.resolution.effective.height() > 0;
}

} // namespace

FramePipeline::FramePipeline(QObject* parent)
    : FramePipeline(RouterSinkFactory(), parent)
{
}

FramePipeline::FramePipeline(RouterSinkFactory sinkFactory, QObject* parent)
    : QObject(parent)
{
    registerFrameTokenMetaType();
    router = sinkFactory ? std::make_unique<OutputRouter>(std::move(sinkFactory)) : std::make_unique<OutputRouter>();

    channelPool = std::make_unique<FramePool>(kChannelPoolCapacity, kPoolWidth, kPoolHeight);
    for (auto& queue : latestFrames)
        queue.init(1);
    for (auto& g : expectedGeneration)
        g.store(0);
    codedSizes.fill(QSize(-1, -1));
    displaySizes.fill(QSize(-1, -1));

    overlayPool = std::make_unique<FramePool>(kOverlayPoolCapacity, kPoolWidth, kPoolHeight);
    compositor = std::make_unique<VulkanCompositor>(channelPool.get());

    sizeLimit = defaultOutputSizeLimit();
    effective = initialEffectiveOutput();
    effectiveSizePacked.store(packSize(kFallbackSize.width(), kFallbackSize.height()));

    createDecoders();
}

void FramePipeline::createDecoders()
{
    for (int j = 0; j < kChannels; ++j) {
        auto decoder = std::make_unique<FFmpegVideoDecoder>(channelPool.get(), this);
        decoder->setOutputSize(kPreviewWidth, kPreviewHeight);
        decoder->setFrameCallback([this, j](FrameTokenPtr frame) { onChannelFrame(j, std::move(frame)); });
        connect(decoder.get(), &FFmpegVideoDecoder::sourceVideoInfoChanged, this,
                [this, j](int cw, int ch, int dw, int dh, qulonglong generation) {
                    onChannelSourceVideoInfoChanged(j, cw, ch, dw, dh, generation);
                    emit channelSourceOpened(j);
                });
        connect(decoder.get(), &FFmpegVideoDecoder::decodeError, this, [this, j](const QString& message) {
            qWarning() << "Channel" << j << "decoder:" << message;
            emit errorOccurred(message);
        });
        connect(
            decoder.get(), &FFmpegVideoDecoder::playbackEndedNaturally, this,
            [this, j] { emit channelPlaybackEnded(j); }, Qt::QueuedConnection);
        channelDecoders[j] = std::move(decoder);
    }
    for (int k = 0; k < kOverlaySlots; ++k) {
        overlayMediaIds[k].store(-1);
        auto decoder = std::make_unique<FFmpegVideoDecoder>(overlayPool.get(), this);
        decoder->audioEnabled.store(false);
        decoder->setFrameCallback([this, k](FrameTokenPtr frame) { onOverlayFrame(k, std::move(frame)); });
        connect(decoder.get(), &FFmpegVideoDecoder::sourceVideoInfoChanged, this, [this, k] {
            const int mediaId = overlayMediaIds[k].load();
            if (mediaId >= 0)
                emit overlaySourceOpened(mediaId);
        });
        connect(decoder.get(), &FFmpegVideoDecoder::decodeError, this, [this, k](const QString& message) {
            qWarning() << "Overlay slot" << k << "decoder:" << message;
            emit errorOccurred(message);
        });
        overlayDecoders[k] = std::move(decoder);
    }
}

FramePipeline::~FramePipeline()
{
    if (stopFuture.valid())
        stopFuture.wait();
    stopOutputsAndWait();

    router->setAudioMixer(nullptr);
    if (PreviewAudioMixer* mixer = audioMixer.exchange(nullptr))
        mixer->detachSource();
    for (auto& decoder : channelDecoders)
        decoder->setAudioClock({});

    // Every decoder thread is joined before the hand-off slots, their mutexes
    // and the channel queues go: a decoder still delivering would otherwise
    // write into freed members.
    for (auto& decoder : overlayDecoders)
        decoder.reset();
    for (auto& decoder : channelDecoders)
        decoder.reset();

    for (auto& connection : overlayEndedConnections)
        disconnect(connection);
    pendingProgramFrame.drop();
    pendingPreviews.drop();
    pendingOverlayFrames.drop();
    compositor.reset();
    overlayPool.reset();
    for (auto& queue : latestFrames)
        queue.clear();
    imageCanvas = QImage();
    channelPool.reset();
    // The router goes last with the members: it stops its worker.
}

// ---------------------------------------------------------------------------
// Frame flow

QSize FramePipeline::effectiveSizeForDecoders() const
{
    return unpackSize(effectiveSizePacked.load(std::memory_order_acquire));
}

void FramePipeline::onChannelFrame(int channel, FrameTokenPtr&& frame)
{
    if (channel < 0 || channel >= kChannels || !frame)
        return;
    const std::uint64_t expected = expectedGeneration[channel].load(std::memory_order_acquire);
    if (expected != 0 && expected != frame->generation)
        return;

    latestFrames[channel].push(FrameTokenPtr(frame));
    if (pendingPreviews.put(std::size_t(channel), frame))
        QMetaObject::invokeMethod(this, "flushChannelPreviewQueue", Qt::QueuedConnection);

    const bool outputRunning = router->isRunning();
    const QSize outputSize = effectiveSizeForDecoders();
    const bool outputSized = frame->width == outputSize.width() && frame->height == outputSize.height();
    if (channel == activeChannel.load(std::memory_order_acquire) && (!outputRunning || outputSized))
        queueBaseFrame(std::move(frame));
}

void FramePipeline::queueBaseFrame(FrameTokenPtr&& frame)
{
    if (!frame)
        return;
    if (pendingProgramFrame.put(0, std::move(frame)))
        QMetaObject::invokeMethod(this, "flushDecodedFrameQueue", Qt::QueuedConnection);
}

void FramePipeline::flushDecodedFrameQueue()
{
    FrameTokenPtr frame = std::move(pendingProgramFrame.takeAll()[0]);
    if (!frame)
        return;
    onBaseFrameDecoded(std::move(frame));
    if (pendingProgramFrame.needsRepost())
        QMetaObject::invokeMethod(this, "flushDecodedFrameQueue", Qt::QueuedConnection);
}

void FramePipeline::composeAndPublish(FrameTokenPtr base)
{
    FrameTokenPtr composed = compositor->compose(std::move(base), overlayManager.data());
    if (!composed)
        return;
    router->submitFrame(composed);
    emit programFrameReady(composed);
}

void FramePipeline::onBaseFrameDecoded(FrameTokenPtr frame)
{
    if (!frame)
        return;
    emit baseFrameReady(frame);
    composeAndPublish(std::move(frame));
}

void FramePipeline::flushChannelPreviewQueue()
{
    const std::array<FrameTokenPtr, kChannels> frames = pendingPreviews.takeAll();
    for (int j = 0; j < kChannels; ++j) {
        if (frames[j])
            emit channelFrameReady(j, frames[j]);
    }
    if (pendingPreviews.needsRepost())
        QMetaObject::invokeMethod(this, "flushChannelPreviewQueue", Qt::QueuedConnection);
}

void FramePipeline::onOverlayFrame(int slot, FrameTokenPtr&& frame)
{
    if (slot < 0 || slot >= kOverlaySlots || !frame)
        return;
    const int mediaId = overlayMediaIds[slot].load(std::memory_order_acquire);
    if (mediaId < 0 || frame->data.isEmpty() || frame->width <= 0 || frame->height <= 0)
        return;
    const qint64 ptsMs = frame->ptsUs / 1000;
    if (pendingOverlayFrames.put(std::size_t(slot), PendingOverlayFrame{mediaId, ptsMs, std::move(frame)}))
        QMetaObject::invokeMethod(this, "flushOverlayPreviewQueue", Qt::QueuedConnection);
}

void FramePipeline::flushOverlayPreviewQueue()
{
    std::array<PendingOverlayFrame, kOverlaySlots> entries = pendingOverlayFrames.takeAll();
    for (int k = 0; k < kOverlaySlots; ++k) {
        PendingOverlayFrame& entry = entries[k];
        if (entry.mediaId < 0 || !entry.frame || entry.frame->data.isEmpty())
            continue;
        if (entry.mediaId != overlayMediaIds[k].load() || !overlayManager
            || !overlayManager->hasMediaOverlay(entry.mediaId))
            continue;
        const QImage image = wrapFrame(entry.frame);
        if (image.isNull())
            continue;
        overlayManager->setVideoOverlayFrame(entry.mediaId, image);
        emit overlayFrameReady(entry.mediaId, entry.ptsMs,
                               image.scaled(QSize(kOverlayThumbWidth, kOverlayThumbHeight), Qt::KeepAspectRatio,
                                            Qt::FastTransformation));
    }
    if (pendingOverlayFrames.needsRepost())
        QMetaObject::invokeMethod(this, "flushOverlayPreviewQueue", Qt::QueuedConnection);
}

void FramePipeline::submitBlankFrame(qint64 positionMs)
{
    if (!compositor)
        return;
    FrameTokenPtr token = uniformFrame(0);
    if (!token)
        return;
    token->ptsUs = positionMs * 1000;
    composeAndPublish(std::move(token));
}

// A frame of the pool's size with every byte set to `byte`.
FrameTokenPtr FramePipeline::uniformFrame(unsigned char byte)
{
    const auto [width, height] = channelPool->frameSize();
    if (width <= 0 || height <= 0)
        return {};
    FrameTokenPtr token = channelPool->acquire();
    if (!token)
        return {};
    const int bytes = width * 4 * height;
    if (token->data.size() < bytes)
        token->data.resize(bytes);
    std::memset(token->data.data(), byte, std::size_t(bytes));
    token->width = width;
    token->height = height;
    token->pixelFormat = FrameToken::kRgba8888;
    token->bytesPerLine = width * 4;
    return token;
}

void FramePipeline::submitImageFrameMs(const QImage& image, qint64 positionMs)
{
    submitImageFrame(image, positionMs * 1000);
}

void FramePipeline::submitImageFrame(const QImage& image, qint64 ptsUs)
{
    if (!compositor || !channelPool || image.isNull())
        return;
    if (programState.programSource == ProgramState::kStillImage && image.size() != stillImageSize) {
        stillImageSize = image.size();
        if (!outputResolutionLocked)
            recomputeEffectiveOutput();
    }

    const auto [width, height] = channelPool->frameSize();
    if (width <= 0 || height <= 0)
        return;
    if (imageCanvas.size() != QSize(width, height) || imageCanvas.format() != QImage::Format_RGBA8888
        || imageCanvasKey != image.cacheKey()) {
        imageCanvas = QImage(width, height, QImage::Format_RGBA8888);
        imageCanvas.fill(Qt::black);
        const QSize scaled = image.size().scaled(width, height, Qt::KeepAspectRatio);
        QPainter painter(&imageCanvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.drawImage(QRect(QPoint((width - scaled.width()) / 2, (height - scaled.height()) / 2), scaled), image,
                          image.rect());
        painter.end();
        imageCanvasKey = image.cacheKey();
    }

    FrameTokenPtr token = channelPool->acquire();
    if (!token)
        return;
    const int bpl = int(imageCanvas.bytesPerLine());
    const int bytes = bpl * imageCanvas.height();
    token->width = imageCanvas.width();
    token->height = imageCanvas.height();
    token->pixelFormat = FrameToken::kRgba8888;
    token->bytesPerLine = bpl;
    if (token->data.size() < bytes)
        token->data.resize(bytes);
    std::memcpy(token->data.data(), imageCanvas.constBits(), std::size_t(bytes));
    token->ptsUs = ptsUs;
    composeAndPublish(std::move(token));
}

void FramePipeline::recomposeProgram()
{
    const int channel = activeChannel.load();
    if (!compositor || !router || channel < 0 || channel >= kChannels || !overlayManager)
        return;
    FrameTokenPtr frame = latestFrames[channel].latest();
    if (!frame || frame->data.isEmpty())
        return;
    const QSize size = effective.resolution.effective;
    if (frame->width != size.width() || frame->height != size.height())
        return;
    composeAndPublish(std::move(frame));
}

// ---------------------------------------------------------------------------
// Program source and channels

void FramePipeline::setChannelSources(const QString sources[kChannels])
{
    for (int j = 0; j < kChannels; ++j) {
        const QString& source = sources[j];
        if (source == channelSources[j])
            continue;
        FFmpegVideoDecoder* decoder = channelDecoders[j].get();
        decoder->requestStop();
        if (!source.isEmpty())
            expectedGeneration[j].store(decoder->generation.load() + 1, std::memory_order_release);
        latestFrames[j].clear();
        codedSizes[j] = QSize(-1, -1);
        displaySizes[j] = QSize(-1, -1);
        if (j == activeChannel.load() && router->isRunning())
            router->resetTimeline();
        channelSources[j] = source;
        if (!source.isEmpty())
            decoder->setSource(source);
        else
            decoder->stopWorkers();
    }
    if (!outputResolutionLocked)
        recomputeEffectiveOutput();
}

void FramePipeline::onChannelSourceVideoInfoChanged(int channel, int codedWidth, int codedHeight, int displayWidth,
                                                    int displayHeight, qulonglong generation)
{
    if (channel < 0 || channel >= kChannels)
        return;
    const std::uint64_t expected = expectedGeneration[channel].load();
    if (expected != 0 && expected != generation)
        return;
    codedSizes[channel] = QSize(codedWidth, codedHeight);
    displaySizes[channel] = QSize(displayWidth, displayHeight);
    if (!outputResolutionLocked && channel == activeChannel.load())
        recomputeEffectiveOutput();
}

void FramePipeline::applyProgramState(const ProgramState& state, OverlayManager* overlays)
{
    if (state.programSource != programState.programSource) {
        const auto dropped = pendingProgramFrame.drop();
        if (router->isRunning())
            router->resetTimeline();
    }
    programState = state;
    overlayManager = overlays;
    const int source = state.programSource;
    activeChannel.store(source >= 1 && source <= kChannels ? source - 1 : -1, std::memory_order_release);
    if (!outputResolutionLocked)
        recomputeEffectiveOutput();
    router->setFps(fps);
    // Sets the overlay canvas to the decode size. Setting it to the pool's
    // size first would, in preview of a program above 1920x1080, flip the
    // canvas there and back on every call: each flip drops the rendered
    // drawing and reloads every picture overlay.
    updateDecoderTargetSizes(router->isRunning());
}

void FramePipeline::setChannelPlayback(int channel, qint64 positionMs, bool playing)
{
    if (channel >= 0 && channel < kChannels)
        channelDecoders[channel]->setPlayback(positionMs, playing);
}

void FramePipeline::setChannelLooping(int channel, bool loop)
{
    if (channel >= 0 && channel < kChannels)
        channelDecoders[channel]->setLooping(loop);
}

qint64 FramePipeline::channelDurationMs(int channel) const
{
    if (channel < 0 || channel >= kChannels)
        return -1;
    return channelDecoders[channel]->sourceDurationMs();
}

// ---------------------------------------------------------------------------
// Overlay-video slots

int FramePipeline::overlaySlotForMedia(int mediaId) const
{
    if (mediaId < 0)
        return -1;
    for (int k = 0; k < kOverlaySlots; ++k) {
        if (overlayMediaIds[k].load() == mediaId)
            return k;
    }
    return -1;
}

QSize FramePipeline::overlayDecodeSize(int mediaId, QSize canvas) const
{
    if (!overlayManager)
        return QSize();
    for (const MediaOverlayData& media : overlayManager->mediaOverlays()) {
        if (media.id == mediaId && media.kind == MediaOverlayData::kVideo) {
            return QSize(scaledDimension(canvas.width(), media.rect.width()),
                         scaledDimension(canvas.height(), media.rect.height()));
        }
    }
    return QSize();
}

bool FramePipeline::registerOverlayVideo(int mediaId, const QString& path)
{
    if (mediaId < 0 || path.isEmpty() || !overlayPool)
        return false;
    const int bound = overlaySlotForMedia(mediaId);
    if (bound >= 0) {
        if (overlayPaths[bound] == path)
            return true;
        releaseOverlayVideoSlot(mediaId);
    }
    int slot = -1;
    for (int k = 0; k < kOverlaySlots; ++k) {
        if (overlayMediaIds[k].load() < 0) {
            slot = k;
            break;
        }
    }
    if (slot < 0) {
        qWarning() << "FramePipeline: overlay video slots full (max" << kOverlaySlots << ")";
        return false;
    }

    FFmpegVideoDecoder* decoder = overlayDecoders[slot].get();
    overlayMediaIds[slot].store(mediaId, std::memory_order_release);
    overlayPaths[slot] = path;
    QSize size(overlayPool->width(), overlayPool->height());
    const QSize boxSize = overlayDecodeSize(mediaId, QSize(channelPool->width(), channelPool->height()));
    if (boxSize.isValid())
        size = boxSize;
    decoder->setOutputSize(size.width(), size.height());
    if (overlayEndedConnections[slot])
        disconnect(overlayEndedConnections[slot]);
    decoder->audioEnabled.store(true);
    decoder->setSource(path);
    overlayEndedConnections[slot] = connect(
        decoder, &FFmpegVideoDecoder::playbackEndedNaturally, this,
        [this, mediaId] { emit overlayPlaybackFinished(mediaId); }, Qt::QueuedConnection);
    return true;
}

void FramePipeline::releaseOverlayVideoSlot(int mediaId)
{
    const int slot = overlaySlotForMedia(mediaId);
    if (slot < 0)
        return;
    if (overlayEndedConnections[slot])
        disconnect(overlayEndedConnections[slot]);
    FFmpegVideoDecoder* decoder = overlayDecoders[slot].get();
    decoder->stopWorkers();
    decoder->audioEnabled.store(false);
    overlayMediaIds[slot].store(-1, std::memory_order_release);
    overlayPaths[slot].clear();
    if (overlayManager)
        overlayManager->clearVideoOverlayFrame(mediaId);
}

void FramePipeline::setOverlayVideoLooping(int mediaId, bool loop)
{
    const int slot = overlaySlotForMedia(mediaId);
    if (slot >= 0)
        overlayDecoders[slot]->setLooping(loop);
}

void FramePipeline::setOverlayVideoPlayback(int mediaId, qint64 positionMs, bool playing)
{
    const int slot = overlaySlotForMedia(mediaId);
    if (slot >= 0)
        overlayDecoders[slot]->setPlayback(positionMs, playing);
}

void FramePipeline::requestOverlayVideoResync(int mediaId)
{
    const int slot = overlaySlotForMedia(mediaId);
    if (slot >= 0)
        overlayDecoders[slot]->requestSeek();
}

qint64 FramePipeline::overlayDurationMs(int mediaId) const
{
    const int slot = overlaySlotForMedia(mediaId);
    return slot >= 0 ? overlayDecoders[slot]->sourceDurationMs() : -1;
}

// ---------------------------------------------------------------------------
// Audio

void FramePipeline::readChannelAudio(int channel, float* out, int frames)
{
    if (!out || frames <= 0)
        return;
    if (channel >= 0 && channel < kChannels && channelDecoders[channel]) {
        channelDecoders[channel]->readAudio(out, frames);
        return;
    }
    std::fill(out, out + 2 * std::size_t(frames), 0.0f);
}

void FramePipeline::readOverlayAudio(int slot, float* out, int frames)
{
    if (!out || frames <= 0)
        return;
    if (slot >= 0 && slot < kOverlaySlots && overlayDecoders[slot]) {
        overlayDecoders[slot]->readAudio(out, frames);
        return;
    }
    std::fill(out, out + 2 * std::size_t(frames), 0.0f);
}

// ---------------------------------------------------------------------------
// Output settings

void FramePipeline::setOutputPath(const QString& path) { router->setOutputPath(path); }

void FramePipeline::setStreamTargets(const std::vector<StreamTarget>& targets) { router->setStreamTargets(targets); }

void FramePipeline::setEncoderOptions(int videoBitrateKbps, int keyframeIntervalSeconds, int encoderMode,
                                      int qualityPreset)
{
    router->setEncoderOptions(videoBitrateKbps, keyframeIntervalSeconds, encoderMode, qualityPreset);
}

void FramePipeline::setSegmentOptions(bool enabled, qint64 durationMs, qint64 sizeBytes)
{
    router->setSegmentOptions(SegmentOptions{enabled, std::max<qint64>(0, durationMs), std::max<qint64>(0, sizeBytes)});
}

void FramePipeline::setOutputFps(double value)
{
    fps = std::clamp(value, double(kMinFrameRate), double(kMaxFrameRate));
    router->setFps(fps);
    if (!outputResolutionLocked)
        recomputeEffectiveOutput();
}

double FramePipeline::outputFps() const { return router ? router->frameRate() : 30.0; }

bool FramePipeline::isOutputRunning() const { return router && router->isRunning(); }

// ---------------------------------------------------------------------------
// Output size

QSize FramePipeline::programSourceSize() const
{
    const int channel = activeChannel.load();
    if (channel >= 0 && channel < kChannels)
        return displaySizes[channel];
    if (programState.programSource == ProgramState::kStillImage)
        return stillImageSize;
    return QSize(-1, -1);
}

void FramePipeline::setOutputResolutionSelection(int width, int height)
{
    if (outputResolutionLocked)
        return;
    OutputResolutionSelection selection;
    if (width <= 0 || height <= 0) {
        selection.mode = OutputResolutionSelection::kAutomatic;
        selection.width = -1;
        selection.height = -1;
    } else {
        selection.mode = OutputResolutionSelection::kCustom;
        selection.width = width;
        selection.height = height;
    }
    resolutionSelection = selection;
    recomputeEffectiveOutput();
}

void FramePipeline::recomputeEffectiveOutput()
{
    if (outputResolutionLocked)
        return;
    const EffectiveOutput eo =
        resolveEffectiveOutput(programSourceSize(), resolutionSelection, sizeLimit, fps, kFallbackSize);
    if (usableOutput(eo)) {
        applyEffectiveOutput(eo);
        return;
    }
    qWarning() << "FramePipeline: invalid output resolution selection"
               << QSize(resolutionSelection.width, resolutionSelection.height);
}

void FramePipeline::applyEffectiveOutput(const EffectiveOutput& eo)
{
    if (!usableOutput(eo))
        return;
    const OutputResolution& now = effective.resolution;
    const OutputResolution& next = eo.resolution;
    bool notify = true;
    if (next.effective == now.effective && next.usedFallback == now.usedFallback && next.changed == now.changed
        && eo.recommendation.fps == effective.recommendation.fps)
        notify = eo.recommendation.kbps != effective.recommendation.kbps;

    effective = eo;
    const QSize size = next.effective;
    effectiveSizePacked.store(packSize(size.width(), size.height()), std::memory_order_release);

    if (size != QSize(channelPool->width(), channelPool->height())) {
        channelPool->setFrameSize(size.width(), size.height());
        overlayPool->setFrameSize(size.width(), size.height());
        if (overlayManager)
            overlayManager->setCanvasSize(size);
        imageCanvas = QImage();
        imageCanvasKey = 0;
        updateDecoderTargetSizes(router->isRunning());
    }
    router->setFrameSize(size.width(), size.height());
    if (notify)
        emit effectiveOutputResolutionChanged(size, next.usedFallback, next.changed);
}

void FramePipeline::updateDecoderTargetSizes(bool outputsRunning)
{
    if (!channelPool)
        return;
    const QSize pool(channelPool->width(), channelPool->height());
    QSize target;
    if (outputsRunning) {
        target = pool;
    } else if (pool.width() <= 0 || pool.height() <= 0) {
        target = kPreviewBounds;
    } else {
        target = pool.scaled(kPreviewBounds, Qt::KeepAspectRatio);
        target = QSize(std::max(2, target.width()), std::max(2, target.height()));
    }
    if (overlayManager)
        overlayManager->setCanvasSize(target);
    const int channel = activeChannel.load();
    for (int j = 0; j < kChannels; ++j) {
        if (j == channel)
            channelDecoders[j]->setOutputSize(target.width(), target.height());
        else
            channelDecoders[j]->setOutputSize(kPreviewWidth, kPreviewHeight);
    }
    if (!overlayManager)
        return;
    for (int k = 0; k < kOverlaySlots; ++k) {
        const int mediaId = overlayMediaIds[k].load();
        if (mediaId < 0 || !overlayDecoders[k])
            continue;
        const QSize boxSize = overlayDecodeSize(mediaId, target);
        if (boxSize.isValid())
            overlayDecoders[k]->setOutputSize(boxSize.width(), boxSize.height());
    }
}

QSize FramePipeline::lockOutputResolution()
{
    if (!outputResolutionLocked) {
        const EffectiveOutput eo =
            resolveEffectiveOutput(programSourceSize(), resolutionSelection, sizeLimit, fps, kFallbackSize);
        if (!usableOutput(eo))
            return QSize(-1, -1);
        applyEffectiveOutput(eo);
    }
    const QSize size = effective.resolution.effective;
    router->setFrameSize(size.width(), size.height());
    outputResolutionLocked = true;
    return size;
}

void FramePipeline::unlockOutputResolution()
{
    if (!outputResolutionLocked)
        return;
    outputResolutionLocked = false;
    recomputeEffectiveOutput();
}

// ---------------------------------------------------------------------------
// Output run

bool FramePipeline::startOutputs()
{
    if (!router || stopInProgress.load())
        return false;
    const QSize size = lockOutputResolution();
    if (size.width() < 1 || size.height() < 1)
        return false;
    updateDecoderTargetSizes(true);
    prepareForOutputSize();

    QPointer<FramePipeline> self(this);
    router->setTransportFailedCallback([self] {
        if (self)
            QMetaObject::invokeMethod(self.data(), "onEncodeTransportFailed", Qt::QueuedConnection);
    });
    router->setStreamStatusCallback([self](int row, const QString& status) {
        if (!self)
            return;
        const QString copy = status;
        QMetaObject::invokeMethod(
            self.data(), [self, row, copy] {
                if (self)
                    emit self->programStreamStatusChanged(row, copy);
            },
            Qt::QueuedConnection);
    });

    if (router->start()) {
        if (router->lastStartSkippedRecording()) {
            emit errorOccurred(tr("The recording folder cannot be written; the output streams without recording."));
        }
        return true;
    }
    updateDecoderTargetSizes(false);
    unlockOutputResolution();
    return false;
}

// Done before the output's clock starts, so the first frames of a run whose
// size differs from the preview's go out on time:
// - the frames in flight get buffers of the new size with their memory
//   there (a fresh 4K buffer costs its first writer up to 100 ms);
// - one composition renders the texts, scales the pictures and lays out the
//   drawing for the new size (at 4K a third of a second on this thread).
//   The frame itself is thrown away.
void FramePipeline::prepareForOutputSize()
{
    channelPool->prefault(kFramesInFlightAtStart);
    if (!compositor || !overlayManager || !overlayManager->hasVisibleOverlays())
        return;
    if (FrameTokenPtr token = uniformFrame(0xff)) // opaque, as decoded pictures are
        compositor->compose(std::move(token), overlayManager.data());
}

void FramePipeline::stopOutputsAsync()
{
    if (!router || stopInProgress.exchange(true))
        return;
    router->requestStop();
    QPointer<FramePipeline> self(this);
    OutputRouter* const task = router.get();
    stopFuture = std::async(std::launch::async, [self, task] {
        task->stop();
        if (self)
            QMetaObject::invokeMethod(self.data(), [self] {
                if (self)
                    self->finishOutputStop();
            },
            Qt::QueuedConnection);
    });
}

void FramePipeline::finishOutputStop()
{
    stopInProgress.store(false);
    updateDecoderTargetSizes(false);
    unlockOutputResolution();
    emit programOutputStopped();
}

void FramePipeline::stopOutputsAndWait()
{
    if (stopInProgress.load()) {
        if (stopFuture.valid())
            stopFuture.wait();
        stopInProgress.store(false);
    } else if (router) {
        router->stop();
    }
    updateDecoderTargetSizes(false);
    unlockOutputResolution();
}

void FramePipeline::onEncodeTransportFailed()
{
    stopOutputsAsync();
    emit programOutputTransportFailed(QString::fromUtf8(kTransportFailedReason));
}

// ---------------------------------------------------------------------------
// Audio mixer link

void FramePipeline::setPreviewAudioMixerForOutput(PreviewAudioMixer* mixer)
{
    audioMixer = mixer;
    router->setAudioMixer(mixer);
    std::shared_ptr<std::function<long long()>> clock;
    if (mixer) {
        QPointer<PreviewAudioMixer> guarded(mixer);
        clock = std::make_shared<std::function<long long()>>([guarded]() -> long long {
            const PreviewAudioMixer* m = guarded.data();
            return m ? m->playedFrames() : 0;
        });
    }
    for (auto& decoder : channelDecoders)
        decoder->setAudioClock(clock);
}

void FramePipeline::detachPreviewAudioMixer(PreviewAudioMixer* mixer)
{
    if (!mixer)
        return;
    PreviewAudioMixer* expected = mixer;
    if (!audioMixer.compare_exchange_strong(expected, nullptr))
        return;
    // The mixer must never read from this pipeline again.
    mixer->detachSource();
    const bool onOwnThread = QThread::currentThread() == thread();
    if (onOwnThread)
        stopOutputsAndWait(); // the encode worker reads the mixer's tap until it ends
    router->setAudioMixer(nullptr);
    // Waits for a decoder reading the clock right now.
    for (auto& decoder : channelDecoders)
        decoder->setAudioClock({});
    // A mixer deleted late on its own thread: output control belongs to the
    // GUI thread.
    if (!onOwnThread)
        QMetaObject::invokeMethod(this, [this] { stopOutputsAndWait(); }, Qt::QueuedConnection);
}
