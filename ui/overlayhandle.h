#pragma once

// Geometry shared by the video and image overlay editor items: which part of
// an item's box a point grabs, the cursor for it, how a drag on each handle
// reshapes the box and how a moved item is kept inside the scene. Pure
// functions over plain values, so the rules are tested without a scene
// (apart from the selection drawing at the end).

#include <QPointF>
#include <QRectF>
#include <QtGlobal>

#include <optional>

class QPainter;

// Where a point lies on an editor item's box. The numbers are stable: items
// keep the active handle as an int.
enum class OverlayHandle : int {
    None = 0,
    Body = 1,
    Left = 2,
    Right = 3,
    Top = 4,
    Bottom = 5,
    TopLeft = 6,
    TopRight = 7,
    BottomLeft = 8,
    BottomRight = 9,
};

namespace overlaygeometry {

inline constexpr double kHandleSize = 10.0;
inline constexpr double kItemMargin = 6.0;

// Video boxes keep 16:9 and never shrink below 100 high (the height floor
// wins over the 120 width floor, so the smallest box is 177.78 x 100).
inline constexpr double kVideoMinHeight = 100.0;
inline constexpr double kVideoMinWidth = 120.0;
// Image boxes keep the picture's aspect and never shrink below 120 wide.
inline constexpr double kImageMinWidth = 120.0;

// Corners win over edges, edges over the body; rectangle edges count as
// inside. A point outside the box is None.
OverlayHandle hitTest(const QRectF& box, QPointF p, double handleSize = kHandleSize);

// The cursor shown over a handle; nullopt means "unset the item's cursor".
std::optional<Qt::CursorShape> cursorForHandle(int handle);

// The video box after a drag of (dx, dy) on a resize handle (not the body):
// side and corner handles follow the horizontal motion, the top and bottom
// edges the vertical one, then the 16:9 rule with its floors.
QRectF resizeVideoBox(const QRectF& box, OverlayHandle handle, QPointF delta);

// The image box after a drag of (dx, dy) on a resize handle (not the body or
// None): only horizontal motion resizes, the top edge shifts the box, the
// bottom edge does nothing; then the 120 floor and the picture's aspect.
QRectF resizeImageBox(const QRectF& box, OverlayHandle handle, QPointF delta, double aspect);

// The item position that keeps the box inside the scene horizontally and the
// box plus the gap and bar below it (belowBox) inside vertically. An axis on
// which they do not fit keeps the asked position.
QPointF clampToScene(QPointF pos, const QRectF& box, const QRectF& scene, double belowBox);

// Height of a video box of the given width set from outside (16:9 in integer
// arithmetic, 320 -> 180, 100 -> 56); nullopt when the box would be empty.
std::optional<int> videoHeightForWidth(int width);

// Height of an image box of the given width at the picture's aspect
// (truncated); nullopt when the box would be empty.
std::optional<int> imageHeightForWidth(int width, double aspect);

// The selection marks of an editor item: a red frame, red squares on the
// corners and edge midpoints and, for video items, a dot in the centre.
void paintSelection(QPainter* painter, const QRectF& box, bool centreMark);

} // namespace overlaygeometry
