// Image and video items of the overlay editor bound to the program: their
// overlay ids, the overlay model records, the overlay-video decoder slots and
// the overlay audio routing.

#include "ui/mainwindow.h"

#include "engine/canvasgeometry.h"
#include "engine/framepipeline.h"
#include "engine/mediaoverlaydata.h"
#include "engine/overlaymanager.h"
#include "engine/previewaudiomixer.h"
#include "ui/mediaoverlaywidget.h"

#include <QDebug>
#include <QPointer>
#include <QTimer>

namespace {

constexpr int kDurationAskDelayMs = 150;

MediaOverlayData videoRecord(int id, const QString& path, const QRectF& rectInScene, bool visible,
                             qint64 positionMs, bool playing)
{
    MediaOverlayData d;
    d.id = id;
    d.kind = MediaOverlayData::kVideo;
    d.path = path;
    d.rect = fromReferenceCanvasRect(rectInScene);
    d.visible = visible;
    d.zIndex = 0;
    d.opacity = 1.0;
    d.positionMs = positionMs;
    d.playing = playing;
    return d;
}

} // namespace

int MainWindow::overlayIdFor(QObject* item, bool video, bool* isNew)
{
    QHash<QObject*, int>& ids = video ? videoOverlayIds : imageOverlayIds;
    if (isNew)
        *isNew = false;
    const int existing = ids.value(item, 0);
    if (existing != 0)
        return existing;
    const int id = nextOverlayId++;
    ids.insert(item, id);
    if (isNew)
        *isNew = true;
    if (video)
        connect(item, &QObject::destroyed, this, [this, item] { forgetVideoOverlay(item); });
    else
        connect(item, &QObject::destroyed, this, [this, item] { detachImageOverlay(item); });
    return id;
}

VideoOverlayWidget* MainWindow::videoOverlayItemFor(int mediaId) const
{
    for (auto it = videoOverlayIds.cbegin(); it != videoOverlayIds.cend(); ++it) {
        if (it.value() == mediaId && it.key())
            return qobject_cast<VideoOverlayWidget*>(it.key());
    }
    return nullptr;
}

void MainWindow::bindVideoOverlayToProgram(QObject* widget, const QString& filePath, const QRectF& rectInScene,
                                           qint64 positionMs, bool isPlaying)
{
    auto* item = qobject_cast<VideoOverlayWidget*>(widget);
    if (!overlayManager || !item || filePath.isEmpty())
        return;
    const int id = overlayIdFor(item, true);
    if (!overlayManager->setMediaOverlay(videoRecord(id, filePath, rectInScene, true, positionMs, isPlaying)))
        return;
    item->bindProgramOverlay(overlayManager, id);
    if (!framePipeline)
        return;
    if (!framePipeline->registerOverlayVideo(id, filePath)) {
        overlayManager->removeMediaOverlay(id);
        item->setAttachedToProgram(false);
        item->setAttachChecked(false);
        qWarning() << "bindVideoOverlayToProgram: no free overlay video slot for id" << id;
        return;
    }
    framePipeline->setOverlayVideoLooping(id, item->isLoopEnabled());
    item->setAttachedToProgram(true);
    item->setAttachChecked(true);
    framePipeline->setOverlayVideoPlayback(id, positionMs, isPlaying);
    framePipeline->requestOverlayVideoResync(id);
    if (programChannelHasSource())
        framePipeline->recomposeProgram();
    else
        updateIdleProgram();
    QPointer<QObject> guard(item);
    QTimer::singleShot(kDurationAskDelayMs, this, [this, guard, id] {
        if (guard)
            refreshOverlayDuration(guard, id);
    });
    applyOverlayMonitorVolume(item);
    syncOverlayAudioState(item);
}

void MainWindow::bindImageOverlayToProgram(QObject* widget, const QString& filePath, const QRectF& rectInScene,
                                           double opacity)
{
    if (!overlayManager || !widget || filePath.isEmpty())
        return;
    MediaOverlayData d;
    d.id = overlayIdFor(widget, false);
    d.kind = MediaOverlayData::kImage;
    d.path = filePath;
    d.rect = fromReferenceCanvasRect(rectInScene);
    d.visible = true;
    d.zIndex = 0;
    d.opacity = opacity;
    d.positionMs = 0;
    d.playing = false;
    overlayManager->setMediaOverlay(d);
}

void MainWindow::onVideoOverlayAdded(VideoOverlayWidget* widget)
{
    if (!widget)
        return;
    connect(widget, &VideoOverlayWidget::overlayLocalVolumeChanged, this,
            [this, widget] { applyOverlayMonitorVolume(widget); });
    connect(widget, &VideoOverlayWidget::overlayDecoderSyncRequested, this,
            [this, widget](qlonglong positionMs, bool playing) {
                onOverlayDecoderSyncRequested(widget, positionMs, playing);
            });
}

void MainWindow::ensureVideoOverlayOnProgram(VideoOverlayWidget* widget)
{
    if (!widget || !framePipeline || !overlayManager || widget->filePath().isEmpty())
        return;
    bool isNew = false;
    const int id = overlayIdFor(widget, true, &isNew);
    if (isNew)
        widget->bindProgramOverlay(overlayManager, id);
    const QString path = widget->filePath();
    if (widget->isAttachChecked()) {
        framePipeline->registerOverlayVideo(id, path);
        framePipeline->setOverlayVideoLooping(id, widget->isLoopEnabled());
        if (!widget->isAttachedToProgram())
            widget->setAttachedToProgram(true);
        syncOverlayAudioState(widget);
        return;
    }
    overlayManager->setMediaOverlay(
        videoRecord(id, path, widget->rectInScene(), false, widget->positionMs(), widget->isPlaying()));
    framePipeline->registerOverlayVideo(id, path);
    framePipeline->setOverlayVideoLooping(id, widget->isLoopEnabled());
    widget->setAttachedToProgram(true);
    QPointer<QObject> guard(widget);
    QTimer::singleShot(kDurationAskDelayMs, this, [this, guard, id] {
        if (guard)
            refreshOverlayDuration(guard, id);
    });
    applyOverlayMonitorVolume(widget);
    syncOverlayAudioState(widget);
}

void MainWindow::onOverlayDecoderSyncRequested(VideoOverlayWidget* widget, qint64 positionMs, bool playing)
{
    if (!framePipeline || !widget)
        return;
    ensureVideoOverlayOnProgram(widget);
    const int id = videoOverlayIds.value(widget, 0);
    if (!widget->isAttachedToProgram() || id == 0)
        return;
    framePipeline->setOverlayVideoPlayback(id, positionMs, playing);
    if (programChannelHasSource())
        framePipeline->recomposeProgram();
    else
        updateIdleProgram();
}

void MainWindow::onVideoOverlayLoopChanged(VideoOverlayWidget* widget, bool loop)
{
    if (!framePipeline || !widget)
        return;
    ensureVideoOverlayOnProgram(widget);
    const int id = videoOverlayIds.value(widget, 0);
    if (widget->isAttachedToProgram() && id != 0)
        framePipeline->setOverlayVideoLooping(id, loop);
}

void MainWindow::applyOverlayMonitorVolume(VideoOverlayWidget* widget)
{
    if (!previewAudioMixer || !framePipeline || !widget)
        return;
    const int id = videoOverlayIds.value(widget, 0);
    if (id == 0)
        return;
    const int slot = framePipeline->overlaySlotForMedia(id);
    if (slot >= 0)
        previewAudioMixer->setOverlayLocalGain(slot, widget->localVolume() / 100.0f);
}

void MainWindow::syncOverlayAudioState(VideoOverlayWidget* widget)
{
    if (!previewAudioMixer || !framePipeline || !widget)
        return;
    const int id = videoOverlayIds.value(widget, 0);
    if (id == 0)
        return;
    const int slot = framePipeline->overlaySlotForMedia(id);
    if (slot >= 0)
        previewAudioMixer->setOverlayInProgram(slot, widget->isAttachChecked());
}

void MainWindow::detachVideoOverlay(VideoOverlayWidget* widget)
{
    if (!widget || !framePipeline || !overlayManager)
        return;
    const int id = videoOverlayIds.value(widget, 0);
    if (id == 0)
        return;
    framePipeline->setOverlayVideoPlayback(id, widget->positionMs(), false);
    overlayManager->removeMediaOverlay(id);
    widget->setAttachedToProgram(false);
    widget->setAttachChecked(false);
    syncOverlayAudioState(widget);
}

void MainWindow::onOverlayPlaybackFinished(int mediaId)
{
    VideoOverlayWidget* item = videoOverlayItemFor(mediaId);
    if (!item)
        return;
    item->resetPreview();
    detachVideoOverlay(item);
}

void MainWindow::onOverlaySourceOpened(int mediaId)
{
    QObject* item = overlayDurationPending.value(mediaId, nullptr);
    if (item && videoOverlayIds.value(item, 0) == mediaId)
        refreshOverlayDuration(item, mediaId);
}

void MainWindow::forgetVideoOverlay(QObject* item)
{
    const auto it = videoOverlayIds.find(item);
    if (it == videoOverlayIds.end())
        return;
    const int id = it.value();
    if (overlayManager)
        overlayManager->removeMediaOverlay(id);
    // The item is gone for good: its decoder slot must serve other items,
    // or after four deleted items no overlay video would ever play again.
    if (framePipeline)
        framePipeline->releaseOverlayVideoSlot(id);
    overlayDurationPending.remove(id);
    videoOverlayIds.erase(it);
}

void MainWindow::detachImageOverlay(QObject* item)
{
    const auto it = imageOverlayIds.find(item);
    if (it == imageOverlayIds.end())
        return;
    if (overlayManager)
        overlayManager->removeMediaOverlay(it.value());
    imageOverlayIds.erase(it);
}

void MainWindow::refreshOverlayDuration(QObject* item, int id)
{
    auto* widget = qobject_cast<VideoOverlayWidget*>(item);
    if (!framePipeline || !widget)
        return;
    const qint64 duration = framePipeline->overlayDurationMs(id);
    widget->setDurationMs(duration);
    // A file slower to open than the first ask gets its duration when its
    // decoder reports the source.
    if (duration < 0)
        overlayDurationPending.insert(id, item);
    else
        overlayDurationPending.remove(id);
}
