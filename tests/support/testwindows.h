#pragma once

// Top-level X windows made by a test on its own xcb connection, with the
// properties a window list reads: titles, an owner, a mapped state.

#include <QByteArray>
#include <QString>

#include <xcb/xcb.h>

namespace testsupport {

// The windows live as long as the object (its connection).
class TestWindows {
public:
    explicit TestWindows(const QString& display);
    ~TestWindows();
    TestWindows(const TestWindows&) = delete;
    TestWindows& operator=(const TestWindows&) = delete;

    bool ok() const;

    // True once the window manager lists the window as its client.
    bool managed(xcb_window_t window);

    // netTitle goes into _NET_WM_NAME (UTF-8), wmTitle into WM_NAME
    // (Latin-1); an empty text sets no property.
    xcb_window_t create(const QString& netTitle, const QByteArray& wmTitle = {},
                        xcb_window_t transientFor = XCB_WINDOW_NONE, bool map = true);

private:
    xcb_atom_t atom(const char* name);

    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
};

} // namespace testsupport
