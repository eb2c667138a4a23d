#pragma once

// Small owners and readers for talking to the X server through xcb: one
// connection per use, replies freed by their owner, atoms and window
// properties read in one call each.
//
// Threads: any; an XcbConnection belongs to the thread that uses it.

#include <QByteArray>
#include <QString>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// An xcb reply, freed with free() as xcb asks.
template <typename T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

class XcbConnection {
public:
    // Connects to $DISPLAY; isOpen() is false when there is no display or
    // the server refuses.
    XcbConnection();
    ~XcbConnection();
    XcbConnection(const XcbConnection&) = delete;
    XcbConnection& operator=(const XcbConnection&) = delete;

    bool isOpen() const { return screen_ != nullptr; }
    xcb_connection_t* get() const { return connection_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_ ? screen_->root : xcb_window_t(XCB_WINDOW_NONE); }

    // XCB_ATOM_NONE when the server does not know the name.
    xcb_atom_t atom(const char* name) const;
    QString atomName(xcb_atom_t atom) const;

    // A property's value and type; an empty value and XCB_ATOM_NONE when the
    // window has no such property or is gone. Reads at most maxBytes.
    struct Property {
        xcb_atom_t type = XCB_ATOM_NONE;
        int format = 0; // 8, 16 or 32
        QByteArray value;
    };
    Property property(xcb_window_t window, xcb_atom_t name, int maxBytes = 65536) const;

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
};
