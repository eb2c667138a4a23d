#include "schedule/arrangementrunner.h"

#include "engine/canvasgeometry.h"
#include "engine/overlaymanager.h"
#include "schedule/arrangementrunnerhost.h"

#include <QDebug>
#include <QFileInfo>

#include <algorithm>

namespace {

bool inside(qint64 t, qint64 startMs, qint64 endMs)
{
    return startMs <= t && (endMs <= 0 || t < endMs);
}

} // namespace

ArrangementRunner::ArrangementRunner(ArrangementRunnerHost* host, QObject* parent)
    : QObject(parent)
    , host(host)
{
}

void ArrangementRunner::start(const ProgramArrangement& next)
{
    stop();
    arrangement.version = next.version;
    arrangement.timelineZero = next.timelineZero;
    arrangement.sceneClips = next.sceneClips;
    arrangement.overlayClips = next.overlayClips;
    const auto byStart = [](const auto& a, const auto& b) { return a.startMs < b.startMs; };
    std::stable_sort(arrangement.sceneClips.begin(), arrangement.sceneClips.end(), byStart);
    std::stable_sort(arrangement.overlayClips.begin(), arrangement.overlayClips.end(), byStart);

    running = true;
    activeSceneId.clear();
    host->restartArrangementProgramClock();
    runClock.start();
    tick(0);
    host->arrangementRunningChanged(true);
}

void ArrangementRunner::stop()
{
    removeOverlays();
    running = false;
    activeSceneId.clear();
    arrangement = ProgramArrangement();
    runClock.invalidate();
    host->arrangementRunningChanged(false);
}

void ArrangementRunner::tick(qint64 t)
{
    if (const SceneClip* clip = findActiveBaseClip(t); clip && clip->id != activeSceneId) {
        activeSceneId = clip->id;
        // A copy: applying may re-enter the event loop in the host.
        applySceneClip(SceneClip(*clip), t);
    }

    // Removals and activations interleave in list order, so a clip ending at
    // t leaves before one starting at t arrives when it comes first.
    const QList<OverlayClip> clips = arrangement.overlayClips;
    for (const OverlayClip& clip : clips) {
        const bool in = inside(t, clip.startMs, clip.endMs);
        const bool active = activeOverlayIds.contains(clip.id);
        if (!in && active) {
            deactivateOverlay(clip);
            activeOverlayIds.remove(clip.id);
        } else if (in && !active) {
            activateOverlay(clip);
            activeOverlayIds.insert(clip.id);
        }
    }
}

void ArrangementRunner::tickAt(qint64 t)
{
    if (running)
        tick(t);
}

void ArrangementRunner::tickNow()
{
    if (running)
        tick(runTimeMs());
}

qint64 ArrangementRunner::runTimeMs() const
{
    return runClock.isValid() ? runClock.elapsed() : 0;
}

const SceneClip* ArrangementRunner::findActiveBaseClip(qint64 t) const
{
    const SceneClip* choice = nullptr;
    for (const SceneClip& clip : arrangement.sceneClips) {
        if (!inside(t, clip.startMs, clip.endMs))
            continue;
        if (!choice || clip.startMs >= choice->startMs)
            choice = &clip;
    }
    return choice;
}

void ArrangementRunner::applySceneClip(const SceneClip& clip, qint64 t)
{
    if (clip.kind == SceneClipKind::ImagePlay) {
        host->startArrangementImagePlayback(clip.paths, clip.intervalMs, clip.imageLoop);
        return;
    }
    if (clip.kind != SceneClipKind::Channel && clip.kind != SceneClipKind::SceneVideo)
        return;

    const int ch = std::clamp(clip.channel, 0, 3);
    const QString path = clip.sceneVideoPath.trimmed();
    bool opened = false;
    if (host->hasArrangementChannelStrip(ch)) {
        host->setArrangementChannelStripLoop(ch, clip.sceneVideoLoop);
        if (!path.isEmpty()) {
            // The strip's own check would open a modal box here, inside a
            // frame handler or the composition tick; ask first and skip.
            QString error;
            if (host->arrangementSourceConflicts(path, &error)) {
                qWarning().noquote() << "Program arrangement: base clip" << clip.id
                                     << "not loaded on channel" << ch + 1 << "-" << error;
            } else {
                host->setArrangementChannelStripSource(ch, path);
                opened = true;
            }
        }
    }
    host->setArrangementChannelLooping(ch, clip.sceneVideoLoop);
    // A clip taking over mid-way plays its video from where the clip stands,
    // not from the start: the channel follows the program clock.
    if (opened)
        host->setArrangementProgramClockPosition(std::max<qint64>(0, t - clip.startMs));
    host->switchArrangementProgramToChannel(ch);
}

void ArrangementRunner::activateOverlay(const OverlayClip& clip)
{
    OverlayManager* model = host->arrangementOverlayModel();
    if (!model)
        return;

    if (clip.overlayKind == OverlayClipKind::Text) {
        if (textIds.contains(clip.id))
            return;
        const int id = nextTextId++;
        TextOverlayData data = clip.textData;
        data.id = id;
        data.enabled = true;
        model->setTextOverlay(data);
        // Kept even when the model refused (it holds its limit): the later
        // removal of an id it does not hold changes nothing.
        textIds.insert(clip.id, id);
        return;
    }

    if (!host->hasArrangementOverlayEditor() || clip.path.isEmpty() || !QFileInfo::exists(clip.path))
        return;
    const bool video = clip.overlayKind == OverlayClipKind::Video;
    QHash<QString, QPointer<QObject>>& items = video ? videoItems : imageItems;
    if (items.contains(clip.id))
        return;

    const QRectF r = toReferenceCanvasRect(QRectF(clip.x, clip.y, clip.w, clip.h));
    QObject* item = video ? host->addArrangementVideoOverlay(clip.path, r.topLeft())
                          : host->addArrangementImageOverlay(clip.path, r.topLeft());
    if (!item)
        return;
    if (r.width() > 1)
        host->setArrangementOverlayEditorWidth(item, int(r.width()));
    if (video)
        host->bindArrangementVideoOverlay(item, clip.path, r);
    else
        host->bindArrangementImageOverlay(item, clip.path, r, clip.opacity);
    items.insert(clip.id, item);
    watchItem(item, clip.id, video);
}

void ArrangementRunner::deactivateOverlay(const OverlayClip& clip)
{
    if (textIds.contains(clip.id)) {
        const int id = textIds.take(clip.id);
        if (OverlayManager* model = host->arrangementOverlayModel(); model && id >= 0)
            model->removeTextOverlay(id);
        return;
    }
    for (QHash<QString, QPointer<QObject>>* items : {&videoItems, &imageItems}) {
        if (items->contains(clip.id)) {
            const QPointer<QObject> item = items->take(clip.id);
            if (item)
                host->requestArrangementOverlayRemoval(item);
            return;
        }
    }
}

void ArrangementRunner::removeOverlays()
{
    if (OverlayManager* model = host->arrangementOverlayModel()) {
        for (int id : std::as_const(textIds))
            model->removeTextOverlay(id);
    }
    textIds.clear();
    for (QHash<QString, QPointer<QObject>>* items : {&videoItems, &imageItems}) {
        const QList<QPointer<QObject>> collected = items->values();
        for (const QPointer<QObject>& item : collected) {
            if (item)
                host->requestArrangementOverlayRemoval(item);
        }
        items->clear();
    }
    activeOverlayIds.clear();
}

void ArrangementRunner::onVideoOverlayDestroyed(const QString& clipId, const QObject* item)
{
    forgetDestroyedItem(videoItems, activeOverlayIds, clipId, item);
}

void ArrangementRunner::onImageOverlayDestroyed(const QString& clipId, const QObject* item)
{
    forgetDestroyedItem(imageItems, activeOverlayIds, clipId, item);
}

void ArrangementRunner::watchItem(QObject* item, const QString& clipId, bool video)
{
    connect(item, &QObject::destroyed, this, [this, clipId, video](QObject* dying) {
        if (video)
            onVideoOverlayDestroyed(clipId, dying);
        else
            onImageOverlayDestroyed(clipId, dying);
    });
}

void ArrangementRunner::forgetDestroyedItem(QHash<QString, QPointer<QObject>>& items, QSet<QString>& active,
                                            const QString& clipId, const QObject* item)
{
    // Items die later than the removal that asked for it; by then a restart
    // or a re-entered interval may have given the clip a new item. Only the
    // death of the item the map still holds makes the clip show again.
    const auto it = items.find(clipId);
    if (it == items.end())
        return;
    // A guarded pointer may already read null while the item's destruction
    // is announced; a null entry can only be a dead item.
    if (!it->isNull() && it->data() != item)
        return;
    items.erase(it);
    active.remove(clipId);
}
