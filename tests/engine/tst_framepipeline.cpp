#include "engine/framepipeline.h"

#include "engine/framepool.h"
#include "engine/overlaymanager.h"
#include "engine/previewaudiomixer.h"
#include "input/ffmpegvideodecoder.h"
#include "support/fakeroutersink.h"
#include "support/testsupport.h"

#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <array>
#include <thread>
#include <vector>

using testsupport::FakeRouterSink;

// Reaches the pipeline's members the way only a test needs to.
struct FramePipelineTestAccess {
    static FFmpegVideoDecoder* channelDecoder(FramePipeline& p, int j) { return p.channelDecoders[j].get(); }
    static FFmpegVideoDecoder* overlayDecoder(FramePipeline& p, int k) { return p.overlayDecoders[k].get(); }
    static std::uint64_t expectedGeneration(FramePipeline& p, int j) { return p.expectedGeneration[j].load(); }
    static FrameTokenPtr latest(FramePipeline& p, int j) { return p.latestFrames[j].latest(); }
    static QSize displaySize(FramePipeline& p, int j) { return p.displaySizes[j]; }
    static FramePool& channelPool(FramePipeline& p) { return *p.channelPool; }
    static FramePool& overlayPool(FramePipeline& p) { return *p.overlayPool; }
    static qint64 imageCanvasKey(FramePipeline& p) { return p.imageCanvas.cacheKey(); }
};
using Access = FramePipelineTestAccess;

namespace {

FrameTokenPtr frameOf(int width, int height, std::int64_t ptsUs, std::uint64_t generation = 0)
{
    auto frame = std::make_shared<FrameToken>();
    frame->width = width;
    frame->height = height;
    frame->bytesPerLine = width * 4;
    frame->data = QByteArray(width * 4 * height, '\x7f');
    frame->ptsUs = ptsUs;
    frame->generation = generation;
    return frame;
}

// Delivers frames the way a decoder thread does: from another thread.
void deliverFromThread(FramePipeline& pipeline, int channel, std::vector<FrameTokenPtr> frames)
{
    std::thread decoder([&] {
        for (auto& frame : frames)
            pipeline.onChannelFrame(channel, std::move(frame));
    });
    decoder.join();
}

ProgramState channelProgram(int channel)
{
    ProgramState state;
    state.programSource = channel + 1;
    return state;
}

// Records the frames of the pipeline's frame signals.
struct FrameLog {
    std::vector<std::int64_t> base;
    std::vector<FrameTokenPtr> program;
    std::vector<std::pair<int, std::int64_t>> previews;

    explicit FrameLog(FramePipeline& p)
    {
        QObject::connect(&p, &FramePipeline::baseFrameReady, &p, [this](FrameTokenPtr f) { base.push_back(f->ptsUs); });
        QObject::connect(&p, &FramePipeline::programFrameReady, &p, [this](FrameTokenPtr f) { program.push_back(f); });
        QObject::connect(&p, &FramePipeline::channelFrameReady, &p,
                         [this](int j, FrameTokenPtr f) { previews.emplace_back(j, f->ptsUs); });
    }
};

// A pipeline whose router encodes into fake sinks.
struct PipelineFixture {
    std::shared_ptr<FakeRouterSink> sink = std::make_shared<FakeRouterSink>();
    int sinksMade = 0;
    QTemporaryDir dir;
    FramePipeline pipeline{[this] {
                               ++sinksMade;
                               return std::shared_ptr<RouterSink>(sink);
                           },
                           nullptr};

    void recordTo(const QString& name = "out.mp4") { pipeline.setOutputPath(dir.filePath(name)); }
};

const QString kMissingClip = QStringLiteral("/nonexistent/quorbel-test/clip.mp4");

} // namespace

class TestFramePipeline : public QObject {
    Q_OBJECT

private slots:
    void staleGenerationsAreDroppedEverywhere();
    void programTakesOnlyOutputSizedFramesWhileRunning_data();
    void programTakesOnlyOutputSizedFramesWhileRunning();
    void burstOfFramesGivesOnePreview();
    void fourChannelsFlushInChannelOrder();
    void pendingProgramFrameDroppedOnSourceSwitch();
    void sourceChangesWhileRunningStartNewTimelines();
    void recomposeResendsTheNewestOutputSizedFrame();
    void blankFrame();
    void stillImageIsLetterboxedOnce();
    void overlaySlots();
    void overlayFrameForReboundSlotIsDiscarded();
    void outputFpsIsClamped_data();
    void outputFpsIsClamped();
    void selectionSetsEffectiveSize();
    void decoderTargetSizesFollowOutput();
    void programStateKeepsTheDrawingOfALargeProgram();
    void startPreparesTheOverlaysAtTheOutputSize();
    void failedStartUndoesLockAndTargetSizes();
    void startWhileStoppingIsRefusedAndStopSignalsOnce();
    void transportFailureStopsAndReports();
    void unwritableRecordingFolderIsReported();
    void audioReadsOfUnboundSlotsAreSilent();
    void detachingTheRegisteredMixerStopsOutput();
    void mixerOutlivingItsPipelineReadsNothing();
    void destructionWhileEightDecodersDeliver();
};

void TestFramePipeline::staleGenerationsAreDroppedEverywhere()
{
    PipelineFixture f;
    FrameLog log(f.pipeline);
    f.pipeline.applyProgramState(channelProgram(0), nullptr);

    // A channel that never got a source accepts every generation.
    QCOMPARE(Access::expectedGeneration(f.pipeline, 1), std::uint64_t(0));
    f.pipeline.onChannelFrame(1, frameOf(640, 360, 5, 77));
    QVERIFY(Access::latest(f.pipeline, 1));

    const QString sources[4] = {kMissingClip, QString(), QString(), QString()};
    const std::uint64_t before = Access::channelDecoder(f.pipeline, 0)->generation.load();
    f.pipeline.setChannelSources(sources);
    const std::uint64_t expected = Access::expectedGeneration(f.pipeline, 0);
    QCOMPARE(expected, before + 1);

    deliverFromThread(f.pipeline, 0, {frameOf(1920, 1080, 1, expected - 1)});
    QTest::qWait(20);
    QVERIFY(!Access::latest(f.pipeline, 0));
    QVERIFY(log.previews.empty() || log.previews.front().first != 0);
    QVERIFY(log.base.empty());

    // Size reports of the old source are ignored too.
    f.pipeline.onChannelSourceVideoInfoChanged(0, 1280, 720, 1280, 720, expected - 1);
    QCOMPARE(Access::displaySize(f.pipeline, 0), QSize(-1, -1));

    deliverFromThread(f.pipeline, 0, {frameOf(1920, 1080, 2, expected)});
    QTRY_COMPARE_WITH_TIMEOUT(log.base.size(), std::size_t(1), 2000);
    QCOMPARE(log.base.front(), std::int64_t(2));
    QVERIFY(Access::latest(f.pipeline, 0));
}

void TestFramePipeline::programTakesOnlyOutputSizedFramesWhileRunning_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<QSize>("frameSize");
    QTest::addColumn<bool>("reachesProgram");
    QTest::newRow("running, 1080p frame for a 720p output") << true << QSize(1920, 1080) << false;
    QTest::newRow("running, output-sized frame") << true << QSize(1280, 720) << true;
    QTest::newRow("idle, any size") << false << QSize(1920, 1080) << true;
}

void TestFramePipeline::programTakesOnlyOutputSizedFramesWhileRunning()
{
    QFETCH(bool, running);
    QFETCH(QSize, frameSize);
    QFETCH(bool, reachesProgram);

    PipelineFixture f;
    FrameLog log(f.pipeline);
    f.pipeline.applyProgramState(channelProgram(0), nullptr);
    f.pipeline.setOutputResolutionSelection(1280, 720);
    f.recordTo();
    if (running)
        QVERIFY(f.pipeline.startOutputs());

    deliverFromThread(f.pipeline, 0, {frameOf(frameSize.width(), frameSize.height(), 40000)});
    QTRY_COMPARE_WITH_TIMEOUT(log.previews.size(), std::size_t(1), 2000);
    QTest::qWait(20);
    QVERIFY(Access::latest(f.pipeline, 0));
    QCOMPARE(log.program.size(), std::size_t(reachesProgram ? 1 : 0));
    if (running && reachesProgram)
        QVERIFY(f.sink->waitEncodedCount(1, 2000));
    f.pipeline.stopOutputsAndWait();
}

void TestFramePipeline::burstOfFramesGivesOnePreview()
{
    PipelineFixture f;
    FrameLog log(f.pipeline);
    std::vector<FrameTokenPtr> frames;
    for (int i = 1; i <= 10; ++i)
        frames.push_back(frameOf(640, 360, i));
    deliverFromThread(f.pipeline, 2, std::move(frames));

    QTRY_COMPARE_WITH_TIMEOUT(log.previews.size(), std::size_t(1), 2000);
    QTest::qWait(30);
    QCOMPARE(log.previews.size(), std::size_t(1));
    QCOMPARE(log.previews.front(), std::make_pair(2, std::int64_t(10)));
}

void TestFramePipeline::fourChannelsFlushInChannelOrder()
{
    PipelineFixture f;
    FrameLog log(f.pipeline);
    std::thread decoder([&] {
        for (int j : {3, 1, 0, 2})
            f.pipeline.onChannelFrame(j, frameOf(640, 360, 100 + j));
    });
    decoder.join();
    QTRY_COMPARE_WITH_TIMEOUT(log.previews.size(), std::size_t(4), 2000);
    for (int j = 0; j < 4; ++j)
        QCOMPARE(log.previews[j], std::make_pair(j, std::int64_t(100 + j)));
}

void TestFramePipeline::pendingProgramFrameDroppedOnSourceSwitch()
{
    PipelineFixture f;
    FrameLog log(f.pipeline);
    f.pipeline.applyProgramState(channelProgram(0), nullptr);
    FrameTokenPtr frame = frameOf(1920, 1080, 9);
    std::weak_ptr<FrameToken> watch = frame;
    deliverFromThread(f.pipeline, 0, {std::move(frame)});
    f.pipeline.applyProgramState(channelProgram(1), nullptr);
    QTest::qWait(30);
    QVERIFY(log.base.empty());
    QVERIFY(log.program.empty());
    // Still held only by the channel's newest-frame queue and the preview.
    QCOMPARE(log.previews.size(), std::size_t(1));
    QVERIFY(Access::latest(f.pipeline, 0));
    Q_UNUSED(watch);
}

void TestFramePipeline::recomposeResendsTheNewestOutputSizedFrame()
{
    OverlayManager overlays;
    PipelineFixture f;
    FrameLog log(f.pipeline);
    f.pipeline.applyProgramState(channelProgram(0), &overlays);
    deliverFromThread(f.pipeline, 0, {frameOf(1920, 1080, 5000)});
    QTRY_COMPARE_WITH_TIMEOUT(log.program.size(), std::size_t(1), 2000);

    // Overlay changes reach the program although the channel sends nothing new.
    f.pipeline.recomposeProgram();
    QCOMPARE(log.program.size(), std::size_t(2));
    QCOMPARE(log.program.back()->ptsUs, std::int64_t(5000));
    QCOMPARE(log.base.size(), std::size_t(1));

    // A newest frame of another size is not the program's.
    f.pipeline.setOutputResolutionSelection(1280, 720);
    deliverFromThread(f.pipeline, 0, {frameOf(640, 360, 6000)});
    QTRY_COMPARE_WITH_TIMEOUT(log.previews.size(), std::size_t(2), 2000);
    const std::size_t before = log.program.size();
    f.pipeline.recomposeProgram();
    QCOMPARE(log.program.size(), before);
}

void TestFramePipeline::sourceChangesWhileRunningStartNewTimelines()
{
    PipelineFixture f;
    f.pipeline.applyProgramState(channelProgram(0), nullptr);
    f.recordTo();
    QVERIFY(f.pipeline.startOutputs());

    // Same source again: nothing new.
    f.pipeline.applyProgramState(channelProgram(0), nullptr);
    QCOMPARE(f.sink->sessions(), 0);
    // Another channel on program.
    f.pipeline.applyProgramState(channelProgram(1), nullptr);
    QCOMPARE(f.sink->sessions(), 1);
    // A new source on the program channel; one on another channel changes nothing.
    const QString sources[4] = {kMissingClip + ".x", kMissingClip + ".y", QString(), QString()};
    f.pipeline.setChannelSources(sources);
    QCOMPARE(f.sink->sessions(), 2);
    f.pipeline.stopOutputsAndWait();
}

void TestFramePipeline::blankFrame()
{
    PipelineFixture f;
    FrameLog log(f.pipeline);
    f.pipeline.submitBlankFrame(1500);
    QCOMPARE(log.program.size(), std::size_t(1));
    QVERIFY(log.base.empty());
    const FrameTokenPtr frame = log.program.front();
    QCOMPARE(frame->ptsUs, std::int64_t(1500000));
    QCOMPARE(QSize(frame->width, frame->height), QSize(1920, 1080));
    const QByteArray bytes = frame->data.left(frame->bytesPerLine * frame->height);
    QCOMPARE(bytes.count('\0'), qsizetype(bytes.size()));

    // With the pool exhausted nothing comes out.
    FramePool& pool = Access::channelPool(f.pipeline);
    std::vector<FrameTokenPtr> held;
    while (FrameTokenPtr t = pool.acquire())
        held.push_back(std::move(t));
    log.program.clear();
    f.pipeline.submitBlankFrame(1600);
    QVERIFY(log.program.empty());
}

void TestFramePipeline::stillImageIsLetterboxedOnce()
{
    PipelineFixture f;
    FrameLog log(f.pipeline);
    QImage image(1000, 1000, QImage::Format_RGBA8888);
    image.fill(Qt::white);
    f.pipeline.submitImageFrame(image, 777);
    QCOMPARE(log.program.size(), std::size_t(1));
    const FrameTokenPtr frame = log.program.front();
    QCOMPARE(frame->ptsUs, std::int64_t(777));
    const QImage view(reinterpret_cast<const uchar*>(frame->data.constData()), frame->width, frame->height,
                      frame->bytesPerLine, QImage::Format_RGBA8888);
    QCOMPARE(view.size(), QSize(1920, 1080));
    QCOMPARE(view.pixel(419, 540), qRgba(0, 0, 0, 255));
    QCOMPARE(view.pixel(421, 540), qRgba(255, 255, 255, 255));
    QCOMPARE(view.pixel(1498, 540), qRgba(255, 255, 255, 255));
    QCOMPARE(view.pixel(1501, 540), qRgba(0, 0, 0, 255));

    const qint64 canvasKey = Access::imageCanvasKey(f.pipeline);
    f.pipeline.submitImageFrameMs(image, 2);
    QCOMPARE(log.program.size(), std::size_t(2));
    QCOMPARE(log.program.back()->ptsUs, std::int64_t(2000));
    QCOMPARE(Access::imageCanvasKey(f.pipeline), canvasKey); // not painted again
}

void TestFramePipeline::overlaySlots()
{
    PipelineFixture f;
    const QString a = kMissingClip + ".a", b = kMissingClip + ".b";
    QVERIFY(f.pipeline.registerOverlayVideo(10, a));
    QCOMPARE(f.pipeline.overlaySlotForMedia(10), 0);
    FFmpegVideoDecoder* slot0 = Access::overlayDecoder(f.pipeline, 0);
    QVERIFY(slot0->audioEnabled.load());
    slot0->waitIdle();
    const std::uint64_t generation = slot0->generation.load();

    // Same id and path: the video keeps playing where it is.
    QVERIFY(f.pipeline.registerOverlayVideo(10, a));
    slot0->waitIdle();
    QCOMPARE(slot0->generation.load(), generation);

    // Same id, new path: rebinds.
    QVERIFY(f.pipeline.registerOverlayVideo(10, b));
    QCOMPARE(f.pipeline.overlaySlotForMedia(10), 0);
    slot0->waitIdle();
    QCOMPARE(slot0->generation.load(), generation + 1);

    QVERIFY(f.pipeline.registerOverlayVideo(11, a));
    QVERIFY(f.pipeline.registerOverlayVideo(12, a));
    QVERIFY(f.pipeline.registerOverlayVideo(13, a));
    QTest::ignoreMessage(QtWarningMsg, "FramePipeline: overlay video slots full (max 4 )");
    QVERIFY(!f.pipeline.registerOverlayVideo(14, a));
    QCOMPARE(f.pipeline.overlaySlotForMedia(14), -1);

    f.pipeline.releaseOverlayVideoSlot(12);
    QCOMPARE(f.pipeline.overlaySlotForMedia(12), -1);
    QVERIFY(!Access::overlayDecoder(f.pipeline, 2)->audioEnabled.load());
    QVERIFY(f.pipeline.registerOverlayVideo(14, a));
    QCOMPARE(f.pipeline.overlaySlotForMedia(14), 2);

    QVERIFY(!f.pipeline.registerOverlayVideo(-1, a));
    QVERIFY(!f.pipeline.registerOverlayVideo(15, QString()));
    QCOMPARE(f.pipeline.overlayDurationMs(99), qint64(-1));
}

void TestFramePipeline::overlayFrameForReboundSlotIsDiscarded()
{
    OverlayManager overlays;
    PipelineFixture f;
    MediaOverlayData media;
    media.id = 10;
    media.kind = MediaOverlayData::kVideo;
    media.path = kMissingClip;
    media.rect = QRectF(0.5, 0.5, 0.25, 0.25);
    QVERIFY(overlays.setMediaOverlay(media));
    f.pipeline.applyProgramState(ProgramState(), &overlays);
    QVERIFY(f.pipeline.registerOverlayVideo(10, kMissingClip));
    // Decodes at its box on the canvas.
    QCOMPARE(Access::overlayDecoder(f.pipeline, 0)->effectiveOutputSize(), QSize(480, 270));

    QSignalSpy frames(&f.pipeline, &FramePipeline::overlayFrameReady);
    std::thread decoder([&] { f.pipeline.onOverlayFrame(0, frameOf(480, 270, 3500000)); });
    decoder.join();
    QTRY_COMPARE_WITH_TIMEOUT(frames.size(), 1, 2000);
    QCOMPARE(frames.at(0).at(0).toInt(), 10);
    QCOMPARE(frames.at(0).at(1).toLongLong(), qint64(3500));
    QCOMPARE(frames.at(0).at(2).value<QImage>().size(), QSize(320, 180));
    QVERIFY(!overlays.videoOverlayFrame(10).isNull());

    // A frame still pending when the slot is rebound never reaches the model.
    std::thread late([&] { f.pipeline.onOverlayFrame(0, frameOf(480, 270, 3600000)); });
    late.join();
    f.pipeline.releaseOverlayVideoSlot(10);
    QVERIFY(overlays.videoOverlayFrame(10).isNull());
    QTest::qWait(30);
    QCOMPARE(frames.size(), 1);
    QVERIFY(overlays.videoOverlayFrame(10).isNull());
}

void TestFramePipeline::outputFpsIsClamped_data()
{
    QTest::addColumn<double>("requested");
    QTest::addColumn<double>("stored");
    QTest::newRow("0 stores 1") << 0.0 << 1.0;
    QTest::newRow("120 stores 60") << 120.0 << 60.0;
    QTest::newRow("25 kept") << 25.0 << 25.0;
}

void TestFramePipeline::outputFpsIsClamped()
{
    QFETCH(double, requested);
    QFETCH(double, stored);
    PipelineFixture f;
    f.recordTo();
    QVERIFY(f.pipeline.startOutputs());
    // The router takes the clamped rate even while output runs.
    f.pipeline.setOutputFps(requested);
    QCOMPARE(f.pipeline.outputFps(), stored);
    f.pipeline.stopOutputsAndWait();
}

void TestFramePipeline::selectionSetsEffectiveSize()
{
    PipelineFixture f;
    QSignalSpy changed(&f.pipeline, &FramePipeline::effectiveOutputResolutionChanged);
    f.pipeline.setOutputResolutionSelection(1280, 720);
    QCOMPARE(f.pipeline.effectiveOutput().resolution.effective, QSize(1280, 720));
    QCOMPARE(Access::channelPool(f.pipeline).frameSize(), std::make_pair(1280, 720));
    QCOMPARE(Access::overlayPool(f.pipeline).frameSize(), std::make_pair(1280, 720));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.at(0).at(0).toSize(), QSize(1280, 720));
    QCOMPARE(changed.at(0).at(1).toBool(), false);
    QCOMPARE(changed.at(0).at(2).toBool(), false);

    // Nothing changes: no signal.
    f.pipeline.setOutputResolutionSelection(1280, 720);
    QCOMPARE(changed.size(), 1);

    // A new rate that changes the recommended bitrate is announced.
    f.pipeline.setOutputFps(60);
    QCOMPARE(changed.size(), 2);

    QTest::ignoreMessage(QtWarningMsg, "FramePipeline: invalid output resolution selection QSize(1024, 768)");
    f.pipeline.setOutputResolutionSelection(1024, 768);
    QCOMPARE(f.pipeline.effectiveOutput().resolution.effective, QSize(1280, 720));
    QCOMPARE(changed.size(), 2);
    f.pipeline.setOutputResolutionSelection(1280, 720);

    // While locked, a selection is ignored and not remembered.
    QCOMPARE(f.pipeline.lockOutputResolution(), QSize(1280, 720));
    f.pipeline.setOutputResolutionSelection(1920, 1080);
    f.pipeline.unlockOutputResolution();
    QCOMPARE(f.pipeline.effectiveOutput().resolution.effective, QSize(1280, 720));
}

void TestFramePipeline::decoderTargetSizesFollowOutput()
{
    PipelineFixture f;
    f.pipeline.applyProgramState(channelProgram(1), nullptr);
    f.pipeline.setOutputResolutionSelection(3840, 2160);
    f.recordTo();
    FFmpegVideoDecoder* program = Access::channelDecoder(f.pipeline, 1);
    FFmpegVideoDecoder* other = Access::channelDecoder(f.pipeline, 0);
    QCOMPARE(program->effectiveOutputSize(), QSize(1920, 1080));

    QVERIFY(f.pipeline.startOutputs());
    QVERIFY(f.pipeline.isOutputResolutionLocked());
    QCOMPARE(program->effectiveOutputSize(), QSize(3840, 2160));
    QCOMPARE(other->effectiveOutputSize(), QSize(640, 360));

    QSignalSpy stopped(&f.pipeline, &FramePipeline::programOutputStopped);
    f.pipeline.stopOutputsAsync();
    QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 5000);
    QVERIFY(!f.pipeline.isOutputResolutionLocked());
    QCOMPARE(program->effectiveOutputSize(), QSize(1920, 1080));
    QCOMPARE(f.sink->closes(), 1);
}

namespace {

// A 4K output selected for channel 0's program, with a drawing over it; in
// preview it composes at 1920x1080.
void showDrawingInA4KProgram(PipelineFixture& f, OverlayManager& overlays)
{
    DoodleStroke stroke;
    stroke.points = {QPointF(0.1, 0.1), QPointF(0.9, 0.8)};
    stroke.width = 4 / 360.0;
    stroke.colour = Qt::red;
    overlays.setDoodleStrokes({stroke});
    f.pipeline.setOutputResolutionSelection(3840, 2160);
    f.pipeline.applyProgramState(channelProgram(0), &overlays);
    QCOMPARE(overlays.canvas(), QSize(1920, 1080));
}

} // namespace

void TestFramePipeline::programStateKeepsTheDrawingOfALargeProgram()
{
    // A 4K program in preview composes at 1920x1080. Applying the program
    // state again (as every overlay change does) must leave the canvas and
    // the drawing rendered for it alone, not flip them to 4K and back.
    PipelineFixture f;
    OverlayManager overlays;
    showDrawingInA4KProgram(f, overlays);
    const qint64 rendered = overlays.renderDoodle(overlays.canvas()).cacheKey();

    f.pipeline.applyProgramState(channelProgram(0), &overlays);
    QCOMPARE(overlays.canvas(), QSize(1920, 1080));
    QCOMPARE(overlays.renderDoodle(overlays.canvas()).cacheKey(), rendered);

    // Running, the canvas is the output size.
    f.recordTo();
    QVERIFY(f.pipeline.startOutputs());
    QCOMPARE(overlays.canvas(), QSize(3840, 2160));
    f.pipeline.applyProgramState(channelProgram(0), &overlays);
    QCOMPARE(overlays.canvas(), QSize(3840, 2160));
    QSignalSpy stopped(&f.pipeline, &FramePipeline::programOutputStopped);
    f.pipeline.stopOutputsAsync();
    QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 5000);
    QCOMPARE(overlays.canvas(), QSize(1920, 1080));
}

// Starting a 4K output changes the canvas from the preview's size. The
// drawing is laid out for the new size during the start, before the first
// frame of the run comes, so that frame is not held up by it.
void TestFramePipeline::startPreparesTheOverlaysAtTheOutputSize()
{
    PipelineFixture f;
    OverlayManager overlays;
    showDrawingInA4KProgram(f, overlays);

    f.recordTo();
    QVERIFY(f.pipeline.startOutputs());
    QCOMPARE(overlays.canvas(), QSize(3840, 2160));
    QRect laidOut;
    for (const QRect& area : overlays.renderedDoodleAreas())
        laidOut |= area;
    QVERIFY2(laidOut.right() > 3000 && laidOut.bottom() > 1600,
             qPrintable(QString("drawing laid out over %1x%2").arg(laidOut.right()).arg(laidOut.bottom())));
    QTest::qWait(200);
    QVERIFY(f.sink->encoded().empty()); // nothing of the preparation is sent
    QSignalSpy stopped(&f.pipeline, &FramePipeline::programOutputStopped);
    f.pipeline.stopOutputsAsync();
    QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 5000);
}

void TestFramePipeline::failedStartUndoesLockAndTargetSizes()
{
    PipelineFixture f;
    f.sink->configureResult = false;
    f.pipeline.applyProgramState(channelProgram(0), nullptr);
    f.pipeline.setOutputResolutionSelection(3840, 2160);
    f.recordTo();
    QVERIFY(!f.pipeline.startOutputs());
    QCOMPARE(f.sinksMade, 1);
    QVERIFY(!f.pipeline.isOutputRunning());
    QVERIFY(!f.pipeline.isOutputResolutionLocked());
    QCOMPARE(Access::channelDecoder(f.pipeline, 0)->effectiveOutputSize(), QSize(1920, 1080));
    // Unlocked: the next selection applies at once.
    f.pipeline.setOutputResolutionSelection(1280, 720);
    QCOMPARE(f.pipeline.effectiveOutput().resolution.effective, QSize(1280, 720));
}

void TestFramePipeline::startWhileStoppingIsRefusedAndStopSignalsOnce()
{
    PipelineFixture f;
    f.recordTo();
    QVERIFY(f.pipeline.startOutputs());
    QSignalSpy stopped(&f.pipeline, &FramePipeline::programOutputStopped);
    f.pipeline.stopOutputsAsync();
    // Stopping until the GUI thread takes the stop task's finish call.
    QVERIFY(!f.pipeline.startOutputs());
    QCOMPARE(f.sinksMade, 1);
    f.pipeline.stopOutputsAsync();
    QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 5000);
    QTest::qWait(50);
    QCOMPARE(stopped.size(), 1);

    QVERIFY(f.pipeline.startOutputs());
    QCOMPARE(f.sinksMade, 2);
    f.pipeline.stopOutputsAndWait();
    QVERIFY(!f.pipeline.isOutputRunning());
    QVERIFY(!f.pipeline.isOutputResolutionLocked());
}

void TestFramePipeline::transportFailureStopsAndReports()
{
    PipelineFixture f;
    f.pipeline.setStreamTargets({StreamTarget{"rtmp://127.0.0.1/live/x", "flv", 1}});
    QVERIFY(f.pipeline.startOutputs());
    QSignalSpy failed(&f.pipeline, &FramePipeline::programOutputTransportFailed);
    QSignalSpy stopped(&f.pipeline, &FramePipeline::programOutputStopped);
    QSignalSpy status(&f.pipeline, &FramePipeline::programStreamStatusChanged);

    // The sink reports from its own threads.
    std::thread network([&] {
        f.sink->status(1, QStringLiteral("online"));
        f.sink->fatalError();
    });
    network.join();
    QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 5000);
    QCOMPARE(status.size(), 1);
    QCOMPARE(status.at(0).at(0).toInt(), 1);
    QCOMPARE(status.at(0).at(1).toString(), QString("online"));
    QCOMPARE(failed.size(), 1);
    QVERIFY(failed.at(0).at(0).toString().startsWith(QString::fromUtf8("输出已停止")));
    QVERIFY(!f.pipeline.isOutputRunning());
}

void TestFramePipeline::unwritableRecordingFolderIsReported()
{
    PipelineFixture f;
    QFile blocker(f.dir.filePath("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    f.pipeline.setOutputPath(f.dir.filePath("blocker/out.mp4"));
    f.pipeline.setStreamTargets({StreamTarget{"rtmp://127.0.0.1/live/x", "flv", 0}});
    QSignalSpy errors(&f.pipeline, &FramePipeline::errorOccurred);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("output directory not writable"));
    QVERIFY(f.pipeline.startOutputs());
    QCOMPARE(errors.size(), 1);
    QVERIFY(f.sink->recordPath.isEmpty());
    f.pipeline.stopOutputsAndWait();
}

void TestFramePipeline::audioReadsOfUnboundSlotsAreSilent()
{
    PipelineFixture f;
    std::vector<float> out(2 * 64 + 1, 9.0f);
    f.pipeline.readOverlayAudio(7, out.data(), 64);
    for (int i = 0; i < 128; ++i)
        QCOMPARE(out[i], 0.0f);
    QCOMPARE(out[128], 9.0f);

    std::fill(out.begin(), out.end(), 9.0f);
    f.pipeline.readChannelAudio(-1, out.data(), 64);
    QCOMPARE(out[127], 0.0f);
    f.pipeline.readChannelAudio(0, nullptr, 64); // ignored
    f.pipeline.readOverlayAudio(0, out.data(), 0);

    QCOMPARE(f.pipeline.channelDurationMs(5), qint64(-1));
    f.pipeline.setChannelLooping(4, true);
    f.pipeline.setChannelPlayback(-1, 0, true);
}

void TestFramePipeline::detachingTheRegisteredMixerStopsOutput()
{
    PipelineFixture f;
    PreviewAudioMixer registered(&f.pipeline);
    PreviewAudioMixer stranger(&f.pipeline);
    f.pipeline.setPreviewAudioMixerForOutput(&registered);
    f.recordTo();
    QVERIFY(f.pipeline.startOutputs());

    f.pipeline.detachPreviewAudioMixer(&stranger);
    QVERIFY(f.pipeline.isOutputRunning());

    QSignalSpy stopped(&f.pipeline, &FramePipeline::programOutputStopped);
    f.pipeline.detachPreviewAudioMixer(&registered);
    // Stopped before the call returns, and without the asynchronous signal.
    QVERIFY(!f.pipeline.isOutputRunning());
    QCOMPARE(f.sink->closes(), 1);
    QVERIFY(!f.pipeline.isOutputResolutionLocked());
    QCOMPARE(stopped.size(), 0);
    registered.detachSource();
    stranger.detachSource();
}

void TestFramePipeline::mixerOutlivingItsPipelineReadsNothing()
{
    // The window detaches the mixer, destroys the pipeline, then stops the
    // mixer: ticks in between must not reach the destroyed pipeline (ASan).
    // The preview runs with its timer stopped, so each call is one real tick.
    auto f = std::make_unique<PipelineFixture>();
    PreviewAudioMixer mixer(&f->pipeline);
    mixer.startPreview();
    auto* timer = mixer.findChild<QTimer*>();
    auto* speaker = mixer.findChild<QIODevice*>();
    QVERIFY(timer && speaker);
    timer->stop();
    mixer.setProgramChannelGain(1.0f);
    f->pipeline.setPreviewAudioMixerForOutput(&mixer);
    mixer.mixTick();
    // A tick that reads the pipeline queues one tick of sound.
    QCOMPARE(speaker->bytesAvailable(), qint64(PreviewAudioMixer::kTickBytes));

    f->pipeline.detachPreviewAudioMixer(&mixer);
    f.reset();
    mixer.mixTick();
    QCOMPARE(speaker->bytesAvailable(), qint64(PreviewAudioMixer::kTickBytes));
    QCOMPARE(mixer.playedFrames(), std::int64_t(0));
    mixer.stopPreview();
}

void TestFramePipeline::destructionWhileEightDecodersDeliver()
{
    const QString clip = testsupport::clipWithAudio(3, 640, 360, 30);
    QVERIFY(!clip.isEmpty());
    auto sink = std::make_shared<FakeRouterSink>();
    QTemporaryDir dir;
    OverlayManager overlays;
    auto pipeline = std::make_unique<FramePipeline>([sink] { return std::shared_ptr<RouterSink>(sink); }, nullptr);
    for (int k = 0; k < 4; ++k) {
        MediaOverlayData media;
        media.id = 100 + k;
        media.kind = MediaOverlayData::kVideo;
        media.path = clip;
        media.rect = QRectF(0.25 * k, 0.0, 0.25, 0.25);
        QVERIFY(overlays.setMediaOverlay(media));
    }
    pipeline->applyProgramState(channelProgram(0), &overlays);
    const QString sources[4] = {clip, clip, clip, clip};
    pipeline->setChannelSources(sources);
    for (int j = 0; j < 4; ++j) {
        pipeline->setChannelLooping(j, true);
        pipeline->setChannelPlayback(j, 0, true);
    }
    for (int k = 0; k < 4; ++k) {
        QVERIFY(pipeline->registerOverlayVideo(100 + k, clip));
        pipeline->setOverlayVideoLooping(100 + k, true);
        pipeline->setOverlayVideoPlayback(100 + k, 0, true);
    }
    pipeline->setOutputPath(dir.filePath("out.mp4"));
    QVERIFY(pipeline->startOutputs());

    std::array<int, 4> previews{};
    int overlayFrames = 0;
    connect(pipeline.get(), &FramePipeline::channelFrameReady, this, [&](int j, FrameTokenPtr) { ++previews[j]; });
    connect(pipeline.get(), &FramePipeline::overlayFrameReady, this, [&](int, qint64, QImage) { ++overlayFrames; });
    // Every decoder is delivering before the pipeline goes.
    QTRY_VERIFY_WITH_TIMEOUT(*std::min_element(previews.begin(), previews.end()) >= 10 && overlayFrames >= 20, 15000);
    pipeline.reset();
    QVERIFY(sink->closes() == 1);
}

QUORB_TEST_MAIN(TestFramePipeline)
#include "tst_framepipeline.moc"
