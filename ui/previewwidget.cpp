#include "ui/previewwidget.h"

#include "engine/canvasgeometry.h"
#include "engine/doodlecanvas.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QResizeEvent>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {
// Frames larger than this are never kept at full size for display.
constexpr QSize kConversionCap(1920, 1080);
constexpr QSize kMinimumSize(640, 360);
} // namespace

// A transparent sheet over the whole preview that turns the operator's mouse
// into drawing-canvas calls. Paints nothing: strokes reach the screen through
// the overlay model and the composed program picture.
class PreviewWidget::DoodleLayer : public QWidget {
public:
    explicit DoodleLayer(PreviewWidget* owner) : QWidget(owner), owner(owner)
    {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_NoSystemBackground);
        setMouseTracking(true);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override
    {
        if (owner && owner->doodleCanvas) {
            if (const std::optional<QPointF> p = owner->mapToPicture(event->position(), false)) {
                owner->doodleCanvas->handlePress(*p);
                drawing = true;
            }
        }
        event->accept();
    }

    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (drawing && owner && owner->doodleCanvas) {
            if (const std::optional<QPointF> p = owner->mapToPicture(event->position(), true))
                owner->doodleCanvas->handleRelease(*p);
        }
        drawing = false;
        event->accept();
    }

    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (!owner || !owner->doodleCanvas || !drawing)
            return;
        if (event->buttons() & Qt::LeftButton) {
            if (const std::optional<QPointF> p = owner->mapToPicture(event->position(), true))
                owner->doodleCanvas->handleMove(*p);
        }
        event->accept();
    }

    void paintEvent(QPaintEvent*) override {}

private:
    PreviewWidget* owner;
    bool drawing = false;
};

QSize previewPixelBox(QSize logicalSize, qreal devicePixelRatio)
{
    const qreal r = std::max<qreal>(1.0, devicePixelRatio);
    return QSize(int(std::lround(logicalSize.width() * r)), int(std::lround(logicalSize.height() * r)));
}

QSize previewConversionTarget(QSize frameSize, QSize labelSize, qreal devicePixelRatio)
{
    const QSize box = previewPixelBox(labelSize, devicePixelRatio).expandedTo(QSize(1, 1));
    const QSize cap = frameSize.scaled(kConversionCap, Qt::KeepAspectRatio);
    return box.boundedTo(cap);
}

std::optional<QPointF> mapPointToPicture(QSize pictureSize, QSizeF areaSize, QPointF point, bool clampOutside)
{
    if (pictureSize.width() <= 0 || pictureSize.height() <= 0)
        return std::nullopt;
    const CanvasMapping m = fitCanvasMapping(pictureSize, QRectF(QPointF(0, 0), areaSize));
    // A layer without area has no picture to map onto.
    if (!m.usable())
        return std::nullopt;
    if (!clampOutside && !targetContains(m, point))
        return std::nullopt;
    const qreal left = m.offset.x();
    const qreal top = m.offset.y();
    const QPointF clamped(std::max(left, std::min(point.x(), left + m.scaled.width())),
                          std::max(top, std::min(point.y(), top + m.scaled.height())));
    return normalizePointInTarget(m, clamped);
}

PreviewWidget::PreviewWidget(QWidget* parent) : QWidget(parent)
{
    setMinimumSize(kMinimumSize);
    setMouseTracking(true);
    setStyleSheet(QStringLiteral("background:black;"));
    label = new QLabel(this);
    label->setAlignment(Qt::AlignCenter);
    label->setScaledContents(false);
    doodleLayer = new DoodleLayer(this);
    doodleLayer->raise();
}

PreviewWidget::~PreviewWidget() = default;

void PreviewWidget::setOverlayManager(OverlayManager* manager)
{
    overlayManager = manager;
}

void PreviewWidget::setDoodleCanvas(DoodleCanvas* canvas)
{
    doodleCanvas = canvas;
}

void PreviewWidget::setProgramFrame(FrameTokenPtr frame)
{
    // Replacing the pending frame returns an unconverted one to its pool now.
    pendingFrame = std::move(frame);
    if (conversionScheduled)
        return;
    conversionScheduled = true;
    const std::uint64_t g = generation;
    QTimer::singleShot(0, this, [this, g] { convertPendingFrame(g); });
}

void PreviewWidget::convertPendingFrame(std::uint64_t g)
{
    if (g != generation)
        return;
    FrameTokenPtr frame = std::move(pendingFrame); // leaves the slot empty
    // A token whose height, stride or buffer does not add up would be read
    // out of bounds; it counts as a frame without pixels.
    if (frame && isValidFrameToken(*frame)) {
        ++conversions;
        const QSize frameSize(frame->width, frame->height);
        pictureSize = frameSize;
        // The const constructor never detaches the pooled buffer.
        const QImage wrapped(reinterpret_cast<const uchar*>(frame->data.constData()), frame->width, frame->height,
                             frame->bytesPerLine, QImage::Format_RGBA8888);
        const QSize target = previewConversionTarget(frameSize, label->size(), devicePixelRatioF());
        currentImage = target == frameSize ? wrapped.copy()
                                           : wrapped.scaled(target, Qt::KeepAspectRatio, Qt::FastTransformation);
        refreshPixmap();
    } else {
        currentImage = QImage();
        refreshPixmap();
    }
    if (pendingFrame) {
        QTimer::singleShot(0, this, [this, g] { convertPendingFrame(g); });
    } else {
        conversionScheduled = false;
    }
}

void PreviewWidget::setProgramImage(QImage img)
{
    ++generation;
    pendingFrame.reset();
    conversionScheduled = false;
    currentImage = std::move(img);
    if (!currentImage.isNull())
        pictureSize = currentImage.size();
    refreshPixmap();
}

void PreviewWidget::clearProgram()
{
    ++generation;
    pendingFrame.reset();
    conversionScheduled = false;
    currentImage = QImage();
    label->clear();
}

void PreviewWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const QRect r(0, 0, width(), height());
    label->setGeometry(r);
    doodleLayer->setGeometry(r);
    refreshPixmap();
}

void PreviewWidget::refreshPixmap()
{
    if (label->width() <= 0 || label->height() <= 0)
        return;
    if (currentImage.isNull()) {
        label->clear();
        return;
    }
    const qreal r = std::max<qreal>(1.0, devicePixelRatioF());
    const QSize box = previewPixelBox(label->size(), r);
    QPixmap pixmap = QPixmap::fromImage(currentImage.scaled(box, Qt::KeepAspectRatio, Qt::FastTransformation));
    pixmap.setDevicePixelRatio(r);
    label->setPixmap(pixmap);
}

std::optional<QPointF> PreviewWidget::mapToPicture(QPointF point, bool clampOutside) const
{
    if (!doodleLayer)
        return std::nullopt;
    return mapPointToPicture(pictureSize, QSizeF(doodleLayer->size()), point, clampOutside);
}
