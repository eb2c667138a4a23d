#include "net/socksmediabridge.h"

#include "net/networkproxysettings.h"
#include "net/sockstcprelay.h"

#include <QDebug>
#include <QUrl>

namespace {

bool startsWithAny(const QString& text, std::initializer_list<const char*> prefixes)
{
    for (const char* p : prefixes) {
        if (text.startsWith(QLatin1String(p)))
            return true;
    }
    return false;
}

QString hostForUrl(const QString& host)
{
    return host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
}

} // namespace

SocksMediaBridge::SocksMediaBridge() = default;
SocksMediaBridge::~SocksMediaBridge() = default;
SocksMediaBridge::SocksMediaBridge(SocksMediaBridge&& other) noexcept = default;
SocksMediaBridge& SocksMediaBridge::operator=(SocksMediaBridge&& other) noexcept = default;

bool isSocksRelayableUrl(const QString& url)
{
    const QString lower = url.trimmed().toLower();
    // rtmpt and its kin tunnel over HTTP and take the HTTP proxy instead.
    // RTMPS and RTSPS inputs are relayed too: the media library has no SOCKS
    // option of its own, so nothing else would keep them off a direct route.
    return startsWithAny(lower, {"rtmp://", "rtmpe://", "rtmps://", "rtsp://", "rtsps://", "tcp://"});
}

std::uint16_t defaultPortForScheme(const QString& scheme, bool& isRtmpFamily)
{
    isRtmpFamily = false;
    const QString s = scheme.toLower();
    if (s == QLatin1String("rtmp") || s == QLatin1String("rtmpe") || s == QLatin1String("rtmpte")
        || s == QLatin1String("rtmpts")) {
        isRtmpFamily = true;
        return 1935;
    }
    if (s == QLatin1String("rtmps")) {
        isRtmpFamily = true;
        return 443;
    }
    if (s == QLatin1String("rtsp"))
        return 554;
    if (s == QLatin1String("rtsps"))
        return 322;
    return 0;
}

QString maskStreamUrlForLog(const QString& url)
{
    const qsizetype blank = url.indexOf(QLatin1Char(' '));
    const qsizetype b = blank < 0 ? url.size() : blank;
    // Only the URL before the first blank counts: "://" in appended options
    // (tcUrl=...) must not make a bare key look like a URL.
    const qsizetype scheme = url.left(b).indexOf(QLatin1String("://"));
    qsizetype hiddenFrom = 0;
    qsizetype hostSlash = -1;
    if (scheme >= 0)
        hostSlash = url.indexOf(QLatin1Char('/'), scheme + 3);
    if (scheme >= 0 && hostSlash >= 0) {
        const qsizetype i = b > 0 ? url.lastIndexOf(QLatin1Char('/'), b - 1) : -1;
        if (i < hostSlash)
            hiddenFrom = b; // no path before the first blank: nothing to hide
        else
            hiddenFrom = i + 1;
    }
    QString masked = url;
    if (hiddenFrom < b)
        masked.replace(hiddenFrom, b - hiddenFrom, QStringLiteral("***"));

    // A user name and password in the authority are hidden as well.
    if (scheme >= 0) {
        const qsizetype authorityStart = scheme + 3;
        qsizetype authorityEnd = masked.indexOf(QLatin1Char('/'), authorityStart);
        const qsizetype maskedBlank = masked.indexOf(QLatin1Char(' '));
        if (authorityEnd < 0 || (maskedBlank >= 0 && maskedBlank < authorityEnd))
            authorityEnd = maskedBlank < 0 ? masked.size() : maskedBlank;
        const qsizetype at = masked.lastIndexOf(QLatin1Char('@'), authorityEnd - 1);
        if (at >= authorityStart && at < authorityEnd)
            masked.replace(authorityStart, at - authorityStart, QStringLiteral("***"));
    }
    return masked;
}

SocksMediaBridge::RelayTarget SocksMediaBridge::parseRelayTarget(const QString& url)
{
    RelayTarget t;
    QString text = url.trimmed();
    const qsizetype blank = text.indexOf(QLatin1Char(' '));
    if (blank > 0)
        text = text.left(blank).trimmed();
    const QUrl u(text, QUrl::TolerantMode);
    if (!u.isValid() || u.host(QUrl::FullyDecoded).isEmpty())
        return t;
    const QString scheme = u.scheme().toLower();
    bool rtmpFamily = false;
    const std::uint16_t d = defaultPortForScheme(scheme, rtmpFamily);
    if (d == 0 && scheme != QLatin1String("tcp"))
        return t;
    const int port = u.port(d == 0 ? -1 : int(d));
    if (port < 1 || port > 65535)
        return t;

    QString path = u.path(QUrl::FullyDecoded);
    if (path.isEmpty())
        path = QStringLiteral("/");
    t.query = u.query(QUrl::FullyEncoded);
    t.pathAndQuery = t.query.isEmpty() ? path : path + QLatin1Char('?') + t.query;
    const QString rest = path.startsWith(QLatin1Char('/')) ? path.mid(1) : path;
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    t.app = slash < 0 ? rest : rest.left(slash);
    if (t.app.isEmpty())
        t.app = QStringLiteral("live");
    t.playPath = slash < 0 ? QString() : rest.mid(slash + 1);

    t.scheme = scheme;
    t.host = u.host(QUrl::FullyDecoded);
    t.port = std::uint16_t(port);
    t.userInfo = u.userInfo(QUrl::FullyEncoded);
    t.ok = true;
    return t;
}

SocksMediaBridge SocksMediaBridge::rewriteForRelay(const RelayTarget& target, bool forOutput,
                                                   std::uint16_t localPort)
{
    SocksMediaBridge r;
    bool rtmpFamily = false;
    defaultPortForScheme(target.scheme, rtmpFamily);
    // Credentials in the URL (RTSP cameras, RTMP servers with sign-in) must
    // reach the server through the relay as well.
    const QString auth = target.userInfo.isEmpty() ? QString() : target.userInfo + QLatin1Char('@');
    // TLS schemes go to "localhost": a TLS server name cannot be an address.
    const bool tls = target.scheme == QLatin1String("rtmps") || target.scheme == QLatin1String("rtsps");
    const QString localHost = tls ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1");

    if (rtmpFamily) {
        const QString s = target.scheme == QLatin1String("rtmps") ? QStringLiteral("rtmps") : QStringLiteral("rtmp");
        const QString tcUrl = QStringLiteral("%1://%2/%3").arg(s, hostForUrl(target.host), target.app);
        const QString local =
            QStringLiteral("%1://%2%3:%4%5").arg(s, auth, localHost).arg(localPort).arg(target.pathAndQuery);
        const QString effective = forOutput ? local : local + QStringLiteral(" tcUrl=%1 live=1").arg(tcUrl);
        // The play path names the stream to the server; publishing services
        // put their signature in its query (?txSecret=...), so it stays.
        QString playPath = target.playPath;
        if (!playPath.isEmpty() && !target.query.isEmpty())
            playPath += QLatin1Char('?') + target.query;
        r.effectiveUrl = effective.toUtf8();
        r.rtmpTcUrl = tcUrl.toUtf8();
        r.rtmpApp = target.app.toUtf8();
        r.rtmpPlayPath = playPath.toUtf8();
        return r;
    }
    QString s = QStringLiteral("rtsp");
    if (target.scheme == QLatin1String("tcp"))
        s = QStringLiteral("tcp");
    else if (target.scheme == QLatin1String("rtsps"))
        s = QStringLiteral("rtsps");
    r.effectiveUrl =
        QStringLiteral("%1://%2%3:%4%5").arg(s, auth, localHost).arg(localPort).arg(target.pathAndQuery).toUtf8();
    return r;
}

SocksMediaBridge SocksMediaBridge::forInput(const QString& url) { return prepare(url, false); }

SocksMediaBridge SocksMediaBridge::forOutput(const QString& url) { return prepare(url, true); }

SocksMediaBridge SocksMediaBridge::prepare(const QString& url, bool forOutput)
{
    if (!isSocksRelayableUrl(url))
        return {};
    // Parsed before the endpoint is looked up, so an unusable URL costs no probe.
    const RelayTarget target = parseRelayTarget(url);
    if (!target.ok)
        return {};
    const QString endpoint = NetworkProxySettings::effectiveSocksEndpoint();
    if (endpoint.isEmpty())
        return {};
    QString proxyHost;
    std::uint16_t proxyPort = 0;
    if (!NetworkProxySettings::parseSocksHostPort(endpoint, proxyHost, proxyPort))
        return {};

    auto relay = std::make_unique<SocksTcpRelay>();
    const std::uint16_t localPort = relay->start(proxyHost, proxyPort, target.host, target.port);
    if (localPort == 0) {
        qWarning() << "SocksMediaBridge: relay listen failed";
        return {};
    }
    SocksMediaBridge r = rewriteForRelay(target, forOutput, localPort);
    r.relay = std::move(relay);
    bool rtmpFamily = false;
    defaultPortForScheme(target.scheme, rtmpFamily);
    qInfo() << (rtmpFamily ? "SocksMediaBridge: RTMP local relay" : "SocksMediaBridge: RTSP local relay")
            << endpoint << "->" << maskStreamUrlForLog(QString::fromUtf8(r.effectiveUrl));
    return r;
}
