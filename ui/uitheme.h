#pragma once

// The application's dark theme: the colours and style-sheet fragments that
// more than one panel uses. Panels build their style sheets from these
// names instead of pasting the literals.

#include <QString>

namespace uitheme {

// Accent and text.
inline constexpr const char* kGold = "#d4af37";        // accent text, borders, ticks
inline constexpr const char* kGoldMuted = "#8c7a4b";   // disabled or secondary accent
inline constexpr const char* kGoldBright = "#e6b84a";  // hovered accent
inline constexpr const char* kTextMuted = "#9aa0aa";   // secondary text
inline constexpr const char* kTextLight = "#c9cbd1";   // plain light text

// Surfaces, darkest first.
inline constexpr const char* kBgDeepest = "#17191d";   // window and list backgrounds
inline constexpr const char* kBgPanel = "#1a1c20";     // panel backgrounds
inline constexpr const char* kBgRaisedDark = "#24272e";
inline constexpr const char* kBgControl = "#2b2d33";   // buttons, combo boxes, edits
inline constexpr const char* kBgHover = "#343840";
inline constexpr const char* kBgPressed = "#3c3f48";
inline constexpr const char* kBorder = "#454a55";

// The embedded tick mark shown in a checked check box.
inline constexpr const char* kTickImage = ":/resources/images/tick.png";

// Check box in gold with the tick image: indicator of indicatorPx square,
// a 1 px gold border on a transparent background, orange while hovered.
QString goldCheckBoxStyleSheet(int indicatorPx = 18, int spacingPx = 6, int paddingPx = 2);

} // namespace uitheme

// Registers the embedded resources of the static library (the tick image).
// Safe to call more than once; the application and widget tests call it
// before building any panel.
void initQuorbelResources();
