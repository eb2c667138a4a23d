#include "ui/ledslider.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {
constexpr int kStep = 5;
constexpr int kFixedWidth = 25;
constexpr int kMinHeight = 200;
// Upper bounds of the green and yellow bands, as fractions of the height.
constexpr double kGreenUpTo = 0.6;
constexpr double kYellowUpTo = 0.85;
} // namespace

std::optional<int> ledSliderValueAt(int y, int height)
{
    if (height <= 0)
        return std::nullopt;
    const int v = (((height - y) * 100) / height) / kStep * kStep;
    return std::clamp(v, 0, 100);
}

int ledLitSegments(int value, int segments)
{
    return std::max(0, std::min(value / kStep, segments));
}

QColor ledSegmentColor(int i, int segments)
{
    // The ratio is single precision on purpose: 12/20 in float lies just above
    // 0.6, so the 12th of 20 segments is already yellow.
    const float ratio = float(i + 1) / float(segments);
    if (ratio <= kGreenUpTo)
        return QColor(0, 255, 0);
    if (ratio <= kYellowUpTo)
        return QColor(255, 255, 0);
    return QColor(255, 0, 0);
}

QRect ledSegmentRect(int i, int segments, int width, int height)
{
    const int top = height - ((i + 1) * height) / segments;
    const int h = std::max(1, ((i + 1) * height) / segments - (i * height) / segments - 1);
    return QRect(0, top, width, h);
}

LedSlider::LedSlider(QWidget* parent) : QWidget(parent)
{
    setFixedWidth(kFixedWidth);
    setMinimumHeight(kMinHeight);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    setMouseTracking(true);
}

void LedSlider::setValue(int v)
{
    if (v == sliderValue)
        return;
    sliderValue = v;
    update();
}

void LedSlider::mousePressEvent(QMouseEvent* event)
{
    pointerAt(event->position());
}

void LedSlider::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() & Qt::LeftButton)
        pointerAt(event->position());
}

void LedSlider::pointerAt(QPointF pos)
{
    const std::optional<int> v = ledSliderValueAt(int(std::lround(pos.y())), height());
    if (!v)
        return;
    setValue(*v);
    emit valueChanged(*v);
}

void LedSlider::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(10, 10, 10));
    if (segments <= 0)
        return;
    const int lit = ledLitSegments(sliderValue, segments);
    for (int i = 0; i < segments; ++i) {
        const QColor c = i < lit ? ledSegmentColor(i, segments) : QColor(50, 50, 50);
        p.fillRect(ledSegmentRect(i, segments, width(), height()), c);
    }
}
