// Recordings made by the real encoder sink from synthetic frames and a tone,
// checked with ffprobe and the ffmpeg CLI.

#include "output/ffmpegencodersink.h"
#include "output/programaudiotap.h"
#include "output/steadyclock.h"
#include "support/encodersinkdriver.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

// The encode thread's routing step, fed with made-up packets.
struct EncoderSinkTestAccess {
    static bool openOutputs(FfmpegEncoderSink& sink, int width, int height) { return sink.ensureOpen(width, height); }
    static void routeVideo(FfmpegEncoderSink& sink, AVPacket* packet)
    {
        sink.routePacket(packet, sink.videoCodec.get(), true);
    }
    static AVRational videoTimeBase(FfmpegEncoderSink& sink) { return sink.videoCodec->time_base; }
    static void setMediaClockMs(FfmpegEncoderSink& sink, std::int64_t ms)
    {
        sink.mediaClock.m_mediaMs = ms;
        sink.mediaClock.m_wallMs = ms;
    }
    static bool keyframeRequested(FfmpegEncoderSink& sink) { return sink.keyframeRequested.load(); }
};
using Access = EncoderSinkTestAccess;

using namespace testsupport;

namespace {

constexpr double kFps = 30.0;
constexpr double kFrame = 1.0 / kFps;
constexpr double kLoadedMachineSlack = 0.25; // seconds a paced run may stretch on 2 busy cores

// Audio and video end within one frame of each other.
bool endTogether(const ProbedStream& audio, const ProbedStream& video)
{
    return testsupport::endTogether(audio, video, kFrame);
}

// GStreamer (the stack behind Qt Multimedia and the common Linux players)
// reads the file's whole length, as ffprobe does, and can seek in it.
void verifyGStreamerReadsWhole(const QString& path)
{
    constexpr double kSlackSeconds = 0.15;
    const Discovered gst = gstDiscover(path);
    QVERIFY2(gst.ok, qPrintable(gst.report));
    const double length = probedDuration(path);
    QVERIFY2(std::abs(gst.duration - length) <= kSlackSeconds,
             qPrintable(QString("%1: GStreamer reads %2 s of %3 s").arg(path).arg(gst.duration).arg(length)));
    QVERIFY2(gst.seekable, qPrintable(path + ": not seekable for GStreamer\n" + gst.report));
}

QStringList filesIn(const QString& dir)
{
    QStringList files = QDir(dir).entryList(QDir::Files, QDir::Name);
    for (QString& f : files)
        f = QDir(dir).filePath(f);
    return files;
}

// A made-up H.264 picture, frame `index` at 30 fps: an Annex B start code,
// an IDR or non-IDR slice header byte and filler.
av::PacketPtr madeUpPicture(int index, bool key, AVRational timeBase)
{
    av::PacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), 64) < 0)
        return {};
    std::memset(packet->data, 0x5a, 64);
    const std::uint8_t head[] = {0, 0, 0, 1, std::uint8_t(key ? 0x65 : 0x41)};
    std::memcpy(packet->data, head, sizeof head);
    packet->pts = packet->dts = av_rescale_q(index, AVRational{1, int(kFps)}, timeBase);
    packet->duration = av_rescale_q(1, AVRational{1, int(kFps)}, timeBase);
    if (key)
        packet->flags |= AV_PKT_FLAG_KEY;
    return packet;
}

// A 320x240 recording in one-second segments, its pictures made up and
// routed to the files with no encoder.
struct RoutedSegments {
    QTemporaryDir dir;
    RecordingSink rec;
    AVRational timeBase{1, 1};
    int index = 0;

    bool open()
    {
        if (!rec.configure(dir.filePath("show.mp4"), SegmentOptions{true, 1000, 0})
            || !Access::openOutputs(rec.sink, 320, 240))
            return false;
        timeBase = Access::videoTimeBase(rec.sink);
        return true;
    }
    void route(bool key)
    {
        const av::PacketPtr packet = madeUpPicture(index++, key, timeBase);
        Access::routeVideo(rec.sink, packet.get());
    }
};

} // namespace

class TestEncoderSink : public QObject {
    Q_OBJECT

private slots:
    void containerMatrix_data();
    void containerMatrix();
    void stallKeepsAudioWithVideo();
    void closeKeepsEveryFrame();
    void soundIsAskedForByThePicturesTime();
    void frameSizes_data();
    void frameSizes();
    void abortFromAnotherThreadStillFinishesFile();
    void newTimelineForcesKeyFrame_data();
    void newTimelineForcesKeyFrame();
    void segments_data();
    void segments();
    void segmentOpensAtTheFirstKeyPictureAfterTheLimit();
    void endedSegmentIsFinishedBesideTheEncodeThread();
    void unwritablePathFailsAtFirstFrame();
    void diskFullIsReported();
    void killedRecordingStillDecodes();
};

void TestEncoderSink::containerMatrix_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("formatName");
    QTest::newRow("mp4") << "mp4" << "mov,mp4,m4a,3gp,3g2,mj2";
    QTest::newRow("mov") << "mov" << "mov,mp4,m4a,3gp,3g2,mj2";
    QTest::newRow("mkv") << "mkv" << "matroska,webm";
    QTest::newRow("flv") << "flv" << "flv";
    QTest::newRow("ts") << "ts" << "mpegts";
}

void TestEncoderSink::containerMatrix()
{
    QFETCH(QString, suffix);
    QFETCH(QString, formatName);
    QTemporaryDir dir;
    const QString path = dir.filePath("show." + suffix);
    RecordingSink rec;
    QVERIFY(rec.configure(path, SegmentOptions{false, 0, 0}, 0, 1));
    SinkRun run;
    run.width = 320;
    run.height = 240;
    run.frames = 75; // 2.5 s: key frames at 0, 1 and 2 s
    QCOMPARE(runSinkOnEncodeThread(rec.sink, run), run.frames);
    QCOMPARE(rec.fatalCalls.load(), 0);

    QCOMPARE(ffprobe(path).value("format").toObject().value("format_name").toString(), formatName);
    QCOMPARE(decodeErrors(path), QString());
    const ProbedFile file = probeFile(path);
    const ProbedStream* video = file.video;
    const ProbedStream* audio = file.audio;
    QVERIFY(video);
    QVERIFY(audio);
    QCOMPARE(video->codecName, QString("h264"));
    QCOMPARE(video->width, 320);
    QCOMPARE(video->height, 240);
    QCOMPARE(video->frameRate, QString("30/1"));
    QCOMPARE(video->hasBFrames, 0);
    QCOMPARE(int(video->packets.size()), run.frames);
    // The group of pictures is counted in frames; the time stamps follow the
    // media clock, which on a loaded machine may stretch a second a little.
    double previousKey = -1;
    int previousKeyIndex = -1;
    for (int i = 0; i < int(video->packets.size()); ++i) {
        const ProbedPacket& p = video->packets[size_t(i)];
        QVERIFY2(std::abs(p.pts - p.dts) < 1e-6, "a B-frame reordered pts and dts");
        if (p.key) {
            if (previousKeyIndex >= 0) {
                QVERIFY2(i - previousKeyIndex <= 30, qPrintable(QString("key frames %1 frames apart").arg(i - previousKeyIndex)));
                QVERIFY2(p.pts - previousKey <= 1.0 + kLoadedMachineSlack,
                         qPrintable(QString("key frames %1 s apart").arg(p.pts - previousKey)));
            }
            previousKey = p.pts;
            previousKeyIndex = i;
        }
    }
    QVERIFY(video->packets.front().key);
    QVERIFY2(previousKey >= 1.9, "no key frame near the 2 s mark");
    QCOMPARE(audio->codecName, QString("aac"));
    QCOMPARE(audio->sampleRate, 48000);
    QCOMPARE(audio->channels, 2);
    QVERIFY2(endTogether(*audio, *video), qPrintable(endsText(*audio, *video)));
    if (suffix == "mp4" || suffix == "mov" || suffix == "mkv")
        verifyGStreamerReadsWhole(path);
}

void TestEncoderSink::stallKeepsAudioWithVideo()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("stall.mp4");
    RecordingSink rec;
    QVERIFY(rec.configure(path));
    SinkRun run;
    run.frames = 60;
    run.stallAfterFrame = 29;
    run.stallMs = 1000;
    QCOMPARE(runSinkOnEncodeThread(rec.sink, run), run.frames);
    const ProbedFile file = probeFile(path);
    const ProbedStream* video = file.video;
    const ProbedStream* audio = file.audio;
    QVERIFY(video && audio);
    QVERIFY2(video->end() > 2.9, qPrintable(QString("video ends at %1 s").arg(video->end())));
    QVERIFY2(endTogether(*audio, *video), qPrintable(endsText(*audio, *video)));
}

void TestEncoderSink::closeKeepsEveryFrame()
{
    // Frames handed over faster than real time (a recording's backlog),
    // then a normal close: every frame and the audio tail reach the file.
    QTemporaryDir dir;
    const QString path = dir.filePath("stop.mkv");
    RecordingSink rec;
    QVERIFY(rec.configure(path));
    SinkRun run;
    run.fps = 500;
    run.frames = 50;
    QCOMPARE(runSinkOnEncodeThread(rec.sink, run), run.frames);
    const ProbedFile file = probeFile(path);
    const ProbedStream* video = file.video;
    const ProbedStream* audio = file.audio;
    QVERIFY(video && audio);
    QCOMPARE(int(video->packets.size()), run.frames);
    const double pulled = double(rec.tone.framesPulled()) / 48000.0;
    QVERIFY2(audio->end() >= pulled - 0.001, qPrintable(QString("audio ends at %1 s of %2 s pulled").arg(audio->end()).arg(pulled)));
    // Frames that come in a bunch still get their sound.
    QVERIFY2(endTogether(*audio, *video), qPrintable(endsText(*audio, *video)));
    QCOMPARE(decodeErrors(path), QString());
}

void TestEncoderSink::soundIsAskedForByThePicturesTime()
{
    // Pictures composed 60 ms before the encoder takes them up: the sound
    // the sink asks for runs on without gaps or overlaps and never lies
    // after the newest picture's composition, nor far behind it.
    constexpr std::int64_t kWaitNs = 60000000;
    constexpr int kFrames = 45;
    QTemporaryDir dir;
    RecordingSink rec;
    QVERIFY(rec.configure(dir.filePath("asked.mkv")));
    struct Pull {
        std::int64_t fromNs;
        int frames;
        std::int64_t composedNs;
    };
    std::vector<Pull> pulls;
    std::int64_t composedNs = 0;
    rec.sink.setAudioPullCallback([&](std::int16_t* dst, int frames, std::int64_t fromNs) {
        rec.tone(dst, frames);
        pulls.push_back(Pull{fromNs, frames, composedNs});
    });
    rec.sink.probeEncoder(320, 240);
    std::thread encodeThread([&] {
        const auto interval = std::chrono::nanoseconds(33333333);
        auto due = std::chrono::steady_clock::now();
        for (int i = 0; i < kFrames; ++i) {
            std::this_thread::sleep_until(due);
            composedNs = steadyNowNs() - kWaitNs;
            FrameTokenPtr frame = makeRgbaFrame(320, 240, i);
            rec.sink.setPictureTime(composedNs);
            rec.sink.encodeFrame(frame, nullptr, 0, 1);
            due += interval;
        }
        pulls.push_back(Pull{0, -1, 0}); // the pulls of the close follow
        static_cast<IEncoderSink&>(rec.sink).close();
    });
    encodeThread.join();

    std::size_t n = 0;
    while (n < pulls.size() && pulls[n].frames >= 0)
        ++n;
    QVERIFY2(n > 10, qPrintable(QString("%1 pulls while encoding").arg(n)));
    QVERIFY(pulls[0].fromNs != ProgramAudioTap::kNoTime);
    for (std::size_t k = 0; k < n; ++k) {
        const Pull& p = pulls[k];
        const std::int64_t endNs = p.fromNs + std::int64_t(p.frames) * 1000000000 / 48000;
        QVERIFY2(endNs <= p.composedNs && endNs > p.composedNs - 100000000,
                 qPrintable(QString("pull %1 ends %2 ms after the picture's composition")
                                .arg(k)
                                .arg(double(endNs - p.composedNs) / 1e6)));
        if (k + 1 < n) {
            // The smoothed wait moves by the scheduler's jitter; the tap
            // lets the sound be for less than 5 ms.
            const std::int64_t gapNs = pulls[k + 1].fromNs - endNs;
            QVERIFY2(std::abs(gapNs) < 5000000,
                     qPrintable(QString("%1 ms between pull %2 and the next").arg(double(gapNs) / 1e6).arg(k)));
        }
    }
}

void TestEncoderSink::frameSizes_data()
{
    QTest::addColumn<QSize>("outputSize");
    QTest::addColumn<QSize>("firstFrames");
    QTest::addColumn<QSize>("laterFrames");
    QTest::addColumn<QSize>("fileSize");
    QTest::addColumn<int>("sizeWarnings");
    QTest::newRow("odd frame size rounds down") << QSize(0, 0) << QSize(161, 91) << QSize(161, 91) << QSize(160, 90) << 0;
    QTest::newRow("output size wins") << QSize(320, 180) << QSize(161, 91) << QSize(161, 91) << QSize(320, 180) << 0;
    QTest::newRow("size change while recording") << QSize(0, 0) << QSize(160, 90) << QSize(320, 180) << QSize(160, 90) << 1;
}

void TestEncoderSink::frameSizes()
{
    QFETCH(QSize, outputSize);
    QFETCH(QSize, firstFrames);
    QFETCH(QSize, laterFrames);
    QFETCH(QSize, fileSize);
    QFETCH(int, sizeWarnings);
    QTemporaryDir dir;
    const QString path = dir.filePath("sizes.mp4");
    RecordingSink rec;
    QVERIFY(rec.configure(path));
    rec.sink.setOutputSize(outputSize.width(), outputSize.height());
    LogCapture log;
    std::thread encodeThread([&] {
        // Tokens that break the picture rules are skipped without failing the run.
        FrameTokenPtr shortStride = makeRgbaFrame(64, 64, 0);
        shortStride->bytesPerLine = 64 * 4 - 4;
        rec.sink.encodeFrame(shortStride, nullptr, 0, 1);
        FrameTokenPtr shortData = makeRgbaFrame(64, 64, 0);
        shortData->data.truncate(64 * 4 * 63);
        rec.sink.encodeFrame(shortData, nullptr, 0, 1);
        FrameTokenPtr none;
        rec.sink.encodeFrame(none, nullptr, 0, 1);
        for (int i = 0; i < 10; ++i) {
            const QSize size = i < 5 ? firstFrames : laterFrames;
            FrameTokenPtr frame = makeRgbaFrame(size.width(), size.height(), i);
            rec.sink.encodeFrame(frame, nullptr, 0, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
        }
        static_cast<IEncoderSink&>(rec.sink).close();
    });
    encodeThread.join();
    QCOMPARE(rec.fatalCalls.load(), 0);
    QCOMPARE(log.count("FfmpegEncoderSink: program dimensions changed during recording"), sizeWarnings);
    QCOMPARE(decodeErrors(path), QString());
    const ProbedFile file = probeFile(path);
    const ProbedStream* video = file.video;
    QVERIFY(video);
    QCOMPARE(QSize(video->width, video->height), fileSize);
    QCOMPARE(int(video->packets.size()), 10);
}

void TestEncoderSink::abortFromAnotherThreadStillFinishesFile()
{
    // A stop aborts (from the GUI or stop thread, without the sink mutex)
    // while frames are being encoded: the abort is for stream destinations,
    // so the recording still takes every frame handed to it and ends whole.
    QTemporaryDir dir;
    const QString path = dir.filePath("aborted.mkv");
    RecordingSink rec;
    QVERIFY(rec.configure(path));
    LogCapture log;
    std::atomic<int> handed{0};
    SinkRun run;
    run.frames = 30 * 10;
    run.beforeFrame = [&handed](int i) {
        handed = i;
        return i < 45;
    };
    std::thread stopper([&] {
        while (handed.load() < 30)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        rec.sink.abort();
    });
    runSinkOnEncodeThread(rec.sink, run);
    stopper.join();
    QCOMPARE(decodeErrors(path), QString());
    const ProbedFile file = probeFile(path);
    const ProbedStream* video = file.video;
    const ProbedStream* audio = file.audio;
    QVERIFY(video && audio);
    QCOMPARE(int(video->packets.size()), 45);
    QVERIFY2(endTogether(*audio, *video), qPrintable(endsText(*audio, *video)));
    QCOMPARE(log.count("Immediate exit requested"), 0);
}

void TestEncoderSink::newTimelineForcesKeyFrame_data()
{
    QTest::addColumn<int>("switchAt");
    QTest::addColumn<int>("newFramesFrom");
    QTest::newRow("next frame is of the new timeline") << 45 << 45;
    // Frames of the old timeline still queued while recording come first;
    // the key frame belongs to the first frame of the new one.
    QTest::newRow("old frames carried over first") << 45 << 50;
}

void TestEncoderSink::newTimelineForcesKeyFrame()
{
    QFETCH(int, switchAt);
    QFETCH(int, newFramesFrom);
    QTemporaryDir dir;
    const QString path = dir.filePath("switch.mkv");
    RecordingSink rec;
    QVERIFY(rec.configure(path, SegmentOptions{false, 0, 0}, 0, 4));
    SinkRun run;
    run.frames = 90; // 3 s: shorter than the 4 s key-frame interval
    run.beforeFrame = [&](int i) {
        if (i == switchAt)
            rec.sink.startNewSession(); // between frames, as under the router's sink mutex
        return true;
    };
    run.sequence = [&](int i) { return std::int64_t(i < newFramesFrom ? 1 : 2); };
    QCOMPARE(runSinkOnEncodeThread(rec.sink, run), run.frames);
    const ProbedFile file = probeFile(path);
    const ProbedStream* video = file.video;
    QVERIFY(video);
    QCOMPARE(int(video->packets.size()), run.frames);
    QList<int> keyFrames;
    for (int i = 0; i < int(video->packets.size()); ++i) {
        if (video->packets[std::size_t(i)].key)
            keyFrames << i;
    }
    QCOMPARE(keyFrames, (QList<int>{0, newFramesFrom}));
}

void TestEncoderSink::segments_data()
{
    QTest::addColumn<qint64>("durationMs");
    QTest::addColumn<qint64>("sizeBytes");
    QTest::addColumn<int>("bitrateKbps");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("minFiles");
    QTest::addColumn<int>("maxFiles");
    QTest::newRow("every 3 s") << qint64(3000) << qint64(0) << 0 << 210 << 3 << 3;
    QTest::newRow("every 300 kB") << qint64(0) << qint64(300000) << 2000 << 150 << 2 << 4;
    QTest::newRow("both limits off") << qint64(0) << qint64(0) << 2000 << 90 << 1 << 1;
}

void TestEncoderSink::segments()
{
    QFETCH(qint64, durationMs);
    QFETCH(qint64, sizeBytes);
    QFETCH(int, bitrateKbps);
    QFETCH(int, frames);
    QFETCH(int, minFiles);
    QFETCH(int, maxFiles);
    QTemporaryDir dir;
    RecordingSink rec;
    QVERIFY(rec.configure(dir.filePath("show.mp4"), SegmentOptions{true, durationMs, sizeBytes}, bitrateKbps, 1));
    SinkRun run;
    run.frames = frames;
    run.noise = sizeBytes > 0;
    QCOMPARE(runSinkOnEncodeThread(rec.sink, run), run.frames);
    QCOMPARE(rec.fatalCalls.load(), 0);

    const QStringList files = filesIn(dir.path());
    QVERIFY2(files.size() >= minFiles && files.size() <= maxFiles, qPrintable(files.join(", ")));
    const QRegularExpression name("^show_\\d{8}_\\d{6}_(\\d{3})\\.mp4$");
    int totalFrames = 0;
    for (int i = 0; i < files.size(); ++i) {
        const QString base = QFileInfo(files[i]).fileName();
        const QRegularExpressionMatch m = name.match(base);
        QVERIFY2(m.hasMatch(), qPrintable(base));
        QCOMPARE(m.captured(1).toInt(), i + 1);
        QCOMPARE(decodeErrors(files[i]), QString());
        const ProbedFile file = probeFile(files[i]);
        const ProbedStream* video = file.video;
        QVERIFY(video && !video->packets.empty());
        QVERIFY2(video->packets.front().key, qPrintable(base + " does not start with a key frame"));
        QVERIFY2(std::abs(video->packets.front().pts) < 0.1, qPrintable(QString("%1 starts at %2 s").arg(base).arg(video->packets.front().pts)));
        const ProbedStream* audio = file.audio;
        QVERIFY(audio && !audio->packets.empty());
        QVERIFY2(std::abs(audio->start()) < 0.1, qPrintable(QString("%1 audio starts at %2 s").arg(base).arg(audio->start())));
        verifyGStreamerReadsWhole(files[i]);
        if (QTest::currentTestFailed())
            return;
        totalFrames += int(video->packets.size());
        if (durationMs > 0 && i + 1 < files.size())
            QVERIFY2(video->end() > durationMs / 1000.0 - kFrame && video->end() < durationMs / 1000.0 + 0.4, qPrintable(QString("%1 lasts %2 s").arg(base).arg(video->end())));
        if (sizeBytes > 0 && i + 1 < files.size())
            QVERIFY2(QFileInfo(files[i]).size() >= sizeBytes, qPrintable(QString("%1 has %2 bytes").arg(base).arg(QFileInfo(files[i]).size())));
    }
    QCOMPARE(totalFrames, frames);
}

void TestEncoderSink::segmentOpensAtTheFirstKeyPictureAfterTheLimit()
{
    RoutedSegments run;
    QVERIFY(run.open());
    RecordingSink& rec = run.rec;
    const QTemporaryDir& dir = run.dir;
    const auto route = [&run](bool key) { run.route(key); };

    route(true);
    route(false);
    Access::setMediaClockMs(rec.sink, 1000); // the limit is reached with the next picture written
    route(false);
    // The encoder is asked for the key frame the new file waits for; until
    // it comes, pictures go on into the old file.
    QVERIFY(Access::keyframeRequested(rec.sink));
    for (int i = 0; i < 3; ++i)
        route(false);
    QCOMPARE(filesIn(dir.path()).size(), 1);
    route(true);
    QCOMPARE(filesIn(dir.path()).size(), 2);
    route(false);
    route(true); // the next limit is 1000 ms on: no third file
    rec.sink.close();
    QCOMPARE(rec.fatalCalls.load(), 0);

    const QStringList files = filesIn(dir.path());
    QCOMPARE(files.size(), 2);
    const QList<QList<bool>> expectedKeys{{true, false, false, false, false, false}, {true, false, true}};
    for (int i = 0; i < 2; ++i) {
        const auto streams = probePackets(files[i]);
        const ProbedStream* video = findStream(streams, "video");
        QVERIFY2(video, qPrintable(files[i]));
        QList<bool> keys;
        for (const ProbedPacket& packet : video->packets)
            keys << packet.key;
        QCOMPARE(keys, expectedKeys[i]);
    }
}

// The threads on which MP4 trailers moved a file to put its fragment index
// in front (the muxer says so at info level as it starts).
std::mutex trailerMutex;
std::vector<std::thread::id> trailerThreads;

void noteTrailerThread(void* avcl, int level, const char* format, va_list args)
{
    if (format && std::strstr(format, "inserting sidx")) {
        std::lock_guard lock(trailerMutex);
        trailerThreads.push_back(std::this_thread::get_id());
    }
    av_log_default_callback(avcl, level, format, args);
}

// A segment's trailer moves the whole file, seconds for a long segment:
// the encode thread hands the ended segment on and goes on with the next,
// and the run's close still waits until both files are whole.
void TestEncoderSink::endedSegmentIsFinishedBesideTheEncodeThread()
{
    trailerThreads.clear();
    const int level = av_log_get_level();
    av_log_set_level(AV_LOG_INFO);
    av_log_set_callback(noteTrailerThread);
    const auto restore = qScopeGuard([level] {
        av_log_set_callback(av_log_default_callback);
        av_log_set_level(level);
    });

    RoutedSegments run;
    QVERIFY(run.open());
    RecordingSink& rec = run.rec;
    const QTemporaryDir& dir = run.dir;
    const auto route = [&run](bool key) { run.route(key); };
    for (int i = 0; i < 30; ++i)
        route(i == 0);
    Access::setMediaClockMs(rec.sink, 1000);
    route(false);
    route(true); // the second segment starts here
    for (int i = 0; i < 5; ++i)
        route(false);
    rec.sink.close();
    QCOMPARE(rec.fatalCalls.load(), 0);

    std::lock_guard lock(trailerMutex);
    QCOMPARE(trailerThreads.size(), std::size_t(2));
    // The last file is finished as the run closes, on the encode thread;
    // the ended segment on another one.
    const auto onEncodeThread = std::count(trailerThreads.begin(), trailerThreads.end(), std::this_thread::get_id());
    QVERIFY2(onEncodeThread == 1, "the ended segment was finished on the encode thread");
    const QStringList files = filesIn(dir.path());
    QCOMPARE(files.size(), 2);
    for (const QString& file : files) {
        const auto streams = probePackets(file);
        const ProbedStream* video = findStream(streams, "video");
        QVERIFY2(video && !video->packets.empty(), qPrintable(file));
    }
}

void TestEncoderSink::unwritablePathFailsAtFirstFrame()
{
    QTemporaryDir dir;
    QFile blocker(dir.filePath("notadir"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    RecordingSink rec;
    QVERIFY(rec.configure(dir.filePath("notadir/show.mp4")));
    LogCapture log;
    SinkRun run;
    run.frames = 3;
    runSinkOnEncodeThread(rec.sink, run);
    QCOMPARE(rec.fatalCalls.load(), 1);
    QCOMPARE(log.count("FfmpegEncoderSink: avio_open failed:"), 1);
    QVERIFY(!QFileInfo::exists(dir.filePath("notadir/show.mp4")));
}

void TestEncoderSink::diskFullIsReported()
{
    if (!findProgram("mount").size())
        QFAIL("mount is missing; the disk-full test needs it (and root) to make a small tmpfs");
    QTemporaryDir dir;
    const QString mountPoint = dir.filePath("small");
    QVERIFY(QDir().mkpath(mountPoint));
    QByteArray output;
    if (runProgram("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", mountPoint}, &output, 10000) != 0)
        QFAIL(qPrintable("cannot mount a 1 MiB tmpfs (the test runs as root in CI): " + QString::fromUtf8(output)));
    struct Unmount {
        QString path;
        ~Unmount() { runProgram("umount", {"-l", path}, nullptr, 10000); }
    } unmount{mountPoint};

    RecordingSink rec;
    QVERIFY(rec.configure(mountPoint + "/full.mp4", SegmentOptions{false, 0, 0}, 8000, 1));
    LogCapture log;
    SinkRun run;
    run.width = 640;
    run.height = 360;
    run.noise = true;
    run.frames = 30 * 20; // ends early once the failure is reported
    run.beforeFrame = [&rec](int) { return rec.fatalCalls.load() == 0; };
    QElapsedTimer timer;
    timer.start();
    runSinkOnEncodeThread(rec.sink, run);
    QCOMPARE(rec.fatalCalls.load(), 1);
    QVERIFY2(timer.elapsed() < 15000, qPrintable(QString("failure reported after %1 ms").arg(timer.elapsed())));
    // Streaks 1 to 12 are logged, then only every 200th, then the report.
    QCOMPARE(log.count("FfmpegEncoderSink: file mux write failed (will retry same file, streak"), 12);
    QCOMPARE(log.count("FfmpegEncoderSink: recording stopped; file writes keep failing"), 1);
}

void TestEncoderSink::killedRecordingStillDecodes()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("killed.mp4");
    const QString helper = QStringLiteral(QUORB_TEST_BIN_DIR) + "/helper_recorder";
    QVERIFY2(QFileInfo::exists(helper), qPrintable(helper));
    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::ForwardedChannels);
    recorder.start(helper, {path, "60"});
    QVERIFY(recorder.waitForStarted(5000));
    // Key frames every second: after 3.5 s at least three fragments are done.
    QTest::qWait(3500);
    QCOMPARE(recorder.state(), QProcess::Running);
    recorder.kill(); // SIGKILL: no trailer, no flush
    QVERIFY(recorder.waitForFinished(5000));
    QCOMPARE(decodeErrors(path), QString());
    const ProbedFile file = probeFile(path);
    const ProbedStream* video = file.video;
    const ProbedStream* audio = file.audio;
    QVERIFY(video && audio);
    QVERIFY2(video->end() >= 1.9, qPrintable(QString("only %1 s of video survived").arg(video->end())));
    QVERIFY2(audio->end() >= 1.5, qPrintable(QString("only %1 s of audio survived").arg(audio->end())));
}

QUORB_TEST_MAIN(TestEncoderSink)
#include "tst_encodersink.moc"
