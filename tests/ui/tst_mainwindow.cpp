// The main window offscreen: its menus, docks and drawing toolbar, the layout
// reset, and the UI language switch.

#include "mainwindowtestaccess.h"

#include "app/settingsstore.h"
#include "engine/doodlecanvas.h"
#include "support/filechoice.h"
#include "support/testsupport.h"
#include "ui/mainwindow.h"
#include "ui/imageplaybackpanel.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/outputsettingswidget.h"
#include "ui/previewwidget.h"
#include "ui/textpanel.h"
#include "ui/uitheme.h"
#include "ui/videoinputpanel.h"
#include "ui/volumectrlwidget.h"

#include <QAbstractButton>
#include <QAction>
#include <QColorDialog>
#include <QDockWidget>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSplitter>
#include <QToolBar>

#include <memory>

namespace {

QVariant storedLanguage()
{
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    return s.value("ui_language");
}

QStringList menuTitles(QMenuBar* bar)
{
    QStringList titles;
    for (QAction* action : bar->actions())
        titles << action->text();
    return titles;
}

QLineEdit* recordPathEdit(OutputSettingsWidget* panel)
{
    for (QLineEdit* edit : panel->findChildren<QLineEdit*>()) {
        if (edit->accessibleName() == "Output file")
            return edit;
    }
    return nullptr;
}

QPushButton* floatButton(QGroupBox* group)
{
    for (QPushButton* button : group->findChildren<QPushButton*>(Qt::FindDirectChildrenOnly)) {
        if (button->text() == QString("⧈"))
            return button;
    }
    return nullptr;
}

// What dropping a floating dock on one of the window's dock areas does.
void dockIntoWindow(QMainWindow& window, QDockWidget* dock)
{
    window.addDockWidget(Qt::RightDockWidgetArea, dock);
    dock->setFloating(false);
}

// Every text a panel shows: texts, titles, tool tips and placeholders.
QStringList shownTexts(QWidget* root)
{
    QStringList texts;
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        texts << w->toolTip();
        if (auto* label = qobject_cast<QLabel*>(w))
            texts << label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            texts << button->text();
        if (auto* group = qobject_cast<QGroupBox*>(w))
            texts << group->title();
        if (auto* edit = qobject_cast<QLineEdit*>(w))
            texts << edit->placeholderText();
    }
    return texts;
}

bool showsTextStartingWith(QWidget* root, const QString& start)
{
    for (const QString& text : shownTexts(root)) {
        if (text.startsWith(start))
            return true;
    }
    return false;
}

QStringList toolBarTips(QToolBar* bar)
{
    QStringList tips;
    for (QPushButton* button : bar->findChildren<QPushButton*>())
        tips << button->toolTip();
    return tips;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void buildsMenusDocksAndToolbarInEnglish();
    void storedLanguageChoosesStartLanguage_data();
    void storedLanguageChoosesStartLanguage();
    void switchReachesMenusGroupsDocksAndTips();
    void switchReachesEveryPanel_data();
    void switchReachesEveryPanel();
    void choosingActiveLanguageWritesNothing();
    void laterMessageBoxComesUpConverted();
    void lineEditTextIsNotTranslated();
    void pictureLabelKeepsPictureThroughSwitches();

    void drawingToolButtons_data();
    void drawingToolButtons();
    void drawingToolsActionFollowsToolbar();
    void colourDialogOpensOnRed();
    void resetLayoutSplitsSplitter();
    void failedDrawingSaveIsReported();

    void openOutputFolderEnablement_data();
    void openOutputFolderEnablement();
    void unopenableOutputFolderWarns_data();
    void unopenableOutputFolderWarns();
    void floatingPanelReturnsToItsGroup_data();
    void floatingPanelReturnsToItsGroup();
    void dockingFloatingPanelSizesItBeforeReturn();
    void closingWithShownDocksShutsDownCleanly();
    void closingFloatingPreviewReturnsItCentred();
    void floatingOverlayEditorIsToldWhenItsWindowCloses();

private:
    std::unique_ptr<MainWindow> makeWindow();
    std::unique_ptr<MainWindow> window;
};

void TestMainWindow::init()
{
    initQuorbelResources();
    testsupport::storeUiLanguage(QVariant());
}

void TestMainWindow::cleanup()
{
    window.reset();
}

std::unique_ptr<MainWindow> TestMainWindow::makeWindow()
{
    auto w = std::make_unique<MainWindow>();
    QCoreApplication::processEvents(); // the layout reset queued by the constructor
    return w;
}

void TestMainWindow::buildsMenusDocksAndToolbarInEnglish()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);

    QCOMPARE(window->windowTitle(), QString("quOrbel Pro"));
    QVERIFY(window->isVisible());
    QVERIFY(window->windowState() & Qt::WindowMaximized);
    QCOMPARE(menuTitles(window->menuBar()), QStringList({"&File", "&View", "&Tools", "&Help"}));

    QStringList fileEntries;
    for (QAction* action : a.fileMenu()->actions())
        fileEntries << (action->isSeparator() ? "|" : action->text());
    QCOMPARE(fileEntries, QStringList({"Export Drawing...", "Open Output Folder", "|", "E&xit"}));
    QStringList toolsEntries;
    for (QAction* action : a.toolsMenu()->actions())
        toolsEntries << (action->isSeparator() ? "|" : action->text());
    QCOMPARE(toolsEntries, QStringList({"Program Scheduling...", "|", "Language", "|", "Network Proxy..."}));
    QCOMPARE(a.languageMenu()->actions().size(), 2);
    QCOMPARE(a.englishAction()->text(), QString("English"));
    QCOMPARE(a.chineseAction()->text(), QString("中文"));
    QVERIFY(a.englishAction()->isChecked());
    QVERIFY(!a.chineseAction()->isChecked());
    QCOMPARE(a.helpMenu()->actions().size(), 2);
    QCOMPARE(a.aboutAction()->text(), QString("About quOrbel"));
    QCOMPARE(a.aboutAction()->menuRole(), QAction::AboutRole);
    QCOMPARE(a.exitAction()->menuRole(), QAction::QuitRole);
    QCOMPARE(a.networkProxyAction()->menuRole(), QAction::NoRole);

    // No panel floats at start: every dock hidden and titled.
    const QList<std::pair<QDockWidget*, QString>> docks{{a.textOverlayDock(), "Text Overlay"},
                                                        {a.videoOverlayDock(), "Video Overlay"},
                                                        {a.imagePlaybackDock(), "Image Playback"},
                                                        {a.programPreviewDock(), "Output Preview"}};
    for (const auto& [dock, title] : docks) {
        QVERIFY(!dock->isVisible());
        QCOMPARE(dock->windowTitle(), title);
        QCOMPARE(window->dockWidgetArea(dock), Qt::NoDockWidgetArea);
    }
    QCOMPARE(a.audioMixerGroup()->title(), QString("Audio Mixer"));

    // The tips are written in Chinese and reach English through the table.
    QCOMPARE(toolBarTips(a.drawingToolBar()),
             QStringList({"Pick Color", "Pen", "Line", "Rectangle", "Ellipse", "Polygon", "Curve", "Undo", "Clear",
                          "Save"}));
    QVERIFY(a.drawingToolBar()->isVisible());
    QVERIFY(a.drawingToolsAction()->isChecked());
}

void TestMainWindow::storedLanguageChoosesStartLanguage_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("fileTitle");
    QTest::newRow("absent") << QVariant() << "&File";
    QTest::newRow("en") << QVariant("en") << "&File";
    QTest::newRow("zh-cn with a hyphen") << QVariant("zh-cn") << "&File";
    QTest::newRow("ZH") << QVariant("ZH") << "文件(&F)";
    QTest::newRow("Zh_CN") << QVariant("Zh_CN") << "文件(&F)";
}

void TestMainWindow::storedLanguageChoosesStartLanguage()
{
    QFETCH(QVariant, stored);
    QFETCH(QString, fileTitle);
    testsupport::storeUiLanguage(stored);
    window = makeWindow();
    QCOMPARE(MainWindowTestAccess(*window).fileMenu()->title(), fileTitle);
}

void TestMainWindow::switchReachesMenusGroupsDocksAndTips()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);

    a.chineseAction()->trigger();
    QCOMPARE(storedLanguage().toString(), QString("zh"));
    QCOMPARE(a.uiLanguage(), 1);
    QCOMPARE(menuTitles(window->menuBar()), QStringList({"文件(&F)", "视图(&V)", "工具(&T)", "帮助(&H)"}));
    QCOMPARE(a.openOutputFolderAction()->text(), QString("打开输出目录"));
    QCOMPARE(a.languageMenu()->title(), QString("语言"));
    QCOMPARE(a.visitWebsiteAction()->text(), QString("访问网站"));
    QCOMPARE(a.outputSettingsGroup()->title(), QString("输出设置"));
    QCOMPARE(a.programPreviewDock()->windowTitle(), QString("输出预览"));
    QCOMPARE(a.drawingToolBar()->windowTitle(), QString("画板工具"));
    QCOMPARE(toolBarTips(a.drawingToolBar()),
             QStringList({"颜色选择", "画笔", "直线", "矩形", "椭圆", "多边形", "曲线", "撤销", "清除", "保存"}));
    QVERIFY(a.chineseAction()->isChecked());
    QVERIFY(!a.englishAction()->isChecked());

    a.englishAction()->trigger();
    QCOMPARE(storedLanguage().toString(), QString("en"));
    QCOMPARE(menuTitles(window->menuBar()), QStringList({"&File", "&View", "&Tools", "&Help"}));
    QCOMPARE(a.textOverlayGroup()->title(), QString("Text Overlay"));
    QCOMPARE(toolBarTips(a.drawingToolBar()).mid(0, 2), QStringList({"Pick Color", "Pen"}));
}

void TestMainWindow::switchReachesEveryPanel_data()
{
    // Texts each panel sets itself (not reachable through the shared table).
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("chinese");
    QTest::newRow("output settings") << "output" << "Segment recording" << "录制分段";
    QTest::newRow("text overlay list") << "text" << "Add a new text overlay row" << "添加一行文字叠加";
    QTest::newRow("audio mixer") << "mixer" << "Volume of the four overlay video audio tracks" << "四路叠加视频解码音";
    QTest::newRow("slideshow") << "images" << "Duration per image: 200-10000 ms" << "每张图片显示时长：200-10000 ms";
    QTest::newRow("overlay editor") << "overlays" << "Add Video" << "添加视频";
    for (int channel = 0; channel < 4; ++channel)
        QTest::addRow("channel strip %d", channel + 1) << QString("strip%1").arg(channel) << "Select file or URL"
                                                      << "选择文件或 URL";
}

void TestMainWindow::switchReachesEveryPanel()
{
    QFETCH(QString, panel);
    QFETCH(QString, english);
    QFETCH(QString, chinese);
    window = makeWindow();
    MainWindowTestAccess a(*window);
    const QHash<QString, QWidget*> panels{{"output", a.outputSettings()},
                                         {"text", a.textPanel()},
                                         {"mixer", a.volumeCtrl()},
                                         {"images", a.imagePlaybackPanel()},
                                         {"overlays", a.mediaOverlayPanel()},
                                         {"strip0", a.channelPanels()[0]},
                                         {"strip1", a.channelPanels()[1]},
                                         {"strip2", a.channelPanels()[2]},
                                         {"strip3", a.channelPanels()[3]}};
    QWidget* root = panels.value(panel);
    QVERIFY(root);
    QVERIFY2(showsTextStartingWith(root, english), qPrintable(shownTexts(root).join(" | ")));
    a.chineseAction()->trigger();
    QVERIFY2(showsTextStartingWith(root, chinese), qPrintable(shownTexts(root).join(" | ")));
    QVERIFY(!showsTextStartingWith(root, english));
    a.englishAction()->trigger();
    QVERIFY(showsTextStartingWith(root, english));
}

void TestMainWindow::choosingActiveLanguageWritesNothing()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);
    // A text the switch would convert shows whether a retranslation ran.
    a.audioMixerGroup()->setTitle("调音台");
    window->setUiLanguage(MainWindow::kEnglish);
    QVERIFY(!storedLanguage().isValid());
    QCOMPARE(a.audioMixerGroup()->title(), QString("调音台"));
}

void TestMainWindow::laterMessageBoxComesUpConverted()
{
    window = makeWindow();
    QMessageBox box(QMessageBox::Warning, "错误", "请选择视频", QMessageBox::Ok, window.get());
    box.setInformativeText("Please add at least one valid base clip.");
    box.show();
    QCOMPARE(box.windowTitle(), QString("Error"));
    QLabel* label = box.findChild<QLabel*>("qt_msgbox_label");
    QVERIFY(label);
    QCOMPARE(label->text(), QString("Please select a video"));

    MainWindowTestAccess(*window).chineseAction()->trigger();
    QCOMPARE(box.windowTitle(), QString("错误"));
    QCOMPARE(label->text(), QString("请选择视频"));
    QLabel* informative = box.findChild<QLabel*>("qt_msgbox_informativelabel");
    QVERIFY(informative);
    QCOMPARE(informative->text(), QString("请至少添加一个有效基底片段。"));
}

void TestMainWindow::lineEditTextIsNotTranslated()
{
    window = makeWindow();
    QWidget top;
    auto* edit = new QLineEdit("Channel 3", &top);
    edit->setPlaceholderText("Image folder path");
    top.show();
    MainWindowTestAccess(*window).chineseAction()->trigger();
    QCOMPARE(edit->text(), QString("Channel 3"));
    QCOMPARE(edit->placeholderText(), QString("图片目录路径"));
}

void TestMainWindow::pictureLabelKeepsPictureThroughSwitches()
{
    window = makeWindow();
    QWidget top;
    auto* picture = new QLabel(&top);
    QPixmap pixmap(32, 18);
    pixmap.fill(Qt::green);
    picture->setPixmap(pixmap);
    auto* caption = new QLabel("Channel 1", &top);
    top.show();
    QEvent polish(QEvent::Polish);
    QCoreApplication::sendEvent(picture, &polish);
    MainWindowTestAccess a(*window);
    a.chineseAction()->trigger();
    QCOMPARE(caption->text(), QString("通道1"));
    a.englishAction()->trigger();
    QCOMPARE(caption->text(), QString("Channel 1"));
    picture->hide();
    picture->show();
    QVERIFY(!picture->pixmap().isNull());
    QCOMPARE(picture->pixmap().size(), QSize(32, 18));
}

void TestMainWindow::drawingToolButtons_data()
{
    // Clicks on tool numbers; then which button is checked (0: none) and the
    // canvas tool.
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<int>("checked");
    QTest::addColumn<int>("canvasTool");
    QTest::newRow("pen") << QList<int>{1} << 1 << 1;
    QTest::newRow("pen again unchecks, no tool") << QList<int>{1, 1} << 0 << 0;
    QTest::newRow("line while pen checked") << QList<int>{1, 2} << 2 << 2;
    QTest::newRow("curve after rectangle") << QList<int>{3, 6} << 6 << 6;
    QTest::newRow("polygon, ellipse, ellipse") << QList<int>{5, 4, 4} << 0 << 0;
}

void TestMainWindow::drawingToolButtons()
{
    QFETCH(QList<int>, clicks);
    QFETCH(int, checked);
    QFETCH(int, canvasTool);
    window = makeWindow();
    MainWindowTestAccess a(*window);
    for (int tool : clicks)
        QTest::mouseClick(a.drawingToolButton(tool), Qt::LeftButton);
    for (int tool = 1; tool <= 6; ++tool)
        QCOMPARE(a.drawingToolButton(tool)->isChecked(), tool == checked);
    QCOMPARE(a.doodleCanvas()->currentTool(), canvasTool);
}

void TestMainWindow::drawingToolsActionFollowsToolbar()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);
    a.drawingToolsAction()->trigger();
    QVERIFY(!a.drawingToolBar()->isVisible());
    QVERIFY(!a.drawingToolsAction()->isChecked());
    a.drawingToolsAction()->trigger();
    QVERIFY(a.drawingToolBar()->isVisible());
    a.drawingToolBar()->close();
    QVERIFY(!a.drawingToolsAction()->isChecked());
    a.resetLayoutAction()->trigger();
    QVERIFY(a.drawingToolBar()->isVisible());
    QVERIFY(a.drawingToolsAction()->isChecked());
}

void TestMainWindow::colourDialogOpensOnRed()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);
    QPushButton* colourButton = nullptr;
    for (QPushButton* button : a.drawingToolBar()->findChildren<QPushButton*>()) {
        if (button->text() == QString("🎨"))
            colourButton = button;
    }
    QVERIFY(colourButton);
    // Whatever colour was picked before, the dialog starts on red.
    for (const QColor pick : {QColor(Qt::blue), QColor(Qt::green)}) {
        QColor initial;
        testsupport::onNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QColorDialog*>(modal);
            QVERIFY(dialog);
            initial = dialog->currentColor();
            dialog->setCurrentColor(pick);
            QMetaObject::invokeMethod(dialog, "accept");
        });
        colourButton->click();
        QCOMPARE(initial, QColor(Qt::red));
    }
}

void TestMainWindow::resetLayoutSplitsSplitter()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);
    window->showNormal();
    window->resize(2400, 920);
    QCoreApplication::processEvents();
    a.topSplitter()->setSizes({100, 100, 100});
    a.resetWorkspaceLayout();
    const int w = a.topSplitter()->width();
    const QList<int> sizes = a.topSplitter()->sizes();
    // Wide enough that no pane's minimum width interferes. The splitter
    // hands out the handles' room and the remainder itself; the panes keep
    // 3 : 4 : 3.
    QVERIFY(w >= 2300);
    QCOMPARE(sizes.size(), 3);
    QVERIFY2(qAbs(sizes[0] * 4 - sizes[1] * 3) <= 12, qPrintable(QString::number(sizes[0]) + " " + QString::number(sizes[1])));
    QCOMPARE(sizes[0], sizes[2]);
    QVERIFY(sizes[0] + sizes[1] + sizes[2] <= w);
    QVERIFY(sizes[0] + sizes[1] + sizes[2] >= w - 12);
}

void TestMainWindow::failedDrawingSaveIsReported()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);
    a.chineseAction()->trigger();
    // Nothing is drawn and the folder does not exist: the save fails.
    const QString target = QDir::tempPath() + "/no-such-folder-quorbel/drawing.png";
    QString title;
    QString text;
    testsupport::onNextModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        QVERIFY(dialog);
        testsupport::onNextModal([&](QWidget* warning) {
            auto* box = qobject_cast<QMessageBox*>(warning);
            QVERIFY(box);
            title = box->windowTitle();
            text = box->text();
            box->accept();
        });
        testsupport::chooseInFileDialog(dialog, target);
    });
    a.exportDrawingAction()->trigger();
    QCOMPARE(title, QString("保存PNG"));
    QVERIFY2(text.startsWith("无法保存画板图片"), qPrintable(text));
    QVERIFY(!QFile::exists(target));
}

void TestMainWindow::openOutputFolderEnablement_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("empty") << "" << false;
    QTest::newRow("spaces only") << "   " << false;
    QTest::newRow("a path") << "/tmp/out.mp4" << true;
    QTest::newRow("a path with blanks around") << "  /tmp/out.mp4 " << true;
}

void TestMainWindow::openOutputFolderEnablement()
{
    QFETCH(QString, path);
    QFETCH(bool, enabled);
    window = makeWindow();
    MainWindowTestAccess a(*window);
    QLineEdit* edit = recordPathEdit(a.outputSettings());
    QVERIFY(edit);
    edit->setText(path);
    emit a.fileMenu()->aboutToShow();
    QCOMPARE(a.openOutputFolderAction()->isEnabled(), enabled);
}

void TestMainWindow::unopenableOutputFolderWarns_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("English") << false << "Output Folder" << "Unable to open the output folder.";
    QTest::newRow("Chinese") << true << "输出目录" << "无法打开输出目录。";
}

void TestMainWindow::unopenableOutputFolderWarns()
{
    QFETCH(bool, chinese);
    QFETCH(QString, title);
    QFETCH(QString, text);
    window = makeWindow();
    MainWindowTestAccess a(*window);
    if (chinese)
        a.chineseAction()->trigger();
    recordPathEdit(a.outputSettings())->setText(QDir::tempPath() + "/no-such-folder-quorbel/take1.mp4");

    QString shownTitle;
    QString shownText;
    bool wordWrap = false;
    testsupport::onNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        QVERIFY(box);
        shownTitle = box->windowTitle();
        shownText = box->text();
        if (QLabel* label = box->findChild<QLabel*>("qt_msgbox_label"))
            wordWrap = label->wordWrap();
        box->accept();
    });
    a.openOutputFolderAction()->trigger();
    QCOMPARE(shownTitle, title);
    QCOMPARE(shownText, text);
    QVERIFY(wordWrap);

    // An empty path does nothing at all.
    recordPathEdit(a.outputSettings())->setText("  ");
    bool shown = false;
    testsupport::onNextModal([&](QWidget* modal) { shown = true; modal->close(); }, 300);
    a.openOutputFolderAction()->trigger();
    QTest::qWait(400);
    QVERIFY(!shown);
}

void TestMainWindow::floatingPanelReturnsToItsGroup_data()
{
    // How the floating dock goes away.
    QTest::addColumn<QString>("how");
    QTest::newRow("dock closed") << "close";
    QTest::newRow("dock hidden") << "hide";
    QTest::newRow("layout reset") << "reset";
    QTest::newRow("dock docked") << "dock";
}

void TestMainWindow::floatingPanelReturnsToItsGroup()
{
    QFETCH(QString, how);
    window = makeWindow();
    MainWindowTestAccess a(*window);
    QWidget* panel = a.textPanel();
    QGroupBox* group = a.textOverlayGroup();
    QDockWidget* dock = a.textOverlayDock();
    QPushButton* button = floatButton(group);
    QVERIFY(button);
    QCOMPARE(button->size(), QSize(20, 20));
    QCOMPARE(button->pos(), QPoint(group->width() - 22, 2));

    button->click();
    QCOMPARE(dock->widget(), panel);
    QVERIFY(dock->isFloating());
    QVERIFY(dock->isVisible());
    // A second click while it floats changes nothing.
    button->click();
    QCOMPARE(dock->widget(), panel);
    QVERIFY(dock->isFloating());
    QVERIFY(dock->isVisible());

    if (how == "close")
        dock->close();
    else if (how == "hide")
        dock->hide();
    else if (how == "reset")
        a.resetLayoutAction()->trigger();
    else
        dockIntoWindow(*window, dock);
    QCOMPARE(panel->parentWidget(), group);
    QVERIFY(group->layout()->indexOf(panel) >= 0);
    QVERIFY(dock->widget() != panel);

    // And it floats again from there. (A docked dock that floats again hides
    // on the way, and hiding returns the panel to its group.)
    if (how == "dock")
        return;
    button->click();
    QCOMPARE(dock->widget(), panel);
    QVERIFY(dock->isVisible());
}

void TestMainWindow::dockingFloatingPanelSizesItBeforeReturn()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);
    QDockWidget* dock = a.textOverlayDock();
    floatButton(a.textOverlayGroup())->click();
    a.textPanel()->resize(900, 700);
    dockIntoWindow(*window, dock);
    // Before the group's layout takes the panel over again.
    QCOMPARE(dock->size(), QSize(680, 420));
    QCOMPARE(a.textPanel()->size(), QSize(640, 360));
    QCOMPARE(a.textPanel()->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(a.textPanel()->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(a.textPanel()->parentWidget(), a.textOverlayGroup());
}

void TestMainWindow::closingWithShownDocksShutsDownCleanly()
{
    // One panel floating, one dock docked in the window: both docks hide
    // while the window is torn down.
    window = makeWindow();
    MainWindowTestAccess a(*window);
    floatButton(a.textOverlayGroup())->click();
    window->addDockWidget(Qt::LeftDockWidgetArea, a.imagePlaybackDock());
    a.imagePlaybackDock()->setFloating(false);
    a.imagePlaybackDock()->show();
    QPointer<QWidget> panel = a.textPanel();
    window->close();
    window.reset();
    QVERIFY(panel.isNull());
}

void TestMainWindow::closingFloatingPreviewReturnsItCentred()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);
    QWidget* preview = a.programPreview();
    QGroupBox* group = a.programPreviewGroup();
    QDockWidget* dock = a.programPreviewDock();
    floatButton(group)->click();
    QCOMPARE(dock->widget(), preview);
    const Qt::WindowFlags flags = dock->windowFlags();
    QVERIFY(flags & Qt::WindowMaximizeButtonHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));

    // Whatever the operator did to the splitter meanwhile.
    a.topSplitter()->setStretchFactor(1, 9);
    preview->setMinimumSize(10, 10);
    dock->close();
    QCOMPARE(preview->parentWidget(), group);
    auto* layout = qobject_cast<QBoxLayout*>(group->layout());
    const int index = layout->indexOf(preview);
    QVERIFY(index >= 0);
    QCOMPARE(layout->itemAt(index)->alignment(), Qt::AlignCenter);
    QCOMPARE(preview->minimumSize(), QSize(640, 360));
    QCOMPARE(group->sizePolicy().horizontalStretch(), 4);
    QCOMPARE(a.outputSettingsGroup()->sizePolicy().horizontalStretch(), 3);
    QCOMPARE(a.audioMixerGroup()->sizePolicy().horizontalStretch(), 3);
}

void TestMainWindow::floatingOverlayEditorIsToldWhenItsWindowCloses()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);
    QDockWidget* dock = a.videoOverlayDock();
    auto* scroll = a.mediaOverlayPanel()->findChild<QScrollArea*>();
    QVERIFY(scroll);
    floatButton(a.videoOverlayGroup())->click();
    QVERIFY(dock->isFloating());
    QCOMPARE(dock->window()->property("dockPtr").value<QDockWidget*>(), dock);
    // Floating: the editor fills its window.
    QVERIFY(scroll->widgetResizable());
    QCOMPARE(scroll->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    dock->close();
    QVERIFY(!scroll->widgetResizable());
    QCOMPARE(scroll->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
    QCOMPARE(a.mediaOverlayPanel()->parentWidget(), a.videoOverlayGroup());

    // Floating again (the dock never stopped floating, so only a change of
    // its window's state fits the editor), then the layout reset brings it
    // home the same way.
    floatButton(a.videoOverlayGroup())->click();
    QCOMPARE(dock->widget(), a.mediaOverlayPanel());
    dock->showMaximized();
    QVERIFY(scroll->widgetResizable());
    a.resetLayoutAction()->trigger();
    QVERIFY(!scroll->widgetResizable());
    QCOMPARE(a.mediaOverlayPanel()->parentWidget(), a.videoOverlayGroup());
}

QUORB_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
