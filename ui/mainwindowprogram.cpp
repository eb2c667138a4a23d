// What feeds the program picture: a channel, a still-image slideshow or
// nothing; the hand-over of channel sources to the pipeline, the idle picture,
// the image pump while output runs and the 33 ms composition tick.

#include "ui/mainwindow.h"

#include "engine/compositioncontroller.h"
#include "engine/framepipeline.h"
#include "engine/loadimagescaled.h"
#include "engine/overlaymanager.h"
#include "engine/previewaudiomixer.h"
#include "ui/imageplaybackpanel.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/outputstartrules.h"
#include "ui/previewwidget.h"
#include "ui/videoinputpanel.h"

#include <QTimer>
#include <QUrl>

namespace {

// Once per second at most while the program channel plays during output.
constexpr qint64 kRecomposeEveryMs = 999;
constexpr int kStaticOverlayEveryTicks = 3;
constexpr int kFallbackImageSide = 1920;

// Monotonic milliseconds: a wall clock stepped back must not stall the
// recompose. Never 0, which marks "not started".
qint64 monotonicNowMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed() + 1;
}

} // namespace

int MainWindow::programChannelIndex() const
{
    if (!compositionController)
        return -1;
    const int source = compositionController->programSource();
    return source >= 1 && source <= 4 ? source - 1 : -1;
}

bool MainWindow::programChannelHasSource() const
{
    const int channel = programChannelIndex();
    return channel >= 0 && channelPanels[channel] && !channelPanels[channel]->sourceUrl().isEmpty();
}

bool MainWindow::inImageMode() const
{
    return compositionController && compositionController->programSource() == ProgramState::kStillImage
        && !slideshowImages.isEmpty();
}

QString MainWindow::channelSourceText(int channel) const
{
    if (channel < 0 || channel >= 4 || !channelPanels[channel])
        return {};
    const QUrl url = channelPanels[channel]->sourceUrl();
    if (url.isEmpty())
        return {};
    return url.isLocalFile() ? url.toLocalFile() : url.toString();
}

const QImage& MainWindow::currentSlideshowImage() const
{
    static const QImage none;
    if (slideshowImages.isEmpty())
        return none;
    return slideshowImages[slideshowIndex % slideshowImages.size()];
}

void MainWindow::syncChannelSources()
{
    if (!framePipeline || !overlayManager || !compositionController)
        return;
    QString sources[4];
    for (int i = 0; i < 4; ++i)
        sources[i] = channelSourceText(i);
    framePipeline->setChannelSources(sources);
    refreshProgramRouting(false);
    if (previewAudioMixer) {
        for (int i = 0; i < 4; ++i) {
            if (channelPanels[i])
                previewAudioMixer->setChannelLocalGain(i, channelPanels[i]->monitorVolume() / 100.0f);
        }
    }
}

void MainWindow::refreshProgramRouting(bool skipWhenChannelPlays)
{
    if (!framePipeline || !overlayManager || !compositionController)
        return;
    framePipeline->applyProgramState(compositionController->snapshot(), overlayManager);
    if (skipWhenChannelPlays && programChannelHasSource() && channelPanels[programChannelIndex()]->isPlaying())
        return;
    updateIdleProgram();
    framePipeline->recomposeProgram();
}

void MainWindow::scheduleProgramRefresh()
{
    if (programRefreshPending)
        return;
    programRefreshPending = true;
    QTimer::singleShot(0, this, [this] {
        programRefreshPending = false;
        refreshProgramRouting(true);
    });
}

void MainWindow::updateIdleProgram()
{
    if (framePipeline && !inImageMode() && !programChannelHasSource())
        framePipeline->submitBlankFrame(programClock.positionMs);
}

qint64 MainWindow::nextImageFramePts()
{
    if (!imagePtsClock.isValid())
        imagePtsClock.start();
    const qint64 now = imagePtsClock.nsecsElapsed() / 1000;
    const qint64 result = lastImagePtsUs < now ? now : lastImagePtsUs + 1;
    lastImagePtsUs = result;
    return result;
}

void MainWindow::stopImagePump()
{
    if (imagePumpTimer)
        imagePumpTimer->stop();
    imagePtsClock.invalidate();
    lastImagePtsUs = -1;
}

void MainWindow::updateImagePumpTimer()
{
    if (!imagePumpTimer || !framePipeline)
        return;
    if (inImageMode() && framePipeline->isOutputRunning()) {
        if (!imagePtsClock.isValid()) {
            imagePtsClock.start();
            lastImagePtsUs = -1;
        }
        imagePumpTimer->setInterval(imagePumpIntervalMs(framePipeline->outputFps()));
        if (!imagePumpTimer->isActive())
            imagePumpTimer->start();
        return;
    }
    stopImagePump();
}

void MainWindow::pumpImageFrame()
{
    if (framePipeline && inImageMode() && framePipeline->isOutputRunning()) {
        framePipeline->submitImageFrame(currentSlideshowImage(), nextImageFramePts());
        return;
    }
    stopImagePump();
}

void MainWindow::pushCurrentSlideshowImage()
{
    if (framePipeline) {
        if (framePipeline->isOutputRunning())
            framePipeline->submitImageFrame(currentSlideshowImage(), nextImageFramePts());
        else
            framePipeline->submitImageFrameMs(currentSlideshowImage(), programClock.positionMs);
    } else if (programPreview) {
        programPreview->setProgramImage(currentSlideshowImage());
    }
}

void MainWindow::stopImagePlayback(bool resetClock)
{
    lastRecomposeMs = 0;
    stopImagePump();
    if (slideshowTimer)
        slideshowTimer->stop();
    slideshowLoop = true;
    slideshowIndex = 0;
    slideshowImages.clear();
    slideshowPaths.clear();
    if (programPreview)
        programPreview->clearProgram();
    if (compositionController)
        compositionController->setProgramSource(0, QString());
    if (resetClock)
        programClock.reset(0, true);
    syncChannelSources();
    updateIdleProgram();
    if (imagePlaybackPanel)
        imagePlaybackPanel->setPlaying(false);
}

void MainWindow::switchProgramToChannel(int channel, bool followPanel)
{
    if (!programPreview || channel < 0 || channel >= 4 || !channelPanels[channel])
        return;
    VideoInputPanel* strip = channelPanels[channel];
    stopImagePlayback(false);
    for (int i = 0; i < 4; ++i) {
        if (channelPanels[i] && i != channel)
            channelPanels[i]->setOutputToPreviewChecked(false);
    }
    strip->setOutputToPreviewChecked(true);
    for (int i = 0; i < 4; ++i) {
        if (channelPanels[i])
            channelPanels[i]->setProgramActive(i == channel);
    }
    if (!strip->sourceUrl().isEmpty() && compositionController)
        compositionController->setProgramSource(channel + 1, channelSourceText(channel));
    if (followPanel) {
        programClock.reset(strip->positionMs(), strip->isPlaying());
        if (framePipeline)
            framePipeline->setChannelPlayback(channel, strip->positionMs(), strip->isPlaying());
    } else if (framePipeline) {
        framePipeline->setChannelPlayback(channel, programClock.positionMs, programClock.running);
    }
    syncChannelSources();
}

void MainWindow::startImagePlayback(const QStringList& paths, int intervalMs, bool resetClock, bool loop)
{
    if (!programPreview || paths.isEmpty())
        return;
    slideshowLoop = loop;
    for (int i = 0; i < 4; ++i) {
        if (!channelPanels[i])
            continue;
        channelPanels[i]->setOutputToPreviewChecked(false);
        channelPanels[i]->setProgramActive(false);
        if (previewAudioMixer)
            previewAudioMixer->setChannelLocalGain(i, channelPanels[i]->monitorVolume() / 100.0f);
    }
    slideshowPaths = paths;
    slideshowIndex = 0;
    slideshowImages.clear();
    // Pictures are read already scaled to the output size: a folder of camera
    // photos at full size would take gigabytes and stall the GUI thread.
    int maxSide = kFallbackImageSide;
    if (framePipeline) {
        const QSize out = framePipeline->effectiveOutput().resolution.effective;
        if (out.width() > 0 && out.height() > 0)
            maxSide = qMax(out.width(), out.height());
    }
    for (const QString& path : paths) {
        QImage image = loadImageScaled(path, maxSide, true);
        if (!image.isNull())
            slideshowImages.append(std::move(image));
    }
    if (slideshowImages.isEmpty())
        return;
    lastRecomposeMs = 0;
    if (resetClock)
        programClock.reset(0, true);
    if (compositionController)
        compositionController->setProgramSource(ProgramState::kStillImage, QString());
    syncChannelSources();
    if (framePipeline && framePipeline->isOutputRunning()) {
        framePipeline->submitImageFrame(currentSlideshowImage(), nextImageFramePts());
        updateImagePumpTimer();
    } else {
        pushCurrentSlideshowImage();
    }
    if (slideshowTimer) {
        slideshowTimer->setInterval(clampSlideshowIntervalMs(intervalMs));
        slideshowTimer->start();
    }
    if (imagePlaybackPanel)
        imagePlaybackPanel->setPlaying(true);
}

void MainWindow::advanceImageSlideshow()
{
    if (slideshowImages.isEmpty())
        return;
    programClock.advance(slideshowTimer ? slideshowTimer->interval() : 0);
    int next = slideshowIndex + 1;
    if (slideshowLoop) {
        next %= slideshowImages.size();
    } else if (next >= slideshowImages.size()) {
        if (slideshowTimer)
            slideshowTimer->stop();
        if (imagePlaybackPanel)
            imagePlaybackPanel->setPlaying(false);
        tickProgramArrangementNow();
        return;
    }
    slideshowIndex = next;
    pushCurrentSlideshowImage();
    tickProgramArrangementNow();
}

void MainWindow::onCompositionTick()
{
    if (!framePipeline)
        return;
    if (!inImageMode())
        composeOnTick();
    tickProgramArrangementNow();
}

void MainWindow::composeOnTick()
{
    if (programChannelHasSource()) {
        VideoInputPanel* strip = channelPanels[programChannelIndex()];
        if (framePipeline->isOutputRunning()) {
            if (strip->isPlaying()) {
                const qint64 now = monotonicNowMs();
                if (lastRecomposeMs == 0) {
                    lastRecomposeMs = now;
                } else if (now - lastRecomposeMs > kRecomposeEveryMs) {
                    lastRecomposeMs = now;
                    framePipeline->recomposeProgram();
                }
            } else {
                lastRecomposeMs = 0;
                framePipeline->recomposeProgram();
            }
        } else {
            lastRecomposeMs = 0;
            if (!strip->isPlaying() && overlayManager && overlayManager->hasDynamicOverlays())
                framePipeline->recomposeProgram();
        }
        return;
    }
    programClock.tick();
    const bool busy = framePipeline->isOutputRunning() || (overlayManager && overlayManager->hasDynamicOverlays());
    if (overlayManager && overlayManager->hasVisibleOverlays()) {
        ++compositionTickCount;
        if (busy || compositionTickCount % kStaticOverlayEveryTicks == 0)
            framePipeline->submitBlankFrame(programClock.positionMs);
    } else if (busy) {
        ++compositionTickCount;
        framePipeline->submitBlankFrame(programClock.positionMs);
    }
}

void MainWindow::onBaseFrameReady(FrameTokenPtr frame)
{
    if (!frame)
        return;
    programClock.setPositionMs(frame->ptsUs / 1000);
    tickProgramArrangementNow();
}

void MainWindow::onOverlayFrameReady(int mediaId, qint64 ptsMs, const QImage& image)
{
    if (VideoOverlayWidget* item = videoOverlayItemFor(mediaId))
        item->setPreviewFrame(image, ptsMs);
    if (!framePipeline)
        return;
    if (inImageMode()) {
        pushCurrentSlideshowImage();
    } else if (programChannelHasSource()) {
        VideoInputPanel* strip = channelPanels[programChannelIndex()];
        if (strip && !strip->isPlaying())
            framePipeline->recomposeProgram();
    } else {
        framePipeline->submitBlankFrame(programClock.positionMs);
    }
}
