#pragma once

// The one way tests reach inside the main window.

#include "ui/mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>

class MainWindowTestAccess {
public:
    explicit MainWindowTestAccess(MainWindow& window) : w(window) {}

    MainWindow& w;

    QMenu* fileMenu() const { return w.fileMenu; }
    QMenu* viewMenu() const { return w.viewMenu; }
    QMenu* toolsMenu() const { return w.toolsMenu; }
    QMenu* helpMenu() const { return w.helpMenu; }
    QMenu* languageMenu() const { return w.languageMenu; }
    QAction* exportDrawingAction() const { return w.exportDrawingAction; }
    QAction* openOutputFolderAction() const { return w.openOutputFolderAction; }
    QAction* exitAction() const { return w.exitAction; }
    QAction* drawingToolsAction() const { return w.drawingToolsAction; }
    QAction* resetLayoutAction() const { return w.resetLayoutAction; }
    QAction* programSchedulingAction() const { return w.programSchedulingAction; }
    QAction* networkProxyAction() const { return w.networkProxyAction; }
    QAction* visitWebsiteAction() const { return w.visitWebsiteAction; }
    QAction* aboutAction() const { return w.aboutAction; }
    QAction* englishAction() const { return w.englishAction; }
    QAction* chineseAction() const { return w.chineseAction; }

    QGroupBox* outputSettingsGroup() const { return w.outputSettingsGroup; }
    QGroupBox* programPreviewGroup() const { return w.programPreviewGroup; }
    QGroupBox* audioMixerGroup() const { return w.audioMixerGroup; }
    QGroupBox* textOverlayGroup() const { return w.textOverlayGroup; }
    QGroupBox* videoOverlayGroup() const { return w.videoOverlayGroup; }
    QGroupBox* imagePlaybackGroup() const { return w.imagePlaybackGroup; }
    QSplitter* topSplitter() const { return w.topSplitter; }
    QDockWidget* textOverlayDock() const { return w.textOverlayDock; }
    QDockWidget* videoOverlayDock() const { return w.videoOverlayDock; }
    QDockWidget* imagePlaybackDock() const { return w.imagePlaybackDock; }
    QDockWidget* programPreviewDock() const { return w.programPreviewDock; }
    QToolBar* drawingToolBar() const { return w.drawingToolBar; }
    QPushButton* drawingToolButton(int tool) const { return w.drawingToolButtons[tool - 1]; }
    QPushButton* saveDrawingButton() const { return w.saveDrawingButton; }

    DoodleCanvas* doodleCanvas() const { return w.doodleCanvas; }
    OverlayManager* overlayManager() const { return w.overlayManager; }
    std::array<VideoInputPanel*, 4> channelPanels() const { return w.channelPanels; }
    OutputSettingsWidget* outputSettings() const { return w.outputSettings; }
    PreviewWidget* programPreview() const { return w.programPreview; }
    VolumeCtrlWidget* volumeCtrl() const { return w.volumeCtrl; }
    TextPanel* textPanel() const { return w.textPanel; }
    MediaOverlayWidget* mediaOverlayPanel() const { return w.mediaOverlayPanel; }
    ImagePlaybackPanel* imagePlaybackPanel() const { return w.imagePlaybackPanel; }

    int uiLanguage() const { return w.uiLanguage; }
    ProgramArrangementWindow* programArrangementWindow() const { return w.programArrangementWindow; }
    void resetWorkspaceLayout() { w.resetWorkspaceLayout(); }
    void updateFileMenuActions() { w.updateFileMenuActions(); }
    void openOutputFolder() { w.openOutputFolder(); }

    // Engine wiring, program source, output and overlays.
    FramePipeline* framePipeline() const { return w.framePipeline; }
    CompositionController* compositionController() const { return w.compositionController; }
    PreviewAudioMixer* previewAudioMixer() const { return w.previewAudioMixer; }
    QThread* previewAudioThread() const { return w.previewAudioThread; }
    QTimer* compositionTimer() const { return w.compositionTimer; }
    QTimer* slideshowTimer() const { return w.slideshowTimer; }
    QTimer* imagePumpTimer() const { return w.imagePumpTimer; }
    ProgramClock& programClock() { return w.programClock; }
    qint64& lastRecomposeMs() { return w.lastRecomposeMs; }
    int slideshowIndex() const { return w.slideshowIndex; }
    int slideshowImageCount() const { return int(w.slideshowImages.size()); }
    QSize slideshowImageSize(int i) const { return w.slideshowImages.value(i).size(); }
    const QHash<QObject*, int>& videoOverlayIds() const { return w.videoOverlayIds; }
    const QHash<QObject*, int>& imageOverlayIds() const { return w.imageOverlayIds; }
    QMessageBox* failureNotice() const { return w.failureNotice; }
    QString& activeRecordingPath() { return w.activeRecordingPath; }
    int programChannelIndex() const { return w.programChannelIndex(); }
    void onCompositionTick() { w.onCompositionTick(); }
    qint64 nextImageFramePts() { return w.nextImageFramePts(); }
    void advanceImageSlideshow() { w.advanceImageSlideshow(); }
    void startImagePlayback(const QStringList& paths, int intervalMs, bool resetClock, bool loop)
    {
        w.startImagePlayback(paths, intervalMs, resetClock, loop);
    }
    void switchProgramToChannel(int channel, bool followPanel) { w.switchProgramToChannel(channel, followPanel); }
    void scheduleProgramRefresh() { w.scheduleProgramRefresh(); }
    bool checkInputOutputConflict(const QString& source, QString* error) const
    {
        return w.checkInputOutputConflict(source, w.outputSettings, error);
    }
    void startOutput() { w.startOutput(); }
    void onProgramOutputTransportFailed(const QString& reason) { w.onProgramOutputTransportFailed(reason); }
    void onPipelineError(const QString& message) { w.onPipelineError(message); }
    void onChannelFrameReady(int channel, FrameTokenPtr frame) { w.onChannelFrameReady(channel, std::move(frame)); }
    void bindVideoOverlayToProgram(QObject* item, const QString& path, const QRectF& rect, qint64 pos, bool playing)
    {
        w.bindVideoOverlayToProgram(item, path, rect, pos, playing);
    }
    void bindImageOverlayToProgram(QObject* item, const QString& path, const QRectF& rect, double opacity)
    {
        w.bindImageOverlayToProgram(item, path, rect, opacity);
    }
};

namespace testsupport {

// Runs `handler` on the next modal widget that comes up (a message box or a
// file dialog opened with exec) and returns at once; the handler must close
// it. Gives up after timeoutMs.
inline void onNextModal(std::function<void(QWidget*)> handler, int timeoutMs = 5000)
{
    auto* timer = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(timer, &QTimer::timeout, [timer, clock, handler, timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal && clock->elapsed() < timeoutMs)
            return;
        timer->stop();
        timer->deleteLater();
        delete clock;
        if (modal)
            handler(modal);
    });
    timer->start(20);
}

} // namespace testsupport
