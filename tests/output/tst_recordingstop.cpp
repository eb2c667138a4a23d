// The program recorded through the frame pipeline (a channel playing a clip,
// 1280x720 at 30 fps) and stopped the ways the application stops it: every
// container must end whole, read the same by FFmpeg and by GStreamer.

#include "engine/framepipeline.h"
#include "engine/overlaymanager.h"
#include "engine/previewaudiomixer.h"
#include "output/ffmpegencodersink.h"
#include "output/routersink.h"
#include "support/encodersinkdriver.h"
#include "support/logcapture.h"
#include "support/mixerthread.h"
#include "support/programfeed.h"
#include "support/pulseserver.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

using namespace testsupport;

struct EncoderSinkTestAccess {
    static void setBeforeTrailerHook(FfmpegEncoderSink& sink, std::function<void()> hook)
    {
        sink.beforeTrailerHook = std::move(hook);
    }
};

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 30;
constexpr int kRecordMs = 3000;
// How far the file's length may be off the test's clock: the last frame
// lasts one interval, and a recording stamps each frame in its own 1/fps
// tick, so frames that come faster than the rate for a while (the program
// is timed by the sound device) run up to another interval ahead; the
// rest is the moment the stop takes to reach the sink.
constexpr double kTimingSlackSeconds = 0.1;
constexpr double kFrameIntervalsAllowed = 2;
constexpr double kAudioVideoEndSeconds = 0.05;
constexpr double kGstDurationSlackSeconds = 0.15;

enum class StopPath { Async, AndWait, AsyncWhileClosing };

// The real encoder sink as the router sees it, counting the aborts that
// reached it. With `holdTrailer` the encode worker, once drained, waits
// before the recording's trailer until a second abort (the stop task's)
// has been through the sink: the stop then always lands while the worker
// closes.
class ObservedSink : public RouterSink {
public:
    explicit ObservedSink(bool holdTrailer)
    {
        if (!holdTrailer)
            return;
        EncoderSinkTestAccess::setBeforeTrailerHook(sink, [this] {
            std::unique_lock<std::mutex> lock(mutex);
            heldAtTrailer = changed.wait_for(lock, std::chrono::seconds(10), [this] { return aborts >= 2; });
        });
    }

    bool configure(const QString& path, const std::vector<StreamTarget>& targets, double fps) override
    {
        return sink.configure(path, targets, fps);
    }
    void setOutputSize(int w, int h) override { sink.setOutputSize(w, h); }
    void setEncoderOptions(const EncoderOptions& options) override { sink.setEncoderOptions(options); }
    void setSegmentation(const SegmentOptions& options) override { sink.setSegmentation(options); }
    bool probeEncoder(int w, int h) override { return sink.probeEncoder(w, h); }
    void setAudioPullCallback(AudioPull callback) override { sink.setAudioPullCallback(std::move(callback)); }
    void setFatalErrorCallback(std::function<void()> callback) override
    {
        sink.setFatalErrorCallback(std::move(callback));
    }
    void setStatusCallback(StatusCallback callback) override { sink.setStatusCallback(std::move(callback)); }
    void encodeFrame(FrameTokenPtr& frame, const std::int16_t* audio, int frames, std::int64_t generation) override
    {
        sink.encodeFrame(frame, audio, frames, generation);
    }
    void abort() override
    {
        sink.abort();
        std::lock_guard<std::mutex> lock(mutex);
        ++aborts;
        changed.notify_all();
    }
    void startNewSession() override { sink.startNewSession(); }
    void close() override { static_cast<IEncoderSink&>(sink).close(); }

    bool wasHeldAtTrailer()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return heldAtTrailer;
    }

private:
    FfmpegEncoderSink sink;
    std::mutex mutex;
    std::condition_variable changed;
    int aborts = 0;
    bool heldAtTrailer = false;
};

// Presentation times of the decoded pictures of the first video stream.
std::vector<double> decodedPictureTimes(const QString& path)
{
    QByteArray out;
    runProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "frame=best_effort_timestamp_time",
                           "-of", "csv=p=0", path},
               &out, 120000);
    std::vector<double> times;
    for (const QByteArray& line : out.split('\n')) {
        bool ok = false;
        const double t = line.trimmed().toDouble(&ok);
        if (ok)
            times.push_back(t);
    }
    return times;
}

} // namespace

class TestRecordingStop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void stopEndsTheFileWhole_data();
    void stopEndsTheFileWhole();

private:
    PulseServer m_pulse;
    std::unique_ptr<OverlayManager> m_overlays;
    std::unique_ptr<FramePipeline> m_pipeline;
    std::unique_ptr<MixerThread> m_mixerThread;
    bool m_holdNextTrailer = false;
    std::shared_ptr<ObservedSink> m_lastSink;
};

void TestRecordingStop::initTestCase()
{
    // The mixer's audio clock needs a sound device that takes audio.
    QVERIFY2(m_pulse.start(), qPrintable(m_pulse.errorString()));
    QVERIFY2(!findProgram("ffmpeg").isEmpty(), "ffmpeg is missing (Debian package ffmpeg)");
    QVERIFY2(!findProgram("gst-discoverer-1.0").isEmpty(),
             "gst-discoverer-1.0 is missing (Debian package gstreamer1.0-plugins-base-apps)");
    const QString clip = clipWithAudio(10);
    QVERIFY(!clip.isEmpty());

    m_overlays = std::make_unique<OverlayManager>();
    m_pipeline = std::make_unique<FramePipeline>(
        [this]() -> std::shared_ptr<RouterSink> {
            m_lastSink = std::make_shared<ObservedSink>(m_holdNextTrailer);
            return m_lastSink;
        },
        nullptr);
    m_mixerThread = std::make_unique<MixerThread>(m_pipeline.get());
    m_pipeline->setPreviewAudioMixerForOutput(m_mixerThread->mixer());
    m_mixerThread->start();
    QVERIFY2(playClipAsProgram(*m_pipeline, m_overlays.get(), clip), "the program channel delivered no frames");
    // The channel plays by the sound device's clock, which moves by fits
    // while the test server's null sink first fills its buffer.
    QTRY_VERIFY_WITH_TIMEOUT(m_mixerThread->mixer()->playedFrames() > 0, 10000);
    QTest::qWait(1500);
    m_pipeline->setOutputResolutionSelection(kWidth, kHeight);
    m_pipeline->setOutputFps(kFps);
    m_pipeline->setSegmentOptions(false, 0, 0);
    m_pipeline->setStreamTargets({});
    // A first short run warms the encoder, so that the table's first row
    // does not start with a backlog.
    QTemporaryDir warmUp;
    m_pipeline->setOutputPath(warmUp.filePath("warm-up.mkv"));
    QVERIFY(m_pipeline->startOutputs());
    QTest::qWait(1000);
    m_pipeline->stopOutputsAndWait();
}

void TestRecordingStop::cleanupTestCase()
{
    if (m_pipeline)
        m_pipeline->stopOutputsAndWait();
    if (m_mixerThread)
        m_mixerThread->stop();
    m_pipeline.reset();
    m_mixerThread.reset();
    m_overlays.reset();
    m_pulse.stop();
}

void TestRecordingStop::stopEndsTheFileWhole_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("path");
    const QStringList suffixes{"mp4", "mov", "mkv", "flv", "ts"};
    for (const QString& suffix : suffixes) {
        QTest::addRow("%s async stop", qPrintable(suffix)) << suffix << int(StopPath::Async);
        QTest::addRow("%s stop and wait", qPrintable(suffix)) << suffix << int(StopPath::AndWait);
        QTest::addRow("%s async stop while closing", qPrintable(suffix)) << suffix << int(StopPath::AsyncWhileClosing);
    }
}

void TestRecordingStop::stopEndsTheFileWhole()
{
    QFETCH(QString, suffix);
    QFETCH(int, path);
    const auto stopPath = StopPath(path);
    QTemporaryDir dir;
    const QString recording = dir.filePath("program." + suffix);
    m_pipeline->setOutputPath(recording);
    m_holdNextTrailer = stopPath == StopPath::AsyncWhileClosing;

    LogCapture log;
    QSignalSpy failures(m_pipeline.get(), &FramePipeline::programOutputTransportFailed);
    // The recording's clock starts when the sink opens the file, which a
    // thread of its own notices at once (the GUI thread is busy composing).
    QElapsedTimer recorded;
    std::atomic<bool> opened{false};
    std::thread watcher([&] {
        QElapsedTimer waited;
        waited.start();
        while (!QFile::exists(recording) && waited.elapsed() < 20000)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        recorded.start();
        opened = QFile::exists(recording);
    });
    QVERIFY(m_pipeline->startOutputs());
    QTest::qWaitFor([&] { return recorded.isValid(); }, 25000);
    watcher.join();
    QVERIFY2(opened.load(), "the recording file was never opened");
    QTest::qWait(kRecordMs);

    QSignalSpy stopped(m_pipeline.get(), &FramePipeline::programOutputStopped);
    double recordedSeconds = 0;
    if (stopPath == StopPath::AndWait) {
        recordedSeconds = recorded.elapsed() / 1000.0;
        m_pipeline->stopOutputsAndWait();
    } else {
        m_pipeline->stopOutputsAsync();
        recordedSeconds = recorded.elapsed() / 1000.0;
        QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 20000);
    }
    QCOMPARE(failures.size(), 0);
    if (stopPath == StopPath::AsyncWhileClosing)
        QVERIFY2(m_lastSink->wasHeldAtTrailer(), "the stop task's abort never reached the closing sink");

    QCOMPARE(log.count("Immediate exit requested"), 0);
    QCOMPARE(log.count("left in the queue"), 0);
    QCOMPARE(log.count("av_write_trailer failed"), 0);
    QCOMPARE(decodeErrors(recording), QString());

    const double duration = probedDuration(recording);
    const auto streams = probePackets(recording);
    const ProbedStream* video = findStream(streams, "video");
    const ProbedStream* audio = findStream(streams, "audio");
    QVERIFY(video && audio);
    QVERIFY2(std::abs(duration - recordedSeconds) <= kFrameIntervalsAllowed / kFps + kTimingSlackSeconds,
             qPrintable(QString("duration %1 s for %2 s of recording; video %3..%4 s in %5 packets, audio %6..%7 s")
                            .arg(duration)
                            .arg(recordedSeconds)
                            .arg(video->start())
                            .arg(video->end())
                            .arg(video->packets.size())
                            .arg(audio->start())
                            .arg(audio->end())));
    QCOMPARE(QSize(video->width, video->height), QSize(kWidth, kHeight));
    QVERIFY2(std::abs(audio->duration() - video->duration()) <= kAudioVideoEndSeconds,
             qPrintable(QString("audio lasts %1 s, video %2 s").arg(audio->duration()).arg(video->duration())));

    // The last second holds pictures that decode (a cut file stops early).
    const std::vector<double> pictures = decodedPictureTimes(recording);
    QVERIFY(!pictures.empty());
    const double lastSecondFrom = pictures.front() + duration - 1.0;
    const auto inLastSecond = std::count_if(pictures.begin(), pictures.end(),
                                            [&](double t) { return t >= lastSecondFrom; });
    QVERIFY2(inLastSecond >= kFps / 2, qPrintable(QString("%1 pictures in the last second").arg(inLastSecond)));

    if (suffix == "mp4" || suffix == "mov" || suffix == "mkv") {
        const Discovered gst = gstDiscover(recording);
        QVERIFY2(gst.ok, qPrintable(gst.report));
        QVERIFY2(std::abs(gst.duration - duration) <= kGstDurationSlackSeconds,
                 qPrintable(QString("GStreamer reads %1 s of %2 s").arg(gst.duration).arg(duration)));
        QVERIFY2(gst.seekable, qPrintable(gst.report));
    }
}

QUORB_TEST_MAIN(TestRecordingStop)
#include "tst_recordingstop.moc"
