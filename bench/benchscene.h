#pragma once

// The full overlay scene the compositor and show benchmarks compose: 10
// texts with background, shadow and outline (2 of them scrolling), 4
// images, 4 videos and 50 strokes, and the drawtext chain that draws the
// same texts in an ffmpeg filter graph.

#include "engine/doodlestroke.h"
#include "engine/textoverlaydata.h"

#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QList>
#include <QPainter>
#include <QRandomGenerator>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QStringList>

namespace bench {

constexpr int kTexts = 10;
constexpr int kScrollingTexts = 2;
constexpr int kImages = 4;
constexpr int kVideos = 4;
constexpr int kStrokes = 50;
constexpr int kTextPointSize = 12; // reference canvas points: 36 pt at 1080 lines
constexpr const char* kFontFile = "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf";

// Boxes as fractions of the canvas.
inline QRectF imageBox(int i) { return QRectF(0.02 + 0.245 * i, 0.70, 0.22, 0.22); }
inline QRectF videoBox(int i) { return QRectF(0.55 + 0.22 * (i % 2), 0.05 + 0.22 * (i / 2), 0.2, 0.2); }
inline QString textOf(int i) { return QString("Headline %1 with a few words").arg(i); }

inline QImage patternImage(QSize size, int seed)
{
    QImage image(size, QImage::Format_RGBA8888);
    QPainter p(&image);
    QLinearGradient g(0, 0, size.width(), size.height());
    g.setColorAt(0, QColor::fromHsv((seed * 47) % 360, 200, 220));
    g.setColorAt(1, QColor::fromHsv((seed * 47 + 120) % 360, 200, 120));
    p.fillRect(image.rect(), g);
    p.fillRect(QRect(size.width() / 4, size.height() / 4, size.width() / 2, size.height() / 2), Qt::white);
    return image;
}

inline QList<DoodleStroke> makeStrokes()
{
    QRandomGenerator rng(7);
    QList<DoodleStroke> strokes;
    for (int i = 0; i < kStrokes; ++i) {
        DoodleStroke s;
        s.kind = int(rng.bounded(7));
        if (s.kind == DoodleStroke::kEraser)
            s.kind = DoodleStroke::kFreehand;
        const int n = s.kind == DoodleStroke::kFreehand || s.kind == DoodleStroke::kPolygon ? 12 : 2;
        for (int k = 0; k < n; ++k)
            s.points.append(QPointF(rng.bounded(1.0), rng.bounded(1.0)));
        s.width = (2 + rng.bounded(6)) / 360.0;
        s.colour = QColor::fromHsv(int(rng.bounded(360)), 255, 255);
        strokes.append(s);
    }
    return strokes;
}

inline TextOverlayData sceneText(int i)
{
    TextOverlayData t;
    t.id = i;
    t.text = textOf(i);
    t.font.setPointSize(kTextPointSize);
    t.posX = 0.02;
    t.posY = 0.02 + 0.065 * i;
    t.fontColor = Qt::white;
    t.backgroundEnabled = true;
    t.backgroundColor = QColor(0, 0, 0);
    t.shadow = true;
    t.outline = true;
    t.outlineColor = Qt::black;
    if (i < kScrollingTexts) {
        t.scrollable = true;
        t.scrollDirection = i == 0 ? TextOverlayData::kScrollLeftToRight : TextOverlayData::kScrollRightToLeft;
        t.scrollTimes = 1000;
    }
    return t;
}

// The texts as comma-joined drawtext filters for a canvas of this size.
inline QString drawtextChain(QSize size)
{
    const int W = size.width(), H = size.height();
    const double sy = H / 360.0;
    // Qt draws points at 96 dpi; drawtext sizes are pixels.
    const int fontPx = qRound(kTextPointSize * sy * 96.0 / 72.0);
    const int pad = qRound(6 * sy), shadow = qRound(2 * sy), border = qMax(1, qRound(1 * sy));
    const int step = qRound(2 * W / 640.0);
    QStringList filters;
    for (int i = 0; i < kTexts; ++i) {
        const int x = qRound(0.02 * W), y = qRound((0.02 + 0.065 * i) * H);
        QString xExpr = QString::number(x);
        if (i == 0)
            xExpr = QString("%1+mod(t*%2\\,%3)").arg(x).arg(step * 20).arg(W - x);
        else if (i == 1)
            xExpr = QString("%1-mod(t*%2\\,tw+%1)").arg(x).arg(step * 20);
        filters << QString("drawtext=fontfile=%1:text='%2':fontsize=%3:fontcolor=white:x=%4:y=%5:"
                           "box=1:boxcolor=black:boxborderw=%6:borderw=%7:bordercolor=black:"
                           "shadowx=%8:shadowy=%8:shadowcolor=black")
                       .arg(kFontFile, textOf(i))
                       .arg(fontPx)
                       .arg(xExpr)
                       .arg(y)
                       .arg(pad)
                       .arg(border)
                       .arg(shadow);
    }
    return filters.join(',');
}

} // namespace bench
