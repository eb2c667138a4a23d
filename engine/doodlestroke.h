#pragma once

#include <QColor>
#include <QList>
#include <QMetaType>
#include <QPointF>

class QImage;

// One shape of the drawing layer. Points are fractions of the picture; the pen
// width is a fraction of the picture's shorter side, so a drawing keeps its
// look at every output size.
struct DoodleStroke {
    static constexpr int kFreehand = 0;
    static constexpr int kEraser = 1;
    static constexpr int kLine = 2;
    static constexpr int kRectangle = 3;
    static constexpr int kEllipse = 4;
    static constexpr int kPolygon = 5;
    static constexpr int kCurve = 6;

    int kind = kFreehand;
    QList<QPointF> points;
    double width = 3.0 / 360.0;
    QColor colour = Qt::red;
};

// Paints the strokes in order over `target` (ARGB32 premultiplied); erasers
// clear what was drawn before them.
void paintDoodleStrokes(QImage& target, const QList<DoodleStroke>& strokes);

Q_DECLARE_METATYPE(DoodleStroke)
