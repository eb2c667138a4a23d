#include "net/streamurl.h"

#include <QDebug>
#include <QString>
#include <QUrl>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace streamurl {

namespace {

template <std::size_t N>
bool startsWithAny(const QByteArray& lower, const char* const (&prefixes)[N])
{
    return std::any_of(std::begin(prefixes), std::end(prefixes), [&lower](const char* p) { return lower.startsWith(p); });
}

template <std::size_t N>
bool isOneOf(const QByteArray& key, const char* const (&names)[N])
{
    return std::any_of(std::begin(names), std::end(names), [&key](const char* n) { return key == n; });
}

// Replaces the last path segment (with whatever follows it up to `end`).
QByteArray redactKeyInPath(QByteArray out, int sep, int end)
{
    const int pathStart = out.indexOf('/', sep + 3);
    if (pathStart < 0 || pathStart >= end) {
        if (end > 0)
            out.replace(0, end, "***");
        return out;
    }
    int segmentEnd = end;
    while (segmentEnd - 1 > pathStart && out.at(segmentEnd - 1) == '/')
        --segmentEnd;
    const int lastSlash = out.lastIndexOf('/', segmentEnd - 1);
    // "app/" alone names no key; "app/key/" does.
    if (segmentEnd < end && lastSlash <= pathStart)
        return out;
    if (lastSlash < segmentEnd - 1)
        out.replace(lastSlash + 1, segmentEnd - lastSlash - 1, "***");
    return out;
}

// Replaces the values of secret query parameters before `end`.
QByteArray redactQuerySecrets(const QByteArray& out, int end)
{
    const int query = out.indexOf('?');
    if (query < 0 || query >= end)
        return out;
    static const char* const secretKeys[] = {"passphrase", "streamid", "srt_streamid", "secret", "password",
                                             "passwd",     "pass",     "key",          "token",  "auth",
                                             "user",       "username", "sig",          "signature"};
    QByteArray rebuilt = out.left(query + 1);
    const QList<QByteArray> pairs = out.mid(query + 1, end - query - 1).split('&');
    for (int i = 0; i < pairs.size(); ++i) {
        const QByteArray& pair = pairs.at(i);
        const int eq = pair.indexOf('=');
        const QByteArray key = (eq < 0 ? pair : pair.left(eq)).toLower();
        if (i > 0)
            rebuilt += '&';
        rebuilt += isOneOf(key, secretKeys) && eq >= 0 ? pair.left(eq + 1) + "***" : pair;
    }
    return rebuilt + out.mid(end);
}

} // namespace

bool isNetworkOutputUrl(const QByteArray& url)
{
    static const char* const schemes[] = {"rtmp://", "rtmps://", "rtmpt://", "rtmpe://", "http://", "https://",
                                          "udp://",  "rtp://",   "srt://",   "rist://",  "tcp://"};
    return startsWithAny(url.trimmed().toLower(), schemes);
}

bool isRtmpUrl(const QByteArray& text)
{
    return text.contains("rtmp://") || text.contains("rtmps://") || text.contains("rtmpt://")
           || text.contains("rtmpe://");
}

bool carriesFlv(const QByteArray& url, const QByteArray& muxer)
{
    static const char* const rtmpSchemes[] = {"rtmp://", "rtmps://", "rtmpt://", "rtmpe://"};
    return muxer.trimmed().toLower() == "flv" || startsWithAny(url.trimmed().toLower(), rtmpSchemes);
}

QByteArray redactUrl(const QByteArray& url)
{
    QByteArray out = url;
    int end = out.indexOf(' ');
    if (end < 0)
        end = out.size();
    const int sep = out.indexOf("://");

    // Credentials in the authority ("user:password@host"), any scheme.
    if (sep >= 0 && sep < end) {
        int authorityEnd = sep + 3;
        while (authorityEnd < end && !std::strchr("/?#", out.at(authorityEnd)))
            ++authorityEnd;
        const int at = out.lastIndexOf('@', authorityEnd - 1);
        if (at >= sep + 3) {
            out.replace(sep + 3, at - (sep + 3), "***");
            end -= at - (sep + 3) - 3;
        }
    }

    static const char* const keyInPath[] = {"rtmp://", "rtmps://", "rtmpt://", "rtmpe://", "rtmpts://",
                                            "http://", "https://"};
    if (startsWithAny(out.left(end).toLower(), keyInPath))
        return redactKeyInPath(out, sep, end);
    // Other schemes carry their secrets in the query (SRT passphrase and
    // stream id, RIST secret, ...).
    return redactQuerySecrets(out, end);
}

QByteArray redactCredentials(const QByteArray& url, const QByteArray& mask)
{
    const int schemeEnd = url.indexOf("://");
    const int authorityStart = schemeEnd < 0 ? 0 : schemeEnd + 3;
    int authorityEnd = url.indexOf('/', authorityStart);
    if (authorityEnd < 0)
        authorityEnd = url.size();
    const int at = authorityEnd > 0 ? url.lastIndexOf('@', authorityEnd - 1) : -1;
    if (at < authorityStart)
        return url;
    return mask.isEmpty() ? url.left(authorityStart) + url.mid(at + 1) : url.left(authorityStart) + mask + url.mid(at);
}

QByteArray upgradeIngestToRtmps(const QByteArray& url)
{
    static const QString ingestHost = QStringLiteral("rtmp.youtube.com");
    const QByteArray trimmed = url.trimmed();
    if (!trimmed.toLower().startsWith("rtmp://"))
        return url;
    QUrl parsed = QUrl::fromEncoded(trimmed);
    const QString host = parsed.host().toLower();
    if (!parsed.isValid() || (host != ingestHost && !host.endsWith(QLatin1Char('.') + ingestHost)))
        return url;
    parsed.setHost(host.left(host.size() - ingestHost.size()) + QStringLiteral("rtmps.youtube.com"));
    parsed.setScheme(QStringLiteral("rtmps"));
    if (parsed.port() < 0 || parsed.port() == 1935)
        parsed.setPort(443);
    const QByteArray result = parsed.toEncoded(QUrl::FullyEncoded);
    qInfo() << "FfmpegEncoderSink: YouTube RTMP -> RTMPS for reachability:" << redactUrl(result);
    return result;
}

QByteArray takeSecretsAsOptions(const QByteArray& url, ProtocolOptions& secrets)
{
    static const char* const srtSecrets[] = {"passphrase", "streamid"};
    static const char* const ristSecrets[] = {"secret"};
    const QByteArray lower = url.trimmed().toLower();
    const bool srt = lower.startsWith("srt://");
    if (!srt && !lower.startsWith("rist://"))
        return url;
    const int query = url.indexOf('?');
    if (query < 0)
        return url;
    QByteArray kept;
    for (const QByteArray& pair : url.mid(query + 1).split('&')) {
        const int eq = pair.indexOf('=');
        const QByteArray key = (eq < 0 ? pair : pair.left(eq)).toLower();
        const bool secret = srt ? isOneOf(key, srtSecrets) : isOneOf(key, ristSecrets);
        if (secret && eq > 0) {
            secrets.append({key, pair.mid(eq + 1)});
            continue;
        }
        if (!pair.isEmpty())
            kept += (kept.isEmpty() ? "" : "&") + pair;
    }
    return kept.isEmpty() ? url.left(query) : url.left(query + 1) + kept;
}

} // namespace streamurl
