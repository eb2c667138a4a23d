#pragma once

#include "engine/doodlestroke.h"

#include <QColor>
#include <QObject>
#include <QPointF>

class OverlayManager;

// Turns pointer presses, moves and releases (in fractions of the program
// picture) into drawing-layer strokes and publishes them to the overlay
// model. GUI thread only.
class DoodleCanvas : public QObject {
    Q_OBJECT
public:
    enum Tool { ToolNone = 0, ToolPen, ToolLine, ToolRectangle, ToolEllipse, ToolPolygon, ToolCurve, ToolEraser };
    static constexpr int kMinPenWidth = 1;
    static constexpr int kMaxPenWidth = 100;

    // `overlays` is not owned and must outlive the canvas (null: the canvas
    // does nothing).
    explicit DoodleCanvas(OverlayManager* overlays, QObject* parent = nullptr);

    void setColor(const QColor& c) { colour = c; }
    void setPenWidth(int width);
    void setTool(int t);
    int currentTool() const { return tool; }
    int currentPenWidth() const { return penWidth; }
    const QList<DoodleStroke>& finishedStrokes() const { return strokes; }

    void handlePress(QPointF p);
    void handleMove(QPointF p);
    void handleRelease(QPointF p);
    void clear();
    void undo();

    // Renders the drawing at the overlay model's canvas size and writes it as
    // PNG. False (with a logged reason) when there is nothing to save or the
    // file cannot be written, so the caller can tell the operator.
    bool savePng(const QString& path);

    static int strokeKindForTool(int tool);

signals:
    void canvasChanged();

private:
    void publishStrokes(bool withCurrent);
    DoodleStroke newStroke(QPointF p) const;

    OverlayManager* overlays; // not owned
    QColor colour = Qt::red;
    int penWidth = 3;
    int tool = ToolNone;
    QList<DoodleStroke> strokes;
    DoodleStroke currentStroke;
    bool drawing = false;
    int openPolygonIndex = -1;
};
