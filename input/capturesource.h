#pragma once

// The items of the monitor and window capture strings. Pure functions, safe
// on any thread.

#include <QString>

// "monitor" read as a decimal int; unreadable, out of range or negative
// values give 0.
int captureMonitorIndexOf(const QString& source);
// "wgc" is exactly "1" or "true" in any case.
bool captureWantsLibraryOf(const QString& source);
// "hwnd": 0x (any case) and hexadecimal digits, else unsigned decimal; 0
// when missing or unreadable.
quint64 captureWindowHandleOf(const QString& source);
