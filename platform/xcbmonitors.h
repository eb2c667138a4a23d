#pragma once

// The monitors of an X screen as plain rectangles, without Qt, so that the
// window capture library can number monitors exactly as the program does.
//
// Threads: any; uses only the connection it is given.

#include <xcb/xcb.h>

#include <cstdint>
#include <vector>

struct XcbMonitor {
    xcb_atom_t name = XCB_ATOM_NONE; // RandR's monitor name; none for Xinerama and the root
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Every monitor in output order: the RandR 1.5 monitors, else (or when it
// lists more) the Xinerama heads, else the whole root screen.
std::vector<XcbMonitor> xcbMonitors(xcb_connection_t* connection, const xcb_screen_t* screen);

// True when images of the screen's root depth come as 32 bits per pixel,
// little endian, blue in the low byte: the only layout taken as BGRX.
bool xcbScreenIsBgrx(xcb_connection_t* connection, const xcb_screen_t* screen);

// Copies width x height pixels of 32-bit rows into packed BGRA rows with
// alpha forced opaque: 24-bit visuals leave the fourth byte undefined.
void copyOpaqueBgra(const std::uint8_t* source, int sourceStride, std::uint8_t* destination, int width, int height);
