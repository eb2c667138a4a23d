// The main window's construction, layout, docks, drawing toolbar and menus,
// its closing and its shutdown.

#include "ui/mainwindow.h"

#include "engine/compositioncontroller.h"
#include "engine/doodlecanvas.h"
#include "engine/framepipeline.h"
#include "engine/overlaymanager.h"
#include "engine/previewaudiomixer.h"
#include "net/networkproxysettings.h"
#include "schedule/programarrangementwindow.h"
#include "ui/floatbuttoneventfilter.h"
#include "ui/imageplaybackpanel.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/outputsettingswidget.h"
#include "ui/previewwidget.h"
#include "ui/styledwarning.h"
#include "ui/textpanel.h"
#include "ui/uitheme.h"
#include "ui/videoinputpanel.h"
#include "ui/volumectrlwidget.h"

#include <QActionGroup>
#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QColorDialog>
#include <QDesktopServices>
#include <QDir>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QMenuBar>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSlider>
#include <QSplitter>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

#include <memory>
#include <mutex>

namespace {

constexpr QSize kNormalSize(1600, 920);
constexpr int kSplitterHeight = 380;
constexpr int kSplitterStretch[3] = {3, 4, 3};
constexpr QSize kPreviewMinimum(640, 360);
constexpr QSize kDockedDockSize(680, 420);
constexpr QSize kDockedPanelSize(640, 360);
constexpr int kDrawingButtonSide = 30;
constexpr int kFloatButtonSide = 20;
constexpr int kFloatButtonPointSize = 16;

// Shutdown waits for the preview-audio thread.
constexpr int kMixerStopWaitMs = 2000;
constexpr int kMixerStopGraceMs = 1000;
constexpr int kAudioThreadWaitMs = 3000;

const char* const kDockPtrProperty = "dockPtr";

QString mainStyleSheet()
{
    using namespace uitheme;
    return QStringLiteral(
               "QMainWindow { background: %1; color: %2; font-family: \"Segoe UI\"; font-size: 13px; }"
               "QGroupBox { font-weight: 600; border: 1px solid %3; border-radius: 8px; margin-top: 8px;"
               " padding-top: 10px; color: %2; }"
               "QGroupBox::title { subcontrol-origin: margin; left: 10px; top:0px; padding: 0 4px; color: %2; }"
               "QMenuBar, QMenuBar::item, QMenu { background: %1; color: %2; }"
               "QMenu::item:selected { background: %3; }"
               "QToolBar { background: %4; border: none; }"
               "QPushButton { background: %4; color: %2; border-radius: 4px; padding: 2px; font-weight: bold; }"
               "QPushButton:hover { background: %5; }"
               "QPushButton:checked { background: #50535f; }"
               "QLineEdit { background-color: %6; border: 1px solid #333; padding: 5px; border-radius: 6px;"
               " color: white; }"
               "QSlider::handle:horizontal { background: %2; border-radius: 4px; width: 12px; }")
        .arg(QLatin1String(kBgDeepest), QLatin1String(kGold), QLatin1String(kBgHover), QLatin1String(kBgControl),
             QLatin1String(kBgPressed), QLatin1String(kBgPanel));
}

// Tighter frames for the groups of the lower row and the preview.
const char* const kCompactGroupStyle =
    "QGroupBox { border: 1px solid #555; border-radius: 3px; margin-top: 5px; padding-top: 0px; }"
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; padding: 0px 5px; top: 0px; }";

QString splitterStyleSheet()
{
    return QStringLiteral("QSplitter::handle:horizontal { background: %1; }"
                          "QSplitter::handle:horizontal:hover, QSplitter::handle:horizontal:pressed"
                          " { background: #5a606d; }")
        .arg(QLatin1String(uitheme::kBorder));
}

QString drawingButtonStyle(bool checkable)
{
    QString style = QStringLiteral(
        "QPushButton { font-size:14pt; font-weight:bold; background:%1; color:white; border-radius:4px; }")
                        .arg(QLatin1String(uitheme::kBgControl));
    if (checkable)
        style += QStringLiteral("QPushButton:checked { background:#50535f; }");
    style += QStringLiteral("QPushButton:hover { background:%1; }").arg(QLatin1String(uitheme::kBgPressed));
    return style;
}

QGroupBox* newGroup(QWidget* panel)
{
    auto* group = new QGroupBox;
    auto* layout = new QVBoxLayout(group);
    if (panel)
        layout->addWidget(panel);
    return group;
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    initQuorbelResources();
    loadUiLanguage();
    NetworkProxySettings::applyApplicationProxy();
    networkAccessManager = new QNetworkAccessManager(this);
    overlayManager = new OverlayManager(this);
    compositionController = new CompositionController(this);
    framePipeline = new FramePipeline(this);
    buildUi();
    showMaximized();
    setupPipeline();
    setupConnections();
    retranslateUi();
    QTimer::singleShot(0, this, &MainWindow::resetWorkspaceLayout);
    qApp->installEventFilter(this);
}

MainWindow::~MainWindow()
{
    // Widgets torn down below would otherwise still be translated on their
    // way out, and a dock still shown would hide during the teardown and put
    // its panel back into a group box that is being destroyed.
    qApp->removeEventFilter(this);
    for (QDockWidget* dock : {textOverlayDock, videoOverlayDock, imagePlaybackDock, programPreviewDock}) {
        if (dock)
            disconnect(dock, nullptr, this, nullptr);
    }

    // The arrangement editor has no parent; it goes first, while the runner
    // it reaches through this window is still whole.
    delete programArrangementWindow;
    programArrangementWindow = nullptr;

    // Overlay items die with the editor after this object's own part is gone;
    // their destroyed handlers must not run into it.
    for (auto it = videoOverlayIds.cbegin(); it != videoOverlayIds.cend(); ++it)
        disconnect(it.key(), nullptr, this, nullptr);
    for (auto it = imageOverlayIds.cbegin(); it != imageOverlayIds.cend(); ++it)
        disconnect(it.key(), nullptr, this, nullptr);

    // Panels and engine objects are torn down after this object's own part
    // is gone; what they emit on the way out must not reach its handlers.
    const QList<QObject*> senders{outputSettings,   volumeCtrl,       textPanel,      mediaOverlayPanel,
                                  imagePlaybackPanel, programPreview, framePipeline,  overlayManager,
                                  compositionController, compositionTimer, slideshowTimer, imagePumpTimer};
    for (QObject* sender : senders) {
        if (sender)
            disconnect(sender, nullptr, this, nullptr);
    }
    for (VideoInputPanel* strip : channelPanels) {
        if (strip)
            disconnect(strip, nullptr, this, nullptr);
    }

    shutDownPreviewAudio();
}

void MainWindow::shutDownPreviewAudio()
{
    // The mixer's timer and sound sink belong to its thread: it is stopped
    // there, and the thread quits only from inside that stop, never before it
    // ran. A mixer whose thread is wedged is left to delete itself there when
    // the stop finally runs; the pipeline is detached from it first, so it
    // never reads a pipeline that is gone.
    PreviewAudioMixer* mixer = previewAudioMixer;
    previewAudioMixer = nullptr;
    QThread* mixerThread = previewAudioThread;
    previewAudioThread = nullptr;
    bool abandoned = false;

    if (mixer) {
        if (framePipeline)
            framePipeline->detachPreviewAudioMixer(mixer);
        QThread* ownThread = mixer->thread();
        QThread* appThread = QCoreApplication::instance() ? QCoreApplication::instance()->thread() : nullptr;
        if (!ownThread || !appThread || ownThread == appThread) {
            mixer->stopAndReturnToMainThread();
            delete mixer;
        } else if (ownThread->isRunning()) {
            struct StopState {
                std::mutex mutex;
                bool done = false;
                bool abandoned = false;
            };
            auto state = std::make_shared<StopState>();
            QThread* guiThread = appThread;
            QMetaObject::invokeMethod(
                mixer,
                [mixer, ownThread, state, guiThread] {
                    std::lock_guard<std::mutex> lock(state->mutex);
                    if (state->abandoned) {
                        mixer->stopPreview();
                        delete mixer; // on its own thread, with its timer and sink
                    } else {
                        mixer->stopPreview();
                        mixer->moveToThread(guiThread);
                        state->done = true;
                    }
                    ownThread->quit();
                },
                Qt::QueuedConnection);
            if (!ownThread->wait(kMixerStopWaitMs)) {
                std::lock_guard<std::mutex> lock(state->mutex);
                if (!state->done) {
                    qWarning("Preview audio thread shutdown exceeded 2 seconds");
                    state->abandoned = true;
                    abandoned = true;
                }
            }
            if (!abandoned) {
                ownThread->wait(kMixerStopGraceMs);
                delete mixer;
            }
        } else {
            qWarning("Preview audio thread already stopped before mixer cleanup");
            delete mixer;
        }
    }

    if (mixerThread) {
        if (!abandoned)
            mixerThread->quit();
        if (!mixerThread->wait(abandoned ? kAudioThreadWaitMs : kMixerStopGraceMs)) {
            qWarning("Preview audio thread did not stop before window destruction");
            mixerThread->setParent(nullptr);
            connect(mixerThread, &QThread::finished, mixerThread, &QObject::deleteLater);
        }
    }
}

void MainWindow::buildUi()
{
    setWindowTitle(QStringLiteral("quOrbel Pro"));
    resize(kNormalSize);
    setDockNestingEnabled(true);
    setStyleSheet(mainStyleSheet());

    auto* central = new QWidget;
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setSpacing(0);
    centralLayout->setContentsMargins(10, 1, 10, 2);

    topSplitter = new QSplitter(Qt::Horizontal, central);
    topSplitter->setMinimumHeight(kSplitterHeight);
    topSplitter->setMaximumHeight(kSplitterHeight);
    topSplitter->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    topSplitter->setHandleWidth(4);
    topSplitter->setStyleSheet(splitterStyleSheet());

    outputSettings = new OutputSettingsWidget;
    outputSettingsGroup = newGroup(outputSettings);
    outputSettingsGroup->setMinimumWidth(330);
    outputSettingsGroup->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);

    programPreview = new PreviewWidget;
    programPreviewGroup = newGroup(nullptr);
    programPreviewGroup->setContentsMargins(2, 0, 2, 2);
    programPreview->setOverlayManager(overlayManager);
    programPreview->setMinimumSize(kPreviewMinimum);
    programPreview->setMouseTracking(true);
    static_cast<QVBoxLayout*>(programPreviewGroup->layout())->addWidget(programPreview, 0, Qt::AlignCenter);

    volumeCtrl = new VolumeCtrlWidget;
    volumeCtrl->setMinimumHeight(40);
    audioMixerGroup = newGroup(volumeCtrl);
    audioMixerGroup->setMinimumWidth(280);
    audioMixerGroup->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);

    topSplitter->addWidget(outputSettingsGroup);
    topSplitter->addWidget(programPreviewGroup);
    topSplitter->addWidget(audioMixerGroup);
    for (int i = 0; i < 3; ++i)
        topSplitter->setStretchFactor(i, kSplitterStretch[i]);

    auto* channelRow = new QWidget;
    auto* channelLayout = new QHBoxLayout(channelRow);
    channelLayout->setSpacing(5);
    channelLayout->setContentsMargins(4, 2, 4, 2);
    for (int channel = 0; channel < int(channelPanels.size()); ++channel) {
        channelPanels[channel] = new VideoInputPanel(channel);
        channelLayout->addWidget(channelPanels[channel]);
    }

    auto* toolsRow = new QWidget;
    auto* toolsLayout = new QHBoxLayout(toolsRow);
    toolsLayout->setSpacing(5);
    toolsLayout->setContentsMargins(4, 2, 4, 2);
    textPanel = new TextPanel;
    textOverlayGroup = newGroup(textPanel);
    mediaOverlayPanel = new MediaOverlayWidget;
    videoOverlayGroup = newGroup(mediaOverlayPanel);
    imagePlaybackPanel = new ImagePlaybackPanel;
    imagePlaybackGroup = newGroup(imagePlaybackPanel);
    toolsLayout->addWidget(textOverlayGroup, 1);
    toolsLayout->addWidget(videoOverlayGroup, 1);
    toolsLayout->addWidget(imagePlaybackGroup, 1);

    for (QGroupBox* group : {textOverlayGroup, videoOverlayGroup, imagePlaybackGroup, programPreviewGroup})
        group->setStyleSheet(QLatin1String(kCompactGroupStyle));

    centralLayout->addWidget(topSplitter, 2);
    centralLayout->addWidget(channelRow, 1);
    centralLayout->addWidget(toolsRow, 3);
    setCentralWidget(central);

    doodleCanvas = new DoodleCanvas(overlayManager, this);
    programPreview->setDoodleCanvas(doodleCanvas);
    connect(doodleCanvas, &DoodleCanvas::canvasChanged, programPreview, [this] { repaintProgramPreview(); });

    struct DockShape {
        QDockWidget** dock;
        QSize minimum;
        QSize size;
    };
    const DockShape docks[] = {
        {&textOverlayDock, {480, 360}, {600, 400}},
        {&videoOverlayDock, {480, 360}, {650, 400}},
        {&imagePlaybackDock, {480, 360}, {600, 400}},
        {&programPreviewDock, {720, 400}, {960, 540}},
    };
    for (const DockShape& shape : docks) {
        auto* dock = new QDockWidget(this);
        dock->setMinimumSize(shape.minimum);
        dock->resize(shape.size);
        *shape.dock = dock;
    }
    trackDockWindow(videoOverlayDock);
    for (QDockWidget* dock : {textOverlayDock, videoOverlayDock, imagePlaybackDock, programPreviewDock}) {
        dock->setAllowedAreas(Qt::AllDockWidgetAreas);
        dock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable
                          | QDockWidget::DockWidgetFloatable);
        dock->hide();
    }

    addDockFloatButton(textPanel, textOverlayDock, textOverlayGroup);
    addDockFloatButton(mediaOverlayPanel, videoOverlayDock, videoOverlayGroup);
    addDockFloatButton(imagePlaybackPanel, imagePlaybackDock, imagePlaybackGroup);
    addDockFloatButton(programPreview, programPreviewDock, programPreviewGroup);

    buildDrawingToolBar();
    buildMenus();
}

void MainWindow::buildDrawingToolBar()
{
    drawingToolBar = addToolBar(QStringLiteral("画板工具"));

    auto* colorButton = new QPushButton(QStringLiteral("🎨"));
    colorButton->setToolTip(QStringLiteral("颜色选择"));
    colorButton->setFixedSize(kDrawingButtonSide, kDrawingButtonSide);
    connect(colorButton, &QPushButton::clicked, this, &MainWindow::pickDoodleColor);
    drawingToolBar->addWidget(colorButton);

    auto* penWidth = new QSlider(Qt::Horizontal);
    penWidth->setRange(1, 20);
    penWidth->setFixedWidth(40);
    connect(penWidth, &QSlider::valueChanged, doodleCanvas, &DoodleCanvas::setPenWidth);
    drawingToolBar->addWidget(penWidth);

    struct ToolButtonText {
        const char* symbol;
        const char* tip;
        int tool;
    };
    const ToolButtonText tools[] = {
        {"✏", "画笔", DoodleCanvas::ToolPen},         {"-", "直线", DoodleCanvas::ToolLine},
        {"⬛", "矩形", DoodleCanvas::ToolRectangle},  {"⬭", "椭圆", DoodleCanvas::ToolEllipse},
        {"△", "多边形", DoodleCanvas::ToolPolygon}, {"〰", "曲线", DoodleCanvas::ToolCurve},
    };
    const QString toolStyle = drawingButtonStyle(true);
    for (const ToolButtonText& entry : tools) {
        auto* button = new QPushButton(QString::fromUtf8(entry.symbol));
        button->setToolTip(QString::fromUtf8(entry.tip));
        button->setCheckable(true);
        button->setFixedSize(kDrawingButtonSide, kDrawingButtonSide);
        button->setStyleSheet(toolStyle);
        const int tool = entry.tool;
        connect(button, &QPushButton::clicked, this, [this, tool] { selectDrawingTool(tool); });
        drawingToolButtons[tool - 1] = button;
        drawingToolBar->addWidget(button);
    }

    auto* spacer = new QWidget(this);
    spacer->setFixedWidth(12);
    spacer->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    drawingToolBar->addWidget(spacer);

    const QString actionStyle = drawingButtonStyle(false);
    auto addActionButton = [&](const char* symbol, const char* tip) {
        auto* button = new QPushButton(QString::fromUtf8(symbol));
        button->setToolTip(QString::fromUtf8(tip));
        button->setFixedSize(kDrawingButtonSide, kDrawingButtonSide);
        button->setStyleSheet(actionStyle);
        drawingToolBar->addWidget(button);
        return button;
    };
    connect(addActionButton("⤺", "撤销"), &QPushButton::clicked, doodleCanvas, &DoodleCanvas::undo);
    connect(addActionButton("🧹", "清除"), &QPushButton::clicked, doodleCanvas, &DoodleCanvas::clear);
    saveDrawingButton = addActionButton("💾", "保存");
    connect(saveDrawingButton, &QPushButton::clicked, this, &MainWindow::saveDoodlePng);

    for (QPushButton* button : drawingToolButtons)
        button->setChecked(false);
}

void MainWindow::buildMenus()
{
    // Titles and texts are set by retranslateUi in the current language.
    QMenuBar* bar = menuBar();

    fileMenu = bar->addMenu(QString());
    exportDrawingAction = fileMenu->addAction(QString());
    connect(exportDrawingAction, &QAction::triggered, saveDrawingButton, &QPushButton::click);
    openOutputFolderAction = fileMenu->addAction(QString());
    connect(openOutputFolderAction, &QAction::triggered, this, &MainWindow::openOutputFolder);
    fileMenu->addSeparator();
    exitAction = fileMenu->addAction(QString());
    exitAction->setMenuRole(QAction::QuitRole);
    connect(exitAction, &QAction::triggered, this, &QWidget::close);
    connect(fileMenu, &QMenu::aboutToShow, this, &MainWindow::updateFileMenuActions);

    viewMenu = bar->addMenu(QString());
    drawingToolsAction = viewMenu->addAction(QString());
    drawingToolsAction->setCheckable(true);
    drawingToolsAction->setChecked(true);
    connect(drawingToolsAction, &QAction::triggered, drawingToolBar, &QWidget::setVisible);
    connect(drawingToolBar, &QToolBar::visibilityChanged, drawingToolsAction, &QAction::setChecked);
    viewMenu->addSeparator();
    resetLayoutAction = viewMenu->addAction(QString());
    connect(resetLayoutAction, &QAction::triggered, this, &MainWindow::resetWorkspaceLayout);

    toolsMenu = bar->addMenu(QString());
    programSchedulingAction = toolsMenu->addAction(QString());
    connect(programSchedulingAction, &QAction::triggered, this, &MainWindow::showProgramArrangementWindow);
    toolsMenu->addSeparator();
    languageMenu = toolsMenu->addMenu(QString());
    auto* languages = new QActionGroup(this);
    languages->setExclusive(true);
    englishAction = languageMenu->addAction(QStringLiteral("English"));
    chineseAction = languageMenu->addAction(QStringLiteral("中文"));
    for (QAction* action : {englishAction, chineseAction}) {
        action->setCheckable(true);
        languages->addAction(action);
    }
    connect(englishAction, &QAction::triggered, this, [this] { setUiLanguage(kEnglish); });
    connect(chineseAction, &QAction::triggered, this, [this] { setUiLanguage(kChinese); });
    toolsMenu->addSeparator();
    networkProxyAction = toolsMenu->addAction(QString());
    networkProxyAction->setMenuRole(QAction::NoRole);
    connect(networkProxyAction, &QAction::triggered, this, &MainWindow::showNetworkProxyDialog);

    helpMenu = bar->addMenu(QString());
    visitWebsiteAction = helpMenu->addAction(QString());
    connect(visitWebsiteAction, &QAction::triggered, this, &MainWindow::visitWebsite);
    aboutAction = helpMenu->addAction(QString());
    aboutAction->setMenuRole(QAction::AboutRole);
    connect(aboutAction, &QAction::triggered, this, &MainWindow::showAboutDialog);
}

void MainWindow::addDockFloatButton(QWidget* panel, QDockWidget* dock, QGroupBox* group)
{
    auto* button = new QPushButton(QStringLiteral("⧈"), group);
    button->setFixedSize(kFloatButtonSide, kFloatButtonSide);
    button->raise();
    QFont font = button->font();
    font.setPointSize(kFloatButtonPointSize);
    button->setFont(font);
    group->installEventFilter(new FloatButtonEventFilter(button, group, group));

    const bool framedWindow = dock == videoOverlayDock || dock == programPreviewDock;
    connect(button, &QPushButton::clicked, this, [dock, panel, framedWindow] {
        if (dock->widget() == panel)
            return;
        panel->setParent(dock);
        dock->setWidget(panel);
        dock->setFloating(true);
        if (framedWindow)
            dock->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowMaximizeButtonHint
                                 | Qt::WindowCloseButtonHint);
        dock->show();
    });
    connect(dock, &QDockWidget::visibilityChanged, this, [this, panel, group](bool visible) {
        if (!visible)
            reembedPanel(panel, group);
    });
    connect(dock, &QDockWidget::topLevelChanged, this, [this, dock, panel, group](bool floating) {
        if (panel == mediaOverlayPanel)
            mediaOverlayPanel->onDockFloatingChanged(floating);
        if (!floating) {
            dock->resize(kDockedDockSize);
            panel->resize(kDockedPanelSize);
            panel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
            reembedPanel(panel, group);
        }
    });
}

void MainWindow::trackDockWindow(QDockWidget* dock)
{
    auto watch = [this, dock](bool floating) {
        QWidget* window = dock->window();
        if (floating) {
            window->installEventFilter(this);
            window->setProperty(kDockPtrProperty, QVariant::fromValue(dock));
        } else {
            window->removeEventFilter(this);
        }
    };
    connect(dock, &QDockWidget::topLevelChanged, this, watch);
    if (dock->isWindow())
        watch(true);
}

void MainWindow::reembedPanel(QWidget* panel, QGroupBox* group)
{
    panel->setParent(nullptr);
    auto* layout = qobject_cast<QVBoxLayout*>(group->layout());
    if (!layout)
        return;
    if (panel == programPreview) {
        layout->addWidget(panel, 0, Qt::AlignCenter);
        panel->setMinimumSize(kPreviewMinimum);
        panel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        for (int i = 0; i < 3; ++i)
            topSplitter->setStretchFactor(i, kSplitterStretch[i]);
    } else {
        layout->addWidget(panel, 0);
    }
}

void MainWindow::dockEventFilter(QObject* watched, QEvent* event)
{
    const QVariant stored = watched->property(kDockPtrProperty);
    if (!stored.isValid())
        return;
    auto* dock = stored.value<QDockWidget*>();
    if (!dock || !mediaOverlayPanel || dock->widget() != mediaOverlayPanel)
        return;
    if (event->type() == QEvent::Close)
        mediaOverlayPanel->onDockFloatingChanged(false);
    else if (event->type() == QEvent::WindowStateChange)
        mediaOverlayPanel->fitViewToWindow();
}

void MainWindow::resetWorkspaceLayout()
{
    for (QDockWidget* dock : {textOverlayDock, videoOverlayDock, imagePlaybackDock, programPreviewDock})
        dock->hide();
    mediaOverlayPanel->onDockFloatingChanged(false);
    drawingToolBar->show();
    const int w = qMax(1, topSplitter->width());
    topSplitter->setSizes({w * 3 / 10, w * 4 / 10, w * 3 / 10});
}

void MainWindow::updateFileMenuActions()
{
    openOutputFolderAction->setEnabled(outputSettings && !outputSettings->outputFilePath().trimmed().isEmpty());
}

void MainWindow::openOutputFolder()
{
    if (!outputSettings)
        return;
    const QString path = outputSettings->outputFilePath().trimmed();
    if (path.isEmpty())
        return;
    const QString folder = QFileInfo(path).absolutePath();
    if (QDir(folder).exists() && QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        return;
    const bool zh = uiLanguage == kChinese;
    showStyledWarning(window(), zh ? QStringLiteral("输出目录") : QStringLiteral("Output Folder"),
                      zh ? QStringLiteral("无法打开输出目录。") : QStringLiteral("Unable to open the output folder."));
}

void MainWindow::pickDoodleColor()
{
    const QColor colour = QColorDialog::getColor(Qt::red, this, QString());
    if (colour.isValid())
        doodleCanvas->setColor(colour);
}

void MainWindow::selectDrawingTool(int tool)
{
    QPushButton* clicked = drawingToolButtons[tool - 1];
    for (QPushButton* button : drawingToolButtons) {
        if (button != clicked)
            button->setChecked(false);
    }
    doodleCanvas->setTool(clicked->isChecked() ? tool : DoodleCanvas::ToolNone);
}

void MainWindow::saveDoodlePng()
{
    const QString name = QFileDialog::getSaveFileName(this, QStringLiteral("保存PNG"), QString(),
                                                      QStringLiteral("PNG (*.png)"));
    if (name.isEmpty())
        return;
    if (doodleCanvas->savePng(name))
        return;
    const bool zh = uiLanguage == kChinese;
    showStyledWarning(window(), zh ? QStringLiteral("保存PNG") : QStringLiteral("Save PNG"),
                      zh ? QStringLiteral("无法保存画板图片：%1").arg(QDir::toNativeSeparators(name))
                         : QStringLiteral("Unable to save the drawing: %1").arg(QDir::toNativeSeparators(name)));
}

void MainWindow::repaintProgramPreview()
{
    programPreview->update();
}

void MainWindow::showProgramArrangementWindow()
{
    if (!programArrangementWindow) {
        // No parent: a window of its own that the operator moves and
        // maximises apart from this one; the destructor deletes it.
        programArrangementWindow = new ProgramArrangementWindow(this, nullptr);
        programArrangementWindow->setAttribute(Qt::WA_DeleteOnClose, false);
    }
    applyLanguageToArrangementWindow();
    retranslateWidgetTree(programArrangementWindow);
    programArrangementWindow->show();
    programArrangementWindow->raise();
    programArrangementWindow->activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (programArrangementWindow)
        programArrangementWindow->close();
    QMainWindow::closeEvent(event);
}
