#pragma once

#include "engine/doodlestroke.h"
#include "engine/mediaoverlaydata.h"
#include "engine/textoverlaydata.h"

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QRect>
#include <QSize>

#include <functional>
#include <memory>
#include <mutex>

// Registers TextOverlayData, MediaOverlayData and DoodleStroke so they travel
// through queued signals and QVariant. Safe to call more than once.
void registerOverlayMetaTypes();

// The model of everything drawn over the program picture: text overlays,
// image and video overlays, the drawing layer, plus what the compositor needs
// ready at paint time (loaded pictures, box-sized video frames, the rendered
// drawing layer, a scroll clock per text overlay).
//
// Threads: every member is read and written on the GUI thread. Image loads
// run on the global thread pool; a load task touches only its own copies and
// the shared LoadGate, and its result comes back as a queued call of
// tryCommitImageOverlayCache, so all caches are written on the GUI thread.
// The drawing's render after a canvas change works the same way, on copies
// of the strokes.
class OverlayManager : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxTextOverlays = 10;
    static constexpr int kMaxMediaOverlaysPerKind = 4;
    static constexpr int kMinImageLoadSide = 1920;
    static constexpr int kMaxImageLoadSide = 8192;

    // Monotonic time in nanoseconds; scroll positions are measured with it.
    using MonotonicClock = std::function<qint64()>;

    explicit OverlayManager(QObject* parent = nullptr);
    ~OverlayManager() override;

    // Replaces the scroll time source (tests drive scrolling exactly with it).
    // Running scroll clocks are restarted on the new source.
    void setMonotonicClock(MonotonicClock clock);

    // Writers.
    void setTextOverlay(const TextOverlayData& d);
    void removeTextOverlay(int id);
    void clearTextOverlays();
    bool setMediaOverlay(const MediaOverlayData& d);
    void removeMediaOverlay(int id);
    void setDoodleStrokes(const QList<DoodleStroke>& strokes);
    void setCanvasSize(QSize size);
    void setVideoOverlayFrame(int id, const QImage& frame);
    void clearVideoOverlayFrame(int id);

    // Readers.
    const QList<TextOverlayData>& textOverlays() const { return textOverlayList; }
    const QList<MediaOverlayData>& mediaOverlays() const { return mediaOverlayList; }
    const QList<DoodleStroke>& strokes() const { return doodleStrokes; }
    bool hasDoodleStrokes() const { return hasDoodle; }
    QSize canvas() const { return canvasSize; }
    bool hasMediaOverlay(int id) const;
    const QImage& videoOverlayFrame(int id) const;
    const QImage& imageOverlayImage(int id) const;
    qint64 textScrollElapsedUs(int id);
    // The drawing layer at size, rendered once per size. After a canvas
    // change, the layer at the new canvas size renders on the thread pool
    // and commits when done; until then the previous rendering, scaled,
    // stands in, so a resize (the output starting at 4K) never stalls a
    // frame for the whole drawing.
    const QImage& renderDoodle(QSize size);
    // Rectangles of the last renderDoodle result that hold drawn pixels; the
    // rest of the layer is fully transparent.
    const QList<QRect>& renderedDoodleAreas() const { return doodleCacheAreas; }
    bool hasVisibleOverlays() const;
    bool hasDynamicOverlays() const;
    int visibleOverlayCount() const;

    // Load generation of an image overlay id; -1 when it was never loaded.
    int imageLoadGeneration(int id) const { return imageLoadGenerations.value(id, -1); }

signals:
    void textOverlaysChanged();
    void mediaOverlaysChanged();
    void doodleOverlayChanged();
    void overlayLayoutChanged();
    void overlayChanged();

public slots:
    void tryCommitImageOverlayCache(int id, QString path, int generation, QImage image);

private:
    // Lets load tasks reach the manager only while it exists: the destructor
    // clears `owner` under `mutex`, and a task posts its result under the same
    // lock, so a post never targets a destroyed manager.
    struct LoadGate {
        std::mutex mutex;
        OverlayManager* owner = nullptr; // guarded by mutex
    };

    void startImageOverlayLoad(int id, const QString& path);
    void startScrollClock(int id, uint key);
    void dropRenderedDoodle();
    // Starts rendering the drawing at the canvas size off this thread, the
    // previous rendering kept as the stand-in; nothing without one.
    void startDoodleRender(const QImage& previous);
    void commitRenderedDoodle(int generation, const QImage& layer, const QList<QRect>& areas);
    const MediaOverlayData* findMedia(int id) const;

    QList<TextOverlayData> textOverlayList;
    QList<MediaOverlayData> mediaOverlayList;
    QList<DoodleStroke> doodleStrokes;
    QImage doodleCache;
    QSize doodleCacheSize{-1, -1};
    QList<QRect> doodleCacheAreas;
    QImage doodleStandIn;                 // the previous rendering, while one renders
    QSize doodlePendingSize{-1, -1};      // size of the rendering under way
    int doodleRenderGeneration = 0;       // a commit of an older one is dropped
    QHash<int, QImage> videoFrames;
    QSize canvasSize{1920, 1080};
    QHash<int, QImage> imageCache;
    QHash<int, int> imageLoadGenerations;
    QHash<int, qint64> textScrollClocks; // start time on `clock`, nanoseconds
    QHash<int, uint> textScrollKeys;
    bool hasDoodle = false;
    MonotonicClock clock;
    std::shared_ptr<LoadGate> loadGate;
};
