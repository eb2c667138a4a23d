#include "ui/overlayhandle.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace overlaygeometry {

OverlayHandle hitTest(const QRectF& box, QPointF p, double s)
{
    const double x = box.x(), y = box.y(), w = box.width(), h = box.height();
    // Corners first: they overlap the edge strips and must win.
    if (QRectF(x, y, s, s).contains(p))
        return OverlayHandle::TopLeft;
    if (QRectF(x + w - s, y, s, s).contains(p))
        return OverlayHandle::TopRight;
    if (QRectF(x, y + h - s, s, s).contains(p))
        return OverlayHandle::BottomLeft;
    if (QRectF(x + w - s, y + h - s, s, s).contains(p))
        return OverlayHandle::BottomRight;
    if (QRectF(x, y, w, s).contains(p))
        return OverlayHandle::Top;
    if (QRectF(x, y + h - s, w, s).contains(p))
        return OverlayHandle::Bottom;
    if (QRectF(x, y, s, h).contains(p))
        return OverlayHandle::Left;
    if (QRectF(x + w - s, y, s, h).contains(p))
        return OverlayHandle::Right;
    if (box.contains(p))
        return OverlayHandle::Body;
    return OverlayHandle::None;
}

std::optional<Qt::CursorShape> cursorForHandle(int handle)
{
    switch (static_cast<OverlayHandle>(handle)) {
    case OverlayHandle::Body:
        return Qt::SizeAllCursor;
    case OverlayHandle::Left:
    case OverlayHandle::Right:
        return Qt::SizeHorCursor;
    case OverlayHandle::Top:
    case OverlayHandle::Bottom:
        return Qt::SizeVerCursor;
    case OverlayHandle::TopLeft:
    case OverlayHandle::BottomRight:
        return Qt::SizeFDiagCursor;
    case OverlayHandle::TopRight:
    case OverlayHandle::BottomLeft:
        return Qt::SizeBDiagCursor;
    case OverlayHandle::None:
        break;
    }
    return std::nullopt;
}

QRectF resizeVideoBox(const QRectF& box, OverlayHandle handle, QPointF delta)
{
    const double dx = delta.x(), dy = delta.y();
    double x = box.x(), y = box.y(), w = box.width(), h = box.height();
    switch (handle) {
    case OverlayHandle::Left:
    case OverlayHandle::BottomLeft:
        x += dx;
        w -= dx;
        break;
    case OverlayHandle::Right:
    case OverlayHandle::BottomRight:
        w += dx;
        break;
    case OverlayHandle::Top:
        y += dy;
        w = (h - dy) * 16.0 / 9.0;
        break;
    case OverlayHandle::Bottom:
        w = (h + dy) * 16.0 / 9.0;
        break;
    case OverlayHandle::TopLeft:
        x += dx;
        y += dy;
        w -= dx;
        break;
    case OverlayHandle::TopRight:
        y += dy;
        w += dx;
        break;
    case OverlayHandle::None:
    case OverlayHandle::Body:
        break;
    }
    h = std::max(kVideoMinHeight, std::max(kVideoMinWidth, w) * 9.0 / 16.0);
    w = h * 16.0 / 9.0;
    return {x, y, w, h};
}

QRectF resizeImageBox(const QRectF& box, OverlayHandle handle, QPointF delta, double aspect)
{
    const double dx = delta.x(), dy = delta.y();
    double x = box.x(), y = box.y(), w = box.width();
    switch (handle) {
    case OverlayHandle::Left:
    case OverlayHandle::TopLeft:
    case OverlayHandle::BottomLeft:
        x += dx;
        w -= dx;
        break;
    case OverlayHandle::Right:
    case OverlayHandle::TopRight:
    case OverlayHandle::BottomRight:
        w += dx;
        break;
    case OverlayHandle::Top:
        y += dy;
        break;
    case OverlayHandle::Bottom:
    case OverlayHandle::None:
    case OverlayHandle::Body:
        break;
    }
    w = std::max(kImageMinWidth, w);
    return {x, y, w, w / aspect};
}

QPointF clampToScene(QPointF pos, const QRectF& box, const QRectF& scene, double belowBox)
{
    const double lowestX = scene.left() - box.x();
    const double highestX = scene.right() - (box.x() + box.width());
    if (highestX >= lowestX)
        pos.setX(std::max(std::min(highestX, pos.x()), lowestX));
    const double lowestY = scene.top() - box.y();
    const double highestY = scene.bottom() - (box.y() + box.height() + belowBox);
    if (highestY >= lowestY)
        pos.setY(std::max(std::min(highestY, pos.y()), lowestY));
    return pos;
}

std::optional<int> videoHeightForWidth(int width)
{
    if (width <= 0)
        return std::nullopt;
    const int height = int(qint64(width) * 9 / 16);
    if (height <= 0)
        return std::nullopt;
    return height;
}

std::optional<int> imageHeightForWidth(int width, double aspect)
{
    if (width <= 0 || !(aspect > 0) || !std::isfinite(aspect))
        return std::nullopt;
    const double height = std::trunc(width / aspect);
    if (!(height >= 1) || height > double(std::numeric_limits<int>::max()))
        return std::nullopt;
    return int(height);
}

void paintSelection(QPainter* painter, const QRectF& box, bool centreMark)
{
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(QPen(Qt::red, 2));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(QRectF(box.x(), box.y(), box.width() - 1, box.height() - 1));
    painter->setBrush(Qt::red);
    if (centreMark)
        painter->drawEllipse(QRectF(box.center().x() - 6, box.center().y() - 6, 12, 12));
    const double l = box.left(), r = box.x() + box.width(), t = box.top(), b = box.y() + box.height();
    const double cx = box.center().x(), cy = box.center().y();
    const QPointF marks[] = {{l, t}, {r, t}, {l, b}, {r, b}, {cx, t}, {cx, b}, {l, cy}, {r, cy}};
    for (const QPointF& m : marks)
        painter->drawRect(QRectF(m.x() - 4, m.y() - 4, 8, 8));
}

} // namespace overlaygeometry
