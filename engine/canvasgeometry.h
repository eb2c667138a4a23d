#pragma once

#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QSizeF>

// Overlay and drawing geometry is stored as fractions 0..1 of the program
// picture. Overlay editors and older schedule files use a 640x360 reference
// canvas. These pure functions map between the three; none rounds to pixels.

inline constexpr double kReferenceCanvasWidth = 640.0;
inline constexpr double kReferenceCanvasHeight = 360.0;

// A letterbox fit of a picture into a rectangle.
struct CanvasMapping {
    QSize source;
    QRectF target;
    QPointF offset;
    QSizeF scaled{0, 0};

    bool usable() const
    {
        return source.width() > 0 && source.height() > 0 && scaled.width() > 0 && scaled.height() > 0;
    }
};

CanvasMapping canvasMappingForSize(QSize size);
CanvasMapping fitCanvasMapping(QSize source, QRectF target);
QPointF scaleBySize(QSize size, QPointF p);
QRectF denormalizeRect(QSize size, QRectF r);
QPointF normalizePointInTarget(const CanvasMapping& m, QPointF p);
bool targetContains(const CanvasMapping& m, QPointF p);
double referenceScaleX(QSize size);
double referenceScaleY(QSize size);
QPointF fromReferenceCanvasPoint(QPointF p);
QRectF fromReferenceCanvasRect(QRectF r);
QPointF toReferenceCanvasPoint(QPointF p);
QRectF toReferenceCanvasRect(QRectF r);
