#pragma once

#include "engine/textoverlaydata.h"

#include <QPoint>
#include <QSize>
#include <QString>
#include <QWidget>

class QLabel;

// Where a dragged label of size `label` may sit in a window of size
// `window`: inside on the right and bottom first, then never left of or
// above the corner, so a label larger than the window stays at 0.
QPoint clampTextLabelPosition(QPoint wanted, QSize label, QSize window);

// The label's border-and-background sheet: colour names without alpha, or
// "transparent" where the record switches the layer off.
QString textLabelStyleSheet(const TextOverlayData& data);

// The position picker: a black tool window standing in for the program
// canvas, in which the operator drags the row's text with the left button.
// Each drag step reports the label's top-left corner in window pixels.
class TextPreviewWidget : public QWidget {
    Q_OBJECT

public:
    explicit TextPreviewWidget(QWidget* parent = nullptr);

    // Shows the record's text, style and position once; later changes of the
    // record are not followed.
    void setTextData(const TextOverlayData& data);

signals:
    void positionChanged(QPoint pos);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* m_label = nullptr;
    QLabel* m_readout = nullptr;
    QPoint m_dragOffset;
    bool m_dragging = false;
    bool m_guides = false;
};
