#pragma once

#include "app/updateclient.h"
#include "engine/frametoken.h"
#include "engine/programclock.h"
#include "schedule/arrangementruncontrol.h"
#include "schedule/arrangementrunner.h"
#include "schedule/arrangementrunnerhost.h"

#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

struct StreamTarget;
struct TextOverlayData;
class ImageOverlayWidget;
class QMessageBox;
class VideoOverlayWidget;

class CompositionController;
class DoodleCanvas;
class FramePipeline;
class ImagePlaybackPanel;
class MediaOverlayWidget;
class OutputSettingsWidget;
class OverlayManager;
class PreviewAudioMixer;
class PreviewWidget;
class ProgramArrangementWindow;
class QAction;
class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QDockWidget;
class QGroupBox;
class QMenu;
class QNetworkAccessManager;
class QPushButton;
class QSplitter;
class QThread;
class QTimer;
class QToolBar;
class TextPanel;
class VideoInputPanel;
class VolumeCtrlWidget;

class MainWindowTestAccess;

// The program's one main window. It owns the engine objects, the panels of
// the input, overlay and output subsystems, the preview-audio thread and the
// state the handlers work on. GUI thread only.
//
// One class, its methods split by concern:
//   mainwindow.cpp           construction, layout, docks, drawing toolbar,
//                            menus, closing and shutdown
//   mainwindowlanguage.cpp   UI language: stored flag, texts of the window,
//                            the panels and every other widget
//   mainwindow<concern>.cpp  engine wiring, program source and tick, output
//                            start/stop, overlay binding, arrangement runner
//
// Widgets created by the window die with it through Qt's parent-child
// ownership; members that are pointers do not own unless said so.
class MainWindow : public QMainWindow, public ArrangementRunControl, private ArrangementRunnerHost {
    Q_OBJECT
public:
    static constexpr int kEnglish = 0;
    static constexpr int kChinese = 1;

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // ---- UI language (mainwindowlanguage.cpp) ----
    // Stores and applies a new language (kEnglish or kChinese); choosing the
    // active one does nothing.
    void setUiLanguage(int language);
    // Sets every text of the window, its panels and every top-level widget.
    void retranslateUi();
    // A static text in the current language, or the text unchanged.
    QString translateUiText(const QString& text) const;
    // Converts the texts of one object / of an object and all its descendants.
    void retranslateWidget(QObject* object) const;
    void retranslateWidgetTree(QObject* root) const;

    // ---- Arrangement runner (mainwindowarrangement.cpp) ----
    // Runs the arrangement, stopping any earlier run first. A run keeps its
    // own time from its start; the window steps it whenever the program moves.
    void startProgramArrangement(const ProgramArrangement& arrangement) override;
    // Removes only what the run showed; program source and clock stay.
    void stopProgramArrangement() override;
    bool arrangementRunning() const;
    // One step at run time t, whether or not a run is on.
    void tickProgramArrangement(qint64 programTimeMs);
    // A step only while a run is on, at t or at the run's own time.
    void tickProgramArrangementAt(qint64 t);
    void tickProgramArrangementNow();

signals:
    // Emitted by the arrangement runner: true when a run starts, false when
    // it stops.
    void programArrangementRunningChanged(bool running);

protected:
    // Installed on the application object: translates every widget shown or
    // polished, and follows the floating overlay editor's window. Never
    // consumes an event.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    friend class MainWindowTestAccess;

    // ---- Construction, layout, docks and menus (mainwindow.cpp) ----
    void buildUi();
    void buildDrawingToolBar();
    void buildMenus();
    void addDockFloatButton(QWidget* panel, QDockWidget* dock, QGroupBox* group);
    void trackDockWindow(QDockWidget* dock);
    void reembedPanel(QWidget* panel, QGroupBox* group);
    void resetWorkspaceLayout();
    void updateFileMenuActions();
    void openOutputFolder();
    void pickDoodleColor();
    void saveDoodlePng();
    void selectDrawingTool(int tool);
    void repaintProgramPreview();
    // Menu handlers whose windows are built elsewhere.
    void showProgramArrangementWindow();
    void showNetworkProxyDialog();
    void visitWebsite();
    void showAboutDialog();
    // The floating overlay editor's window: tells the editor it closed or
    // changed its state.
    void dockEventFilter(QObject* watched, QEvent* event);
    // Stops the mixer on its own thread and ends that thread (destructor).
    void shutDownPreviewAudio();

    // ---- UI language (mainwindowlanguage.cpp) ----
    void loadUiLanguage();
    // The arrangement editor's language, summary and run state (kept), its
    // title; its static texts are converted with the other windows.
    void applyLanguageToArrangementWindow();

    // ---- Engine wiring and channel handlers (mainwindowwiring.cpp) ----
    void setupPipeline();
    void setupConnections();
    bool validateChannelSource(const QString& source, QString* error) const;
    void onChannelMonitorVolumeChanged(int channel);
    void onChannelPlaybackStateChanged(int channel, bool playing);
    void onChannelSeekRequested(int channel, qint64 positionMs);
    void onChannelMediaChanged(int channel);
    void onChannelSourceUnloaded();
    void onChannelOutputToPreviewToggled(int channel, bool enabled);
    void refreshChannelDuration(int channel);
    void onChannelSourceOpened(int channel);
    void onChannelFrameReady(int channel, FrameTokenPtr frame);
    void onChannelPlaybackEnded(int channel);
    void onPipelineError(const QString& message);
    void onEffectiveOutputResolutionChanged(QSize size, bool usedFallback, bool limitedByProduct);
    void onProgramChannelVolumeChanged(int volume);
    void onOverlayProgramVolumeChanged(int channel, int volume);
    void onTextOverlayAdded(const TextOverlayData& data);
    void onOutputDimensionsChanged(int width, int height);
    void onRecordGainChanged(float linearGain);
    void applyEncodingSettingsToPipeline();
    // One failure the operator must see without it blocking the show: a
    // non-modal styled box in the UI language; a newer failure replaces the
    // text of the one still shown.
    void showFailureNotice(const QString& text);

    // ---- Program source, image playback, composition tick (mainwindowprogram.cpp) ----
    int programChannelIndex() const;
    bool programChannelHasSource() const;
    bool inImageMode() const;
    QString channelSourceText(int channel) const;
    const QImage& currentSlideshowImage() const;
    void syncChannelSources();
    void refreshProgramRouting(bool skipWhenChannelPlays);
    void scheduleProgramRefresh();
    void updateIdleProgram();
    qint64 nextImageFramePts();
    void updateImagePumpTimer();
    void stopImagePump();
    void pumpImageFrame();
    void startImagePlayback(const QStringList& paths, int intervalMs, bool resetClock, bool loop);
    void stopImagePlayback(bool resetClock);
    void switchProgramToChannel(int channel, bool followPanel);
    void advanceImageSlideshow();
    void onCompositionTick();
    void composeOnTick();
    void onBaseFrameReady(FrameTokenPtr frame);
    void onOverlayFrameReady(int mediaId, qint64 ptsMs, const QImage& image);
    void pushCurrentSlideshowImage();

    // ---- Output start and stop (mainwindowoutput.cpp) ----
    std::vector<StreamTarget> collectStreamTargets() const;
    void applyOutputTargetsToPipeline();
    void startOutput();
    void stopOutput();
    void onProgramOutputStopped();
    void onProgramOutputTransportFailed(const QString& reason);
    void onProgramStreamStatusChanged(int index, const QString& status);
    bool checkInputOutputConflict(const QString& source, OutputSettingsWidget* settings, QString* error) const;

    // ---- Overlay widgets bound to the program (mainwindowoverlays.cpp) ----
    int overlayIdFor(QObject* item, bool video, bool* isNew = nullptr);
    void bindVideoOverlayToProgram(QObject* widget, const QString& filePath, const QRectF& rectInScene,
                                   qint64 positionMs, bool isPlaying);
    void bindImageOverlayToProgram(QObject* widget, const QString& filePath, const QRectF& rectInScene,
                                   double opacity);
    void onVideoOverlayAdded(VideoOverlayWidget* widget);
    void ensureVideoOverlayOnProgram(VideoOverlayWidget* widget);
    void onOverlayDecoderSyncRequested(VideoOverlayWidget* widget, qint64 positionMs, bool playing);
    void onVideoOverlayLoopChanged(VideoOverlayWidget* widget, bool loop);
    void applyOverlayMonitorVolume(VideoOverlayWidget* widget);
    void syncOverlayAudioState(VideoOverlayWidget* widget);
    void detachVideoOverlay(VideoOverlayWidget* widget);
    void onOverlayPlaybackFinished(int mediaId);
    void onOverlaySourceOpened(int mediaId);
    void forgetVideoOverlay(QObject* item);
    void detachImageOverlay(QObject* item);
    void refreshOverlayDuration(QObject* item, int id);
    VideoOverlayWidget* videoOverlayItemFor(int mediaId) const;

    // Program time starts at 0 and running; its timer starts with the tick.
    static ProgramClock runningProgramClock()
    {
        ProgramClock clock;
        clock.running = true;
        return clock;
    }

    // Members, in the order the destructor must release them in reverse.

    // Menus and actions.
    QMenu* fileMenu = nullptr;
    QAction* exportDrawingAction = nullptr;
    QAction* openOutputFolderAction = nullptr;
    QAction* exitAction = nullptr;
    QMenu* viewMenu = nullptr;
    QAction* drawingToolsAction = nullptr;
    QAction* resetLayoutAction = nullptr;
    QMenu* toolsMenu = nullptr;
    QAction* programSchedulingAction = nullptr;
    QAction* networkProxyAction = nullptr;
    QMenu* helpMenu = nullptr;
    QMenu* languageMenu = nullptr;
    QAction* visitWebsiteAction = nullptr;
    QAction* aboutAction = nullptr;
    QAction* englishAction = nullptr;
    QAction* chineseAction = nullptr;

    // Frame widgets.
    QGroupBox* outputSettingsGroup = nullptr;
    QGroupBox* programPreviewGroup = nullptr;
    QGroupBox* audioMixerGroup = nullptr;
    QGroupBox* textOverlayGroup = nullptr;
    QGroupBox* videoOverlayGroup = nullptr;
    QGroupBox* imagePlaybackGroup = nullptr;
    QSplitter* topSplitter = nullptr;
    QDockWidget* textOverlayDock = nullptr;
    QDockWidget* videoOverlayDock = nullptr;
    QDockWidget* imagePlaybackDock = nullptr;
    QDockWidget* programPreviewDock = nullptr;
    QToolBar* drawingToolBar = nullptr;
    // Pen, line, rectangle, ellipse, polygon, curve: index = tool number - 1.
    std::array<QPushButton*, 6> drawingToolButtons{};
    QPushButton* saveDrawingButton = nullptr; // File > Export Drawing clicks it

    // Engine objects (children of the window).
    OverlayManager* overlayManager = nullptr;
    CompositionController* compositionController = nullptr;
    FramePipeline* framePipeline = nullptr;

    // Panels (placed in the window's layouts or floating in its docks).
    std::array<VideoInputPanel*, 4> channelPanels{};
    OutputSettingsWidget* outputSettings = nullptr;
    PreviewWidget* programPreview = nullptr;
    VolumeCtrlWidget* volumeCtrl = nullptr;
    DoodleCanvas* doodleCanvas = nullptr;
    TextPanel* textPanel = nullptr;
    MediaOverlayWidget* mediaOverlayPanel = nullptr;
    ImagePlaybackPanel* imagePlaybackPanel = nullptr;

    // Program source, composition tick and overlay binding state.
    ProgramClock programClock = runningProgramClock();
    QTimer* compositionTimer = nullptr;
    qint64 lastRecomposeMs = 0;
    int compositionTickCount = 0;
    QTimer* slideshowTimer = nullptr;
    QStringList slideshowPaths;
    int slideshowIndex = 0;
    bool slideshowLoop = true;
    QList<QImage> slideshowImages;
    QTimer* imagePumpTimer = nullptr;
    QElapsedTimer imagePtsClock;
    qint64 lastImagePtsUs = -1;
    int nextOverlayId = 1;
    QHash<QObject*, int> videoOverlayIds;
    QHash<QObject*, int> imageOverlayIds;
    bool programRefreshPending = false;
    PreviewAudioMixer* previewAudioMixer = nullptr; // owned: deleted by the destructor
    QThread* previewAudioThread = nullptr;          // child of the window

    // Wiring, program and output state added with the handlers.
    // A channel whose duration was not known yet when last asked; asked
    // again when its decoder reports the source.
    std::array<bool, 4> channelDurationPending{};
    // Video items whose duration is still unknown: id asked again on open.
    QHash<int, QObject*> overlayDurationPending;
    // The file the running output records to (empty when none), so that no
    // channel may read it while it is written.
    QString activeRecordingPath;
    QMessageBox* failureNotice = nullptr; // child of the window, one at a time

    // The arrangement editor: created on first use, a top-level window of its
    // own (no parent), hidden when closed; owned, deleted by the destructor.
    ProgramArrangementWindow* programArrangementWindow = nullptr;

    // ---- Arrangement runner (mainwindowarrangement.cpp) ----
    const SceneClip* findActiveBaseClip(qint64 t) const;
    void applyArrangementSceneClip(const SceneClip& clip);
    void activateArrangementOverlay(const OverlayClip& clip);
    void deactivateArrangementOverlay(const OverlayClip& clip);
    void removeArrangementOverlays();
    // ArrangementRunnerHost: the window's objects as the runner needs them.
    void arrangementRunningChanged(bool running) override;
    OverlayManager* arrangementOverlayModel() override;
    void restartArrangementProgramClock() override;
    void setArrangementProgramClockPosition(qint64 ms) override;
    void startArrangementImagePlayback(const QStringList& paths, int intervalMs, bool loop) override;
    bool hasArrangementChannelStrip(int channel) override;
    void setArrangementChannelStripLoop(int channel, bool loop) override;
    bool arrangementSourceConflicts(const QString& source, QString* error) override;
    void setArrangementChannelStripSource(int channel, const QString& source) override;
    void setArrangementChannelLooping(int channel, bool loop) override;
    void switchArrangementProgramToChannel(int channel) override;
    bool hasArrangementOverlayEditor() override;
    QObject* addArrangementVideoOverlay(const QString& path, QPointF topLeft) override;
    QObject* addArrangementImageOverlay(const QString& path, QPointF topLeft) override;
    void setArrangementOverlayEditorWidth(QObject* item, int width) override;
    void bindArrangementVideoOverlay(QObject* item, const QString& path, const QRectF& rect) override;
    void bindArrangementImageOverlay(QObject* item, const QString& path, const QRectF& rect,
                                     double opacity) override;
    void requestArrangementOverlayRemoval(QObject* item) override;

    // The run's state. Also the context of the watches on the overlay items
    // it creates: members go before the window's child widgets, so an item
    // dying with the window never reaches a released runner.
    ArrangementRunner arrangementRunner{this};

    // 0 English, 1 Chinese; set by loadUiLanguage before any widget exists.
    int uiLanguage = kEnglish;

    QNetworkAccessManager* networkAccessManager = nullptr;

    // ==== Network proxy dialog (mainwindowproxy.cpp) ====
    // The widgets of the open dialog; null while none is open.
    void refreshProxyDialogFields();
    void saveNetworkProxySettings();
    QPointer<QDialog> proxyDialog;
    QComboBox* proxyModeCombo = nullptr;
    QLineEdit* proxyHttpEdit = nullptr;
    QLineEdit* proxySocksEdit = nullptr;
    QLabel* proxyStatusLabel = nullptr;
    // Detection runs on a worker; an answer whose number is no longer the
    // latest (the mode changed, or a later Save) is dropped.
    quint64 proxyDetectionSerial = 0;
    quint64 proxyApplySerial = 0;

    // ==== About dialog and updates (mainwindowabout.cpp) ====
    // The widgets and state of the open dialog; the dialog is the context
    // of every request, so nothing arrives once it has closed.
    void refreshUpdateUi();
    void onCheckForUpdatesClicked();
    void onUpdateNowClicked();
    QPointer<QDialog> aboutDialog;
    QLabel* installedVersionLabel = nullptr;
    QLabel* latestVersionLabel = nullptr;
    QLabel* newVersionLabel = nullptr;
    QLabel* upToDateLabel = nullptr;
    QLabel* updateErrorLabel = nullptr;
    QPushButton* checkUpdatesButton = nullptr;
    QPushButton* updateNowButton = nullptr;
    bool checkingUpdate = false;
    bool downloadingUpdate = false;
    AppUpdateInfo updateInfo;
};
