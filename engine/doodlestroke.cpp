#include "engine/doodlestroke.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

namespace {
// The curve tool bends upwards by this share of the picture height.
constexpr double kCurveLift = 0.22;
} // namespace

void paintDoodleStrokes(QImage& target, const QList<DoodleStroke>& strokes)
{
    const int w = target.width();
    const int h = target.height();
    if (w < 1 || h < 1)
        return;
    const int shorter = std::min(w, h);
    const double scale = shorter < 2 ? 1.0 : double(shorter);

    QPainter p(&target);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setBrush(Qt::NoBrush);
    for (const DoodleStroke& s : strokes) {
        if (s.points.isEmpty())
            continue;
        QPolygonF pts;
        pts.reserve(s.points.size());
        for (const QPointF& n : s.points)
            pts.append(QPointF(n.x() * w, n.y() * h));

        const bool eraser = s.kind == DoodleStroke::kEraser;
        p.setCompositionMode(eraser ? QPainter::CompositionMode_Clear : QPainter::CompositionMode_SourceOver);
        const double penWidth = std::max(s.width * scale, 1.0);
        p.setPen(QPen(QBrush(eraser ? QColor(Qt::transparent) : s.colour), penWidth, Qt::SolidLine, Qt::RoundCap,
                      Qt::RoundJoin));

        const QPointF first = pts.first();
        const QPointF last = pts.last();
        switch (s.kind) {
        case DoodleStroke::kLine:
            p.drawLine(first, last);
            break;
        case DoodleStroke::kRectangle:
            p.drawRect(QRectF(first, last).normalized());
            break;
        case DoodleStroke::kEllipse:
            p.drawEllipse(QRectF(first, last).normalized());
            break;
        case DoodleStroke::kPolygon:
            if (pts.size() >= 2)
                p.drawPolygon(pts, Qt::OddEvenFill);
            break;
        case DoodleStroke::kCurve: {
            const QPointF control((first.x() + last.x()) * 0.5, std::min(first.y(), last.y()) - h * kCurveLift);
            QPainterPath path(first);
            path.quadTo(control, last);
            p.drawPath(path);
            break;
        }
        default:
            if (pts.size() == 1)
                p.drawPoint(first);
            else
                p.drawPolyline(pts);
            break;
        }
    }
    p.end();
}
