#pragma once

// The top-level windows of the X display, in stacking order from the
// window manager's client list (or the root's children without one), with
// what a window picker needs to decide whether a window is worth offering.
//
// Threads: any; every call opens its own connection and keeps no state.

#include <QList>
#include <QString>

struct TopLevelWindowInfo {
    quint64 handle = 0;     // the X window id
    QString title;          // _NET_WM_NAME, else WM_NAME; empty when none
    bool exists = false;    // the window still existed while it was read
    bool visible = false;   // mapped (viewable)
    bool minimized = false; // iconic (_NET_WM_STATE_HIDDEN or WM_STATE Iconic)
    bool cloaked = false;   // on another virtual desktop than the current one
    bool owned = false;     // WM_TRANSIENT_FOR names another window
};

QList<TopLevelWindowInfo> enumerateTopLevelWindows();
