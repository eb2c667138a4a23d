#pragma once

// Real proxy programs on 127.0.0.1 for network tests: microsocks and dante
// (SOCKS5), tinyproxy (HTTP). Each start returns false with the reason in
// the peer's errorString() (a missing program included): tests fail then.

#include "support/testsupport.h"

namespace testsupport {

bool startMicrosocks(PeerProcess& peer, quint16 port, const QString& user = {}, const QString& password = {});
// dir holds the configuration and the log.
bool startDante(PeerProcess& peer, const QString& dir, quint16 port);
// With a user name, the proxy demands Basic authentication (407 without).
bool startTinyproxy(PeerProcess& peer, const QString& dir, quint16 port, const QString& user = {},
                    const QString& password = {});

// Clears the settings store and every proxy variable of the environment
// (both spellings), so the system proxy of the machine never leaks in.
void clearProxyConfiguration();

} // namespace testsupport
