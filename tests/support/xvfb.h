#pragma once

// A private X server for tests that need a real display (OpenGL through
// Mesa llvmpipe, X11 capture).

#include "support/testsupport.h"

namespace testsupport {

// A display number with no X server lock or socket a moment ago, or -1.
int freeX11Display();

// Starts Xvfb through `peer` on a free display and waits until it accepts
// connections. On success returns the display name (":N"); on failure an
// empty string with the reason in peer.errorString() or *error. extraArgs
// follow screen 0 (for example "-screen", "1", "1024x768x24", "+xinerama").
QString startXvfb(PeerProcess& peer, QString* error = nullptr, const QString& screen = "1920x1080x24",
                  const QStringList& extraArgs = {});

} // namespace testsupport
