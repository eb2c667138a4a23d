#include "support/flashbeep.h"

#include "avglue/avptr.h"

#include <cmath>
#include <cstdint>

namespace flashbeep {

namespace {

constexpr int kRmsWindow = 48; // 1 ms at 48 kHz

// Mean luma of a decoded 8-bit picture, from every fourth pixel of every
// fourth row.
double meanLuma(const AVFrame& f)
{
    double sum = 0;
    int n = 0;
    for (int y = 0; y < f.height; y += 4) {
        const std::uint8_t* row = f.data[0] + std::ptrdiff_t(y) * f.linesize[0];
        for (int x = 0; x < f.width; x += 4, ++n)
            sum += row[x];
    }
    return n ? sum / n : 0;
}

class OnsetFinder {
public:
    Onsets onsets;

    void picture(const AVFrame& f, double t)
    {
        if (meanLuma(f) < kFlashLuma)
            return;
        if (t - lastBright > kOnsetGapSeconds)
            onsets.flashes.push_back(t);
        lastBright = t;
    }

    // Planar or packed float samples starting at t; the first channel is heard.
    void sound(const AVFrame& f, double t)
    {
        const bool planar = f.format == AV_SAMPLE_FMT_FLTP;
        const auto* samples = reinterpret_cast<const float*>(f.data[0]);
        const int stride = planar ? 1 : f.ch_layout.nb_channels;
        for (int i = 0; i < f.nb_samples; ++i) {
            if (windowFill == 0)
                windowStart = t + double(i) / f.sample_rate;
            const double s = samples[std::ptrdiff_t(i) * stride];
            windowSum += s * s;
            if (++windowFill < kRmsWindow)
                continue;
            const double rms = std::sqrt(windowSum / kRmsWindow);
            windowFill = 0;
            windowSum = 0;
            if (rms < kBeepRms)
                continue;
            if (windowStart - lastLoud > kOnsetGapSeconds)
                onsets.beeps.push_back(windowStart);
            lastLoud = windowStart;
        }
    }

private:
    double lastBright = -1e9;
    double lastLoud = -1e9;
    double windowStart = 0;
    double windowSum = 0;
    int windowFill = 0;
};

av::CodecContextPtr openDecoder(const AVStream& stream)
{
    const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
    if (!codec)
        return nullptr;
    av::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx || avcodec_parameters_to_context(ctx.get(), stream.codecpar) < 0)
        return nullptr;
    ctx->pkt_timebase = stream.time_base;
    ctx->thread_count = 0;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return nullptr;
    return ctx;
}

} // namespace

bool findOnsets(const QString& path, Onsets* out)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return false;
    av::InputPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return false;
    const int vi = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int ai = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (vi < 0 || ai < 0)
        return false;
    av::CodecContextPtr video = openDecoder(*input->streams[vi]);
    av::CodecContextPtr audio = openDecoder(*input->streams[ai]);
    if (!video || !audio)
        return false;
    if (audio->sample_fmt != AV_SAMPLE_FMT_FLTP && audio->sample_fmt != AV_SAMPLE_FMT_FLT)
        return false;
    const double videoBase = av_q2d(input->streams[vi]->time_base);
    const double audioBase = av_q2d(input->streams[ai]->time_base);

    OnsetFinder finder;
    av::PacketPtr packet(av_packet_alloc());
    av::FramePtr frame(av_frame_alloc());
    auto drain = [&](AVCodecContext* ctx, bool isVideo) {
        while (avcodec_receive_frame(ctx, frame.get()) >= 0) {
            const std::int64_t pts = frame->best_effort_timestamp;
            if (pts != AV_NOPTS_VALUE) {
                if (isVideo)
                    finder.picture(*frame, double(pts) * videoBase);
                else
                    finder.sound(*frame, double(pts) * audioBase);
            }
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == vi) {
            avcodec_send_packet(video.get(), packet.get());
            drain(video.get(), true);
        } else if (packet->stream_index == ai) {
            avcodec_send_packet(audio.get(), packet.get());
            drain(audio.get(), false);
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(video.get(), nullptr);
    drain(video.get(), true);
    avcodec_send_packet(audio.get(), nullptr);
    drain(audio.get(), false);
    *out = std::move(finder.onsets);
    return true;
}

std::vector<Pair> pairOnsets(const Onsets& onsets)
{
    std::vector<Pair> pairs;
    for (double flash : onsets.flashes) {
        double best = kPairWindowSeconds;
        for (double beep : onsets.beeps) {
            if (std::abs(beep - flash) < std::abs(best))
                best = beep - flash;
        }
        if (std::abs(best) < kPairWindowSeconds)
            pairs.push_back({flash, best * 1000.0});
    }
    return pairs;
}

QStringList clipArguments(int width, int height, int fps, int seconds, int hue, const QString& path)
{
    const QString picture = QString("testsrc2=size=%1x%2:rate=%3:duration=%4,lutyuv=y=val*0.35,hue=h=%5,"
                                    "drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='lt(mod(t,1),0.1)'")
                                .arg(width)
                                .arg(height)
                                .arg(fps)
                                .arg(seconds)
                                .arg(hue);
    const QString sound = QString("aevalsrc=exprs='if(lt(mod(t,1),0.1),0.3*sin(2*PI*1000*t),0)':sample_rate=48000:"
                                  "duration=%1:channel_layout=stereo")
                              .arg(seconds);
    return {"-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", sound, "-c:v", "libx264", "-preset", "ultrafast",
            "-g", QString::number(fps), "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k", path};
}

} // namespace flashbeep
