#pragma once

#include <QColor>
#include <QRect>
#include <QWidget>

#include <optional>

// Value 0..100, in steps of 5, for a pointer at row y of a slider of height
// h: the top gives 100, the bottom 0, points beyond are limited. Empty for a
// slider without height.
std::optional<int> ledSliderValueAt(int y, int height);
// Segments lit for a value, counted from the bottom.
int ledLitSegments(int value, int segments);
// Colour of lit segment i (0 = bottom) of n: green, yellow or red by height.
QColor ledSegmentColor(int i, int segments);
// Rectangle of segment i (0 = bottom), leaving a one-pixel gap above it.
QRect ledSegmentRect(int i, int segments, int width, int height);

// A vertical column of 20 coloured segments set with the mouse in steps of 5.
class LedSlider : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSegments = 20;

    explicit LedSlider(QWidget* parent = nullptr);

    int value() const { return sliderValue; }
    // Emits nothing.
    void setValue(int v);

signals:
    // On every press and every move with the left button, changed or not.
    void valueChanged(int value);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void pointerAt(QPointF pos);

    int sliderValue = 50;
    int segments = kSegments;
};
