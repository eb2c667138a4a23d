// Video stamps through the sink's write path into real containers: whatever
// the encoder's stamps, the decoding times in each file must increase.

#include "output/ffmpegencodersink.h"
#include "support/encodersinkdriver.h"
#include "support/testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace testsupport;

struct EncoderSinkTestAccess {
    static AVCodecContext* videoCodec(FfmpegEncoderSink& sink) { return sink.videoCodec.get(); }
    static bool openMux(FfmpegEncoderSink& sink, MuxTarget& target, const QString& path)
    {
        return target.open(path.toUtf8(), {}, sink.muxStreams(), {});
    }
    static bool write(FfmpegEncoderSink&, MuxTarget& target, AVPacket* packet, const QueuedPacket& descriptor)
    {
        return target.write(packet, descriptor) >= 0;
    }
    static void finish(FfmpegEncoderSink&, MuxTarget& target) { target.close(true); }
};
using Access = EncoderSinkTestAccess;

namespace {

// One video stamp handed to the write path, in the descriptor's time base;
// a reopen starts a new container on the same target first (a reconnect, a
// new segment).
struct Stamp {
    qint64 pts = 0;
    qint64 dts = 0;
    bool reopen = false;
};
using Stamps = QList<Stamp>;

// Encoded pictures of a small moving test picture, one packet each.
std::vector<av::PacketPtr> encodePictures(AVCodecContext* codec, int count)
{
    std::vector<av::PacketPtr> packets;
    av::FramePtr frame(av_frame_alloc());
    frame->format = codec->pix_fmt;
    frame->width = codec->width;
    frame->height = codec->height;
    if (av_frame_get_buffer(frame.get(), 32) < 0)
        return packets;
    for (int i = 0; i < count + 8 && int(packets.size()) < count; ++i) {
        if (i < count) {
            av_frame_make_writable(frame.get());
            for (int p = 0; p < 3; ++p) {
                const int h = p == 0 ? codec->height : codec->height / 2;
                for (int y = 0; y < h; ++y)
                    std::memset(frame->data[p] + y * frame->linesize[p], (i * 16 + y + p * 64) & 0xff,
                                std::size_t(frame->linesize[p]));
            }
            frame->pts = i;
            frame->pict_type = i == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
            avcodec_send_frame(codec, frame.get());
        } else if (i == count) {
            avcodec_send_frame(codec, nullptr);
        }
        for (;;) {
            av::PacketPtr packet(av_packet_alloc());
            if (avcodec_receive_packet(codec, packet.get()) < 0)
                break;
            packets.push_back(std::move(packet));
        }
    }
    return packets;
}

} // namespace

Q_DECLARE_METATYPE(Stamps)

class TestMuxTimestamps : public QObject {
    Q_OBJECT

private slots:
    void videoDtsIncreasePerTarget_data();
    void videoDtsIncreasePerTarget();
};

void TestMuxTimestamps::videoDtsIncreasePerTarget_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("timeBaseDen");
    QTest::addColumn<Stamps>("stamps");

    // Frames taken in a bunch are stamped one tick apart; in microseconds
    // they collapse onto one millisecond of an FLV file or a Matroska one.
    const Stamps microseconds{{0, 0}, {400, 400}, {700, 700}, {33333, 33333}, {33600, 33600}, {66666, 66666}};
    QTest::newRow("flv, microseconds on one millisecond") << "flv" << 1000000 << microseconds;
    QTest::newRow("mkv, microseconds on one millisecond") << "mkv" << 1000000 << microseconds;
    // Millisecond stamps one apart after a bunch, then the clock again.
    const Stamps bunched{{1, 1}, {34, 34}, {35, 35}, {36, 36}, {37, 37}, {70, 70}, {103, 103}};
    QTest::newRow("flv, bunched frames") << "flv" << 1000 << bunched;
    QTest::newRow("ts, bunched frames") << "ts" << 1000 << bunched;
    // Decoding times below the presentation times at the start (an
    // encoder's delay) are negative; FLV clamps them to 0.
    const Stamps encoderDelay{{0, -66}, {33, -33}, {66, 0}, {100, 33}, {133, 66}};
    QTest::newRow("flv, negative decoding times at the start") << "flv" << 1000 << encoderDelay;
    // A reconnect opens a new container on the same target; stamps continue
    // where the encoder is, bunched as frames waited for the connection.
    const Stamps reconnect{{1000, 1000}, {1033, 1033}, {5000, 5000, true}, {5001, 5001}, {5001, 5001}, {5034, 5034}};
    QTest::newRow("flv, reconnect") << "flv" << 1000 << reconnect;
    QTest::newRow("ts, reconnect") << "ts" << 1000 << reconnect;
}

void TestMuxTimestamps::videoDtsIncreasePerTarget()
{
    QFETCH(QString, suffix);
    QFETCH(int, timeBaseDen);
    QFETCH(Stamps, stamps);

    QTemporaryDir dir;
    const QString first = dir.filePath("first." + suffix);
    FfmpegEncoderSink sink;
    QVERIFY(sink.configure(first, {}, 30.0));
    sink.setEncodingParams(500, 1, FfmpegEncoderSink::kEncoderSoftwareOnly, 0);
    QVERIFY(sink.probeEncoder(64, 64)); // leaves the encoder open, as the router's probe does
    AVCodecContext* codec = Access::videoCodec(sink);
    QVERIFY(codec);
    const std::vector<av::PacketPtr> pictures = encodePictures(codec, int(stamps.size()));
    QCOMPARE(int(pictures.size()), int(stamps.size()));

    const QueuedPacket descriptor{nullptr, true, AVRational{1, timeBaseDen}, AV_CODEC_ID_H264, AVRational{30, 1}, 0, 0, 0};
    MuxTarget target;
    QStringList files{first};
    QVERIFY(Access::openMux(sink, target, first));
    for (int i = 0; i < stamps.size(); ++i) {
        if (stamps[i].reopen) {
            Access::finish(sink, target);
            files << dir.filePath(QString("next%1.%2").arg(i).arg(suffix));
            QVERIFY(Access::openMux(sink, target, files.back()));
        }
        // A new container starts with the key frame and its headers.
        av::PacketPtr packet(av_packet_clone(pictures[stamps[i].reopen ? 0 : std::size_t(i)].get()));
        packet->pts = stamps[i].pts;
        packet->dts = stamps[i].dts;
        packet->duration = 0;
        QVERIFY2(Access::write(sink, target, packet.get(), descriptor), qPrintable(QString("stamp %1 refused").arg(i)));
    }
    Access::finish(sink, target);

    int written = 0;
    for (const QString& file : files) {
        const auto streams = probePackets(file);
        const ProbedStream* video = findStream(streams, "video");
        QVERIFY2(video, qPrintable(file));
        for (std::size_t i = 1; i < video->packets.size(); ++i) {
            QVERIFY2(video->packets[i].dts > video->packets[i - 1].dts,
                     qPrintable(QString("%1: dts %2 after %3").arg(file).arg(video->packets[i].dts)
                                    .arg(video->packets[i - 1].dts)));
            QVERIFY(video->packets[i].pts >= video->packets[i].dts);
        }
        written += int(video->packets.size());
    }
    QCOMPARE(written, int(stamps.size()));
}

QUORB_TEST_MAIN(TestMuxTimestamps)
#include "tst_muxtimestamps.moc"
