// The main window's engine wiring: the preview-audio thread, every connection
// between the panels and the engine, the start-up pushes of the panels'
// values, the channel strip handlers and the pipeline's reports.

#include "ui/mainwindow.h"

#include "engine/compositioncontroller.h"
#include "engine/framepipeline.h"
#include "engine/overlaymanager.h"
#include "engine/previewaudiomixer.h"
#include "engine/textoverlaydata.h"
#include "ui/imageplaybackpanel.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/outputsettingswidget.h"
#include "ui/outputstartrules.h"
#include "ui/previewwidget.h"
#include "ui/textpanel.h"
#include "ui/uitheme.h"
#include "ui/videoinputpanel.h"
#include "ui/volumectrlwidget.h"

#include <QDebug>
#include <QLabel>
#include <QMessageBox>
#include <QPalette>
#include <QThread>
#include <QTimer>
#include <QUrl>

namespace {

constexpr int kCompositionIntervalMs = 33;
constexpr int kSlideshowDefaultMs = 2000;
constexpr int kDurationAskDelayMs = 150;
constexpr int kNoticeWidth = 560;

float sliderGain(int value)
{
    return static_cast<float>(value) / 100.0f;
}

} // namespace

void MainWindow::setupPipeline()
{
    previewAudioThread = new QThread(this);
    previewAudioMixer = new PreviewAudioMixer(framePipeline);
    previewAudioMixer->moveToThread(previewAudioThread);
    connect(previewAudioThread, &QThread::started, previewAudioMixer, &PreviewAudioMixer::startPreview);
    previewAudioThread->start(QThread::InheritPriority);

    if (framePipeline) {
        framePipeline->setPreviewAudioMixerForOutput(previewAudioMixer);
        connect(framePipeline, &FramePipeline::errorOccurred, this, &MainWindow::onPipelineError);
        connect(framePipeline, &FramePipeline::programOutputTransportFailed, this,
                &MainWindow::onProgramOutputTransportFailed);
        connect(framePipeline, &FramePipeline::effectiveOutputResolutionChanged, this,
                &MainWindow::onEffectiveOutputResolutionChanged);
        if (outputSettings)
            outputSettings->setCanvasSize(framePipeline->effectiveOutput().resolution.effective);
        if (programPreview)
            connect(framePipeline, &FramePipeline::programFrameReady, programPreview, &PreviewWidget::setProgramFrame,
                    Qt::QueuedConnection);
        connect(framePipeline, &FramePipeline::baseFrameReady, this, &MainWindow::onBaseFrameReady);
        connect(framePipeline, &FramePipeline::channelFrameReady, this, &MainWindow::onChannelFrameReady);
        connect(framePipeline, &FramePipeline::channelPlaybackEnded, this, &MainWindow::onChannelPlaybackEnded);
        connect(framePipeline, &FramePipeline::overlayFrameReady, this, &MainWindow::onOverlayFrameReady);
        connect(framePipeline, &FramePipeline::overlayPlaybackFinished, this, &MainWindow::onOverlayPlaybackFinished);
        connect(framePipeline, &FramePipeline::channelSourceOpened, this, &MainWindow::onChannelSourceOpened);
        connect(framePipeline, &FramePipeline::overlaySourceOpened, this, &MainWindow::onOverlaySourceOpened);
    }
    if (overlayManager) {
        connect(overlayManager, &OverlayManager::overlayChanged, this, &MainWindow::scheduleProgramRefresh,
                Qt::DirectConnection);
        connect(overlayManager, &OverlayManager::overlayLayoutChanged, this, &MainWindow::updateIdleProgram,
                Qt::QueuedConnection);
    }
    if (compositionController)
        connect(compositionController, &CompositionController::programStateChanged, this,
                &MainWindow::syncChannelSources);

    compositionTimer = new QTimer(this);
    compositionTimer->setInterval(kCompositionIntervalMs);
    connect(compositionTimer, &QTimer::timeout, this, &MainWindow::onCompositionTick);
    programClock.reset(0, true);
    compositionTimer->start();
    syncChannelSources();
}

void MainWindow::setupConnections()
{
    if (volumeCtrl) {
        connect(volumeCtrl, &VolumeCtrlWidget::previewVolumeChanged, this, &MainWindow::onProgramChannelVolumeChanged);
        connect(volumeCtrl, &VolumeCtrlWidget::inputVolumeChanged, this, &MainWindow::onOverlayProgramVolumeChanged);
    }

    connect(textPanel, &TextPanel::textOverlayAdded, this, &MainWindow::onTextOverlayAdded);
    connect(textPanel, &TextPanel::textOverlayRemoved, overlayManager, &OverlayManager::removeTextOverlay);
    connect(textPanel, &TextPanel::clearOverlaysRequested, overlayManager, &OverlayManager::clearTextOverlays);

    if (outputSettings) {
        connect(outputSettings, &OutputSettingsWidget::outputFileChanged, this,
                &MainWindow::applyOutputTargetsToPipeline);
        connect(outputSettings, &OutputSettingsWidget::streamSettingsChanged, this,
                &MainWindow::applyOutputTargetsToPipeline);
        connect(outputSettings, &OutputSettingsWidget::outputTargetsChanged, this,
                &MainWindow::applyOutputTargetsToPipeline);
        connect(outputSettings, &OutputSettingsWidget::outputDimensionsChanged, this,
                &MainWindow::onOutputDimensionsChanged);
        connect(outputSettings, &OutputSettingsWidget::programRecordLinearGainChanged, this,
                &MainWindow::onRecordGainChanged);
        if (previewAudioMixer)
            previewAudioMixer->setProgramRecordLinearGain(outputSettings->programRecordLinearGain());
        connect(outputSettings, &OutputSettingsWidget::encodingSettingsChanged, this,
                &MainWindow::applyEncodingSettingsToPipeline);
        if (framePipeline)
            applyEncodingSettingsToPipeline();
        connect(outputSettings, &OutputSettingsWidget::startOutputRequested, this, &MainWindow::startOutput);
        connect(outputSettings, &OutputSettingsWidget::stopOutputRequested, this, &MainWindow::stopOutput);
        if (framePipeline) {
            connect(framePipeline, &FramePipeline::programOutputStopped, this, &MainWindow::onProgramOutputStopped);
            connect(framePipeline, &FramePipeline::programStreamStatusChanged, this,
                    &MainWindow::onProgramStreamStatusChanged);
            applyOutputTargetsToPipeline();
            framePipeline->setOutputResolutionSelection(outputSettings->outputWidth(), outputSettings->outputHeight());
        }
    }

    for (int i = 0; i < 4; ++i) {
        VideoInputPanel* strip = channelPanels[i];
        if (!strip)
            continue;
        strip->setSourceValidator(
            [this](const QString& source, QString* error) { return validateChannelSource(source, error); });
        connect(strip, &VideoInputPanel::programSeekRequested, this,
                [this, i](qint64 positionMs) { onChannelSeekRequested(i, positionMs); });
        connect(strip, &VideoInputPanel::playbackStateChanged, this,
                [this, i](bool playing) { onChannelPlaybackStateChanged(i, playing); });
        connect(strip, &VideoInputPanel::localChannelVolumeChanged, this,
                [this, i] { onChannelMonitorVolumeChanged(i); });
        connect(strip, &VideoInputPanel::channelMediaChanged, this, [this, i] { onChannelMediaChanged(i); });
        connect(strip, &VideoInputPanel::mediaSourceUnloaded, this, [this] { onChannelSourceUnloaded(); });
        connect(strip, &VideoInputPanel::outputToPreviewToggled, this,
                [this, i](bool enabled) { onChannelOutputToPreviewToggled(i, enabled); });
    }

    slideshowTimer = new QTimer(this);
    slideshowTimer->setInterval(kSlideshowDefaultMs);
    connect(slideshowTimer, &QTimer::timeout, this, &MainWindow::advanceImageSlideshow);
    imagePumpTimer = new QTimer(this);
    imagePumpTimer->setTimerType(Qt::PreciseTimer);
    connect(imagePumpTimer, &QTimer::timeout, this, &MainWindow::pumpImageFrame);

    connect(imagePlaybackPanel, &ImagePlaybackPanel::imagePlayRequested, this,
            [this](const QStringList& paths, int intervalMs, bool imageLoop) {
                startImagePlayback(paths, intervalMs, true, imageLoop);
            });
    connect(imagePlaybackPanel, &ImagePlaybackPanel::imagePlayStopRequested, this,
            [this] { stopImagePlayback(true); });

    nextOverlayId = 1;

    connect(mediaOverlayPanel, &MediaOverlayWidget::videoOverlayAdded, this, &MainWindow::onVideoOverlayAdded);
    connect(mediaOverlayPanel, &MediaOverlayWidget::videoOverlayApplyRequested, this,
            [this](VideoOverlayWidget* widget, const QString& filePath, const QRectF& rect, qlonglong positionMs,
                   bool isPlaying) { bindVideoOverlayToProgram(widget, filePath, rect, positionMs, isPlaying); });
    connect(mediaOverlayPanel, &MediaOverlayWidget::videoOverlayLoopChanged, this,
            &MainWindow::onVideoOverlayLoopChanged);
    connect(mediaOverlayPanel, &MediaOverlayWidget::videoOverlayDetachRequested, this,
            &MainWindow::detachVideoOverlay);
    // A removed item goes for good: its decoder slot is released with it.
    connect(mediaOverlayPanel, &MediaOverlayWidget::videoOverlayRemoveRequested, this,
            &MainWindow::detachVideoOverlay);
    connect(mediaOverlayPanel, &MediaOverlayWidget::imageOverlayApplyRequested, this,
            [this](ImageOverlayWidget* widget, const QString& filePath, const QRectF& rect, double opacity) {
                bindImageOverlayToProgram(widget, filePath, rect, opacity);
            });

    if (previewAudioMixer) {
        if (volumeCtrl) {
            previewAudioMixer->setProgramChannelGain(sliderGain(volumeCtrl->previewVolume()));
            for (int slot = 0; slot < 4; ++slot)
                previewAudioMixer->setOverlayProgramGain(slot, sliderGain(volumeCtrl->inputVolume(slot)));
        }
        for (int i = 0; i < 4; ++i) {
            if (channelPanels[i])
                previewAudioMixer->setChannelLocalGain(i, sliderGain(channelPanels[i]->monitorVolume()));
        }
    }
}

bool MainWindow::validateChannelSource(const QString& source, QString* error) const
{
    return !checkInputOutputConflict(source, outputSettings, error);
}

void MainWindow::onChannelMonitorVolumeChanged(int channel)
{
    if (channel < 0 || channel >= 4 || !previewAudioMixer || !channelPanels[channel])
        return;
    previewAudioMixer->setChannelLocalGain(channel, sliderGain(channelPanels[channel]->monitorVolume()));
}

void MainWindow::onChannelPlaybackStateChanged(int channel, bool playing)
{
    if (channel < 0 || channel >= 4 || !framePipeline || !channelPanels[channel])
        return;
    framePipeline->setChannelPlayback(channel, channelPanels[channel]->positionMs(), playing);
    if (channel == programChannelIndex())
        programClock.setRunning(playing);
}

void MainWindow::onChannelSeekRequested(int channel, qint64 positionMs)
{
    if (channel < 0 || channel >= 4)
        return;
    if (channel == programChannelIndex())
        programClock.setPositionMs(positionMs);
    if (framePipeline && channelPanels[channel])
        framePipeline->setChannelPlayback(channel, positionMs, channelPanels[channel]->isPlaying());
}

void MainWindow::onChannelMediaChanged(int channel)
{
    if (channel < 0 || channel >= 4)
        return;
    if (compositionController && channel == programChannelIndex() && channelPanels[channel])
        compositionController->setProgramSource(channel + 1, channelSourceText(channel));
    syncChannelSources();
    if (framePipeline && channelPanels[channel])
        framePipeline->setChannelLooping(channel, channelPanels[channel]->isLoopEnabled());
    QTimer::singleShot(kDurationAskDelayMs, this, [this, channel] { refreshChannelDuration(channel); });
}

void MainWindow::refreshChannelDuration(int channel)
{
    if (channel < 0 || channel >= 4 || !framePipeline || !channelPanels[channel])
        return;
    const qint64 duration = framePipeline->channelDurationMs(channel);
    channelPanels[channel]->setDurationMs(duration);
    // A source slower to open than the first ask gets its duration when the
    // decoder reports it.
    channelDurationPending[channel] = duration < 0 && !channelSourceText(channel).isEmpty();
}

void MainWindow::onChannelSourceOpened(int channel)
{
    if (channel < 0 || channel >= 4 || !channelDurationPending[channel])
        return;
    refreshChannelDuration(channel);
}

void MainWindow::onChannelSourceUnloaded()
{
    syncChannelSources();
}

void MainWindow::onChannelOutputToPreviewToggled(int channel, bool enabled)
{
    if (!programPreview || channel < 0 || channel >= 4)
        return;
    if (enabled) {
        switchProgramToChannel(channel, true);
        return;
    }
    if (channel != programChannelIndex())
        return;
    if (channelPanels[channel])
        channelPanels[channel]->setProgramActive(false);
    programPreview->clearProgram();
    if (compositionController)
        compositionController->setProgramSource(0, QString());
    programClock.setRunning(true);
    syncChannelSources();
}

void MainWindow::onChannelFrameReady(int channel, FrameTokenPtr frame)
{
    if (channel < 0 || channel >= 4 || !frame || !channelPanels[channel])
        return;
    channelPanels[channel]->onChannelFrame(frame, frame->ptsUs / 1000);
}

void MainWindow::onChannelPlaybackEnded(int channel)
{
    if (channel < 0 || channel >= 4 || !channelPanels[channel])
        return;
    channelPanels[channel]->onPlaybackEnded();
}

void MainWindow::onPipelineError(const QString& message)
{
    qWarning() << "FramePipeline:" << withoutUrlSecrets(message);
    showFailureNotice(withoutUrlSecrets(message));
}

void MainWindow::onEffectiveOutputResolutionChanged(QSize size, bool, bool)
{
    if (outputSettings)
        outputSettings->setCanvasSize(size);
}

void MainWindow::onProgramChannelVolumeChanged(int volume)
{
    if (previewAudioMixer)
        previewAudioMixer->setProgramChannelGain(sliderGain(volume));
}

void MainWindow::onOverlayProgramVolumeChanged(int channel, int volume)
{
    if (previewAudioMixer && channel >= 0 && channel < 4)
        previewAudioMixer->setOverlayProgramGain(channel, sliderGain(volume));
}

void MainWindow::onTextOverlayAdded(const TextOverlayData& data)
{
    if (overlayManager)
        overlayManager->setTextOverlay(data);
}

void MainWindow::onOutputDimensionsChanged(int width, int height)
{
    if (framePipeline)
        framePipeline->setOutputResolutionSelection(width, height);
}

void MainWindow::onRecordGainChanged(float linearGain)
{
    if (previewAudioMixer)
        previewAudioMixer->setProgramRecordLinearGain(linearGain);
}

void MainWindow::applyEncodingSettingsToPipeline()
{
    if (!framePipeline || !outputSettings)
        return;
    framePipeline->setOutputFps(outputSettings->outputFps());
    framePipeline->setEncoderOptions(outputSettings->videoBitrateKbps(), outputSettings->keyframeIntervalSeconds(),
                                     outputSettings->encoderMode(), outputSettings->qualityPreset());
    framePipeline->setSegmentOptions(outputSettings->segmentEnabled(), outputSettings->segmentDurationMs(),
                                     outputSettings->segmentSizeBytes());
}

void MainWindow::showFailureNotice(const QString& text)
{
    const QString title = uiLanguage == kChinese ? QStringLiteral("错误") : QStringLiteral("Error");
    if (!failureNotice) {
        failureNotice = new QMessageBox(QMessageBox::Warning, title, QString(), QMessageBox::Ok, this);
        failureNotice->setObjectName(QStringLiteral("failureNotice"));
        failureNotice->setWindowModality(Qt::NonModal);
        failureNotice->setTextFormat(Qt::PlainText);
        failureNotice->setStyleSheet(
            QStringLiteral("QMessageBox { background-color: %1; color: #f2f2f2; }"
                           "QMessageBox QLabel { color: #f2f2f2; background: transparent; }"
                           "QMessageBox QPushButton { min-width: 84px; min-height: 32px; background-color: %2;"
                           " color: %3; border: 1px solid %4; border-radius: 6px; padding: 4px 14px;"
                           " font-weight: 600; }")
                .arg(QLatin1String(uitheme::kBgPanel), QLatin1String(uitheme::kBgControl),
                     QLatin1String(uitheme::kGold), QLatin1String(uitheme::kGoldMuted)));
        if (auto* label = failureNotice->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
            label->setWordWrap(true);
            label->setFixedWidth(kNoticeWidth);
        }
    }
    failureNotice->setWindowTitle(title);
    failureNotice->setText(text);
    failureNotice->adjustSize();
    failureNotice->show();
}
