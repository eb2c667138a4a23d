#include "engine/doodlecanvas.h"

#include "engine/canvasgeometry.h"
#include "engine/overlaymanager.h"

#include <QDebug>
#include <QImage>

#include <algorithm>

namespace {
QPointF clampToPicture(QPointF p) { return QPointF(std::clamp(p.x(), 0.0, 1.0), std::clamp(p.y(), 0.0, 1.0)); }
} // namespace

DoodleCanvas::DoodleCanvas(OverlayManager* o, QObject* parent)
    : QObject(parent)
    , overlays(o)
{
    publishStrokes(false);
}

int DoodleCanvas::strokeKindForTool(int t)
{
    switch (t) {
    case ToolLine:
    case ToolRectangle:
    case ToolEllipse:
    case ToolPolygon:
    case ToolCurve:
        return t;
    case ToolEraser:
        return DoodleStroke::kEraser;
    default:
        return DoodleStroke::kFreehand;
    }
}

void DoodleCanvas::setPenWidth(int width) { penWidth = std::clamp(width, kMinPenWidth, kMaxPenWidth); }

void DoodleCanvas::setTool(int t)
{
    if (t == tool)
        return;
    tool = t;
    drawing = false;
    if (tool != ToolPolygon)
        openPolygonIndex = -1;
}

DoodleStroke DoodleCanvas::newStroke(QPointF p) const
{
    DoodleStroke s;
    s.kind = strokeKindForTool(tool);
    // Pen widths are pixels of the 360-line reference picture.
    s.width = penWidth / kReferenceCanvasHeight;
    s.colour = colour;
    s.points = {p};
    return s;
}

void DoodleCanvas::handlePress(QPointF p)
{
    if (tool == ToolNone || !overlays)
        return;
    p = clampToPicture(p);
    if (tool != ToolPolygon) {
        currentStroke = newStroke(p);
        drawing = true;
        publishStrokes(true);
        return;
    }
    if (openPolygonIndex < 0 || openPolygonIndex >= strokes.size()) {
        strokes.append(newStroke(p));
        openPolygonIndex = int(strokes.size()) - 1;
    } else {
        strokes[openPolygonIndex].points.append(p);
    }
    publishStrokes(false);
}

void DoodleCanvas::handleMove(QPointF p)
{
    if (!drawing || tool == ToolNone || tool == ToolPolygon || !overlays)
        return;
    p = clampToPicture(p);
    QList<QPointF>& pts = currentStroke.points;
    if (tool == ToolPen || tool == ToolEraser || pts.size() < 2)
        pts.append(p);
    else
        pts.last() = p; // shapes: the end point follows the pointer
    publishStrokes(true);
}

void DoodleCanvas::handleRelease(QPointF p)
{
    if (!drawing || tool == ToolNone || tool == ToolPolygon || !overlays)
        return;
    p = clampToPicture(p);
    QList<QPointF>& pts = currentStroke.points;
    if (tool == ToolPen || tool == ToolEraser) {
        // QPointF compares fuzzily, so a release on the last move point adds nothing.
        if (pts.isEmpty() || pts.last() != p)
            pts.append(p);
    } else if (pts.size() <= 1) {
        pts.append(p);
    } else {
        pts.last() = p;
    }
    strokes.append(currentStroke);
    currentStroke = DoodleStroke();
    drawing = false;
    publishStrokes(false);
}

void DoodleCanvas::clear()
{
    strokes.clear();
    currentStroke = DoodleStroke();
    drawing = false;
    openPolygonIndex = -1;
    publishStrokes(false);
}

void DoodleCanvas::undo()
{
    currentStroke = DoodleStroke();
    drawing = false;
    if (!strokes.isEmpty())
        strokes.removeLast();
    openPolygonIndex = -1;
    publishStrokes(false);
}

bool DoodleCanvas::savePng(const QString& path)
{
    if (!overlays || path.isEmpty()) {
        qWarning() << "DoodleCanvas: no drawing export target";
        return false;
    }
    const QImage image = overlays->renderDoodle(overlays->canvas());
    if (image.isNull()) {
        qWarning() << "DoodleCanvas: nothing drawn, no file written to" << path;
        return false;
    }
    if (!image.save(path, "PNG")) {
        qWarning() << "DoodleCanvas: could not write drawing to" << path;
        return false;
    }
    return true;
}

void DoodleCanvas::publishStrokes(bool withCurrent)
{
    if (!overlays)
        return;
    QList<DoodleStroke> published = strokes;
    if (withCurrent && !currentStroke.points.isEmpty())
        published.append(currentStroke);
    overlays->setDoodleStrokes(published);
    emit canvasChanged();
}
