#include "platform/xcbsupport.h"

#include <QtGlobal>

XcbConnection::XcbConnection()
{
    // xcb_connect(NULL) would fall back to ":0"; without $DISPLAY there is
    // no display of ours to read.
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return;
    int screenNumber = 0;
    connection_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection_))
        return;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; it.rem > 0; xcb_screen_next(&it), ++i) {
        if (i == screenNumber) {
            screen_ = it.data;
            break;
        }
    }
}

XcbConnection::~XcbConnection()
{
    if (connection_)
        xcb_disconnect(connection_);
}

xcb_atom_t XcbConnection::atom(const char* name) const
{
    if (!isOpen())
        return XCB_ATOM_NONE;
    const XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 1, uint16_t(qstrlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

QString XcbConnection::atomName(xcb_atom_t atom) const
{
    if (!isOpen() || atom == XCB_ATOM_NONE)
        return {};
    const XcbReply<xcb_get_atom_name_reply_t> reply(
        xcb_get_atom_name_reply(connection_, xcb_get_atom_name(connection_, atom), nullptr));
    if (!reply)
        return {};
    return QString::fromUtf8(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
}

XcbConnection::Property XcbConnection::property(xcb_window_t window, xcb_atom_t name, int maxBytes) const
{
    Property result;
    if (!isOpen() || name == XCB_ATOM_NONE)
        return result;
    const XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, uint32_t(maxBytes / 4)),
        nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE)
        return result;
    result.type = reply->type;
    result.format = reply->format;
    result.value = QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())),
                              xcb_get_property_value_length(reply.get()));
    return result;
}
