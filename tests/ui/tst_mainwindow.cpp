// The main window offscreen: its menus, docks and drawing toolbar, the layout
// reset, and the UI language switch.

#include "mainwindowtestaccess.h"

#include "app/settingsstore.h"
#include "engine/doodlecanvas.h"
#include "support/testsupport.h"
#include "ui/mainwindow.h"
#include "ui/uitheme.h"

#include <QAction>
#include <QDockWidget>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QToolBar>

#include <memory>

namespace {

void storeLanguage(const QVariant& value)
{
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    if (value.isValid())
        s.setValue("ui_language", value);
    else
        s.remove("ui_language");
    s.sync();
}

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
    void choosingActiveLanguageWritesNothing();
    void laterMessageBoxComesUpConverted();
    void lineEditTextIsNotTranslated();
    void pictureLabelKeepsPictureThroughSwitches();

    void drawingToolButtons_data();
    void drawingToolButtons();
    void drawingToolsActionFollowsToolbar();
    void resetLayoutSplitsSplitter();
    void failedDrawingSaveIsReported();

private:
    std::unique_ptr<MainWindow> makeWindow();
    std::unique_ptr<MainWindow> window;
};

void TestMainWindow::init()
{
    initQuorbelResources();
    storeLanguage(QVariant());
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
    storeLanguage(stored);
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
    QCoreApplication::sendEvent(picture, new QEvent(QEvent::Polish));
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

void TestMainWindow::resetLayoutSplitsSplitter()
{
    window = makeWindow();
    MainWindowTestAccess a(*window);
    window->showNormal();
    window->resize(1600, 920);
    QCoreApplication::processEvents();
    a.topSplitter()->setSizes({100, 100, 100});
    a.resetWorkspaceLayout();
    const int w = a.topSplitter()->width();
    const QList<int> sizes = a.topSplitter()->sizes();
    // The splitter hands out the remainder and the handles' room itself; the
    // panes keep 3 : 4 : 3.
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
        dialog->selectFile(target);
        QMetaObject::invokeMethod(dialog, "accept");
    });
    a.exportDrawingAction()->trigger();
    QCOMPARE(title, QString("保存PNG"));
    QVERIFY2(text.startsWith("无法保存画板图片"), qPrintable(text));
    QVERIFY(!QFile::exists(target));
}

QUORB_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
