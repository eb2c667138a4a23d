#include "support/streamreceivers.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace testsupport {


bool tcpListenSocket(quint16 port)
{
    const QByteArray needle = ":" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile f(table);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QList<QByteArray> cols = line.simplified().split(' ');
            if (cols.size() > 3 && cols[1].endsWith(needle) && cols[3] == "0A")
                return true;
        }
    }
    return false;
}

quint16 freeUdpPortPair()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        QUdpSocket first;
        if (!first.bind(QHostAddress::LocalHost, 0))
            continue;
        const quint16 port = first.localPort() & ~1;
        first.close();
        QUdpSocket a, b;
        if (port > 1024 && a.bind(QHostAddress::LocalHost, port) && b.bind(QHostAddress::LocalHost, port + 1))
            return port;
    }
    return 0;
}

bool startReceiver(PeerProcess& peer, ReceiverKind kind, const QString& outPath, QString* publishUrl,
                   const ReceiverOptions& options, PeerProcess* ristRelay)
{
    // Short probing: the captures are only a few seconds long.
    QStringList args{"-hide_banner", "-nostdin", "-v", "error", "-y", "-probesize", "500000", "-analyzeduration", "1000000"};
    QString url;
    quint16 port = 0;
    bool udp = true;
    switch (kind) {
    case ReceiverKind::Srt: {
        port = freeUdpPort();
        QString listen = QString("srt://127.0.0.1:%1?mode=listener").arg(port);
        url = QString("srt://127.0.0.1:%1?mode=caller").arg(port);
        if (!options.srtPassphrase.isEmpty()) {
            listen += "&passphrase=" + options.srtPassphrase;
            url += "&passphrase=" + options.srtPassphrase;
        }
        if (!options.srtStreamId.isEmpty())
            url += "&streamid=" + options.srtStreamId;
        args << "-i" << listen;
        break;
    }
    case ReceiverKind::Rist: {
        // The sender speaks the main profile, which the ffmpeg CLI does not
        // receive; ristreceiver does and hands the TS on over UDP.
        port = freeUdpPortPair();
        const quint16 relayPort = freeUdpPort();
        if (!ristRelay || port == 0 || relayPort == 0)
            return false;
        if (!ristRelay->start("ristreceiver",
                              {"-p", "1", "-i", QString("rist://@127.0.0.1:%1").arg(port), "-o",
                               QString("udp://127.0.0.1:%1").arg(relayPort), "-v", "2"},
                              port, PeerProcess::Wait::UdpBound))
            return false;
        args << "-i" << QString("udp://127.0.0.1:%1?fifo_size=1000000&overrun_nonfatal=1&timeout=5000000").arg(relayPort);
        url = QString("rist://127.0.0.1:%1").arg(port);
        port = relayPort;
        break;
    }
    case ReceiverKind::Udp:
        port = freeUdpPort();
        args << "-i" << QString("udp://127.0.0.1:%1?fifo_size=1000000&overrun_nonfatal=1&timeout=5000000").arg(port);
        url = QString("udp://127.0.0.1:%1?pkt_size=1316").arg(port);
        break;
    case ReceiverKind::Tcp:
        port = freeTcpPort();
        udp = false;
        args << "-i" << QString("tcp://127.0.0.1:%1?listen=1").arg(port);
        url = QString("tcp://127.0.0.1:%1").arg(port);
        break;
    case ReceiverKind::Http: {
        port = freeTcpPort();
        udp = false;
        args << "-listen" << "1" << "-i" << QString("http://127.0.0.1:%1/feed.ts").arg(port);
        const QString credentials =
            options.httpUser.isEmpty() ? QString() : options.httpUser + ":" + options.httpPassword + "@";
        url = "http://" + credentials + QString("127.0.0.1:%1/feed.ts").arg(port);
        break;
    }
    }
    args << "-c" << "copy" << "-f" << "mpegts" << outPath;
    if (port == 0)
        return false;
    if (!peer.start("ffmpeg", args, 0, PeerProcess::Wait::None))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (!peer.running())
            return false;
        if (udp ? udpBound(port) : tcpListenSocket(port)) {
            if (publishUrl)
                *publishUrl = url;
            return true;
        }
        QThread::msleep(20);
    }
    return false;
}

void finishReceiver(PeerProcess& peer, int graceMs)
{
    if (!peer.waitFinished(graceMs))
        peer.stop();
}

TcpTsCaptures::TcpTsCaptures(const QString& dir, int hangUps, int hangUpAfterMs)
    : m_dir(dir)
    , m_hangUps(hangUps)
    , m_hangUpAfterMs(hangUpAfterMs)
{
}

QStringList TcpTsCaptures::files() const
{
    QStringList out;
    for (int n = 1; n <= m_connections.load(); ++n)
        out << QDir(m_dir).filePath(QString("capture-%1.ts").arg(n));
    return out;
}

void TcpTsCaptures::serve(int client)
{
    const int n = ++m_connections;
    QFile out(QDir(m_dir).filePath(QString("capture-%1.ts").arg(n)));
    if (!out.open(QIODevice::WriteOnly))
        return;
    const bool hangUp = n <= m_hangUps;
    QElapsedTimer timer;
    timer.start();
    std::vector<char> buffer(65536);
    while (!stopFlag().load() && !(hangUp && timer.elapsed() >= m_hangUpAfterMs)) {
        pollfd p{client, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t got = ::recv(client, buffer.data(), buffer.size(), 0);
        if (got <= 0)
            break;
        out.write(buffer.data(), got);
    }
    out.close();
    // Data arriving after both directions are shut down is answered with a
    // reset: the sender's next write fails. The descriptor itself is closed
    // by stop().
    if (hangUp)
        ::shutdown(client, SHUT_RDWR);
}

RtpTsCapture::~RtpTsCapture()
{
    stop();
}

bool RtpTsCapture::start(const QString& outPath)
{
    m_port = freeUdpPortPair();
    m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (m_fd < 0 || m_port == 0)
        return false;
    const int size = 4 << 20;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return false;
    m_thread = std::thread(&RtpTsCapture::run, this, outPath);
    return true;
}

void RtpTsCapture::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void RtpTsCapture::run(QString outPath)
{
    QFile out(outPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    std::vector<unsigned char> buf(65536);
    int lastSequence = 0;
    while (!m_stop.load()) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0)
            continue;
        const ssize_t n = ::recv(m_fd, buf.data(), buf.size(), 0);
        if (n < 12)
            continue;
        const int version = buf[0] >> 6;
        const int payloadType = buf[1] & 0x7f;
        const int csrcCount = buf[0] & 0x0f;
        const std::size_t header = 12 + 4 * std::size_t(csrcCount);
        if (version != 2 || payloadType != 33 || std::size_t(n) <= header) {
            ++m_foreign;
            continue;
        }
        const int sequence = (buf[2] << 8) | buf[3];
        if (m_rtp.load() > 0 && sequence != ((lastSequence + 1) & 0xffff))
            ++m_gaps;
        lastSequence = sequence;
        ++m_rtp;
        out.write(reinterpret_cast<const char*>(buf.data() + header), qint64(n) - qint64(header));
    }
}

QList<qint64> childPids(qint64 pid)
{
    QList<qint64> children;
    QFile f(QString("/proc/%1/task/%1/children").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return children;
    for (const QByteArray& word : f.readAll().simplified().split(' ')) {
        bool ok = false;
        const qint64 child = word.toLongLong(&ok);
        if (ok)
            children << child;
    }
    return children;
}

void signalTree(qint64 pid, int sig)
{
    for (qint64 child : childPids(pid))
        ::kill(pid_t(child), sig);
    ::kill(pid_t(pid), sig);
}

bool PublishingSink::configure(const QString& recording, const std::vector<StreamTarget>& targets, int bitrateKbps)
{
    if (!sink.configure(recording, targets, 30.0))
        return false;
    sink.setSegmentation(SegmentOptions{false, 0, 0});
    sink.setEncodingParams(bitrateKbps, 1, FfmpegEncoderSink::kEncoderSoftwareOnly, 0);
    sink.setAudioPullCallback([this](std::int16_t* dst, int frames, std::int64_t) { tone(dst, frames); });
    sink.setStatusCallback([this](int row, const QString& word) { statuses.record(row, word); });
    return true;
}

qint64 residentKiB()
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

QString checkCapture(const QString& path, int width, int height, double fps, int minFrames, bool lastFrameMayBeCut)
{
    const std::vector<ProbedStream> streams = probePackets(path);
    const ProbedStream* video = findStream(streams, "video");
    if (!video)
        return path + ": no video stream";
    if (video->codecName != "h264" || video->width != width || video->height != height)
        return QString("%1: video %2 %3x%4").arg(path, video->codecName).arg(video->width).arg(video->height);
    if (int(video->packets.size()) < std::max(minFrames, 2))
        return QString("%1: %2 video packets, expected at least %3").arg(path).arg(video->packets.size()).arg(minFrames);
    // The rate the timestamps show: live streams are stamped from the clock,
    // so a guessed nominal rate (r_frame_rate) jitters with the load.
    const double span = video->packets.back().dts - video->packets.front().dts;
    const double measured = span > 0 ? double(video->packets.size() - 1) / span : 0;
    if (fps > 0 && std::abs(measured - fps) > fps * 0.03)
        return QString("%1: %2 frames per second (nominal %3)").arg(path).arg(measured).arg(video->frameRate);
    if (!video->packets.front().key)
        return path + ": does not start on a key frame";
    // Every frame as it is stamped: a rate conversion would report its own
    // timestamp troubles as errors.
    QString decoded = path;
    if (lastFrameMayBeCut) {
        decoded = path + ".whole.ts";
        if (runProgram("ffmpeg", {"-v", "error", "-nostdin", "-y", "-i", path, "-map", "0", "-c", "copy", "-frames:v",
                                  QString::number(video->packets.size() - 1), decoded})
            != 0)
            return path + ": could not cut the last frame";
    }
    QStringList args{"-v", "error", "-nostdin", "-i", decoded, "-vsync", "passthrough", "-enc_time_base", "-1"};
    QByteArray errors;
    const int rc = runProgram("ffmpeg", args << "-f" << "null" << "-", &errors, 120000);
    if (rc != 0 || !errors.trimmed().isEmpty())
        return QString("%1: decode exit %2: %3").arg(path).arg(rc).arg(QString::fromUtf8(errors.left(400)));
    return {};
}

void StatusRecorder::record(int row, const QString& word)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back({row, word, m_clock.elapsed()});
}

std::vector<StatusRecorder::Entry> StatusRecorder::entries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
}

QStringList StatusRecorder::words(int row) const
{
    QStringList out;
    for (const Entry& e : entries()) {
        if (e.row == row)
            out << e.word;
    }
    return out;
}

int StatusRecorder::waitFor(int row, const QString& word, int timeoutMs, int after) const
{
    QElapsedTimer timer;
    timer.start();
    do {
        const QStringList w = words(row);
        for (int i = after + 1; i < w.size(); ++i) {
            if (w[i] == word)
                return i;
        }
        QTest::qWait(20);
    } while (timer.elapsed() < timeoutMs);
    return -1;
}

} // namespace testsupport
