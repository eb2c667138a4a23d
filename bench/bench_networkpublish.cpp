// One 1080p30 encode (veryfast) fanned out to a recording and four loopback
// stream destinations, beside the ffmpeg CLI doing the same work with its
// tee muxer and beside four separate ffmpeg encodes (one per destination),
// all in the same run: CPU seconds per media second and the ratios. Then
// the resident memory, sampled every 5 s, while one destination (a TCP
// receiver that never reads) is stalled.
//
//   bench_networkpublish [seconds] [stall seconds]   (defaults 10 and 60)

#include "bench/benchframes.h"
#include "bench/benchmemory.h"
#include "output/ffmpegencodersink.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace bench;

namespace {

// UDP sockets on 127.0.0.1 whose datagrams a thread reads and drops.
class UdpDrain {
public:
    explicit UdpDrain(int count)
    {
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof addr;
            ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
            m_fds.push_back(fd);
            m_ports.push_back(ntohs(addr.sin_port));
        }
        m_thread = std::thread([this] {
            std::vector<char> buf(65536);
            std::vector<pollfd> pfds;
            for (int fd : m_fds)
                pfds.push_back({fd, POLLIN, 0});
            while (!m_stop.load()) {
                if (::poll(pfds.data(), pfds.size(), 50) <= 0)
                    continue;
                for (const pollfd& p : pfds) {
                    if (p.revents & POLLIN)
                        ::recv(p.fd, buf.data(), buf.size(), MSG_DONTWAIT);
                }
            }
        });
    }
    ~UdpDrain()
    {
        m_stop = true;
        m_thread.join();
        for (int fd : m_fds)
            ::close(fd);
    }
    QString url(int i) const { return QString("udp://127.0.0.1:%1?pkt_size=1316").arg(m_ports[std::size_t(i)]); }

private:
    std::vector<int> m_fds;
    std::vector<int> m_ports;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A TCP receiver that accepts and then never reads: a stalled destination.
class StalledTcp {
public:
    StalledTcp()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), len);
        ::listen(m_fd, 4);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~StalledTcp() { ::close(m_fd); } // accepted connections wait in the backlog, unread
    QString url() const { return QString("tcp://127.0.0.1:%1").arg(m_port); }

private:
    int m_fd = -1;
    int m_port = 0;
};

// The sink as the router drives it, one frame per interval; onSecond is
// called on the encode thread at every whole media second.
double sinkCpuSeconds(const QString& recording, const std::vector<StreamTarget>& targets, int frameCount,
                      const std::vector<FrameTokenPtr>& frames, const std::function<void(int)>& onSecond = {})
{
    FfmpegEncoderSink sink;
    Tone tone;
    sink.configure(recording, targets, kFps);
    sink.setEncodingParams(0, 2, FfmpegEncoderSink::kEncoderSoftwareOnly, 1);
    sink.setSegmentation(SegmentOptions{false, 0, 0});
    sink.setAudioPullCallback([&tone](std::int16_t* dst, int n, std::int64_t) { tone(dst, n); });
    return driveSinkCpuSeconds(sink, frameCount, frames, [&onSecond](int i) {
        if (onSecond && i % kFps == 0)
            onSecond(i / kFps);
    });
}

// The ffmpeg CLI with the sink's settings reading the same raw frames and
// writing `outputs` (everything after the encoder options).
double cliCpuSeconds(const QString& outputs, int frameCount, const std::vector<FrameTokenPtr>& frames)
{
    const long long kbps = FfmpegEncoderSink::automaticBitrateKbps(kFps, kWidth, kHeight);
    const QByteArray command =
        QString("ffmpeg -v error -y -f rawvideo -pix_fmt rgba -s %1x%2 -r %3 -i - "
                "-f lavfi -i sine=frequency=1000:sample_rate=48000 -map 0:v -map 1:a "
                "-sws_flags bilinear -c:v libx264 -preset veryfast -tune zerolatency -pix_fmt yuv420p -bf 0 -g %4 "
                "-b:v %5k -maxrate %5k -bufsize %6k -c:a aac -b:a 160k -ac 2 -ar 48000 -shortest %7")
            .arg(kWidth)
            .arg(kHeight)
            .arg(kFps)
            .arg(2 * kFps)
            .arg(kbps)
            .arg(2 * kbps)
            .arg(outputs)
            .toLocal8Bit();
    return pipeFramesCpuSeconds(command, frameCount, frames);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.info=false");
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int stallSeconds = argc > 2 ? std::max(10, std::atoi(argv[2])) : 60;
    const int frameCount = seconds * kFps;
    QTemporaryDir dir;
    const std::vector<FrameTokenPtr> frames = makeFrames();
    UdpDrain drain(4);

    std::vector<StreamTarget> targets;
    for (int i = 0; i < 4; ++i)
        targets.push_back({drain.url(i), "mpegts", i});
    const double sink = sinkCpuSeconds(dir.filePath("sink.mp4"), targets, frameCount, frames);

    QString tee = QString("-f tee \"[f=mp4:movflags=+frag_keyframe+empty_moov+default_base_moof]%1")
                      .arg(dir.filePath("tee.mp4"));
    for (int i = 0; i < 4; ++i)
        tee += QString("|[f=mpegts]%1").arg(drain.url(i));
    tee += "\"";
    const double cliTee = cliCpuSeconds(tee, frameCount, frames);
    double cliSeparate = 0;
    for (int i = 0; i < 4; ++i)
        cliSeparate += cliCpuSeconds(QString("-f mpegts \"%1\"").arg(drain.url(i)), frameCount, frames);

    std::printf("1080p30 veryfast, recording + 4 UDP destinations, %d media seconds; CPU seconds per media second\n",
                seconds);
    std::printf("%-34s %8.3f\n", "sink, one encode fanned out", sink / seconds);
    std::printf("%-34s %8.3f   sink/tee %.2fx (goal <= 1.1x)\n", "ffmpeg CLI, tee muxer", cliTee / seconds,
                cliTee > 0 ? sink / cliTee : 0.0);
    std::printf("%-34s %8.3f   sink/separate %.2fx (goal <= 0.3x)\n", "ffmpeg CLI, 4 separate encodes",
                cliSeparate / seconds, cliSeparate > 0 ? sink / cliSeparate : 0.0);
    std::fflush(stdout);

    // Memory while one destination is stalled for the whole run, beside the
    // same run with every destination reading (first, so that the stalled
    // run starts from the heap the healthy one left): what grows only in the
    // stalled run is the stall's.
    std::vector<Resident> healthy;
    sinkCpuSeconds(dir.filePath("healthy.mp4"), targets, stallSeconds * kFps, frames, [&healthy](int second) {
        if (second % 5 == 0)
            healthy.push_back(resident());
    });
    StalledTcp stalled;
    std::vector<StreamTarget> withStall(targets.begin(), targets.begin() + 3);
    withStall.push_back({stalled.url(), "mpegts", 3});
    std::vector<Resident> samples;
    std::printf("\nresident memory over %d s (KiB; in brackets the part in huge pages): destination 3 stalled (TCP "
                "receiver that never reads), and before it the same run with all four reading\n",
                stallSeconds);
    sinkCpuSeconds(dir.filePath("stall.mp4"), withStall, stallSeconds * kFps, frames, [&samples](int second) {
        if (second % 5 == 0)
            samples.push_back(resident());
    });
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Resident h = i < healthy.size() ? healthy[i] : Resident{};
        std::printf("t=%3zu s  stalled %7ld (%6ld)   all reading %7ld (%6ld)\n", i * 5, samples[i].total,
                    samples[i].hugePages, h.total, h.hugePages);
    }
    if (samples.size() > 3 && healthy.size() > 3) {
        const Resident& s0 = samples[2];
        const Resident& h0 = healthy[2];
        std::printf("growth from t=10 s to the end (goal: a plateau): stalled %+ld KiB, %+ld KiB without huge pages; "
                    "all reading %+ld KiB, %+ld KiB without huge pages\n",
                    samples.back().total - s0.total, samples.back().withoutHugePages() - s0.withoutHugePages(),
                    healthy.back().total - h0.total, healthy.back().withoutHugePages() - h0.withoutHugePages());
    }
    return 0;
}
