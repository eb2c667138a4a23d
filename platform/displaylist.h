#pragma once

// The monitors of the X display, numbered the way a "desktop" source's
// "monitor" item counts them.
//
// Threads: any; every call opens its own connection and keeps no state.

#include <QList>
#include <QRect>
#include <QString>

struct DisplayInfo {
    int outputIndex = 0;
    QString label; // "%1 — %2×%3": name (or "Display"), width, height
    QRect geometry; // in the root window's coordinates
};

// Every monitor in output order: the RandR 1.5 monitors, else (or when it
// lists more) the Xinerama heads, else the whole root screen. Empty without
// an X display.
QList<DisplayInfo> listDisplays();

// The handle the capture library takes for a monitor: the output number + 1,
// so that 0 stays "none". 0 when the display has no such output.
quintptr monitorForOutputIndex(int outputIndex);
