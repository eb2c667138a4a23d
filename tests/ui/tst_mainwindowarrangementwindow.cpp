// The arrangement editor as the main window keeps it: one window, shown
// again in the current language with its run state, closed and destroyed
// with the main window, and starting real runs on its runner.

#include "mainwindowtestaccess.h"

#include "schedule/arrangementwindowtestkit.h"
#include "support/testsupport.h"
#include "ui/mainwindow.h"
#include "ui/videoinputpanel.h"

#include <QAction>
#include <QComboBox>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

class TestMainWindowArrangementWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void createdOnceAndReused();
    void textsFollowTheLanguage();
    void runStateSurvivesLanguageSwitch();
    void destroyedWithTheMainWindow();
    void startFromWindowReachesTheRunner();
};

void TestMainWindowArrangementWindow::init()
{
    testsupport::storeUiLanguage(QVariant());
}

void TestMainWindowArrangementWindow::createdOnceAndReused()
{
    MainWindow w;
    MainWindowTestAccess access(w);
    QVERIFY(!access.programArrangementWindow());

    access.programSchedulingAction()->trigger();
    QPointer<ProgramArrangementWindow> window = access.programArrangementWindow();
    QVERIFY(window);
    QVERIFY(window->isVisible());
    QVERIFY(!window->parentWidget());
    QVERIFY(window->isWindow());
    ProgramArrangementWindowTestAccess a(*window);
    window->onAddOverlayRow();

    window->close();
    QVERIFY(window); // closing only hides it
    QVERIFY(!window->isVisible());

    access.programSchedulingAction()->trigger();
    QCOMPARE(access.programArrangementWindow(), window.data());
    QVERIFY(window->isVisible());
    QCOMPARE(a.overlayIds(), QStringList{"o1"});
    QCOMPARE(a.summaryLabel()->text(), QStringLiteral("Base 1  |  Overlay 1"));

    // Closing the main window closes the editor too.
    w.close();
    QVERIFY(!window->isVisible());
}

void TestMainWindowArrangementWindow::textsFollowTheLanguage()
{
    testsupport::storeUiLanguage("zh");
    MainWindow w;
    MainWindowTestAccess access(w);
    access.programSchedulingAction()->trigger();
    ProgramArrangementWindow* window = access.programArrangementWindow();
    ProgramArrangementWindowTestAccess a(*window);

    QVERIFY(window->chineseUi);
    QCOMPARE(window->windowTitle(), QStringLiteral("节目编排"));
    QCOMPARE(a.addSceneButton()->text(), QStringLiteral("＋ 添加基底片段"));
    QCOMPARE(a.summaryLabel()->text(), QStringLiteral("基底 1  |  叠加 0"));
    QCOMPARE(a.runButton()->text(), QStringLiteral("开始编排"));
    QCOMPARE(a.statusLabel()->text(), QStringLiteral("未运行"));
    // Rows loaded and laid out in Chinese.
    ProgramArrangement loaded;
    loaded.sceneClips = {SceneClip{}};
    loaded.sceneClips[0].id = "cam";
    loaded.overlayClips = {OverlayClip{}};
    loaded.overlayClips[0].id = "caption";
    loaded.overlayClips[0].overlayKind = OverlayClipKind::Text;
    window->loadArrangement(loaded);
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();

    w.setUiLanguage(MainWindow::kEnglish);
    QVERIFY(!window->chineseUi);
    QCOMPARE(window->windowTitle(), QStringLiteral("Program Scheduling"));
    QCOMPARE(a.addSceneButton()->text(), QStringLiteral("+ Add Base Clip"));
    QCOMPARE(a.addOverlayButton()->text(), QStringLiteral("+ Add Overlay Clip"));
    QCOMPARE(a.sceneGroup()->title(), QStringLiteral("Base Clips"));
    QCOMPARE(a.overlayGroup()->title(), QStringLiteral("Overlay Clips"));
    QCOMPARE(a.importButton()->text(), QStringLiteral("Import JSON..."));
    QCOMPARE(a.exportButton()->text(), QStringLiteral("Export JSON..."));
    QCOMPARE(a.validateButton()->text(), QStringLiteral("Check Schedule"));
    QCOMPARE(a.clearScenesButton()->text(), QStringLiteral("Clear"));
    QCOMPARE(a.summaryLabel()->text(), QStringLiteral("Base 1  |  Overlay 1"));
    QCOMPARE(a.runButton()->text(), QStringLiteral("Start Schedule"));
    QCOMPARE(a.statusLabel()->text(), QStringLiteral("READY"));

    // The rows' lists, laid out for the Chinese texts, widen to the English.
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    QComboBox* sceneKind = a.sceneRows().first()->kindCombo;
    QComboBox* overlayKind = a.overlayRows().first()->kindCombo;
    QCOMPARE(sceneKind->currentText(), QStringLiteral("Channel 1"));
    QCOMPARE(overlayKind->currentText(), QStringLiteral("Text"));
    for (QComboBox* list : {sceneKind, overlayKind}) {
        // What a list made with the English texts in the same place wants.
        QComboBox probe(list->parentWidget());
        probe.setStyleSheet(list->styleSheet());
        for (int i = 0; i < list->count(); ++i)
            probe.addItem(list->itemText(i));
        QVERIFY2(list->width() >= probe.sizeHint().width(),
                 qPrintable(QStringLiteral("%1 < %2").arg(list->width()).arg(probe.sizeHint().width())));
    }

    w.setUiLanguage(MainWindow::kChinese);
    QCOMPARE(window->windowTitle(), QStringLiteral("节目编排"));
    QCOMPARE(a.addSceneButton()->text(), QStringLiteral("＋ 添加基底片段"));
    QCOMPARE(a.summaryLabel()->text(), QStringLiteral("基底 1  |  叠加 1"));
    // "Clear" also stands for "清除" elsewhere; these buttons get their own text back.
    QCOMPARE(a.clearScenesButton()->text(), QStringLiteral("清空"));
    QCOMPARE(a.clearOverlaysButton()->text(), QStringLiteral("清空"));
}

void TestMainWindowArrangementWindow::runStateSurvivesLanguageSwitch()
{
    MainWindow w;
    MainWindowTestAccess access(w);
    access.programSchedulingAction()->trigger();
    ProgramArrangementWindow* window = access.programArrangementWindow();
    ProgramArrangementWindowTestAccess a(*window);
    window->setArrangementRunning(true);

    w.setUiLanguage(MainWindow::kChinese);
    QVERIFY(window->running);
    QCOMPARE(a.runButton()->text(), QStringLiteral("停止编排"));
    QCOMPARE(a.statusLabel()->text(), QStringLiteral("运行中"));
    QVERIFY(!a.sceneGroup()->isEnabled());

    // Shown again: still running, in the current language.
    window->hide();
    access.programSchedulingAction()->trigger();
    QVERIFY(window->running);
    QCOMPARE(a.runButton()->text(), QStringLiteral("停止编排"));
}

void TestMainWindowArrangementWindow::destroyedWithTheMainWindow()
{
    auto w = std::make_unique<MainWindow>();
    MainWindowTestAccess(*w).programSchedulingAction()->trigger();
    QPointer<ProgramArrangementWindow> window = MainWindowTestAccess(*w).programArrangementWindow();
    QVERIFY(window);
    w.reset();
    QVERIFY(!window);
}

void TestMainWindowArrangementWindow::startFromWindowReachesTheRunner()
{
    const QString clip = testsupport::clipVideoOnly(1);
    QVERIFY(!clip.isEmpty());
    MainWindow w;
    MainWindowTestAccess access(w);
    access.programSchedulingAction()->trigger();
    ProgramArrangementWindow* window = access.programArrangementWindow();
    ProgramArrangementWindowTestAccess a(*window);

    ProgramArrangement arrangement;
    SceneClip base;
    base.id = "cam";
    base.channel = 1;
    base.sceneVideoPath = clip;
    arrangement.sceneClips = {base};
    window->loadArrangement(arrangement);

    QSignalSpy spy(&w, &MainWindow::programArrangementRunningChanged);
    a.runButton()->click();
    QVERIFY(w.arrangementRunning());
    QVERIFY(window->running);
    QCOMPARE(spy.size(), 2);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QCOMPARE(spy.at(1).at(0).toBool(), true);
    QCOMPARE(access.channelPanels()[1]->sourceUrl().toLocalFile(), clip);

    a.runButton()->click();
    QVERIFY(!w.arrangementRunning());
    QVERIFY(!window->running);
    QCOMPARE(a.runButton()->text(), QStringLiteral("Start Schedule"));

    // The runner's own stop reaches the window too.
    a.runButton()->click();
    QVERIFY(window->running);
    w.stopProgramArrangement();
    QVERIFY(!window->running);
}

QUORB_TEST_MAIN(TestMainWindowArrangementWindow)
#include "tst_mainwindowarrangementwindow.moc"
