#pragma once

#include "engine/frametoken.h"

#include <QImage>
#include <QPointF>
#include <QSize>
#include <QSizeF>
#include <QWidget>

#include <cstdint>
#include <optional>

class DoodleCanvas;
class OverlayManager;
class QLabel;

// Pixel box of a widget area at a device pixel ratio: each side rounded to
// the nearest integer (halves away from zero). The ratio counts as at least 1.
QSize previewPixelBox(QSize logicalSize, qreal devicePixelRatio);

// Size a program frame is converted to: the smaller of the label's pixel box
// (each side at least 1) and the frame fitted into 1920x1080, side by side.
QSize previewConversionTarget(QSize frameSize, QSize labelSize, qreal devicePixelRatio);

// Maps a point of an area of `areaSize` onto the letter-boxed picture of
// `pictureSize`, normalised 0..1. Empty when the picture has no area, or
// when the point lies outside the picture and clampOutside is false;
// otherwise the point is pulled onto the picture first.
std::optional<QPointF> mapPointToPicture(QSize pictureSize, QSizeF areaSize, QPointF point, bool clampOutside);

// The program picture, letter-boxed on black, and the surface the operator
// draws on. GUI thread only: frames arrive through a queued connection and
// only the newest one waiting is converted, once per pass of the event loop.
class PreviewWidget : public QWidget {
    Q_OBJECT
public:
    class DoodleLayer;

    explicit PreviewWidget(QWidget* parent = nullptr);
    ~PreviewWidget() override;

    // Neither is owned; both must outlive the preview or be reset to null.
    void setOverlayManager(OverlayManager* manager);
    void setDoodleCanvas(DoodleCanvas* canvas);

public slots:
    void setProgramFrame(FrameTokenPtr frame);
    void setProgramImage(QImage img);
    void clearProgram();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    friend class DoodleLayer;
    friend class PreviewWidgetTestAccess;

    void convertPendingFrame(std::uint64_t g);
    void refreshPixmap();
    std::optional<QPointF> mapToPicture(QPointF point, bool clampOutside) const;

    QLabel* label = nullptr;
    DoodleLayer* doodleLayer = nullptr;
    OverlayManager* overlayManager = nullptr; // not owned
    DoodleCanvas* doodleCanvas = nullptr;     // not owned
    QImage currentImage;
    FrameTokenPtr pendingFrame;
    bool conversionScheduled = false;
    std::uint64_t generation = 0;
    QSize pictureSize{1920, 1080};
    int conversions = 0; // conversions that read a frame, for tests
};
