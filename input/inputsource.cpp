#include "input/inputsource.h"

#include "net/networkproxysettings.h"
#include "net/streamurl.h"

#include <QDebug>
#include <QUrl>
#include <QUrlQuery>

namespace {

constexpr const char* kNetworkTimeoutUs = "30000000";
constexpr const char* kRtmpBufferSize = "2097152";
const QString kAudioSourceItem = QStringLiteral("audioSource");

bool startsWithAny(const QString& lower, std::initializer_list<const char*> prefixes)
{
    for (const char* p : prefixes) {
        if (lower.startsWith(QLatin1String(p)))
            return true;
    }
    return false;
}

bool isRtmpFamily(const QString& lower) { return startsWithAny(lower, {"rtmp://", "rtmps://", "rtmpt://"}); }

} // namespace

InputSourceForm inputSourceForm(const QString& source)
{
    const QString scheme = QUrl(source, QUrl::TolerantMode).scheme().toLower();
    if (scheme == QLatin1String("desktop"))
        return InputSourceForm::Monitor;
    if (scheme == QLatin1String("wgc"))
        return InputSourceForm::Window;
    if (!cameraDeviceSpecOf(source).isEmpty())
        return InputSourceForm::Camera;
    if (source.contains(QLatin1String("://")))
        return InputSourceForm::NetworkUrl;
    return InputSourceForm::LocalFile;
}

QString audioSourceOf(const QString& source)
{
    const QUrl url(source, QUrl::TolerantMode);
    if (!url.isValid())
        return {};
    const QString value = QUrlQuery(url.query()).queryItemValue(kAudioSourceItem);
    return QUrl::fromPercentEncoding(value.toUtf8()).trimmed();
}

QString openStringOf(const QString& source)
{
    QUrl url(source, QUrl::TolerantMode);
    if (!url.isValid() || audioSourceOf(source).isEmpty())
        return source;
    QUrlQuery query(url.query());
    query.removeAllQueryItems(kAudioSourceItem);
    url.setQuery(query);
    return url.toString(QUrl::FullyEncoded);
}

bool parseDshowUrl(const QString& source, QString* video, QString* audio)
{
    if (video)
        video->clear();
    if (audio)
        audio->clear();
    const QUrl url(source, QUrl::TolerantMode);
    if (!url.isValid() || url.scheme().compare(QLatin1String("dshow"), Qt::CaseInsensitive) != 0)
        return false;
    // Fully decoded: the pretty-decoded form keeps "%3A" and "%25" encoded,
    // which would name a different device.
    const QUrlQuery query(url.query());
    const QString v = query.queryItemValue(QStringLiteral("video"), QUrl::FullyDecoded);
    const QString a = query.queryItemValue(QStringLiteral("audio"), QUrl::FullyDecoded);
    if (video)
        *video = v;
    if (audio)
        *audio = a;
    return !v.isEmpty() || !a.isEmpty();
}

QString escapeDshowDeviceName(const QString& name)
{
    // Backslashes first, so the ones put before colons are not doubled again.
    QString out = name;
    out.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    out.replace(QLatin1Char(':'), QLatin1String("\\:"));
    return out;
}

QByteArray buildDshowDeviceSpec(const QString& video, const QString& audio)
{
    const bool hasVideo = !video.trimmed().isEmpty();
    const bool hasAudio = !audio.trimmed().isEmpty();
    QString spec;
    if (hasVideo && hasAudio)
        spec = QStringLiteral("video=%1:audio=%2").arg(escapeDshowDeviceName(video), escapeDshowDeviceName(audio));
    else if (hasVideo)
        spec = QStringLiteral("video=%1").arg(escapeDshowDeviceName(video));
    else if (hasAudio)
        spec = QStringLiteral("audio=%1").arg(escapeDshowDeviceName(audio));
    return spec.toUtf8();
}

QByteArray cameraDeviceSpecOf(const QString& source)
{
    QString video;
    QString audio;
    if (!parseDshowUrl(openStringOf(source), &video, &audio) || video.isEmpty())
        return {};
    if (!audioSourceOf(source).isEmpty())
        audio.clear();
    return buildDshowDeviceSpec(video, audio);
}

void applyCameraInputOptions(const QString& source, AVDictionary** options)
{
    av_dict_set(options, "rtbufsize",
                audioSourceOf(source).isEmpty() ? kCameraRtbufsize : kCameraWithMicrophoneRtbufsize, 0);
}

InputProxy currentInputProxy(const QString& url)
{
    // Asked only for the kinds of URL that use them: finding a proxy may
    // probe local ports.
    InputProxy proxy;
    if (NetworkProxySettings::usesHttpProxy(url))
        proxy.httpProxy = NetworkProxySettings::effectiveHttpProxyUtf8();
    if (startsWithAny(url.toLower(), {"rtmps://", "rtsps://"}))
        proxy.socksUrl = NetworkProxySettings::effectiveSocksUrl();
    return proxy;
}

void applyNetworkInputOptions(const QString& openString, AVDictionary** options, bool viaBridge)
{
    if (!openString.contains(QLatin1String("://")) || openString.startsWith(QLatin1String("dshow://"), Qt::CaseInsensitive))
        return;
    applyNetworkInputOptions(openString, options, viaBridge, viaBridge ? InputProxy{} : currentInputProxy(openString));
}

void applyNetworkInputOptions(const QString& openString, AVDictionary** options, bool viaBridge,
                              const InputProxy& proxy)
{
    if (!openString.contains(QLatin1String("://")) || openString.startsWith(QLatin1String("dshow://"), Qt::CaseInsensitive))
        return;
    const QString lower = openString.toLower();
    const bool rtsp = startsWithAny(lower, {"rtsp://", "rtsps://"});
    av_dict_set(options, "rw_timeout", kNetworkTimeoutUs, 0);
    // FFmpeg 5.1 dropped RTSP's "stimeout"; its socket timeout is "timeout".
    // Other protocols give "timeout" other meanings (listen mode on RTMP), so
    // it is set for RTSP only.
    if (rtsp)
        av_dict_set(options, "timeout", kNetworkTimeoutUs, 0);
    if (!viaBridge) {
        if (NetworkProxySettings::usesHttpProxy(openString) && !proxy.httpProxy.isEmpty()) {
            av_dict_set(options, "http_proxy", proxy.httpProxy.constData(), 0);
            qInfo() << "FFmpegVideoDecoder: http_proxy for HTTP(S) input" << streamurl::redactCredentials(proxy.httpProxy);
        }
        // FFmpeg has no SOCKS option for these: they normally cross the proxy
        // through the local relay, so reaching here means that failed.
        if (startsWithAny(lower, {"rtmps://", "rtsps://"}) && !proxy.socksUrl.isEmpty())
            qWarning() << "FFmpegVideoDecoder: SOCKS relay unavailable; the TLS input connects directly, not through the proxy";
    }
    if (isRtmpFamily(lower)) {
        av_dict_set(options, "rtmp_live", "live", 0);
        av_dict_set(options, "buffer_size", kRtmpBufferSize, 0);
    }
    if (viaBridge || rtsp)
        av_dict_set(options, "rtsp_transport", "tcp", 0);
}

void applyProbeOptions(const QString& openString, AVDictionary** options)
{
    const QString lower = openString.toLower();
    if (lower.startsWith(QLatin1String("dshow://"))) {
        av_dict_set(options, "analyzeduration", "2000000", 0);
        av_dict_set(options, "probesize", "2000000", 0);
    } else if (isRtmpFamily(lower)) {
        av_dict_set(options, "analyzeduration", "10000000", 0);
        av_dict_set(options, "probesize", "8000000", 0);
    }
}

bool isLiveSourceUrl(const QString& source, const AVFormatContext* input)
{
    const QString lower = source.toLower();
    if (startsWithAny(lower, {"dshow://", "rtmp://", "rtmps://", "rtmpt://", "rtsp://", "rtsps://", "rtp:", "udp:", "srtp:"}))
        return true;
    return lower.contains(QLatin1String("://")) && input && input->duration < 1;
}

AVPixelFormat selectHwPixelFormat(AVCodecContext* context, const AVPixelFormat* offered)
{
    if (!offered)
        return AV_PIX_FMT_NONE;
    if (!context || !context->opaque)
        return offered[0];
    const AVPixelFormat wanted = *static_cast<const AVPixelFormat*>(context->opaque);
    for (const AVPixelFormat* p = offered; *p != AV_PIX_FMT_NONE; ++p) {
        if (*p == wanted)
            return wanted;
    }
    return offered[0];
}

