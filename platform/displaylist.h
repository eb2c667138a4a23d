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
};

// Every monitor in output order; empty when the display can't be read.
QList<DisplayInfo> listDisplays();
