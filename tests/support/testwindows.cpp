#include "support/testwindows.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace testsupport {

TestWindows::TestWindows(const QString& display)
{
    connection_ = xcb_connect(display.toUtf8().constData(), nullptr);
    if (!xcb_connection_has_error(connection_))
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
}

TestWindows::~TestWindows() { xcb_disconnect(connection_); }

bool TestWindows::ok() const { return screen_ != nullptr; }

bool TestWindows::managed(xcb_window_t window)
{
    xcb_get_property_reply_t* r = xcb_get_property_reply(
        connection_,
        xcb_get_property(connection_, 0, screen_->root, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW, 0, 1024), nullptr);
    bool found = false;
    if (r && r->type == XCB_ATOM_WINDOW) {
        const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(r));
        const int count = xcb_get_property_value_length(r) / 4;
        found = std::find(ids, ids + count, window) != ids + count;
    }
    std::free(r);
    return found;
}

xcb_window_t TestWindows::create(const QString& netTitle, const QByteArray& wmTitle, xcb_window_t transientFor,
                                 bool map)
{
    const xcb_window_t w = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, w, screen_->root, 10, 10, 200, 120, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, 0, nullptr);
    if (!netTitle.isEmpty()) {
        const QByteArray utf8 = netTitle.toUtf8();
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8,
                            uint32_t(utf8.size()), utf8.constData());
    }
    if (!wmTitle.isEmpty()) {
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            uint32_t(wmTitle.size()), wmTitle.constData());
    }
    if (transientFor != XCB_WINDOW_NONE) {
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 32, 1,
                            &transientFor);
    }
    if (map)
        xcb_map_window(connection_, w);
    xcb_flush(connection_);
    return w;
}

xcb_atom_t TestWindows::atom(const char* name)
{
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(r);
    return a;
}

} // namespace testsupport
