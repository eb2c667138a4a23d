#include "engine/overlaymanager.h"

#include "engine/loadimagescaled.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThreadPool>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double kRectTolerance = 1e-6;

const QImage& emptyImage()
{
    static const QImage empty;
    return empty;
}

qint64 steadyNowNs()
{
    static const QElapsedTimer origin = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return origin.nsecsElapsed();
}

// Tiles of the drawing layer that hold any non-transparent pixel, merged
// into runs along each band. Strokes are thin, so most of a full-frame layer
// is empty, and blending only these runs saves most of a full-frame pass on
// every composed frame.
QList<QRect> opaqueAreas(const QImage& layer)
{
    constexpr int kTileW = 64;
    constexpr int kTileH = 32;
    QList<QRect> areas;
    const int w = layer.width();
    const int columns = (w + kTileW - 1) / kTileW;
    std::vector<char> used(size_t(columns), 0);
    for (int top = 0; top < layer.height(); top += kTileH) {
        std::fill(used.begin(), used.end(), 0);
        const int bottom = std::min(layer.height(), top + kTileH);
        for (int y = top; y < bottom; ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(layer.constScanLine(y));
            for (int x = 0; x < w; ++x)
                if (qAlpha(line[x]) != 0)
                    used[size_t(x / kTileW)] = 1;
        }
        for (int c = 0; c < columns;) {
            if (!used[size_t(c)]) {
                ++c;
                continue;
            }
            const int first = c;
            while (c < columns && used[size_t(c)])
                ++c;
            areas.append(QRect(first * kTileW, top, std::min(w, c * kTileW) - first * kTileW, bottom - top));
        }
    }
    return areas;
}

bool sameRect(const QRectF& a, const QRectF& b)
{
    return std::abs(a.x() - b.x()) <= kRectTolerance && std::abs(a.y() - b.y()) <= kRectTolerance
        && std::abs(a.width() - b.width()) <= kRectTolerance && std::abs(a.height() - b.height()) <= kRectTolerance;
}

} // namespace

void registerOverlayMetaTypes()
{
    qRegisterMetaType<TextOverlayData>("TextOverlayData");
    qRegisterMetaType<MediaOverlayData>("MediaOverlayData");
    qRegisterMetaType<DoodleStroke>("DoodleStroke");
}

OverlayManager::OverlayManager(QObject* parent)
    : QObject(parent)
    , clock(steadyNowNs)
    , loadGate(std::make_shared<LoadGate>())
{
    loadGate->owner = this;
    registerOverlayMetaTypes();
}

OverlayManager::~OverlayManager()
{
    std::lock_guard lock(loadGate->mutex);
    loadGate->owner = nullptr;
}

void OverlayManager::setMonotonicClock(MonotonicClock c)
{
    clock = c ? std::move(c) : MonotonicClock(steadyNowNs);
    const qint64 now = clock();
    for (auto it = textScrollClocks.begin(); it != textScrollClocks.end(); ++it)
        it.value() = now;
}

void OverlayManager::startScrollClock(int id, uint key)
{
    textScrollClocks.insert(id, clock());
    textScrollKeys.insert(id, key);
}

void OverlayManager::setTextOverlay(const TextOverlayData& d)
{
    if (d.id < 0)
        return;
    const uint key = textScrollKey(d);
    for (TextOverlayData& existing : textOverlayList) {
        if (existing.id != d.id)
            continue;
        const uint oldKey = textScrollKeys.value(d.id, 0);
        existing = d;
        if (key != oldKey)
            startScrollClock(d.id, key);
        emit textOverlaysChanged();
        emit overlayChanged();
        return;
    }
    if (textOverlayList.size() >= kMaxTextOverlays) {
        qWarning() << "OverlayManager: max" << kMaxTextOverlays << "text overlays" << "— ignoring id" << d.id;
        return;
    }
    textOverlayList.append(d);
    startScrollClock(d.id, key);
    emit textOverlaysChanged();
    emit overlayChanged();
}

void OverlayManager::removeTextOverlay(int id)
{
    const auto it = std::find_if(textOverlayList.begin(), textOverlayList.end(),
                                 [id](const TextOverlayData& t) { return t.id == id; });
    if (it == textOverlayList.end())
        return;
    textOverlayList.erase(it);
    textScrollClocks.remove(id);
    textScrollKeys.remove(id);
    emit textOverlaysChanged();
    emit overlayChanged();
}

void OverlayManager::clearTextOverlays()
{
    textOverlayList.clear();
    textScrollClocks.clear();
    textScrollKeys.clear();
    emit textOverlaysChanged();
    emit overlayChanged();
}

const MediaOverlayData* OverlayManager::findMedia(int id) const
{
    for (const MediaOverlayData& m : mediaOverlayList)
        if (m.id == id)
            return &m;
    return nullptr;
}

bool OverlayManager::hasMediaOverlay(int id) const { return findMedia(id) != nullptr; }

bool OverlayManager::setMediaOverlay(const MediaOverlayData& d)
{
    if (d.id < 0)
        return false;
    for (MediaOverlayData& old : mediaOverlayList) {
        if (old.id != d.id)
            continue;
        const bool sameContent = old.kind == d.kind && old.path == d.path && old.visible == d.visible
            && old.positionMs == d.positionMs && old.playing == d.playing;
        const bool sameLayout = sameRect(old.rect, d.rect) && old.zIndex == d.zIndex && old.opacity == d.opacity;
        if (sameContent && sameLayout)
            return false;
        const bool layoutOnly = sameContent;
        const bool keepPicture = old.kind == MediaOverlayData::kImage && old.path == d.path;
        old = d;
        if (d.kind != MediaOverlayData::kImage || d.path.isEmpty()) {
            imageCache.remove(d.id);
        } else if (!keepPicture) {
            imageCache.remove(d.id);
            startImageOverlayLoad(d.id, d.path);
        }
        emit mediaOverlaysChanged();
        if (layoutOnly)
            emit overlayLayoutChanged();
        else
            emit overlayChanged();
        return true;
    }
    const auto sameKind = std::count_if(mediaOverlayList.cbegin(), mediaOverlayList.cend(),
                                        [&d](const MediaOverlayData& m) { return m.kind == d.kind; });
    if (sameKind >= kMaxMediaOverlaysPerKind) {
        qWarning() << "OverlayManager:" << (d.kind != MediaOverlayData::kImage ? "video" : "image")
                   << "overlay limit reached (max" << kMaxMediaOverlaysPerKind << ")";
        return false;
    }
    mediaOverlayList.append(d);
    if (d.kind == MediaOverlayData::kImage && !d.path.isEmpty())
        startImageOverlayLoad(d.id, d.path);
    emit mediaOverlaysChanged();
    emit overlayChanged();
    return true;
}

void OverlayManager::removeMediaOverlay(int id)
{
    const auto it = std::find_if(mediaOverlayList.begin(), mediaOverlayList.end(),
                                 [id](const MediaOverlayData& m) { return m.id == id; });
    if (it == mediaOverlayList.end())
        return;
    mediaOverlayList.erase(it);
    videoFrames.remove(id);
    imageCache.remove(id);
    imageLoadGenerations.remove(id);
    emit mediaOverlaysChanged();
    emit overlayChanged();
}

void OverlayManager::dropRenderedDoodle()
{
    doodleCache = QImage();
    doodleCacheSize = QSize(-1, -1);
    doodleCacheAreas.clear();
    doodleStandIn = QImage();
    doodlePendingSize = QSize(-1, -1);
    ++doodleRenderGeneration;
}

void OverlayManager::startDoodleRender(const QImage& previous)
{
    if (!hasDoodle || previous.isNull())
        return; // rendered when first asked for
    doodleStandIn = previous;
    doodlePendingSize = canvasSize;
    const int generation = doodleRenderGeneration;
    const QSize size = canvasSize;
    const QList<DoodleStroke> strokes = doodleStrokes;
    std::weak_ptr<LoadGate> weakGate = loadGate;
    QThreadPool::globalInstance()->start(
        [weakGate, generation, size, strokes] {
            QImage layer(size, QImage::Format_ARGB32_Premultiplied);
            if (layer.isNull())
                return;
            layer.fill(Qt::transparent);
            paintDoodleStrokes(layer, strokes);
            const QList<QRect> areas = opaqueAreas(layer);
            const auto gate = weakGate.lock();
            if (!gate)
                return;
            std::lock_guard lock(gate->mutex);
            OverlayManager* owner = gate->owner;
            if (owner)
                QMetaObject::invokeMethod(
                    owner, [owner, generation, layer, areas] { owner->commitRenderedDoodle(generation, layer, areas); },
                    Qt::QueuedConnection);
        },
        0);
}

void OverlayManager::commitRenderedDoodle(int generation, const QImage& layer, const QList<QRect>& areas)
{
    if (generation != doodleRenderGeneration || layer.size() != doodlePendingSize)
        return;
    doodleCache = layer;
    doodleCacheSize = layer.size();
    doodleCacheAreas = areas;
    doodleStandIn = QImage();
    doodlePendingSize = QSize(-1, -1);
    emit doodleOverlayChanged();
    emit overlayChanged();
}

void OverlayManager::setDoodleStrokes(const QList<DoodleStroke>& strokes)
{
    doodleStrokes = strokes;
    dropRenderedDoodle();
    hasDoodle = !doodleStrokes.isEmpty();
    emit doodleOverlayChanged();
    emit overlayChanged();
}

void OverlayManager::setCanvasSize(QSize size)
{
    if (size.width() <= 0 || size.height() <= 0 || size == canvasSize)
        return;
    canvasSize = size;
    // Two changes in a row keep the rendering that was last drawn.
    const QImage previous = doodleCache.isNull() ? doodleStandIn : doodleCache;
    dropRenderedDoodle();
    startDoodleRender(previous);
    // The old pictures stay cached and drawn until the reloads commit.
    for (const MediaOverlayData& m : std::as_const(mediaOverlayList))
        if (m.kind == MediaOverlayData::kImage && !m.path.isEmpty())
            startImageOverlayLoad(m.id, m.path);
}

void OverlayManager::startImageOverlayLoad(int id, const QString& path)
{
    if (id < 0 || path.isEmpty())
        return;
    const int generation = ++imageLoadGenerations[id];
    const int maxSide = std::clamp(std::max(canvasSize.width(), canvasSize.height()), kMinImageLoadSide,
                                   kMaxImageLoadSide);
    std::weak_ptr<LoadGate> weakGate = loadGate;
    QThreadPool::globalInstance()->start(
        [weakGate, id, path, generation, maxSide] {
            const auto gateAlive = [&weakGate] {
                const auto gate = weakGate.lock();
                if (!gate)
                    return false;
                std::lock_guard lock(gate->mutex);
                return gate->owner != nullptr;
            };
            if (!gateAlive())
                return;
            const QImage image = loadImageScaled(path, maxSide, true);
            const auto gate = weakGate.lock();
            if (!gate)
                return;
            std::lock_guard lock(gate->mutex);
            if (gate->owner)
                QMetaObject::invokeMethod(gate->owner, "tryCommitImageOverlayCache", Qt::QueuedConnection,
                                          Q_ARG(int, id), Q_ARG(QString, path), Q_ARG(int, generation),
                                          Q_ARG(QImage, image));
        },
        0);
}

void OverlayManager::tryCommitImageOverlayCache(int id, QString path, int generation, QImage image)
{
    if (image.isNull() || generation != imageLoadGenerations.value(id, -1))
        return;
    const MediaOverlayData* m = findMedia(id);
    if (!m || m->kind != MediaOverlayData::kImage || m->path != path)
        return;
    imageCache.insert(id, image);
    emit overlayChanged();
}

void OverlayManager::setVideoOverlayFrame(int id, const QImage& frame)
{
    if (id < 0 || frame.isNull())
        return;
    const MediaOverlayData* m = findMedia(id);
    if (!m)
        return;
    QSize target = frame.size();
    for (const MediaOverlayData& v : std::as_const(mediaOverlayList)) {
        if (v.id != id || v.kind != MediaOverlayData::kVideo)
            continue;
        if (v.rect.width() > 0 && v.rect.height() > 0)
            target = QSize(std::clamp(qRound(canvasSize.width() * v.rect.width()), 1, canvasSize.width()),
                           std::clamp(qRound(canvasSize.height() * v.rect.height()), 1, canvasSize.height()));
        break;
    }
    const QImage boxed =
        target == frame.size() ? frame : frame.scaled(target, Qt::KeepAspectRatio, Qt::FastTransformation);
    // The incoming frame usually wraps a pooled decoder buffer. Keeping it
    // would pin that buffer until the next frame arrives, and the overlay pool
    // holds as few as three at 8K: so keep only our own box-sized pixels,
    // reusing the previous frame's buffer when it fits.
    QImage& slot = videoFrames[id];
    if (boxed.constBits() != frame.constBits()) {
        slot = boxed;
        return;
    }
    if (slot.size() == boxed.size() && slot.format() == boxed.format() && slot.isDetached()
        && slot.bytesPerLine() == boxed.bytesPerLine()) {
        std::memcpy(slot.bits(), boxed.constBits(), size_t(boxed.sizeInBytes()));
        return;
    }
    slot = boxed.copy();
}

void OverlayManager::clearVideoOverlayFrame(int id) { videoFrames.remove(id); }

const QImage& OverlayManager::videoOverlayFrame(int id) const
{
    const auto it = videoFrames.constFind(id);
    return it == videoFrames.cend() ? emptyImage() : it.value();
}

const QImage& OverlayManager::imageOverlayImage(int id) const
{
    const auto it = imageCache.constFind(id);
    return it == imageCache.cend() ? emptyImage() : it.value();
}

qint64 OverlayManager::textScrollElapsedUs(int id)
{
    const auto it = std::find_if(textOverlayList.cbegin(), textOverlayList.cend(),
                                 [id](const TextOverlayData& t) { return t.id == id; });
    if (it == textOverlayList.cend() || !it->scrolls())
        return 0;
    if (!textScrollClocks.contains(id))
        startScrollClock(id, textScrollKey(*it));
    return (clock() - textScrollClocks.value(id)) / 1000;
}

const QImage& OverlayManager::renderDoodle(QSize size)
{
    if (size.width() < 1 || size.height() < 1 || !hasDoodle)
        return emptyImage();
    if (!doodleCache.isNull() && doodleCacheSize == size)
        return doodleCache;
    if (size == doodlePendingSize && !doodleStandIn.isNull()) {
        // Drawn until the rendering under way commits.
        doodleCache = doodleStandIn.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        doodleStandIn = QImage();
    } else {
        if (size == doodlePendingSize) {
            doodlePendingSize = QSize(-1, -1); // rendered here after all
            ++doodleRenderGeneration;
        }
        doodleCache = QImage(size, QImage::Format_ARGB32_Premultiplied);
        doodleCache.fill(Qt::transparent);
        paintDoodleStrokes(doodleCache, doodleStrokes);
    }
    doodleCacheSize = size;
    doodleCacheAreas = opaqueAreas(doodleCache);
    return doodleCache;
}

bool OverlayManager::hasVisibleOverlays() const
{
    if (hasDoodle)
        return true;
    for (const MediaOverlayData& m : mediaOverlayList) {
        if (!m.visible || m.path.isEmpty())
            continue;
        if (m.kind == MediaOverlayData::kImage && !imageOverlayImage(m.id).isNull())
            return true;
        if (m.kind == MediaOverlayData::kVideo && !videoOverlayFrame(m.id).isNull())
            return true;
    }
    return std::any_of(textOverlayList.cbegin(), textOverlayList.cend(),
                       [](const TextOverlayData& t) { return t.enabled && !t.text.isEmpty(); });
}

bool OverlayManager::hasDynamicOverlays() const
{
    if (hasDoodle)
        return true;
    if (std::any_of(textOverlayList.cbegin(), textOverlayList.cend(),
                    [](const TextOverlayData& t) { return t.enabled && !t.text.isEmpty() && t.scrolls(); }))
        return true;
    return std::any_of(mediaOverlayList.cbegin(), mediaOverlayList.cend(),
                       [](const MediaOverlayData& m) { return m.kind == MediaOverlayData::kVideo && m.visible; });
}

int OverlayManager::visibleOverlayCount() const
{
    int n = hasDoodle ? 1 : 0;
    n += int(std::count_if(textOverlayList.cbegin(), textOverlayList.cend(),
                           [](const TextOverlayData& t) { return t.enabled && !t.text.isEmpty(); }));
    n += int(std::count_if(mediaOverlayList.cbegin(), mediaOverlayList.cend(),
                           [](const MediaOverlayData& m) { return m.visible; }));
    return n;
}
