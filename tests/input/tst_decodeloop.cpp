#include "decodertestkit.h"
#include "avglue/avptr.h"
#include "input/filepacer.h"
#include "platform/capturedevices.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <climits>
#include <cstring>
#include <sys/socket.h>

extern "C" {
#include <libavutil/display.h>
}

namespace {

constexpr int kPoolCapacity = 8;
constexpr int kTimeoutMs = 20000;

// The quadrant pattern: red top-left, green top-right, blue bottom-left,
// white bottom-right.
QString quadrantGraph(int w, int h)
{
    return QString("color=c=red:s=%1x%2:r=30:d=1,"
                   "drawbox=x=%3:y=0:w=%3:h=%4:c=lime:t=fill,"
                   "drawbox=x=0:y=%4:w=%3:h=%4:c=blue:t=fill,"
                   "drawbox=x=%3:y=%4:w=%3:h=%4:c=white:t=fill")
        .arg(w)
        .arg(h)
        .arg(w / 2)
        .arg(h / 2);
}

// Copies an MP4 and gives its video stream a display matrix rotating the
// picture by ccwDegrees counter-clockwise, which the 5.1 CLI cannot write.
// With legacyTag, writes a Matroska file whose stream carries the older
// "rotate" tag (a clockwise angle) instead.
bool writeRotatedCopy(const QString& from, const QString& to, double ccwDegrees, bool legacyTag = false)
{
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, from.toUtf8().constData(), nullptr, nullptr) < 0)
        return false;
    av::InputPtr input(in);
    if (avformat_find_stream_info(in, nullptr) < 0)
        return false;
    AVFormatContext* out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, legacyTag ? "matroska" : "mp4", to.toUtf8().constData()) < 0)
        return false;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> output(out, [](AVFormatContext* c) {
        if (c->pb)
            avio_closep(&c->pb);
        avformat_free_context(c);
    });
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* s = avformat_new_stream(out, nullptr);
        if (!s || avcodec_parameters_copy(s->codecpar, in->streams[i]->codecpar) < 0)
            return false;
        s->codecpar->codec_tag = 0;
        s->time_base = in->streams[i]->time_base;
        if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && legacyTag) {
            av_dict_set(&s->metadata, "rotate", QByteArray::number(-ccwDegrees).constData(), 0);
        } else if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            auto* matrix = reinterpret_cast<int32_t*>(
                av_stream_new_side_data(s, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9));
            if (!matrix)
                return false;
            av_display_rotation_set(matrix, -ccwDegrees); // takes a clockwise angle
        }
    }
    if (avio_open(&out->pb, to.toUtf8().constData(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(out, nullptr) < 0)
        return false;
    av::PacketPtr packet(av_packet_alloc());
    while (av_read_frame(in, packet.get()) >= 0) {
        av_packet_rescale_ts(packet.get(), in->streams[packet->stream_index]->time_base,
                             out->streams[packet->stream_index]->time_base);
        if (av_interleaved_write_frame(out, packet.get()) < 0)
            return false;
    }
    return av_write_trailer(out) >= 0;
}

// The RGBA pixel at (x, y) of a token.
QColor pixelAt(const FrameTokenPtr& t, int x, int y)
{
    const auto* p = reinterpret_cast<const uchar*>(t->data.constData()) + y * t->bytesPerLine + x * 4;
    return QColor(p[0], p[1], p[2], p[3]);
}

bool near(const QColor& a, const QColor& b)
{
    return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40
        && std::abs(a.blue() - b.blue()) < 40 && a.alpha() == 255;
}

QString describe(const QColor& c) { return QString("rgba(%1,%2,%3,%4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha()); }

} // namespace

class TestDecodeLoop : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void pacing_data();
    void pacing();
    void warmUpStartsTheTimelineFromALatePicture();
    void slowStartSkipsNoPicture();
    void loopSeamKeepsTheTimeline_data();
    void loopSeamKeepsTheTimeline();
    void slowLoopSeamIsCaughtUp();
    void playsInRealTime();
    void latePicturesAreSkipped();
    void pauseSeekAndLoop();
    void endOfFileDeliversEveryPictureAndReportsOnce();
    void orientationAndAspect_data();
    void orientationAndAspect();
    void liveDropRules_data();
    void liveDropRules();
    void readerQueueBounds();
    void microphoneFailureKeepsThePicture();
    void readErrorIsReported();
    void hostileAspectRatioIsClamped();
    void corruptInputNeverCrashes_data();
    void corruptInputNeverCrashes();
};

void TestDecodeLoop::initTestCase() { registerFrameTokenMetaType(); }

void TestDecodeLoop::pacing_data()
{
    QTest::addColumn<qint64>("anchorMediaUs");
    QTest::addColumn<qint64>("mediaUs");      // the picture's time
    QTest::addColumn<qint64>("elapsedWallUs"); // wall time since the anchor
    QTest::addColumn<qint64>("waitUs");
    QTest::addColumn<bool>("skipped");
    QTest::newRow("on time") << qint64(0) << qint64(33333) << qint64(0) << qint64(33333) << false;
    QTest::newRow("100 ms late is shown") << qint64(0) << qint64(33333) << qint64(133333) << qint64(0) << false;
    QTest::newRow("150 ms late is shown") << qint64(0) << qint64(0) << qint64(150000) << qint64(0) << false;
    QTest::newRow("200 ms late is skipped") << qint64(0) << qint64(33333) << qint64(233333) << qint64(0) << true;
    QTest::newRow("a 5 s gap waits 2 s, then shows") << qint64(0) << qint64(5000000) << qint64(0) << qint64(2000000)
                                                     << false;
    QTest::newRow("anchor after a seek") << qint64(3000000) << qint64(3100000) << qint64(50000) << qint64(50000)
                                         << false;
}

void TestDecodeLoop::pacing()
{
    QFETCH(qint64, anchorMediaUs);
    QFETCH(qint64, mediaUs);
    QFETCH(qint64, elapsedWallUs);
    QFETCH(qint64, waitUs);
    QFETCH(bool, skipped);
    const std::int64_t wallStart = 987654321;
    FilePacer pacer;
    // The first picture after a reset is due at once and anchors; the
    // timeline here was anchored one warm-up earlier, so the rules after the
    // warm-up hold from wallStart on.
    QCOMPARE(pacer.delayUs(anchorMediaUs - FilePacer::kWarmUpUs, wallStart - FilePacer::kWarmUpUs), std::int64_t(0));
    const std::int64_t delay = pacer.delayUs(mediaUs, wallStart + elapsedWallUs);
    QCOMPARE(FilePacer::waitUs(delay), waitUs);
    QCOMPARE(FilePacer::tooLate(delay), skipped);
    pacer.reset();
    QCOMPARE(pacer.delayUs(mediaUs, wallStart + elapsedWallUs), std::int64_t(0));
}

// While the decoder starts, a picture late enough to be skipped is shown at
// once and the timeline starts again from it; one less late is just late (it
// is shown, and the next ones catch up); after the warm-up the too late one
// is skipped.
void TestDecodeLoop::warmUpStartsTheTimelineFromALatePicture()
{
    constexpr std::int64_t kFrameUs = 33333;
    const std::int64_t wallStart = 987654321;
    FilePacer pacer;
    QCOMPARE(pacer.delayUs(0, wallStart), std::int64_t(0));
    QVERIFY(pacer.justAnchored());
    QCOMPARE(pacer.delayUs(kFrameUs, wallStart), kFrameUs);
    QVERIFY(!pacer.justAnchored());

    // 100 ms late keeps the timeline.
    QCOMPARE(pacer.delayUs(kFrameUs, wallStart + kFrameUs + 100000), std::int64_t(-100000));
    QVERIFY(!pacer.justAnchored());

    // 300 ms late in the decoder's first second: due now, and anchoring.
    const std::int64_t lateWall = wallStart + kFrameUs + 300000;
    QCOMPARE(pacer.delayUs(kFrameUs, lateWall), std::int64_t(0));
    QVERIFY(pacer.justAnchored());
    QCOMPARE(pacer.delayUs(2 * kFrameUs, lateWall), kFrameUs);
    QCOMPARE(pacer.mediaAtUs(lateWall), kFrameUs);

    // Past the warm-up the pictures keep their times, late or not.
    const std::int64_t warmedWall = wallStart + FilePacer::kWarmUpUs + 1;
    const std::int64_t mediaThen = kFrameUs + (warmedWall - lateWall);
    const std::int64_t delay = pacer.delayUs(mediaThen, warmedWall + 200000);
    QVERIFY(!pacer.justAnchored());
    QCOMPARE(delay, std::int64_t(-200000));
    QVERIFY(FilePacer::tooLate(delay));

    // A reset (a seek) warms up again.
    pacer.reset();
    QCOMPARE(pacer.delayUs(0, warmedWall), std::int64_t(0));
    QCOMPARE(pacer.delayUs(kFrameUs, warmedWall + 400000), std::int64_t(0));
    QVERIFY(pacer.justAnchored());
}

// The decode thread held up right after the first picture (a decoder still
// starting its threads): no picture of the clip is skipped, and the ones
// after the hold come a frame apart again.
void TestDecodeLoop::slowStartSkipsNoPicture()
{
    constexpr int kStallMs = 400;
    const QString clip = testsupport::clipVideoOnly(2, 320, 180, 30);
    DecoderRig rig;
    rig.pictures.holdNext();
    rig.open(clip);
    QVERIFY(rig.pictures.waitHeld(kTimeoutMs));
    QTest::qWait(kStallMs);
    rig.pictures.release();
    QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.ended, 1, kTimeoutMs);

    const auto all = rig.pictures.pictures();
    QVERIFY(all.size() >= 60);
    for (std::size_t i = 1; i < 60; ++i)
        QVERIFY2(all[i].ptsUs > all[i - 1].ptsUs && all[i].ptsUs - all[i - 1].ptsUs < 40000,
                 qPrintable(QString("picture %1 at %2 ms after %3 ms")
                                .arg(i)
                                .arg(all[i].ptsUs / 1000)
                                .arg(all[i - 1].ptsUs / 1000)));
}

// A loop's seam: the next pass's first picture is due one interval after the
// last picture of the pass that ended, however long the decoder took to start
// over, unless it comes too late to be shown (then it starts the timeline
// again, as a start does).
void TestDecodeLoop::loopSeamKeepsTheTimeline_data()
{
    QTest::addColumn<qint64>("seamTakesUs"); // from the last picture's due time to the next pass's first
    QTest::addColumn<qint64>("delayUs");     // of that first picture
    QTest::addColumn<qint64>("anchorWallUs"); // where its media time is due, from the last picture's due time
    constexpr qint64 kFrameUs = 33333;
    QTest::newRow("quicker than a picture waits for its turn") << qint64(10000) << kFrameUs - 10000 << kFrameUs;
    QTest::newRow("a slow seam is caught up") << qint64(90000) << kFrameUs - 90000 << kFrameUs;
    QTest::newRow("too late starts the timeline again") << qint64(300000) << qint64(0) << qint64(300000);
}

void TestDecodeLoop::loopSeamKeepsTheTimeline()
{
    QFETCH(qint64, seamTakesUs);
    QFETCH(qint64, delayUs);
    QFETCH(qint64, anchorWallUs);
    constexpr std::int64_t kFrameUs = 33333;
    constexpr std::int64_t kPassUs = 90 * kFrameUs;
    const std::int64_t wallStart = 987654321;
    FilePacer pacer;
    // A pass of 90 pictures from media time 0, the last one paced at its time.
    for (std::int64_t i = 0; i < 90; ++i)
        pacer.delayUs(i * kFrameUs, wallStart + i * kFrameUs);
    const std::int64_t lastDueWall = wallStart + 89 * kFrameUs;
    pacer.continueAfterSeam();
    QVERIFY(!pacer.anchored());

    QCOMPARE(pacer.delayUs(0, lastDueWall + seamTakesUs), std::int64_t(delayUs));
    QVERIFY(pacer.justAnchored()); // the sound takes the pass's clock from here
    QCOMPARE(pacer.mediaAtUs(lastDueWall + anchorWallUs), std::int64_t(0));
    // The next pass keeps its pace, and the one after it the whole timeline.
    QCOMPARE(pacer.delayUs(kFrameUs, lastDueWall + anchorWallUs), kFrameUs);
    for (std::int64_t i = 2; i < 90; ++i)
        pacer.delayUs(i * kFrameUs, lastDueWall + anchorWallUs + i * kFrameUs);
    pacer.continueAfterSeam();
    QCOMPARE(pacer.delayUs(0, lastDueWall + anchorWallUs + kPassUs - kFrameUs), kFrameUs);

    // Nothing paced yet: the seam anchors at once, as a start does.
    FilePacer fresh;
    fresh.continueAfterSeam();
    QCOMPARE(fresh.delayUs(0, wallStart), std::int64_t(0));
    QVERIFY(fresh.justAnchored());
}

// The decode thread held up on the last picture of a looping clip: the
// next pass starts late, and its pictures catch up with the timeline instead
// of every later picture coming that much later.
void TestDecodeLoop::slowLoopSeamIsCaughtUp()
{
    constexpr std::int64_t kFrameUs = 33333;
    constexpr std::int64_t kStallUs = 100000;
    constexpr std::int64_t kToleranceUs = 40000;
    const QString clip = testsupport::clipVideoOnly(1, 320, 180, 30);
    DecoderRig rig;
    const std::int64_t lastPts = std::llround(29 * 1000000.0 / 30);
    rig.pictures.stallOn(lastPts, kStallUs);
    rig.decoder.setLooping(true);
    rig.open(clip);
    QVERIFY(QTest::qWaitFor([&] { return rig.pictures.count() >= 75; }, kTimeoutMs));

    // Wall time against the timeline, from the first picture on; the second
    // pass starts after the stall.
    const auto all = rig.pictures.pictures();
    std::size_t second = 1;
    while (second < all.size() && all[second].ptsUs >= all[second - 1].ptsUs)
        ++second;
    QVERIFY(second == 30 && all[second].ptsUs == 0);
    for (std::size_t i = second + 10; i < second + 30 && i < all.size(); ++i) {
        const std::int64_t dueUs = all[0].arrivalUs + std::int64_t(i) * kFrameUs;
        const std::int64_t offUs = all[i].arrivalUs - dueUs;
        QVERIFY2(std::abs(offUs) < kToleranceUs,
                 qPrintable(QString("picture %1 of the second pass came %2 ms off the timeline")
                                .arg(i - second)
                                .arg(offUs / 1000)));
    }
}

void TestDecodeLoop::playsInRealTime()
{
    const QString clip = testsupport::clipWithAudio(10, 320, 180, 30);
    DecoderRig rig;
    rig.open(clip);
    QVERIFY(QTest::qWaitFor([&] { return rig.pictures.count() > 0; }, kTimeoutMs));
    QTest::qWait(2000);
    const int shown = rig.pictures.count();
    QVERIFY2(shown >= 54 && shown <= 66, qPrintable(QString("%1 pictures in 2 s").arg(shown)));
}

// A picture sink that stalls the decode thread for well over the skip limit:
// the pictures due more than 150 ms ago by then are skipped, and playback
// goes on from there instead of running late.
void TestDecodeLoop::latePicturesAreSkipped()
{
    constexpr int kStallMs = 500;
    constexpr std::int64_t kFrameUs = 33333;
    constexpr int kClipSeconds = 4;
    const QString clip = testsupport::clipVideoOnly(kClipSeconds, 320, 180, 30);
    DecoderRig rig;
    rig.open(clip);
    // Past the decoder's warm-up, in which a late picture starts the timeline
    // again instead of being skipped.
    const int warmedUp = 10 + int(FilePacer::kWarmUpUs / kFrameUs);
    QVERIFY(QTest::qWaitFor([&] { return rig.pictures.count() >= warmedUp; }, kTimeoutMs));
    rig.pictures.holdNext();
    QVERIFY(rig.pictures.waitHeld(kTimeoutMs));
    const std::size_t held = std::size_t(rig.pictures.count()) - 1;
    QTest::qWait(kStallMs);
    rig.pictures.release();
    QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.ended, 1, kTimeoutMs);

    const auto all = rig.pictures.pictures();
    QVERIFY(all.size() > held + 1);
    const std::int64_t gapUs = all[held + 1].ptsUs - all[held].ptsUs;
    QVERIFY2(gapUs >= (kStallMs - FilePacer::kLateSkipUs / 1000 - 2 * kFrameUs / 1000) * 1000,
             qPrintable(QString("after a %1 ms stall the next picture is %2 ms on").arg(kStallMs).arg(gapUs / 1000)));
    // Up to the end of the clip (the paused decoder then shows the start once
    // more) the pictures after the gap play on.
    std::size_t after = held + 1;
    while (after + 1 < all.size() && all[after + 1].ptsUs > all[after].ptsUs)
        ++after;
    QVERIFY2(all[after].ptsUs >= kClipSeconds * 1000000 - 2 * kFrameUs && after - held >= 45,
             qPrintable(QString("%1 pictures after the gap, the last at %2 ms")
                            .arg(after - held)
                            .arg(all[after].ptsUs / 1000)));
}

void TestDecodeLoop::pauseSeekAndLoop()
{
    const QString clip = testsupport::clipVideoOnly(3, 320, 180, 30);
    DecoderRig rig;
    rig.open(clip);
    QVERIFY(QTest::qWaitFor([&] { return rig.pictures.count() >= 10; }, kTimeoutMs));

    // Pause: the rig.pictures stop (one scrub picture of the paused position at most).
    rig.decoder.setPlayback(500, false);
    QTest::qWait(300);
    const int paused = rig.pictures.count();
    QTest::qWait(500);
    QVERIFY(rig.pictures.count() <= paused + 1);

    // A seek while paused shows the picture at the new position.
    rig.decoder.setPlayback(2000, false);
    QVERIFY(QTest::qWaitFor([&] { return rig.pictures.last() && rig.pictures.last()->ptsUs >= 1900000; }, 5000));
    QVERIFY(rig.pictures.last()->ptsUs <= 2000000);

    // Looping from near the end: the rig.pictures start again at 0, no end report.
    rig.decoder.setLooping(true);
    rig.pictures.clear();
    rig.decoder.setPlayback(2500, true);
    QVERIFY(QTest::qWaitFor([&] { return rig.pictures.count() > 30; }, 5000));
    const auto all = rig.pictures.pictures();
    QVERIFY(all.front().ptsUs >= 2000000);
    bool wrapped = false;
    for (std::size_t i = 1; i < all.size(); ++i)
        wrapped = wrapped || (all[i].ptsUs < all[i - 1].ptsUs && all[i].ptsUs == 0);
    QVERIFY2(wrapped, "the loop did not restart at 0");
    QCOMPARE(rig.recorder.ended, 0);
}

void TestDecodeLoop::endOfFileDeliversEveryPictureAndReportsOnce()
{
    // B-frames keep rig.pictures inside the rig.decoder until it is drained.
    const QString clip = testsupport::ensureFixture(
        "clip_bframes_2s_320x180.mp4", {"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=30:duration=2", "-c:v",
                                        "libx264", "-preset", "medium", "-bf", "3", "-g", "30", "-pix_fmt", "yuv420p"});
    DecoderRig rig;
    rig.open(clip);
    QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.ended, 1, kTimeoutMs);
    QTest::qWait(500);
    QCOMPARE(rig.recorder.ended, 1);
    QVERIFY(!rig.decoder.isPlaying());
    // 60 rig.pictures while playing; the paused rig.decoder then shows the position
    // of the last request (0) once more.
    const auto all = rig.pictures.pictures();
    QVERIFY2(all.size() >= 60, qPrintable(QString("%1 pictures").arg(all.size())));
    std::vector<std::int64_t> played;
    for (std::size_t i = 0; i < 60; ++i)
        played.push_back(all[i].ptsUs);
    for (int i = 0; i < 60; ++i)
        QCOMPARE(played[std::size_t(i)], std::int64_t(std::llround(i * 1000000.0 / 30)));

    // Playing again more than 80 ms before the end plays from there.
    rig.pictures.clear();
    rig.decoder.setPlayback(1500, true);
    QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.ended, 2, kTimeoutMs);
    QVERIFY(rig.pictures.pictures().front().ptsUs >= 1000000);
}

void TestDecodeLoop::orientationAndAspect_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QSize>("coded");
    QTest::addColumn<QSize>("display");
    QTest::addColumn<QRect>("picture"); // where the picture lands in the 640x360 token
    // Colours at the centres of the picture's top-left, top-right,
    // bottom-left and bottom-right quadrants.
    QTest::addColumn<QList<QColor>>("quadrants");

    const QString plain = testsupport::ensureFixture(
        "quadrants_320x180.mp4", {"-f", "lavfi", "-i", quadrantGraph(320, 180), "-c:v", "libx264", "-preset",
                                  "ultrafast", "-pix_fmt", "yuv420p"});
    const QColor red(255, 0, 0), green(0, 255, 0), blue(0, 0, 255), white(255, 255, 255);
    const QString cw = testsupport::fixtureDir() + "/quadrants_rotated_cw.mp4";
    const QString ccw = testsupport::fixtureDir() + "/quadrants_rotated_ccw.mp4";
    const QString half = testsupport::fixtureDir() + "/quadrants_rotated_half.mp4";
    QVERIFY(writeRotatedCopy(plain, cw, -90));
    QVERIFY(writeRotatedCopy(plain, ccw, 90));
    QVERIFY(writeRotatedCopy(plain, half, 180));
    const QString tagged = testsupport::fixtureDir() + "/quadrants_rotate_tag_cw.mkv";
    QVERIFY(writeRotatedCopy(plain, tagged, -90, true));
    const QString anamorphic = testsupport::ensureFixture(
        "quadrants_720x576_sar16_11.mp4", {"-f", "lavfi", "-i", quadrantGraph(720, 576), "-vf", "setsar=16/11", "-c:v",
                                           "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"});

    QTest::newRow("upright") << plain << QSize(320, 180) << QSize(320, 180) << QRect(0, 0, 640, 360)
                             << QList<QColor>{red, green, blue, white};
    // A portrait picture turned a quarter clockwise, pillarboxed.
    QTest::newRow("quarter turn clockwise") << cw << QSize(320, 180) << QSize(180, 320) << QRect(219, 0, 202, 360)
                                            << QList<QColor>{blue, red, white, green};
    QTest::newRow("quarter turn counter-clockwise") << ccw << QSize(320, 180) << QSize(180, 320)
                                                    << QRect(219, 0, 202, 360) << QList<QColor>{green, white, red, blue};
    QTest::newRow("legacy rotate tag, quarter turn clockwise")
        << tagged << QSize(320, 180) << QSize(180, 320) << QRect(219, 0, 202, 360)
        << QList<QColor>{blue, red, white, green};
    QTest::newRow("half turn") << half << QSize(320, 180) << QSize(320, 180) << QRect(0, 0, 640, 360)
                               << QList<QColor>{white, blue, green, red};
    // What phones record: 4K HEVC Main10 standing on its side, turned upright
    // by a quarter-turn display matrix.
    const QString phone = testsupport::ensureFixture(
        "quadrants_3840x2160_hevc10.mp4",
        {"-f", "lavfi", "-i", quadrantGraph(3840, 2160), "-frames:v", "10", "-c:v", "libx265", "-preset", "ultrafast",
         "-x265-params", "log-level=error", "-pix_fmt", "yuv420p10le", "-tag:v", "hvc1"});
    const QString phoneRotated = testsupport::fixtureDir() + "/quadrants_3840x2160_hevc10_rotated_cw.mp4";
    QVERIFY(writeRotatedCopy(phone, phoneRotated, -90));
    QTest::newRow("4K HEVC Main10, quarter turn clockwise")
        << phoneRotated << QSize(3840, 2160) << QSize(2160, 3840) << QRect(219, 0, 202, 360)
        << QList<QColor>{blue, red, white, green};
    // 720 x 16 / 11 = 1047.27: display width 1047, letterboxed 640x352.
    QTest::newRow("anamorphic 16:11") << anamorphic << QSize(720, 576) << QSize(1047, 576) << QRect(0, 4, 640, 352)
                                      << QList<QColor>{red, green, blue, white};
}

void TestDecodeLoop::orientationAndAspect()
{
    QFETCH(QString, source);
    QFETCH(QSize, coded);
    QFETCH(QSize, display);
    QFETCH(QRect, picture);
    QFETCH(QList<QColor>, quadrants);

    DecoderRig rig;
    rig.open(source, false);
    QVERIFY(QTest::qWaitFor([&] { return rig.pictures.count() > 0 && !rig.recorder.infos.empty(); }, kTimeoutMs));
    const auto info = rig.recorder.infos.front();
    QCOMPARE(QSize(info.codedW, info.codedH), coded);
    QCOMPARE(QSize(info.displayW, info.displayH), display);
    QCOMPARE(rig.decoder.displaySourceSize(), display);

    const FrameTokenPtr t = rig.pictures.last();
    QVERIFY(isValidFrameToken(t));
    QCOMPARE(QSize(t->width, t->height), QSize(640, 360));
    const QColor black(0, 0, 0, 255);
    if (picture.left() > 0) {
        QCOMPARE(pixelAt(t, picture.left() / 2, 180), black);
        QCOMPARE(pixelAt(t, 639 - picture.left() / 2, 180), black);
    }
    if (picture.top() > 0) {
        QCOMPARE(pixelAt(t, 320, 0), black);
        QCOMPARE(pixelAt(t, 320, 359), black);
    }
    const int qx[2] = {picture.left() + picture.width() / 4, picture.left() + picture.width() * 3 / 4};
    const int qy[2] = {picture.top() + picture.height() / 4, picture.top() + picture.height() * 3 / 4};
    for (int i = 0; i < 4; ++i) {
        const QColor c = pixelAt(t, qx[i % 2], qy[i / 2]);
        QVERIFY2(near(c, quadrants[i]), qPrintable(QString("quadrant %1 is %2, expected %3")
                                                       .arg(i)
                                                       .arg(describe(c), describe(quadrants[i]))));
    }
}

void TestDecodeLoop::liveDropRules_data()
{
    QTest::addColumn<bool>("deviceAudioMaster");
    QTest::addColumn<qint64>("newestAudioUs");
    QTest::addColumn<bool>("separateAudio");
    QTest::addColumn<bool>("withClock");
    QTest::addColumn<qint64>("clockFramesAtSecond"); // clock reading for the second picture
    QTest::addColumn<qint64>("secondPictureUs");      // the first picture is at 1 s, clock at 48000
    QTest::addColumn<bool>("dropped");
    const qint64 none = FFmpegVideoDecoder::kNoPts;
    QTest::newRow("device audio not yet decoded keeps") << true << none << false << false << qint64(0) << qint64(1000000)
                                                        << false;
    QTest::newRow("audio ahead by 5 ms keeps") << true << qint64(1005000) << false << false << qint64(0)
                                               << qint64(1000000) << false;
    QTest::newRow("video 10 ms ahead keeps") << true << qint64(990000) << false << false << qint64(0)
                                             << qint64(1000000) << false;
    QTest::newRow("video 15 ms ahead drops") << true << qint64(985000) << false << false << qint64(0)
                                             << qint64(1000000) << true;
    QTest::newRow("microphone without clock keeps") << false << none << true << false << qint64(96000)
                                                    << qint64(1000000) << false;
    QTest::newRow("32 ms behind the microphone keeps") << false << none << true << true << qint64(48000 + 4800 + 1536)
                                                       << qint64(1100000) << false;
    QTest::newRow("33 ms behind the microphone drops") << false << none << true << true
                                                       << qint64(48000 + 4800 + 1584) << qint64(1100000) << true;
    QTest::newRow("ahead of the microphone keeps") << false << none << true << true << qint64(48000)
                                                   << qint64(1500000) << false;
    QTest::newRow("no audio at all keeps") << false << none << false << true << qint64(960000) << qint64(1000000)
                                           << false;
}

void TestDecodeLoop::liveDropRules()
{
    QFETCH(bool, deviceAudioMaster);
    QFETCH(qint64, newestAudioUs);
    QFETCH(bool, separateAudio);
    QFETCH(bool, withClock);
    QFETCH(qint64, clockFramesAtSecond);
    QFETCH(qint64, secondPictureUs);
    QFETCH(bool, dropped);
    FramePool pool(kPoolCapacity, 640, 360);
    FFmpegVideoDecoder decoder(&pool);
    std::atomic<long long> clockFrames{48000};
    auto clock = std::make_shared<std::function<long long()>>([&] { return clockFrames.load(); });
    FFmpegVideoDecoderProbe::setDropState(decoder, {deviceAudioMaster, newestAudioUs, separateAudio, withClock}, clock);
    if (!deviceAudioMaster) // the first picture sets the origins and is kept
        QVERIFY(!FFmpegVideoDecoderProbe::shouldDropFrame(decoder, 1000000));
    clockFrames = clockFramesAtSecond;
    QCOMPARE(FFmpegVideoDecoderProbe::shouldDropFrame(decoder, secondPictureUs), dropped);
}

void TestDecodeLoop::readerQueueBounds()
{
    std::deque<av::PacketPtr> queue;
    std::uint64_t bytes = 0;
    auto packetOf = [](int size, int tag) {
        AVPacket* p = av_packet_alloc();
        av_new_packet(p, size);
        p->pts = tag;
        return p;
    };
    for (int i = 0; i < 301; ++i)
        FFmpegVideoDecoderProbe::appendBounded(queue, bytes, packetOf(100, i));
    QCOMPARE(queue.size(), FFmpegVideoDecoder::kReaderQueueMaxPackets);
    QCOMPARE(queue.front()->pts, 1); // the oldest went first
    QCOMPARE(bytes, std::uint64_t(300 * 100));

    const int big = 4 * 1024 * 1024;
    for (int i = 0; i < 4; ++i)
        FFmpegVideoDecoderProbe::appendBounded(queue, bytes, packetOf(big, 1000 + i));
    QVERIFY(bytes <= FFmpegVideoDecoder::kReaderQueueMaxBytes);
    QCOMPARE(queue.back()->pts, 1003);
    QCOMPARE(queue.front()->pts, 1001);

    // A single packet above the byte bound is still queued, alone.
    FFmpegVideoDecoderProbe::appendBounded(queue, bytes, packetOf(int(FFmpegVideoDecoder::kReaderQueueMaxBytes) + 1, 2000));
    QCOMPARE(queue.size(), std::size_t(1));
    QCOMPARE(bytes, FFmpegVideoDecoder::kReaderQueueMaxBytes + 1);
}

void TestDecodeLoop::microphoneFailureKeepsThePicture()
{
    const QString camera = QStringLiteral("Loop Test Camera");
    registerFakeCaptureDevice(CaptureDeviceKind::Camera, camera, "testsrc2=size=320x240:rate=30,realtime");
    DecoderRig rig;
    rig.open("dshow://capture?video=Loop%20Test%20Camera&audioSource="
                      + QUrl::toPercentEncoding("dshow://capture?audio=No%20Such%20Microphone"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.errors.size(), 1, kTimeoutMs);
    QCOMPARE(rig.recorder.errors.front(), QString::fromUtf8("无法打开麦克风（分离 dshow 采集）"));
    const int before = rig.pictures.count();
    QVERIFY(QTest::qWaitFor([&] { return rig.pictures.count() > before + 10; }, 5000));
    unregisterFakeCaptureDevice(CaptureDeviceKind::Camera, camera);
}

void TestDecodeLoop::readErrorIsReported()
{
    // An HTTP server that sends part of a stream, then resets the connection.
    QFile clip(testsupport::ensureFixture("reset_10s.ts", {"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25:duration=10",
                                                          "-c:v", "mpeg2video", "-f", "mpegts"}));
    QVERIFY(clip.open(QIODevice::ReadOnly));
    const QByteArray body = clip.readAll();
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket* client = nullptr;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        client = server.nextPendingConnection();
        client->write("HTTP/1.1 200 OK\r\nContent-Type: video/mp2t\r\nContent-Length: "
                      + QByteArray::number(body.size()) + "\r\n\r\n" + body.left(body.size() / 2));
        QTimer::singleShot(1500, client, [client] {
            const linger hard{1, 0};
            ::setsockopt(int(client->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            client->abort();
        });
    });
    DecoderRig rig;
    rig.open(QString("http://127.0.0.1:%1/live.ts").arg(server.serverPort()));
    QTRY_COMPARE_WITH_TIMEOUT(rig.recorder.errors.size(), 1, kTimeoutMs);
    QVERIFY2(rig.recorder.errors.front().startsWith("av_read_frame failed:"), qPrintable(rig.recorder.errors.front()));
    QVERIFY(rig.pictures.count() > 0);
    QCOMPARE(rig.recorder.ended, 0);
}

void TestDecodeLoop::hostileAspectRatioIsClamped()
{
    // A container may claim any sample aspect ratio; the display width must
    // not overflow.
    FramePool pool(kPoolCapacity, 640, 360);
    FFmpegVideoDecoder decoder(&pool);
    av::FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = 320;
    frame->height = 180;
    QVERIFY(av_frame_get_buffer(frame.get(), 0) >= 0);
    for (int plane = 0; plane < 3; ++plane)
        std::memset(frame->data[plane], 128, std::size_t(frame->linesize[plane]) * (plane ? 90 : 180));
    frame->sample_aspect_ratio = AVRational{INT_MAX, 1};
    FFmpegVideoDecoderProbe::convert(decoder, frame.get(), &pool, QSize(640, 360));
    QCOMPARE(decoder.displaySourceSize(), QSize(INT_MAX, 180));
    frame->sample_aspect_ratio = AVRational{1, INT_MAX};
    QVERIFY(FFmpegVideoDecoderProbe::convert(decoder, frame.get(), &pool, QSize(640, 360)));
    QCOMPARE(decoder.displaySourceSize(), QSize(1, 180));
}

void TestDecodeLoop::corruptInputNeverCrashes_data()
{
    QTest::addColumn<QString>("path");
    auto damaged = [](const QString& from, const QString& name, bool cutInHalf) {
        QFile in(from);
        in.open(QIODevice::ReadOnly);
        QByteArray bytes = in.readAll();
        if (cutInHalf) {
            bytes.truncate(bytes.size() / 2);
        } else {
            quint32 x = 2024;
            for (int i = 0; i < 400; ++i) {
                x = x * 1664525u + 1013904223u;
                const int at = 4096 + int(x % quint32(bytes.size() - 4096)); // keep the first header readable
                x = x * 1664525u + 1013904223u;
                bytes[at] = char(x >> 24);
            }
        }
        const QString path = testsupport::fixtureDir() + "/" + name;
        QFile out(path);
        out.open(QIODevice::WriteOnly);
        out.write(bytes);
        return path;
    };
    const QString faststart = testsupport::ensureFixture(
        "clip_av_faststart_3s.mp4", {"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=30:duration=3", "-f", "lavfi",
                                     "-i", "sine=sample_rate=48000:duration=3", "-c:v", "libx264", "-preset",
                                     "ultrafast", "-c:a", "aac", "-movflags", "+faststart"});
    const QString ts = testsupport::ensureFixture(
        "clip_av_3s.ts", {"-f", "lavfi", "-i", "testsrc2=size=320x180:rate=30:duration=3", "-f", "lavfi", "-i",
                          "sine=sample_rate=48000:duration=3", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"});
    const QString moovAtEnd = testsupport::clipWithAudio(3, 320, 180);
    QTest::newRow("mp4 with bytes overwritten") << damaged(faststart, "damaged.mp4", false);
    QTest::newRow("ts with bytes overwritten") << damaged(ts, "damaged.ts", false);
    QTest::newRow("mp4 cut in half") << damaged(faststart, "half.mp4", true);
    QTest::newRow("mp4 cut in half, index at the end") << damaged(moovAtEnd, "half_moov_end.mp4", true);
    QTest::newRow("ts cut in half") << damaged(ts, "half.ts", true);
}

void TestDecodeLoop::corruptInputNeverCrashes()
{
    QFETCH(QString, path);
    DecoderRig rig;
    rig.open(path);
    // It plays what it can and ends, or reports a failure; it never crashes.
    QTRY_VERIFY_WITH_TIMEOUT(rig.recorder.ended == 1 || !rig.recorder.errors.isEmpty(), kTimeoutMs);
    std::vector<float> audio(960);
    for (int i = 0; i < 100; ++i)
        rig.decoder.readAudio(audio.data(), 480);
}

QUORB_TEST_MAIN(TestDecodeLoop)
#include "tst_decodeloop.moc"
