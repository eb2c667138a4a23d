#include "output/muxtarget.h"

#include "net/networkproxysettings.h"
#include "net/socksmediabridge.h"
#include "net/sockstcprelay.h"
#include "net/streamurl.h"

#include <QDebug>
#include <QString>
#include <QUrl>

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

constexpr int kFileWriteBufferBytes = 4194304;

// Where a stream is really published: the RTMPS twin of a known ingest,
// through a local SOCKS relay when the proxy settings ask for one.
struct PublishRoute {
    QByteArray upgraded; // the URL after the ingest upgrade
    QByteArray url;      // what FFmpeg opens
    SocksMediaBridge bridge;
    bool relayed = false;
};

PublishRoute routeFor(const QByteArray& url)
{
    PublishRoute route;
    route.upgraded = streamurl::upgradeIngestToRtmps(url);
    route.url = route.upgraded;
    if (streamurl::isRtmpUrl(route.url)) {
        route.bridge = SocksMediaBridge::forOutput(QString::fromUtf8(route.url));
        if (route.bridge.relay && !route.bridge.effectiveUrl.isEmpty()) {
            route.url = route.bridge.effectiveUrl;
            route.relayed = true;
        }
    }
    return route;
}

// The muxer's name; `muxer` outlives the call.
const char* formatNameFor(const QByteArray& url, const QByteArray& muxer)
{
    // Plain MPEG-TS sent to an rtp:// URL is raw TS in UDP that no RTP
    // receiver accepts; RTP needs the TS packed into RTP packets.
    const bool rtp = url.trimmed().toLower().startsWith("rtp://");
    if (rtp && (muxer.isEmpty() || muxer == "mpegts"))
        return "rtp_mpegts";
    if (!muxer.isEmpty())
        return muxer.constData();
    return streamurl::isRtmpUrl(url) ? "flv" : nullptr;
}

bool isOneOf(const char* name, std::initializer_list<const char*> names)
{
    return std::any_of(names.begin(), names.end(), [name](const char* n) { return std::strcmp(n, name) == 0; });
}

// Whether the MP4 muxer of this FFmpeg knows the movflags value.
bool movFlagAvailable(const AVOutputFormat* format, const char* flag)
{
    if (!format || !format->priv_class)
        return false;
    return av_opt_find(const_cast<const AVClass**>(&format->priv_class), flag, "movflags", 0,
                       AV_OPT_SEARCH_FAKE_OBJ)
           != nullptr;
}

bool addStreams(AVFormatContext* ctx, const MuxStreams& streams, bool isFlv, AVStream*& video, AVStream*& audio)
{
    const char* name = ctx->oformat->name;
    const bool mp4Family = isMp4FamilyMuxer(name);
    if (!streams.video)
        return false;
    video = avformat_new_stream(ctx, nullptr);
    if (!video || avcodec_parameters_copy(video->codecpar, streams.video.get()) < 0)
        return false;
    const AVRational encoderTimeBase = streams.videoTimeBase;
    if (isFlv)
        video->time_base = AVRational{1, 1000};
    else if ((mp4Family || isOneOf(name, {"mpegts", "m2ts"})) && encoderTimeBase.num == 1
             && encoderTimeBase.den == 1000)
        video->time_base = AVRational{1, 90000};
    else
        video->time_base = encoderTimeBase;

    if (streams.audio) {
        audio = avformat_new_stream(ctx, nullptr);
        if (!audio || avcodec_parameters_copy(audio->codecpar, streams.audio.get()) < 0)
            return false;
        audio->time_base = isFlv ? AVRational{1, 1000} : AVRational{1, streams.audioSampleRate};
    }
    if (!isFlv && mp4Family) {
        video->codecpar->codec_tag = 0;
        if (audio)
            audio->codecpar->codec_tag = 0;
        video->avg_frame_rate = streams.videoFrameRate;
        video->r_frame_rate = streams.videoFrameRate;
    }
    return true;
}

int openFileIo(AVFormatContext* ctx, const QByteArray& url)
{
    av::Dictionary options;
    av_dict_set(options.address(), "write_buffer_size", QByteArray::number(kFileWriteBufferBytes).constData(), 0);
    const int r = avio_open2(&ctx->pb, url.constData(), AVIO_FLAG_WRITE, &ctx->interrupt_callback, options.address());
    return r >= 0 ? r : avio_open(&ctx->pb, url.constData(), AVIO_FLAG_WRITE);
}

void setNetworkOptions(av::Dictionary& options, const QByteArray& url, const PublishRoute& route,
                       const MuxOpenOptions& open)
{
    AVDictionary** d = options.address();
    av_dict_set(d, "rw_timeout", QByteArray::number(open.ioTimeoutUs).constData(), 0);
    av_dict_set(d, "tcp_nodelay", "1", 0);
    // SRT drops what is still unacknowledged when the socket closes, unless
    // it may linger: the receiver would lose the last second.
    if (route.url.trimmed().toLower().startsWith("srt://"))
        av_dict_set(d, "linger", "1", 0);
    if (streamurl::isRtmpUrl(url) || streamurl::isRtmpUrl(route.url))
        av_dict_set(d, "rtmp_live", "live", 0);
    if (route.relayed) {
        av_dict_set(d, "rtmp_tcurl", route.bridge.rtmpTcUrl.constData(), 0);
        av_dict_set(d, "rtmp_app", route.bridge.rtmpApp.constData(), 0);
        av_dict_set(d, "rtmp_playpath", route.bridge.rtmpPlayPath.constData(), 0);
        const QUrl upgraded = QUrl::fromEncoded(route.upgraded.trimmed());
        if (upgraded.scheme().compare(QLatin1String("rtmps"), Qt::CaseInsensitive) == 0) {
            av_dict_set(d, "verifyhost", upgraded.host().toUtf8().constData(), 0);
            av_dict_set(d, "tls_verify", "1", 0);
        }
        qInfo() << "FfmpegEncoderSink: RTMP publish using local SOCKS relay";
    }
    if (NetworkProxySettings::usesHttpProxyUtf8(route.url.constData())) {
        const QByteArray proxy = NetworkProxySettings::effectiveHttpProxyUtf8();
        if (!proxy.isEmpty()) {
            av_dict_set(d, "http_proxy", proxy.constData(), 0);
            qInfo() << "FfmpegEncoderSink: http_proxy for HTTP(S) publish" << streamurl::redactCredentials(proxy);
        }
    }
}

// Opens a stream destination's connection; `gaveUp` when the open was
// cancelled before it began.
int openNetworkIo(AVFormatContext* ctx, const QByteArray& url, const PublishRoute& route,
                  const MuxOpenOptions& options, bool& gaveUp)
{
    av::Dictionary ioOptions;
    setNetworkOptions(ioOptions, url, route, options);
    qInfo() << "FfmpegEncoderSink: opening publish URL" << streamurl::redactUrl(route.url)
            << (route.relayed ? "(local SOCKS relay)" : "(direct)");
    gaveUp = options.cancelled && options.cancelled();
    if (gaveUp)
        return AVERROR_EXIT;
    streamurl::ProtocolOptions secrets;
    const QByteArray openUrl = streamurl::takeSecretsAsOptions(route.url, secrets);
    for (const auto& [key, value] : secrets)
        av_dict_set(ioOptions.address(), key.constData(), value.constData(), 0);
    return avio_open2(&ctx->pb, openUrl.constData(), AVIO_FLAG_WRITE, &ctx->interrupt_callback, ioOptions.address());
}

int writeHeader(AVFormatContext* ctx, const QByteArray& muxer, bool isNetwork, bool isFlv)
{
    av::Dictionary options;
    const char* name = ctx->oformat->name;
    if (muxer.isEmpty()) {
        // A fragmented file plays up to its last whole fragment when the
        // recorder is killed. Without hybrid fragments (newer than some
        // FFmpeg builds, whose header write fails on the unknown flag) a
        // file also gets an index of every fragment with its trailer:
        // players that read only the first fragment's length (GStreamer)
        // then show the whole length and can seek.
        const bool mp4OrMov = isOneOf(name, {"mp4", "mov"});
        const bool hybrid = mp4OrMov && !isNetwork && movFlagAvailable(ctx->oformat, "hybrid_fragmented");
        // ISMV fragments each track on its own, which such an index cannot
        // describe.
        const char* flags = hybrid                  ? "+hybrid_fragmented+frag_keyframe+empty_moov+default_base_moof"
                            : mp4OrMov && !isNetwork ? "+frag_keyframe+empty_moov+default_base_moof+global_sidx"
                                                     : "+frag_keyframe+empty_moov+default_base_moof";
        if (mp4OrMov || std::strcmp(name, "ismv") == 0)
            av_dict_set(options.address(), "movflags", flags, 0);
    }
    if (isFlv && isNetwork)
        av_dict_set(options.address(), "flvflags", "no_duration_filesize", 0);
    return avformat_write_header(ctx, options.address());
}

} // namespace

QueuedPacket QueuedPacket::describe(const AVCodecContext* codec, bool isVideo, std::int64_t sessionSeq)
{
    return QueuedPacket{nullptr,           isVideo,           codec->time_base,  codec->codec_id,
                        codec->framerate, codec->sample_rate, codec->frame_size, sessionSeq};
}

MuxStreams MuxStreams::fromEncoders(const AVCodecContext* video, const AVCodecContext* audio)
{
    MuxStreams streams;
    if (!video)
        return streams;
    streams.video.reset(avcodec_parameters_alloc());
    if (!streams.video || avcodec_parameters_from_context(streams.video.get(), video) < 0)
        streams.video.reset();
    streams.videoTimeBase = video->time_base;
    streams.videoFrameRate = video->framerate;
    if (audio) {
        streams.audio.reset(avcodec_parameters_alloc());
        if (!streams.audio || avcodec_parameters_from_context(streams.audio.get(), audio) < 0) {
            qWarning() << "FfmpegEncoderSink: failed to cache audio codec parameters";
            streams.audio.reset();
        }
        streams.audioSampleRate = audio->sample_rate;
    }
    return streams;
}

MuxStreams MuxStreams::copy() const
{
    MuxStreams out;
    auto clone = [](const av::CodecParametersPtr& from, av::CodecParametersPtr& to) {
        if (!from)
            return;
        to.reset(avcodec_parameters_alloc());
        if (to && avcodec_parameters_copy(to.get(), from.get()) < 0)
            to.reset();
    };
    clone(video, out.video);
    clone(audio, out.audio);
    out.videoTimeBase = videoTimeBase;
    out.videoFrameRate = videoFrameRate;
    out.audioSampleRate = audioSampleRate;
    return out;
}

MuxTarget::MuxTarget() = default;

MuxTarget::~MuxTarget()
{
    // The container's I/O ends before the relay it may run through.
    close(false);
}

bool MuxTarget::open(const QByteArray& url, const QByteArray& muxer, const MuxStreams& streams,
                     const MuxOpenOptions& options)
{
    auto cancelled = [&options] { return options.cancelled && options.cancelled(); };
    if (cancelled())
        return false;
    PublishRoute route = routeFor(url);
    if (cancelled())
        return false;
    if (streamurl::isRtmpUrl(url) && std::strstr(avformat_configuration(), "--enable-librtmp")) {
        qCritical() << "FfmpegEncoderSink: RTMP output requires an FFmpeg build without --enable-librtmp; refusing "
                       "the non-interruptible external librtmp path";
        return false;
    }
    const bool isNetwork = streamurl::isNetworkOutputUrl(url) || streamurl::isNetworkOutputUrl(route.url);
    const char* formatName = formatNameFor(url, muxer);
    AVFormatContext* rawCtx = nullptr;
    if (avformat_alloc_output_context2(&rawCtx, nullptr, formatName, url.constData()) < 0 || !rawCtx) {
        qWarning() << "FfmpegEncoderSink: avformat_alloc_output_context2 failed"
                   << "fmt=" << (formatName ? formatName : "(null)") << "url=" << streamurl::redactUrl(route.url);
        return false;
    }
    av::OutputFormatContextPtr ctx(rawCtx);
    const char* name = ctx->oformat->name;
    const bool isFlv = isOneOf(name, {"flv", "live_flv"}) || streamurl::isRtmpUrl(route.url);
    if (isFlv && isNetwork) {
        ctx->flags |= AVFMT_FLAG_FLUSH_PACKETS;
        ctx->max_delay = 0;
    }
    if (isNetwork && options.interrupt) {
        ctx->interrupt_callback.callback = &muxInterruptCallback;
        ctx->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(options.interrupt);
    }
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
    if (!addStreams(ctx.get(), streams, isFlv, video, audio))
        return false;

    if (!(ctx->oformat->flags & AVFMT_NOFILE)) {
        bool gaveUp = false;
        const int r = isNetwork ? openNetworkIo(ctx.get(), url, route, options, gaveUp) : openFileIo(ctx.get(), route.url);
        if (gaveUp)
            return false;
        if (r < 0) {
            qWarning() << "FfmpegEncoderSink: avio_open failed:" << av::errorText(r)
                       << "url:" << streamurl::redactUrl(route.url) << "original:" << streamurl::redactUrl(url)
                       << "| check Tools>Settings proxy (socks5://127.0.0.1:10808) or VPN TUN";
            return false;
        }
    }

    if (writeHeader(ctx.get(), muxer, isNetwork, isFlv) < 0) {
        qWarning() << "FfmpegEncoderSink: avformat_write_header failed for" << streamurl::redactUrl(route.url)
                   << "original:" << streamurl::redactUrl(url);
        return false;
    }
    qInfo() << "FfmpegEncoderSink: publish header OK" << streamurl::redactUrl(url);
    mp4Family = isMp4FamilyMuxer(name);
    if (!isNetwork && mp4Family && !isFlv)
        ctx->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    relay = route.relayed ? std::move(route.bridge.relay) : nullptr;
    videoStream = video;
    audioStream = audio;
    formatContext = std::move(ctx);
    fixTimestamps = isFlv;
    hasLastVideoPts = hasLastAudioPts = hasLastVideoDts = false;
    lastVideoPts = lastAudioPts = lastVideoDts = 0;
    return true;
}

int MuxTarget::write(AVPacket* packet, const QueuedPacket& descriptor)
{
    AVStream* stream = descriptor.isVideo ? videoStream : audioStream;
    AVFormatContext* ctx = formatContext.get();
    if (!ctx || !stream || !packet)
        return AVERROR(EINVAL);
    av_packet_rescale_ts(packet, descriptor.timeBase, stream->time_base);
    if (fixTimestamps)
        fixFlvStamps(packet, descriptor.isVideo, descriptor.codecId);
    if (descriptor.isVideo)
        keepVideoDtsIncreasing(packet);
    if (mp4Family && packet->duration <= 0) {
        if (descriptor.isVideo && descriptor.frameRate.num > 0 && descriptor.frameRate.den > 0)
            packet->duration = av_rescale_q(1, av_inv_q(descriptor.frameRate), stream->time_base);
        else if (!descriptor.isVideo && descriptor.sampleRate > 0)
            packet->duration = av_rescale_q(descriptor.frameSize > 0 ? descriptor.frameSize : 1024,
                                            AVRational{1, descriptor.sampleRate}, stream->time_base);
    }
    packet->stream_index = stream->index;
    const int r = av_interleaved_write_frame(ctx, packet);
    // A packet that only joined the interleaving queue reports success even
    // after the output's I/O has failed; the I/O error is sticky.
    return r >= 0 && ctx->pb && ctx->pb->error < 0 ? ctx->pb->error : r;
}

void MuxTarget::fixFlvStamps(AVPacket* packet, bool isVideo, int codecId)
{
    std::int64_t pts = packet->pts;
    std::int64_t dts = packet->dts;
    if (dts == AV_NOPTS_VALUE && pts == AV_NOPTS_VALUE)
        pts = dts = 0;
    else if (dts == AV_NOPTS_VALUE)
        dts = pts;
    else if (pts == AV_NOPTS_VALUE)
        pts = dts;
    if (dts < 0)
        dts = 0;
    if (pts < 0)
        pts = dts;
    if (isVideo && codecId == AV_CODEC_ID_H264 && pts < dts)
        pts = dts;
    bool& hasLast = isVideo ? hasLastVideoPts : hasLastAudioPts;
    std::int64_t& last = isVideo ? lastVideoPts : lastAudioPts;
    if (hasLast && last > pts) {
        dts = std::max(last, dts);
        pts = last + 1;
    }
    last = pts;
    hasLast = true;
    packet->pts = pts;
    packet->dts = std::min(dts, pts);
}

void MuxTarget::keepVideoDtsIncreasing(AVPacket* packet)
{
    // Encoder stamps that differ by less than one tick of the container's
    // time base (FLV counts milliseconds), frames stamped one tick apart
    // after a bunch, and stamps clamped at a rebase may land on the same
    // tick; players and remuxers refuse a decoding time that does not
    // increase.
    if (packet->dts == AV_NOPTS_VALUE)
        return;
    if (hasLastVideoDts && packet->dts <= lastVideoDts) {
        packet->dts = lastVideoDts + 1;
        if (packet->pts != AV_NOPTS_VALUE && packet->pts < packet->dts)
            packet->pts = packet->dts;
    }
    lastVideoDts = packet->dts;
    hasLastVideoDts = true;
}

void MuxTarget::close(bool writeTrailer)
{
    if (formatContext && writeTrailer) {
        const int r = av_write_trailer(formatContext.get());
        if (r < 0)
            qWarning() << "FfmpegEncoderSink: av_write_trailer failed:" << av::errorText(r);
    }
    formatContext.reset();
    videoStream = nullptr;
    audioStream = nullptr;
    relay.reset();
}

void MuxTarget::flush()
{
    AVFormatContext* ctx = formatContext.get();
    if (ctx && ctx->pb && !(ctx->oformat->flags & AVFMT_NOFILE))
        avio_flush(ctx->pb);
}

std::int64_t MuxTarget::bytesWritten() const
{
    const AVFormatContext* ctx = formatContext.get();
    return ctx && ctx->pb ? avio_tell(ctx->pb) : 0;
}

int muxInterruptCallback(void* flag)
{
    return flag && static_cast<std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

bool isMp4FamilyMuxer(const char* name)
{
    return name && isOneOf(name, {"mp4", "mov", "ismv", "3gp", "f4v"});
}
