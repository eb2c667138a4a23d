#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <chrono>
#include <cstdint>

// Which HTTP proxy and which SOCKS5 proxy the system uses: the operator's
// mode and manual URLs from the settings store, the system proxy (Qt's
// system query first, then the proxy environment variables), and short TCP
// and SOCKS5 probes of local proxies whose results are cached for 5 seconds.
//
// Threads: any. Probing calls block the caller for bounded times. The only
// shared state is the pair of probe caches, guarded by probeCacheMutex (held
// for one lookup or store, never during a probe). Nothing here changes the
// application-wide proxy except applyApplicationProxy().
namespace NetworkProxySettings {

enum Mode { Auto = 0, Manual = 1, Off = 2 };

struct ProbeCacheEntry {
    bool ok = false;
    std::chrono::steady_clock::time_point stamp;
};
using ProbeCache = QHash<QString, ProbeCacheEntry>;

// Process-wide caches keyed "host:port" (host trimmed, lower case). Guarded by
// probeCacheMutex inside lookupProbeCache/storeProbeCache; touch them only
// through those two.
ProbeCache& tcpProbeCache();
ProbeCache& socksProbeCache();

// An entry this old still counts; older ones are probed again.
constexpr std::chrono::seconds kProbeCacheLifetime{5};

// Settings ("proxy_mode", "proxy_http_url", "proxy_socks_url", older "proxy_url").
Mode mode();
void setMode(Mode mode);
QString legacyProxyUrl();
QString manualHttpProxyUrl();
QString manualSocksProxyUrl();
void setManualHttpProxyUrl(const QString& url);
void setManualSocksProxyUrl(const QString& url);

// URL helpers, pure.
QString modeToString(Mode mode);
Mode modeFromString(const QString& text);
bool isLoopbackHost(const QString& host);
bool usesHttpProxy(const QString& url);
bool usesHttpProxyUtf8(const char* url);
QString normalizeProxyUrl(const QString& url);
QString httpProxyUrlOnly(const QString& url);
QString proxyHostPort(const QString& proxyUrl);
bool parseSocksHostPort(const QString& endpoint, QString& host, std::uint16_t& port);

// Probes.
QString probeCacheKey(const QString& host, std::uint16_t port);
bool lookupProbeCache(ProbeCache& cache, const QString& key, bool& ok);
void storeProbeCache(ProbeCache& cache, const QString& key, bool ok);
bool probeTcp(const QString& host, std::uint16_t port, int timeoutMs);
bool probeSocks5(const QString& host, std::uint16_t port, int timeoutMs);
QString keepIfLocalProxyAlive(const QString& proxyUrl);

// Detection and effect.
QString systemHttpProxyUrl();
QString scanLocalSocksPorts();
QString systemSocksEndpoint();
QString effectiveHttpProxyUrl();
QByteArray effectiveHttpProxyUtf8();
QString effectiveSocksEndpoint();
QString effectiveSocksUrl();
void applyApplicationProxy();
// The second half of applyApplicationProxy: sets the application proxy from
// an effective HTTP proxy URL determined before (empty: no proxy). Lets a
// caller run the blocking detection elsewhere.
void applyApplicationProxyUrl(const QString& url);

} // namespace NetworkProxySettings
