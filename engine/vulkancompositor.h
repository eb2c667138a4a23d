#pragma once

#include "engine/frametoken.h"
#include "engine/textoverlaydata.h"

#include <QHash>
#include <QImage>
#include <QPointF>
#include <QString>

#include <memory>
#include <vector>

class BandWorkers;
class FramePool;
class OverlayManager;
class QPainter;

// Paints the overlay model over program frames: media overlays, then text,
// then the drawing layer, at the frame's own pixel size. CPU painting with
// QPainter; an optional OpenGL path (offscreen framebuffer plus read-back) is
// used when QUORB_ENABLE_GL_READBACK_COMPOSITOR is a non-zero number.
//
// Threads: GUI thread only, like the OverlayManager it reads. The OpenGL
// context, surface and framebuffer are created, used and destroyed there, and
// so are the paint caches below. The pool is shared with decoder threads
// through its own locking. Inside compose, the band threads compose rows of
// the token side by side with the GUI thread: they only read what compose
// prepared before starting them and write their own rows, and compose waits
// for them before it touches anything again.
class VulkanCompositor {
public:
    static constexpr const char* kGlEnvironmentVariable = "QUORB_ENABLE_GL_READBACK_COMPOSITOR";
    // The read-back costs a full frame transfer; below this many visible
    // overlays the CPU path is cheaper.
    static constexpr int kMinOverlaysForGl = 3;

    // `pool` is not owned and must outlive the compositor.
    explicit VulkanCompositor(FramePool* pool);
    ~VulkanCompositor();
    VulkanCompositor(const VulkanCompositor&) = delete;
    VulkanCompositor& operator=(const VulkanCompositor&) = delete;

    // The composed frame (a new pooled frame with the base's ptsUs), or `base`
    // itself when nothing is to be painted, the base is not a valid RGBA
    // frame, or no pooled frame is free.
    FrameTokenPtr compose(FrameTokenPtr base, OverlayManager* overlays);

    // Whether the OpenGL path could be set up at construction.
    bool gpuReady() const;
    // Whether the last composed frame came from the OpenGL path (diagnostics).
    bool lastFrameUsedGpu() const { return lastUsedGpu; }

    // How the painted picture stores its channels. The CPU path paints on the
    // frame's RGBA bytes seen as Qt's native premultiplied ARGB32 (red and
    // blue exchanged), where Qt's fast blending paths work; every source is
    // prepared with the same exchange, so per-channel blending gives the
    // same bytes as painting on RGBA. The OpenGL path paints true colours.
    enum class ChannelOrder { Native, Exchanged };

    // Paints the three overlay layers onto a W x H picture.
    void paintOverlays(QPainter& painter, int width, int height, OverlayManager& model,
                       ChannelOrder order = ChannelOrder::Native);

private:
    struct GpuState;

    struct DrawingChunks;

    // One text overlay drawn once (background, shadow, outline, text, with
    // its opacity) and blitted on every frame until something it shows changes.
    // Glyph outlines cost milliseconds per text and frame; a blit does not.
    struct TextSprite {
        QString key;
        QImage image;
        QImage exchanged; // `image` with red and blue exchanged, made when first needed
        QPointF boxInSprite; // where the text box's top-left corner lies in the image
        double textWidth = 0;
        double lineHeight = 0;
        quint64 lastUse = 0;
    };
    // A picture prepared once for drawing: scaled to the size it is drawn at
    // and converted for the channel order painted in.
    struct PreparedPicture {
        qint64 sourceKey = 0;
        QSize size;
        ChannelOrder order = ChannelOrder::Native;
        QImage image;
        quint64 lastUse = 0;
    };
    // One picture of the media or text layers where it goes on the frame:
    // every one is drawn unscaled at whole pixels.
    struct Placement {
        QImage image;
        QPoint topLeft;
        double opacity = 1.0;
        bool text = false;
        bool clipped = false;
        QRectF clip;
    };
    // The part of a placement composeRows blends.
    struct RowBox {
        const Placement* placed;
        QRect area; // on the frame, clipped to it and to the placement's clip
    };

    const QImage& prepared(PreparedPicture& slot, const QImage& source, QSize size, ChannelOrder order);
    // Fills `placements` with the media and text layers, bottom first.
    void placeMediaAndText(int width, int height, OverlayManager& model, ChannelOrder order);
    void placeMedia(int width, int height, OverlayManager& model, ChannelOrder order);
    void placeText(int width, int height, OverlayManager& model, const TextOverlayData& t, ChannelOrder order);
    void paintMediaAndText(QPainter& painter, int width, int height, OverlayManager& model, ChannelOrder order);
    // Brings drawingChunks up to date; false when nothing is drawn at this size.
    bool updateDrawingChunks(OverlayManager& model, QSize size);
    bool composeRows(const FrameToken& base, FrameToken& token, OverlayManager& model);
    TextSprite& textSprite(const TextOverlayData& t, int height, QPointF boxOrigin, const QString& key);
    template <typename Cache>
    void dropUnused(Cache& cache);

    bool composeGpu(OverlayManager& overlays, const FrameToken& base, FrameToken& token);
    bool ensureFbo(int width, int height);
    void initGpuPath();

    FramePool* pool; // not owned
    std::unique_ptr<GpuState> gpu;
    bool lastUsedGpu = false;

    quint64 paintCount = 0;
    QHash<int, TextSprite> textSprites;       // by text overlay id
    QHash<int, PreparedPicture> mediaPictures; // by media overlay id
    PreparedPicture drawingLayer;
    std::vector<Placement> placements; // of the frame being composed
    std::vector<RowBox> rowBoxes; // the placements as composeRows blends them
    std::unique_ptr<DrawingChunks> drawingChunks;
    std::unique_ptr<BandWorkers> bandThreads; // made by composeRows when first needed
};
