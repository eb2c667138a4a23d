// The main window on a real X server with openbox and the installed fonts,
// in English and in Chinese: the menu bar shows its titles in gold, and every
// fixed text of the window has a glyph for each of its characters. The
// screenshots are kept in the build tree to be looked at.

#include "mainwindowtestaccess.h"

#include "app/settingsstore.h"
#include "support/testsupport.h"
#include "support/xvfb.h"
#include "ui/mainwindow.h"
#include "ui/uitheme.h"
#include "ui/uitranslation.h"

#include <QAction>
#include <QDockWidget>
#include <QGlyphRun>
#include <QGroupBox>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRawFont>
#include <QScreen>
#include <QSettings>
#include <QTextLayout>
#include <QToolBar>

#include <memory>

namespace {

QString screenshotDir()
{
    const QString dir = QStringLiteral(QUORB_TEST_BIN_DIR "/screenshots");
    QDir().mkpath(dir);
    return dir;
}

void storeLanguage(const QString& value)
{
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    s.setValue("ui_language", value);
    s.sync();
}

bool isGoldText(QRgb p)
{
    // #d4af37 and its anti-aliased blends with the dark bar.
    const int r = qRed(p), g = qGreen(p), b = qBlue(p);
    return r > 110 && r > g && g > b + 30 && r - b > 70;
}

// Characters of `text` that the font chosen for it (with fallback) cannot
// draw: glyph index 0 is the missing-glyph box.
QString missingCharacters(const QString& text, const QFont& font)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    QString missing;
    for (const QGlyphRun& run : layout.glyphRuns()) {
        const QList<quint32> glyphs = run.glyphIndexes();
        if (glyphs.contains(0))
            missing += QStringLiteral("[%1 in %2]").arg(text, run.rawFont().familyName());
    }
    for (const QChar ch : text) {
        if (ch.isSpace() || ch.isSurrogate())
            continue;
        bool found = false;
        for (const QGlyphRun& run : layout.glyphRuns())
            found = found || run.rawFont().supportsCharacter(ch);
        if (!found)
            missing += ch;
    }
    return missing;
}

} // namespace

class TestMainWindowScreenshot : public QObject {
    Q_OBJECT
private slots:
    void menuTitlesShowInGold_data();
    void menuTitlesShowInGold();
    void everyFixedTextHasItsGlyphs();
};

void TestMainWindowScreenshot::menuTitlesShowInGold_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("titles");
    QTest::newRow("English") << "en" << QStringList{"&File", "&View", "&Tools", "&Help"};
    QTest::newRow("Chinese") << "zh" << QStringList{"文件(&F)", "视图(&V)", "工具(&T)", "帮助(&H)"};
}

void TestMainWindowScreenshot::menuTitlesShowInGold()
{
    QFETCH(QString, language);
    QFETCH(QStringList, titles);
    storeLanguage(language);
    MainWindow window;
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(1500); // the layout reset and the first paints
    const QPixmap shot = window.screen()->grabWindow(0);
    const QString path = screenshotDir() + "/mainwindow_" + language + ".png";
    QVERIFY(shot.save(path));
    qInfo() << "screenshot:" << path;
    const QImage image = shot.toImage();

    QMenuBar* bar = window.menuBar();
    const QList<QAction*> actions = bar->actions();
    QCOMPARE(actions.size(), titles.size());
    for (int i = 0; i < actions.size(); ++i) {
        QCOMPARE(actions[i]->text(), titles[i]);
        const QRect local = bar->actionGeometry(actions[i]);
        QVERIFY(!local.isEmpty());
        const QRect onScreen(bar->mapToGlobal(local.topLeft()) - window.screen()->geometry().topLeft(), local.size());
        int gold = 0;
        for (int y = onScreen.top(); y <= onScreen.bottom(); ++y)
            for (int x = onScreen.left(); x <= onScreen.right(); ++x)
                gold += image.rect().contains(x, y) && isGoldText(image.pixel(x, y)) ? 1 : 0;
        QVERIFY2(gold >= 15, qPrintable(QString("%1: %2 gold pixels in %3,%4 %5x%6")
                                            .arg(titles[i])
                                            .arg(gold)
                                            .arg(onScreen.x())
                                            .arg(onScreen.y())
                                            .arg(onScreen.width())
                                            .arg(onScreen.height())));
    }
}

void TestMainWindowScreenshot::everyFixedTextHasItsGlyphs()
{
    QStringList texts;
    for (const QString& language : {QString("en"), QString("zh")}) {
        storeLanguage(language);
        MainWindow window;
        MainWindowTestAccess a(window);
        for (QMenu* menu : {a.fileMenu(), a.viewMenu(), a.toolsMenu(), a.helpMenu(), a.languageMenu()}) {
            texts << menu->title();
            for (QAction* action : menu->actions())
                texts << action->text();
        }
        for (QGroupBox* group : window.findChildren<QGroupBox*>())
            texts << group->title();
        for (QDockWidget* dock : window.findChildren<QDockWidget*>())
            texts << dock->windowTitle();
        for (QPushButton* button : a.drawingToolBar()->findChildren<QPushButton*>())
            texts << button->text() << button->toolTip();
        for (QPushButton* button : window.findChildren<QPushButton*>())
            texts << button->text();
    }
    for (const auto& row : uitranslation::uiTextTable())
        texts << row.english << row.chinese;
    texts << QStringLiteral("输出目录") << QStringLiteral("无法打开输出目录。") << QStringLiteral("保存PNG");
    texts.removeAll(QString());
    texts.removeDuplicates();

    // The window's own font: a family that does not exist here, so the
    // fallback of fontconfig and Qt decides, as it does on screen.
    QFont font(QStringLiteral("Segoe UI"));
    font.setPixelSize(13);
    QStringList failures;
    for (const QString& text : texts) {
        const QString missing = missingCharacters(text, font);
        if (!missing.isEmpty())
            failures << QStringLiteral("%1 -> %2").arg(text, missing);
    }
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
}

int main(int argc, char** argv)
{
    testsupport::ScopedTestHome home;
    testsupport::PeerProcess xvfb;
    testsupport::PeerProcess openbox;
    QString error;
    const QString display = testsupport::startXvfb(xvfb, &error);
    if (display.isEmpty()) {
        fprintf(stderr, "no X server: %s\n", qPrintable(error));
        return 1;
    }
    qputenv("DISPLAY", display.toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    if (!openbox.start("openbox", {}, 0, testsupport::PeerProcess::Wait::None)) {
        fprintf(stderr, "openbox: %s\n", qPrintable(openbox.errorString()));
        return 1;
    }
    QApplication app(argc, argv);
    initQuorbelResources();
    TestMainWindowScreenshot tc;
    QTEST_SET_MAIN_SOURCE_PATH
    const int rc = QTest::qExec(&tc, argc, argv);
    openbox.stop();
    xvfb.stop();
    return rc;
}

#include "tst_mainwindowscreenshot.moc"
