#include "support/encodersinkdriver.h"

#include "output/ffmpegencodersink.h"
#include "support/testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>


#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace testsupport {

FrameTokenPtr makeRgbaFrame(int width, int height, int index, bool noise)
{
    auto token = std::make_shared<FrameToken>();
    token->width = width;
    token->height = height;
    token->bytesPerLine = width * 4;
    token->ptsUs = std::int64_t(index) * 33333;
    token->generation = 1;
    token->data = QByteArray(token->bytesPerLine * height, Qt::Uninitialized);
    auto* px = reinterpret_cast<std::uint32_t*>(token->data.data());
    const std::uint32_t background = 0xff000000u | std::uint32_t((index * 3) & 0xff) << 8 | 0x40u;
    const int barX = (index * 8) % std::max(1, width);
    std::uint32_t seed = 2166136261u ^ std::uint32_t(index);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint32_t value = (x >= barX && x < barX + width / 10) ? 0xffffffffu : background;
            if (noise) {
                seed = seed * 1664525u + 1013904223u;
                value = 0xff000000u | (seed >> 8);
            }
            px[std::size_t(y) * width + x] = value;
        }
    }
    return token;
}

void TonePuller::operator()(std::int16_t* dst, int frames)
{
    constexpr double kTwoPi = 6.283185307179586;
    for (int i = 0; i < frames; ++i) {
        const auto s = std::int16_t(std::lround(8000.0 * std::sin(kTwoPi * 1000.0 * double(m_phase++) / 48000.0)));
        dst[2 * i] = s;
        dst[2 * i + 1] = s;
    }
    m_pulled += frames;
}

bool RecordingSink::configure(const QString& path, const SegmentOptions& segments, int bitrateKbps,
                              int keyframeSeconds, double fps)
{
    if (!sink.configure(path, {}, fps))
        return false;
    sink.setEncodingParams(bitrateKbps, keyframeSeconds, FfmpegEncoderSink::kEncoderSoftwareOnly, 0);
    sink.setSegmentation(segments);
    sink.setAudioPullCallback([this](std::int16_t* dst, int frames, std::int64_t) { tone(dst, frames); });
    sink.setFatalErrorCallback([this] { ++fatalCalls; });
    return true;
}

int runSinkOnEncodeThread(FfmpegEncoderSink& sink, const SinkRun& run)
{
    // The router probes the encoder before its worker starts; the first
    // frame then finds it open and is not late.
    sink.probeEncoder(run.width, run.height);
    int encoded = 0;
    std::thread encodeThread([&] {
        using clock = std::chrono::steady_clock;
        const auto interval = std::chrono::nanoseconds(std::int64_t(1e9 / run.fps));
        auto due = clock::now();
        for (int i = 0; i < run.frames; ++i) {
            if (run.beforeFrame && !run.beforeFrame(i))
                break;
            std::this_thread::sleep_until(due);
            FrameTokenPtr frame = makeRgbaFrame(run.width, run.height, i, run.noise);
            sink.encodeFrame(frame, nullptr, 0, run.sequence ? run.sequence(i) : 1);
            ++encoded;
            due += interval;
            if (i == run.stallAfterFrame)
                due += std::chrono::milliseconds(run.stallMs);
        }
        static_cast<IEncoderSink&>(sink).close();
    });
    encodeThread.join();
    return encoded;
}

double ProbedStream::start() const
{
    return packets.empty() ? 0.0 : packets.front().pts;
}

double ProbedStream::end() const
{
    double end = 0;
    for (const ProbedPacket& p : packets)
        end = std::max(end, p.pts + p.duration);
    return end;
}

std::vector<ProbedStream> probePackets(const QString& path)
{
    QProcess p;
    p.start(findProgram("ffprobe"),
            {"-v", "error", "-show_entries",
             "stream=index,codec_type,codec_name,width,height,sample_rate,channels,r_frame_rate,has_b_frames:"
             "packet=stream_index,pts_time,dts_time,duration_time,flags",
             "-of", "json", path});
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    const QJsonObject root = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    std::vector<ProbedStream> streams;
    for (const QJsonValue& v : root.value("streams").toArray()) {
        const QJsonObject s = v.toObject();
        ProbedStream ps;
        ps.codecType = s.value("codec_type").toString();
        ps.codecName = s.value("codec_name").toString();
        ps.width = s.value("width").toInt();
        ps.height = s.value("height").toInt();
        ps.sampleRate = s.value("sample_rate").toString().toInt();
        ps.channels = s.value("channels").toInt();
        ps.frameRate = s.value("r_frame_rate").toString();
        ps.hasBFrames = s.value("has_b_frames").toInt();
        const int index = s.value("index").toInt();
        if (index >= int(streams.size()))
            streams.resize(std::size_t(index) + 1);
        streams[std::size_t(index)] = ps;
    }
    for (const QJsonValue& v : root.value("packets").toArray()) {
        const QJsonObject o = v.toObject();
        const int index = o.value("stream_index").toInt();
        if (index < 0 || index >= int(streams.size()))
            continue;
        ProbedPacket pkt;
        pkt.pts = o.value("pts_time").toString().toDouble();
        pkt.dts = o.contains("dts_time") ? o.value("dts_time").toString().toDouble() : pkt.pts;
        pkt.duration = o.value("duration_time").toString().toDouble();
        pkt.key = o.value("flags").toString().startsWith('K');
        streams[std::size_t(index)].packets.push_back(pkt);
    }
    return streams;
}

const ProbedStream* findStream(const std::vector<ProbedStream>& streams, const QString& codecType)
{
    for (const ProbedStream& s : streams) {
        if (s.codecType == codecType)
            return &s;
    }
    return nullptr;
}

ProbedFile probeFile(const QString& path)
{
    ProbedFile file;
    file.streams = probePackets(path);
    file.video = findStream(file.streams, "video");
    file.audio = findStream(file.streams, "audio");
    return file;
}

bool endTogether(const ProbedStream& audio, const ProbedStream& video, double slackSeconds)
{
    return std::abs(audio.end() - video.end()) <= slackSeconds;
}

QString endsText(const ProbedStream& audio, const ProbedStream& video)
{
    return QString("audio %1..%2 s in %3 packets, video %4..%5 s in %6 packets")
        .arg(audio.start())
        .arg(audio.end())
        .arg(audio.packets.size())
        .arg(video.start())
        .arg(video.end())
        .arg(video.packets.size());
}

QString decodeErrors(const QString& path)
{
    QProcess p;
    p.start(findProgram("ffmpeg"), {"-v", "error", "-nostdin", "-i", path, "-f", "null", "-"});
    if (!p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished();
        return QStringLiteral("ffmpeg did not finish decoding ") + path;
    }
    const QString errors = QString::fromUtf8(p.readAllStandardError()).trimmed();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("ffmpeg exit %1: %2").arg(p.exitCode()).arg(errors);
    return errors;
}

Discovered gstDiscover(const QString& path)
{
    Discovered result;
    QByteArray output;
    const QString program = findProgram("gst-discoverer-1.0");
    if (program.isEmpty()) {
        result.report = "gst-discoverer-1.0 is missing (Debian package gstreamer1.0-plugins-base-apps)";
        return result;
    }
    runProgram(program, {QFileInfo(path).absoluteFilePath()}, &output, 60000);
    result.report = QString::fromUtf8(output);
    const QRegularExpression duration("Duration: (\\d+):(\\d+):(\\d+(?:\\.\\d+)?)");
    const QRegularExpressionMatch m = duration.match(result.report);
    if (m.hasMatch()) {
        result.ok = true;
        result.duration = m.captured(1).toDouble() * 3600 + m.captured(2).toDouble() * 60 + m.captured(3).toDouble();
    }
    result.seekable = result.report.contains("Seekable: yes");
    return result;
}

double probedDuration(const QString& path)
{
    return ffprobe(path).value("format").toObject().value("duration").toString().toDouble();
}

} // namespace testsupport
