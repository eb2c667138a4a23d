#include "net/networkproxysettings.h"

#include "app/settingsstore.h"
#include "platform/systemproxyenvironment.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>
#include <QSettings>
#include <QTcpSocket>
#include <QUrl>

#include <mutex>

namespace NetworkProxySettings {

namespace {

using settingsstore::kApplication;
using settingsstore::kOrganisation;

const char* const kModeKey = "proxy_mode";
const char* const kHttpUrlKey = "proxy_http_url";
const char* const kSocksUrlKey = "proxy_socks_url";
const char* const kLegacyUrlKey = "proxy_url";

// Only the kind of query matters: which proxy would carry an HTTPS request
// to our own web host. Nothing is sent there.
const char* const kSystemProxyQueryUrl = "https://www.orvane.com/";

constexpr int kLocalTcpProbeMs = 350;
constexpr int kSocksProbeMs = 700;
constexpr int kScanProbeMs = 75;
// Usual local ports of desktop proxy clients (v2ray, clash, shadowsocks, ...).
constexpr std::uint16_t kLocalSocksPorts[] = {10808, 7890, 7891, 10809, 1080};
constexpr int kDefaultSocksPort = 1080;
constexpr int kDefaultHttpProxyPort = 8080;
constexpr int kDefaultHttpEndpointPort = 7890;

std::mutex probeCacheMutex;

bool schemeIsSocks(const QString& scheme) { return scheme.toLower().startsWith(QLatin1String("socks")); }

bool schemeIsHttp(const QString& scheme)
{
    const QString s = scheme.toLower();
    return s == QLatin1String("http") || s == QLatin1String("https");
}

QString withScheme(const QString& value, const char* scheme)
{
    return value.contains(QLatin1String("://")) ? value : QLatin1String(scheme) + value;
}

// The manual URL under key; when the key is absent, the older single
// "proxy_url" if its scheme (http when it has none) is of the right kind.
// An existing but empty key hides the older one.
QString manualProxyUrl(const char* key, bool (*legacyFits)(const QString& scheme))
{
    {
        QSettings s(kOrganisation, kApplication);
        if (s.contains(key))
            return s.value(key).toString().trimmed();
    }
    const QString legacy = legacyProxyUrl();
    return legacyFits(QUrl(normalizeProxyUrl(legacy)).scheme()) ? legacy : QString();
}

QString autoHttpProxyUrl() { return keepIfLocalProxyAlive(systemHttpProxyUrl()); }

QString autoSocksEndpoint()
{
    const QString e = systemSocksEndpoint();
    QString host;
    std::uint16_t port = 0;
    if (parseSocksHostPort(e, host, port) && probeSocks5(host, port, kSocksProbeMs))
        return e;
    return scanLocalSocksPorts();
}

} // namespace

ProbeCache& tcpProbeCache()
{
    static ProbeCache cache;
    return cache;
}

ProbeCache& socksProbeCache()
{
    static ProbeCache cache;
    return cache;
}

// ---- settings -------------------------------------------------------------

Mode mode()
{
    QSettings s(kOrganisation, kApplication);
    return modeFromString(s.value(kModeKey, QStringLiteral("auto")).toString());
}

void setMode(Mode m)
{
    QSettings s(kOrganisation, kApplication);
    s.setValue(kModeKey, modeToString(m));
}

QString legacyProxyUrl()
{
    QSettings s(kOrganisation, kApplication);
    return s.value(kLegacyUrlKey).toString().trimmed();
}

QString manualHttpProxyUrl() { return manualProxyUrl(kHttpUrlKey, schemeIsHttp); }

QString manualSocksProxyUrl() { return manualProxyUrl(kSocksUrlKey, schemeIsSocks); }

void setManualHttpProxyUrl(const QString& url)
{
    QSettings s(kOrganisation, kApplication);
    s.setValue(kHttpUrlKey, url.trimmed());
}

void setManualSocksProxyUrl(const QString& url)
{
    QSettings s(kOrganisation, kApplication);
    s.setValue(kSocksUrlKey, url.trimmed());
}

// ---- URL helpers ----------------------------------------------------------

QString modeToString(Mode m)
{
    switch (m) {
    case Manual:
        return QStringLiteral("manual");
    case Off:
        return QStringLiteral("off");
    default:
        return QStringLiteral("auto");
    }
}

Mode modeFromString(const QString& text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("manual"))
        return Manual;
    if (t == QLatin1String("direct") || t == QLatin1String("off") || t == QLatin1String("none"))
        return Off;
    return Auto;
}

bool isLoopbackHost(const QString& host)
{
    const QString h = host.trimmed().toLower();
    return h == QLatin1String("127.0.0.1") || h == QLatin1String("localhost") || h == QLatin1String("::1")
        || h == QLatin1String("0.0.0.0");
}

bool usesHttpProxy(const QString& url)
{
    const QString u = url.trimmed().toLower();
    return u.startsWith(QLatin1String("http://")) || u.startsWith(QLatin1String("https://"))
        || u.startsWith(QLatin1String("rtmpt://"));
}

bool usesHttpProxyUtf8(const char* url)
{
    if (!url || !*url)
        return false;
    return usesHttpProxy(QString::fromUtf8(url));
}

QString normalizeProxyUrl(const QString& url)
{
    const QString t = url.trimmed();
    if (!t.isEmpty() && !t.contains(QLatin1String("://")))
        return QStringLiteral("http://") + t;
    return t;
}

QString httpProxyUrlOnly(const QString& url)
{
    const QString n = normalizeProxyUrl(url);
    if (n.isEmpty())
        return {};
    const QUrl u(n, QUrl::TolerantMode);
    if (u.host(QUrl::FullyDecoded).isEmpty() || schemeIsSocks(u.scheme()))
        return {};
    return schemeIsHttp(u.scheme()) ? n : QString();
}

QString proxyHostPort(const QString& proxyUrl)
{
    const QUrl u(normalizeProxyUrl(proxyUrl), QUrl::TolerantMode);
    const QString host = u.host(QUrl::FullyDecoded);
    if (host.isEmpty())
        return {};
    int port = 0;
    if (schemeIsSocks(u.scheme()))
        port = u.port(kDefaultSocksPort);
    else if (schemeIsHttp(u.scheme()))
        port = u.port(kDefaultHttpEndpointPort);
    else
        return {};
    if (port <= 0)
        return {};
    const QString h = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1:%2").arg(h).arg(port);
}

bool parseSocksHostPort(const QString& endpoint, QString& host, std::uint16_t& port)
{
    const QUrl u(QStringLiteral("socks5://") + endpoint.trimmed(), QUrl::TolerantMode);
    const int p = u.port(kDefaultSocksPort);
    const QString h = u.host(QUrl::FullyDecoded);
    if (!u.isValid() || h.isEmpty() || p < 1 || p > 65535)
        return false;
    host = h;
    port = std::uint16_t(p);
    return true;
}

// ---- probes ---------------------------------------------------------------

QString probeCacheKey(const QString& host, std::uint16_t port)
{
    return host.trimmed().toLower() + QLatin1Char(':') + QString::number(port);
}

bool lookupProbeCache(ProbeCache& cache, const QString& key, bool& ok)
{
    std::lock_guard lock(probeCacheMutex);
    const auto it = cache.constFind(key);
    if (it == cache.constEnd())
        return false;
    if (std::chrono::steady_clock::now() - it->stamp > kProbeCacheLifetime)
        return false;
    ok = it->ok;
    return true;
}

void storeProbeCache(ProbeCache& cache, const QString& key, bool ok)
{
    std::lock_guard lock(probeCacheMutex);
    cache.insert(key, ProbeCacheEntry{ok, std::chrono::steady_clock::now()});
}

bool probeTcp(const QString& host, std::uint16_t port, int timeoutMs)
{
    if (host.trimmed().isEmpty() || port == 0)
        return false;
    const QString key = probeCacheKey(host, port);
    bool cached = false;
    if (lookupProbeCache(tcpProbeCache(), key, cached))
        return cached;
    QTcpSocket socket;
    // The probe checks the proxy itself; it must never be sent through the
    // application proxy that applyApplicationProxy may have installed.
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(host.trimmed(), port);
    const bool ok = socket.waitForConnected(timeoutMs);
    if (ok)
        socket.disconnectFromHost();
    socket.abort();
    storeProbeCache(tcpProbeCache(), key, ok);
    return ok;
}

bool probeSocks5(const QString& host, std::uint16_t port, int timeoutMs)
{
    if (host.trimmed().isEmpty() || port == 0)
        return false;
    const QString key = probeCacheKey(host, port);
    bool cached = false;
    if (lookupProbeCache(socksProbeCache(), key, cached))
        return cached;

    const auto finish = [&](QTcpSocket& socket, bool ok) {
        socket.abort();
        storeProbeCache(socksProbeCache(), key, ok);
        return ok;
    };
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(host.trimmed(), port);
    if (!socket.waitForConnected(timeoutMs))
        return finish(socket, false);

    static const char greeting[3] = {0x05, 0x01, 0x00};
    if (socket.write(greeting, 3) != 3)
        return finish(socket, false);
    QDeadlineTimer writeDeadline(timeoutMs);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(int(writeDeadline.remainingTime())))
            return finish(socket, false);
    }
    // The two reply bytes may come in separate segments: wait for both
    // within one timeout.
    QDeadlineTimer readDeadline(timeoutMs);
    while (socket.bytesAvailable() < 2) {
        if (readDeadline.hasExpired() || !socket.waitForReadyRead(int(readDeadline.remainingTime())))
            break;
    }
    const QByteArray reply = socket.read(2);
    return finish(socket, reply.size() == 2 && reply[0] == 0x05 && reply[1] == 0x00);
}

QString keepIfLocalProxyAlive(const QString& proxyUrl)
{
    if (proxyUrl.isEmpty())
        return {};
    const QUrl u(proxyUrl, QUrl::TolerantMode);
    const QString host = u.host();
    if (host.isEmpty())
        return {};
    if (!isLoopbackHost(host))
        return proxyUrl; // remote proxies are not probed here
    const int port = u.port(schemeIsSocks(u.scheme()) ? kDefaultSocksPort : kDefaultHttpProxyPort);
    if (port <= 0 || port > 65535)
        return {};
    if (probeTcp(host, std::uint16_t(port), kLocalTcpProbeMs))
        return proxyUrl;
    qInfo() << "NetworkProxySettings: local proxy not running, use direct" << host << port;
    return {};
}

// ---- detection and effect -------------------------------------------------

QString systemHttpProxyUrl()
{
    // The static query reads the system configuration without installing it:
    // the application-wide proxy stays whatever applyApplicationProxy set.
    const QNetworkProxyQuery query(QUrl(QString::fromLatin1(kSystemProxyQueryUrl)),
                                   QNetworkProxyQuery::UrlRequest);
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(query);
    for (const QNetworkProxy& p : proxies) {
        if (p.type() == QNetworkProxy::NoProxy || p.hostName().isEmpty())
            continue;
        QUrl u;
        u.setScheme(p.type() == QNetworkProxy::Socks5Proxy ? QStringLiteral("socks5") : QStringLiteral("http"));
        u.setHost(p.hostName());
        if (p.port() != 0)
            u.setPort(p.port());
        if (!p.user().isEmpty()) {
            u.setUserName(p.user());
            u.setPassword(p.password());
        }
        return httpProxyUrlOnly(u.toString());
    }
    const SystemProxyEntries entries = SystemProxyEnvironment::read();
    if (!entries.http.isEmpty())
        return httpProxyUrlOnly(withScheme(entries.http, "http://"));
    // A SOCKS-only system proxy never yields an HTTP proxy.
    return {};
}

QString scanLocalSocksPorts()
{
    for (const std::uint16_t port : kLocalSocksPorts) {
        if (probeSocks5(QStringLiteral("127.0.0.1"), port, kScanProbeMs))
            return QStringLiteral("127.0.0.1:%1").arg(port);
    }
    return {};
}

QString systemSocksEndpoint()
{
    const SystemProxyEntries entries = SystemProxyEnvironment::read();
    if (entries.http.isEmpty() && entries.socks.isEmpty())
        return scanLocalSocksPorts();
    if (!entries.socks.isEmpty()) {
        const QString e = proxyHostPort(keepIfLocalProxyAlive(withScheme(entries.socks, "socks5://")));
        if (!e.isEmpty())
            return e;
    }
    if (!entries.http.isEmpty()) {
        // The HTTP proxy's endpoint is only a candidate; the caller checks it
        // with a SOCKS5 probe (many local clients serve both on one port).
        const QString e = proxyHostPort(keepIfLocalProxyAlive(withScheme(entries.http, "http://")));
        if (!e.isEmpty())
            return e;
    }
    return scanLocalSocksPorts();
}

QString effectiveHttpProxyUrl()
{
    const Mode m = mode();
    if (m == Off)
        return {};
    if (m == Manual) {
        const QString manual = manualHttpProxyUrl();
        if (!manual.isEmpty()) {
            const QString r = keepIfLocalProxyAlive(httpProxyUrlOnly(manual));
            if (!r.isEmpty())
                return r;
            qWarning() << "NetworkProxySettings: manual HTTP proxy down, falling back to Auto";
        }
    }
    return autoHttpProxyUrl();
}

QByteArray effectiveHttpProxyUtf8() { return effectiveHttpProxyUrl().toUtf8(); }

QString effectiveSocksEndpoint()
{
    const Mode m = mode();
    if (m == Off)
        return {};
    if (m == Manual) {
        const QString manual = manualSocksProxyUrl();
        if (!manual.isEmpty()) {
            const QString e = proxyHostPort(keepIfLocalProxyAlive(normalizeProxyUrl(manual)));
            QString host;
            std::uint16_t port = 0;
            if (!e.isEmpty() && parseSocksHostPort(e, host, port) && probeSocks5(host, port, kSocksProbeMs))
                return e;
            qWarning() << "NetworkProxySettings: manual SOCKS down, falling back to Auto";
        }
    }
    return autoSocksEndpoint();
}

QString effectiveSocksUrl()
{
    const QString e = effectiveSocksEndpoint();
    return e.isEmpty() ? QString() : QStringLiteral("socks5://") + e;
}

void applyApplicationProxy()
{
    applyApplicationProxyUrl(effectiveHttpProxyUrl());
}

void applyApplicationProxyUrl(const QString& url)
{
    if (url.isEmpty()) {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl u(url, QUrl::TolerantMode);
    const bool socks = schemeIsSocks(u.scheme());
    QNetworkProxy proxy(socks ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpProxy,
                        u.host(QUrl::FullyDecoded), quint16(u.port(socks ? kDefaultSocksPort : kDefaultHttpProxyPort)),
                        u.userName(QUrl::FullyDecoded), u.password(QUrl::FullyDecoded));
    QNetworkProxy::setApplicationProxy(proxy);
}

} // namespace NetworkProxySettings
