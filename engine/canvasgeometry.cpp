#include "engine/canvasgeometry.h"

namespace {
bool validSize(QSize s) { return s.width() > 0 && s.height() > 0; }
} // namespace

CanvasMapping canvasMappingForSize(QSize size)
{
    CanvasMapping m;
    m.source = size;
    m.target = QRectF(0, 0, size.width(), size.height());
    if (validSize(size))
        m.scaled = QSizeF(size.width(), size.height());
    return m;
}

CanvasMapping fitCanvasMapping(QSize source, QRectF target)
{
    CanvasMapping m;
    m.source = source;
    m.target = target;
    if (!validSize(source) || target.width() <= 0 || target.height() <= 0)
        return m;
    const double s = qMin(target.height() / source.height(), target.width() / source.width());
    m.scaled = QSizeF(source.width() * s, source.height() * s);
    m.offset = QPointF(target.x() + (target.width() - m.scaled.width()) * 0.5,
                       target.y() + (target.height() - m.scaled.height()) * 0.5);
    return m;
}

QPointF scaleBySize(QSize size, QPointF p) { return QPointF(p.x() * size.width(), p.y() * size.height()); }

QRectF denormalizeRect(QSize size, QRectF r)
{
    return QRectF(r.x() * size.width(), r.y() * size.height(), r.width() * size.width(),
                  r.height() * size.height());
}

QPointF normalizePointInTarget(const CanvasMapping& m, QPointF p)
{
    if (!m.usable())
        return QPointF(0, 0);
    return QPointF((p.x() - m.offset.x()) / m.scaled.width(), (p.y() - m.offset.y()) / m.scaled.height());
}

bool targetContains(const CanvasMapping& m, QPointF p)
{
    return m.usable() && QRectF(m.offset, m.scaled).contains(p);
}

double referenceScaleX(QSize size) { return validSize(size) ? size.width() / kReferenceCanvasWidth : 0.0; }

double referenceScaleY(QSize size) { return validSize(size) ? size.height() / kReferenceCanvasHeight : 0.0; }

QPointF fromReferenceCanvasPoint(QPointF p)
{
    return QPointF(p.x() / kReferenceCanvasWidth, p.y() / kReferenceCanvasHeight);
}

QRectF fromReferenceCanvasRect(QRectF r)
{
    return QRectF(r.x() / kReferenceCanvasWidth, r.y() / kReferenceCanvasHeight,
                  r.width() / kReferenceCanvasWidth, r.height() / kReferenceCanvasHeight);
}

QPointF toReferenceCanvasPoint(QPointF p)
{
    return QPointF(p.x() * kReferenceCanvasWidth, p.y() * kReferenceCanvasHeight);
}

QRectF toReferenceCanvasRect(QRectF r)
{
    return QRectF(r.x() * kReferenceCanvasWidth, r.y() * kReferenceCanvasHeight,
                  r.width() * kReferenceCanvasWidth, r.height() * kReferenceCanvasHeight);
}
