#pragma once

#include <QString>

// The system proxy as the process environment states it: the Linux stand-in
// for the per-user Internet Settings of other desktops. Reads the environment
// afresh on every call; any thread.
struct SystemProxyEntries {
    QString http;  // host[:port] or a URL; empty when none is set
    QString socks; // host[:port] or a socks URL; empty when none is set
};

namespace SystemProxyEnvironment {

// HTTP: the first non-empty of https_proxy, HTTPS_PROXY, http_proxy,
// HTTP_PROXY. SOCKS: all_proxy or ALL_PROXY when its scheme begins with
// "socks", else socks_proxy or SOCKS_PROXY.
SystemProxyEntries read();

} // namespace SystemProxyEnvironment
