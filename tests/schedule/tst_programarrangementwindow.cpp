// The arrangement editor window: its rows and ids, the checks that turn rows
// into an arrangement, loading one back, clearing and the run-state display.

#include "schedule/arrangementwindowtestkit.h"

#include "support/testsupport.h"

#include <QCheckBox>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

// Builds the rows of one validation case; `dir` holds "video.mp4" and the
// folder "images".
using RowSetup = std::function<void(ProgramArrangementWindow&, const QString& dir)>;

SceneClip channelClip(const QString& id, const QString& video)
{
    SceneClip clip;
    clip.id = id;
    clip.kind = SceneClipKind::Channel;
    clip.sceneVideoPath = video;
    return clip;
}

OverlayClip textClip(const QString& id, const QString& text)
{
    OverlayClip clip;
    clip.id = id;
    clip.overlayKind = OverlayClipKind::Text;
    clip.textData.text = text;
    return clip;
}

OverlayClip mediaClip(const QString& id, int kind, const QString& path)
{
    OverlayClip clip;
    clip.id = id;
    clip.overlayKind = kind;
    clip.path = path;
    clip.w = 0.25;
    clip.h = 0.25;
    return clip;
}

// Rows loaded from clips, under a valid base row when only overlays are given.
RowSetup rows(std::function<QList<SceneClip>(const QString&)> scenes,
              std::function<QList<OverlayClip>(const QString&)> overlays = {})
{
    return [scenes, overlays](ProgramArrangementWindow& window, const QString& dir) {
        ProgramArrangement arrangement;
        arrangement.timelineZero = QStringLiteral("2026-03-01 12:00:00");
        arrangement.sceneClips = scenes ? scenes(dir) : QList<SceneClip>{channelClip("base", dir + "/video.mp4")};
        if (overlays)
            arrangement.overlayClips = overlays(dir);
        window.loadArrangement(arrangement);
    };
}

QDateTime todayAt(int h, int m, int s, int dayOffset = 0)
{
    return QDateTime(QDate::currentDate().addDays(dayOffset), QTime(h, m, s), Qt::LocalTime);
}

void flushDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

} // namespace

Q_DECLARE_METATYPE(RowSetup)

class TestProgramArrangementWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void newWindowHoldsOneBaseRow();
    void addedRowTakesFirstFreeId_data();
    void addedRowTakesFirstFreeId();
    void firstFailingCheckIsShown_data();
    void firstFailingCheckIsShown();
    void validRowsBuildTheArrangement();
    void removedRowLeavesTheListAtOnce();
    void loadSetsBaseTime_data();
    void loadSetsBaseTime();
    void loadReplacesRows();
    void clearAsksFirst_data();
    void clearAsksFirst();
    void runningStateLocksEditing_data();
    void runningStateLocksEditing();
    void followsRunnerSignalAlone();

private:
    QTemporaryDir dir;
};

void TestProgramArrangementWindow::initTestCase()
{
    QVERIFY(dir.isValid());
    QFile video(dir.filePath("video.mp4"));
    QVERIFY(video.open(QIODevice::WriteOnly));
    video.write("not decoded here");
    video.close();
    QVERIFY(QDir(dir.path()).mkdir("images"));
}

void TestProgramArrangementWindow::newWindowHoldsOneBaseRow()
{
    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangementWindowTestAccess a(window);

    QCOMPARE(a.sceneIds(), QStringList{"s0"});
    QVERIFY(a.overlayRows().isEmpty());
    QVERIFY(a.sceneRows().first()->untilStoppedCheck->isChecked());
    QCOMPARE(a.summaryLabel()->text(), QStringLiteral("Base 1  |  Overlay 0"));
    QCOMPARE(a.baseTimeEdit()->dateTime(), todayAt(0, 0, 0));
    QVERIFY(!window.running);
    QCOMPARE(a.runButton()->text(), QStringLiteral("Start Schedule"));
    QCOMPARE(a.statusLabel()->text(), QStringLiteral("READY"));
    QVERIFY(!window.testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(window.windowFlags() & Qt::WindowMaximizeButtonHint);
}

void TestProgramArrangementWindow::addedRowTakesFirstFreeId_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<bool>("overlay");
    QTest::addColumn<QString>("expected");

    QTest::newRow("after s0") << QStringList{"s0"} << false << "s1";
    QTest::newRow("gap between s1 and s3") << QStringList{"s1", "s3"} << false << "s2";
    QTest::newRow("blanks around s2 block it") << QStringList{"s1", " s2 "} << false << "s3";
    QTest::newRow("capital S2 does not block s2") << QStringList{"s1", "S2"} << false << "s2";
    QTest::newRow("empty list") << QStringList{} << false << "s1";
    QTest::newRow("first overlay") << QStringList{} << true << "o1";
    QTest::newRow("base ids never block overlay ids") << QStringList{"o1"} << true << "o1";
}

void TestProgramArrangementWindow::addedRowTakesFirstFreeId()
{
    QFETCH(QStringList, existing);
    QFETCH(bool, overlay);
    QFETCH(QString, expected);

    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    window.clearSceneRows();
    for (const QString& id : existing) {
        window.onAddSceneRow();
        a.sceneRows().last()->idEdit->setText(id);
    }
    if (overlay) {
        window.onAddOverlayRow();
        QCOMPARE(a.overlayIds(), QStringList{expected});
        QCOMPARE(a.summaryLabel()->text(), QStringLiteral("Base %1  |  Overlay 1").arg(existing.size()));
        return;
    }
    a.addSceneButton()->click();
    QCOMPARE(a.sceneIds().size(), existing.size() + 1);
    QCOMPARE(a.sceneIds().last(), expected);
    QCOMPARE(a.summaryLabel()->text(), QStringLiteral("Base %1  |  Overlay 0").arg(existing.size() + 1));
}

void TestProgramArrangementWindow::firstFailingCheckIsShown_data()
{
    QTest::addColumn<RowSetup>("setup");
    QTest::addColumn<QString>("titleEn");
    QTest::addColumn<QString>("textEn");
    QTest::addColumn<QString>("titleZh");
    QTest::addColumn<QString>("textZh");

    const QString invalidEn = "Invalid Schedule";
    const QString missingEn = "Missing Media";
    const QString endEn = "End time must be later than start time.";
    const QString endZh = "结束时间必须大于开始时间";
    auto video = [](const QString& d) { return d + "/video.mp4"; };

    // %DIR% in a text stands for the test's folder.
    QTest::newRow("base: empty id")
        << rows([=](const QString& d) { return QList<SceneClip>{channelClip("", video(d))}; }) << invalidEn
        << "Every base clip needs an ID." << "编排有误" << "每个基底片段都必须填写编号。";
    QTest::newRow("base: same id after trimming")
        << rows([=](const QString& d) { return QList<SceneClip>{channelClip("a", video(d)), channelClip(" a", video(d))}; })
        << invalidEn << "Duplicate base clip ID: a" << "编排有误" << "基底片段编号重复：a";
    QTest::newRow("base: end equals start")
        << rows([=](const QString& d) {
               SceneClip clip = channelClip("a", video(d));
               clip.startMs = 60000;
               clip.endMs = 60000;
               return QList<SceneClip>{clip};
           })
        << invalidEn << endEn << "错误" << endZh;
    QTest::newRow("base: end before start")
        << rows([=](const QString& d) {
               SceneClip clip = channelClip("a", video(d));
               clip.startMs = 120000;
               clip.endMs = 60000;
               return QList<SceneClip>{clip};
           })
        << invalidEn << endEn << "错误" << endZh;
    QTest::newRow("base: channel without video")
        << rows([](const QString&) { return QList<SceneClip>{channelClip("a", "")}; }) << invalidEn
        << "Select a video for the channel." << "错误" << "通道必须选择视频";
    QTest::newRow("base: missing video")
        << rows([](const QString& d) { return QList<SceneClip>{channelClip("a", d + "/gone.mp4")}; }) << missingEn
        << "Base video was not found: %DIR%/gone.mp4" << "素材不存在" << "找不到基底视频：%DIR%/gone.mp4";
    QTest::newRow("base: network address as video")
        << rows([](const QString&) { return QList<SceneClip>{channelClip("a", "rtmp://127.0.0.1/live")}; })
        << missingEn << "Base video was not found: rtmp://127.0.0.1/live" << "素材不存在"
        << "找不到基底视频：rtmp://127.0.0.1/live";
    QTest::newRow("base: slideshow without folder")
        << rows([](const QString&) {
               SceneClip clip;
               clip.id = "a";
               clip.kind = SceneClipKind::ImagePlay;
               return QList<SceneClip>{clip};
           })
        << invalidEn << "Select an image directory." << "错误" << "播放图片必须选择目录";
    QTest::newRow("base: slideshow folder missing")
        << rows([](const QString& d) {
               SceneClip clip;
               clip.id = "a";
               clip.kind = SceneClipKind::ImagePlay;
               clip.imageDirectory = d + "/nothing";
               clip.paths = QStringList{d + "/nothing/a.png"};
               return QList<SceneClip>{clip};
           })
        << missingEn << "Image directory was not found: %DIR%/nothing" << "素材不存在"
        << "找不到图片目录：%DIR%/nothing";
    QTest::newRow("base: id is checked before the video")
        << rows([](const QString& d) { return QList<SceneClip>{channelClip("", d + "/gone.mp4")}; }) << invalidEn
        << "Every base clip needs an ID." << "编排有误" << "每个基底片段都必须填写编号。";
    QTest::newRow("base rows before overlay rows")
        << rows([=](const QString& d) { return QList<SceneClip>{channelClip("a", video(d)), channelClip("b", "")}; },
                [](const QString&) { return QList<OverlayClip>{textClip("", "x")}; })
        << invalidEn << "Select a video for the channel." << "错误" << "通道必须选择视频";

    QTest::newRow("overlay: empty id")
        << rows({}, [](const QString&) { return QList<OverlayClip>{textClip("", "x")}; }) << invalidEn
        << "Every overlay clip needs an ID." << "编排有误" << "每个叠加片段都必须填写编号。";
    QTest::newRow("overlay: same id after trimming")
        << rows({}, [](const QString&) { return QList<OverlayClip>{textClip("o", "x"), textClip(" o", "y")}; })
        << invalidEn << "Duplicate overlay clip ID: o" << "编排有误" << "叠加片段编号重复：o";
    QTest::newRow("overlay: end equals start")
        << rows({},
                [](const QString&) {
                    OverlayClip clip = textClip("o", "x");
                    clip.startMs = 5000;
                    clip.endMs = 5000;
                    return QList<OverlayClip>{clip};
                })
        << invalidEn << endEn << "错误" << endZh;
    QTest::newRow("overlay: text of blanks")
        << rows({}, [](const QString&) { return QList<OverlayClip>{textClip("o", "   ")}; }) << invalidEn
        << "Overlay text cannot be empty." << "错误" << "文字不能为空";
    QTest::newRow("overlay: video without path")
        << rows({}, [](const QString&) { return QList<OverlayClip>{mediaClip("o", OverlayClipKind::Video, "")}; })
        << invalidEn << "Select an overlay video." << "错误" << "请选择视频";
    QTest::newRow("overlay: missing video")
        << rows({},
                [](const QString& d) {
                    return QList<OverlayClip>{mediaClip("o", OverlayClipKind::Video, d + "/gone.mov")};
                })
        << missingEn << "Overlay video was not found: %DIR%/gone.mov" << "素材不存在"
        << "找不到叠加视频：%DIR%/gone.mov";
    QTest::newRow("overlay: image without path")
        << rows({}, [](const QString&) { return QList<OverlayClip>{mediaClip("o", OverlayClipKind::Image, "")}; })
        << invalidEn << "Select an overlay image file." << "错误" << "请选择叠加图片文件";
    QTest::newRow("overlay: missing image")
        << rows({},
                [](const QString& d) {
                    return QList<OverlayClip>{mediaClip("o", OverlayClipKind::Image, d + "/gone.png")};
                })
        << missingEn << "Overlay image was not found: %DIR%/gone.png" << "素材不存在"
        << "找不到叠加图片：%DIR%/gone.png";
}

void TestProgramArrangementWindow::firstFailingCheckIsShown()
{
    QFETCH(RowSetup, setup);
    QFETCH(QString, titleEn);
    QFETCH(QString, textEn);
    QFETCH(QString, titleZh);
    QFETCH(QString, textZh);

    for (const bool chinese : {false, true}) {
        ProgramArrangementWindow window(nullptr, nullptr);
        window.chineseUi = chinese;
        setup(window, dir.path());
        const QList<SceneRowWidget*> scenesBefore = ProgramArrangementWindowTestAccess(window).sceneRows();

        bool ok = true;
        ProgramArrangement built;
        BoxRecorder recorder;
        built = window.buildArrangement(&ok);

        QVERIFY(!ok);
        QCOMPARE(recorder.boxes.size(), 1);
        QCOMPARE(recorder.boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(recorder.boxes[0].title, chinese ? titleZh : titleEn);
        QCOMPARE(recorder.boxes[0].text, QString(chinese ? textZh : textEn).replace("%DIR%", dir.path()));
        QVERIFY(built.sceneClips.isEmpty());
        QVERIFY(built.overlayClips.isEmpty());
        QVERIFY(built.timelineZero.isEmpty());
        QCOMPARE(built.version, 3);
        QCOMPARE(ProgramArrangementWindowTestAccess(window).sceneRows(), scenesBefore);
    }
}

void TestProgramArrangementWindow::validRowsBuildTheArrangement()
{
    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangement in;
    in.timelineZero = "2026-03-01 12:00:00";
    SceneClip early = channelClip("a", dir.filePath("video.mp4"));
    early.startMs = -600000;
    early.endMs = 300000;
    SceneClip open = channelClip("b", dir.filePath("video.mp4"));
    open.startMs = 300000;
    SceneClip slides;
    slides.id = "c";
    slides.kind = SceneClipKind::ImagePlay;
    slides.imageDirectory = dir.filePath("images");
    in.sceneClips = {early, open, slides};
    // Same id as a base clip; a video whose path is a directory exists.
    in.overlayClips = {textClip("a", " on air "), mediaClip("v", OverlayClipKind::Video, dir.filePath("images"))};
    window.loadArrangement(in);

    bool ok = false;
    BoxRecorder recorder;
    const ProgramArrangement out = window.buildArrangement(&ok);
    QVERIFY(ok);
    QVERIFY(recorder.boxes.isEmpty());
    QCOMPARE(out.version, 3);
    QCOMPARE(out.timelineZero, QStringLiteral("2026-03-01 12:00:00"));
    QCOMPARE(out.sceneClips.size(), 3);
    QCOMPARE(out.sceneClips[0].startMs, -600000);
    QCOMPARE(out.sceneClips[0].endMs, 300000);
    QCOMPARE(out.sceneClips[1].endMs, 0);
    QCOMPARE(out.sceneClips[2].kind, int(SceneClipKind::ImagePlay));
    QCOMPARE(out.overlayClips.size(), 2);
    QCOMPARE(out.overlayClips[0].id, QStringLiteral("a"));
    QCOMPARE(out.overlayClips[1].path, dir.filePath("images"));
}

void TestProgramArrangementWindow::removedRowLeavesTheListAtOnce()
{
    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    window.onAddSceneRow();
    window.onAddOverlayRow();
    QPointer<SceneRowWidget> first = a.sceneRows().first();

    window.removeSceneRow(first);
    QCOMPARE(a.sceneIds(), QStringList{"s1"});
    QCOMPARE(a.summaryLabel()->text(), QStringLiteral("Base 1  |  Overlay 1"));
    QVERIFY(first); // deleted by the event loop, not at once
    flushDeferredDeletes();
    QVERIFY(!first);

    window.removeOverlayRow(a.overlayRows().first());
    window.removeSceneRow(nullptr);
    QCOMPARE(a.summaryLabel()->text(), QStringLiteral("Base 1  |  Overlay 0"));
}

void TestProgramArrangementWindow::loadSetsBaseTime_data()
{
    QTest::addColumn<QString>("timelineZero");
    QTest::addColumn<QList<qint64>>("sceneStarts");
    QTest::addColumn<QList<qint64>>("overlayStarts");
    QTest::addColumn<QDateTime>("expected");

    QTest::newRow("written form") << "2026-05-04 10:20:30" << QList<qint64>{0} << QList<qint64>{}
                                  << QDateTime(QDate(2026, 5, 4), QTime(10, 20, 30), Qt::LocalTime);
    QTest::newRow("ISO form") << "2026-05-04T10:20:30" << QList<qint64>{0} << QList<qint64>{}
                              << QDateTime(QDate(2026, 5, 4), QTime(10, 20, 30), Qt::LocalTime);
    QTest::newRow("no base time, clips at 1 h and 2 h")
        << "" << QList<qint64>{7200000} << QList<qint64>{3600000} << todayAt(23, 0, 0, -1);
    QTest::newRow("unreadable base time, earliest at -10 min")
        << "yesterday" << QList<qint64>{0, -600000} << QList<qint64>{} << todayAt(0, 10, 0);
    QTest::newRow("no clips") << "" << QList<qint64>{} << QList<qint64>{} << todayAt(0, 0, 0);
}

void TestProgramArrangementWindow::loadSetsBaseTime()
{
    QFETCH(QString, timelineZero);
    QFETCH(QList<qint64>, sceneStarts);
    QFETCH(QList<qint64>, overlayStarts);
    QFETCH(QDateTime, expected);

    ProgramArrangement arrangement;
    arrangement.timelineZero = timelineZero;
    for (qint64 start : sceneStarts) {
        SceneClip clip = channelClip(QStringLiteral("b%1").arg(arrangement.sceneClips.size()), "");
        clip.startMs = start;
        arrangement.sceneClips.append(clip);
    }
    for (qint64 start : overlayStarts) {
        OverlayClip clip = textClip(QStringLiteral("t%1").arg(arrangement.overlayClips.size()), "x");
        clip.startMs = start;
        arrangement.overlayClips.append(clip);
    }

    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    window.loadArrangement(arrangement);

    QCOMPARE(a.baseTimeEdit()->dateTime(), expected);
    if (arrangement.sceneClips.isEmpty())
        QCOMPARE(a.sceneIds(), QStringList{"s1"});
    else
        QCOMPARE(a.sceneIds().size(), arrangement.sceneClips.size());
    QCOMPARE(a.overlayRows().size(), arrangement.overlayClips.size());
}

void TestProgramArrangementWindow::loadReplacesRows()
{
    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    window.onAddOverlayRow();
    window.onAddOverlayRow();

    ProgramArrangement arrangement;
    arrangement.timelineZero = "2026-05-04 10:00:00";
    // Ids are taken as they are, empty and repeated ones included.
    arrangement.sceneClips = {channelClip("x", ""), channelClip("x", ""), channelClip("", "")};
    arrangement.overlayClips = {textClip("t", "hello")};
    window.loadArrangement(arrangement);

    QCOMPARE(a.sceneIds(), (QStringList{"x", "x", ""}));
    QCOMPARE(a.overlayIds(), QStringList{"t"});
    QCOMPARE(a.summaryLabel()->text(), QStringLiteral("Base 3  |  Overlay 1"));
    QVERIFY(!window.running);
}

void TestProgramArrangementWindow::clearAsksFirst_data()
{
    QTest::addColumn<bool>("overlay");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("rowsAfter");

    QTest::newRow("base, yes") << false << false << QMessageBox::Yes << "Clear Base Clips"
                               << "Delete all base clips?" << 0;
    QTest::newRow("base, no") << false << false << QMessageBox::No << "Clear Base Clips"
                              << "Delete all base clips?" << 2;
    QTest::newRow("base, Chinese") << false << true << QMessageBox::Yes << "清空基底片段"
                                   << "确定删除全部基底片段吗？" << 0;
    QTest::newRow("overlay, yes") << true << false << QMessageBox::Yes << "Clear Overlay Clips"
                                  << "Delete all overlay clips?" << 0;
    QTest::newRow("overlay, no, Chinese") << true << true << QMessageBox::No << "清空叠加片段"
                                          << "确定删除全部叠加片段吗？" << 2;
}

void TestProgramArrangementWindow::clearAsksFirst()
{
    QFETCH(bool, overlay);
    QFETCH(bool, chinese);
    QFETCH(QMessageBox::StandardButton, answer);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(int, rowsAfter);

    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    window.chineseUi = chinese;
    window.onAddSceneRow();
    window.onAddOverlayRow();
    window.onAddOverlayRow();
    const QDateTime base = a.baseTimeEdit()->dateTime();

    BoxRecorder recorder(answer);
    (overlay ? a.clearOverlaysButton() : a.clearScenesButton())->click();

    QCOMPARE(recorder.boxes.size(), 1);
    QCOMPARE(recorder.boxes[0].icon, QMessageBox::Question);
    QCOMPARE(recorder.boxes[0].title, title);
    QCOMPARE(recorder.boxes[0].text, text);
    QVERIFY(!recorder.boxes[0].hasDefaultButton);
    QCOMPARE(overlay ? a.overlayRows().size() : a.sceneRows().size(), rowsAfter);
    QCOMPARE(overlay ? a.sceneRows().size() : a.overlayRows().size(), 2);
    QCOMPARE(a.baseTimeEdit()->dateTime(), base);

    if (!overlay && rowsAfter == 0) {
        QCOMPARE(a.summaryLabel()->text(), chinese ? QStringLiteral("基底 0  |  叠加 2") : QStringLiteral("Base 0  |  Overlay 2"));
        // An empty base list builds; refusing it is the commands' part.
        window.clearOverlayRows();
        bool ok = false;
        const ProgramArrangement built = window.buildArrangement(&ok);
        QVERIFY(ok);
        QVERIFY(built.sceneClips.isEmpty());
    }
}

void TestProgramArrangementWindow::runningStateLocksEditing_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("runText");
    QTest::addColumn<QString>("statusText");
    QTest::newRow("English") << false << "Stop Schedule" << "RUNNING";
    QTest::newRow("Chinese") << true << "停止编排" << "运行中";
}

void TestProgramArrangementWindow::runningStateLocksEditing()
{
    QFETCH(bool, chinese);
    QFETCH(QString, runText);
    QFETCH(QString, statusText);

    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    window.chineseUi = chinese;
    const QList<QWidget*> locked{a.baseTimeEdit(), a.sceneGroup(), a.overlayGroup(), a.importButton(),
                                 a.validateButton()};

    window.setArrangementRunning(true);
    QVERIFY(window.running);
    for (QWidget* widget : locked)
        QVERIFY(!widget->isEnabled());
    QVERIFY(!a.addSceneButton()->isEnabled());
    QVERIFY(!a.sceneRows().first()->isEnabled());
    QVERIFY(a.exportButton()->isEnabled());
    QVERIFY(a.runButton()->isEnabled());
    QCOMPARE(a.runButton()->text(), runText);
    QCOMPARE(a.statusLabel()->text(), statusText);
    QVERIFY(a.runButton()->styleSheet().contains("background:#5b3434"));
    QVERIFY(a.statusLabel()->styleSheet().contains("background:#203b27"));

    window.setArrangementRunning(false);
    for (QWidget* widget : locked)
        QVERIFY(widget->isEnabled());
    QCOMPARE(a.runButton()->text(), chinese ? QStringLiteral("开始编排") : QStringLiteral("Start Schedule"));
    QCOMPARE(a.statusLabel()->text(), chinese ? QStringLiteral("未运行") : QStringLiteral("READY"));
    QVERIFY(a.runButton()->styleSheet().contains("background:#355b3c"));
    QVERIFY(a.statusLabel()->styleSheet().contains("background:#24272e"));
}

void TestProgramArrangementWindow::followsRunnerSignalAlone()
{
    FakeRunner runner;
    ProgramArrangementWindow window(&runner, nullptr);
    ProgramArrangementWindowTestAccess a(window);

    emit runner.programArrangementRunningChanged(true);
    QVERIFY(window.running);
    QCOMPARE(a.runButton()->text(), QStringLiteral("Stop Schedule"));
    QVERIFY(!a.sceneGroup()->isEnabled());

    emit runner.programArrangementRunningChanged(false);
    QVERIFY(!window.running);
    QCOMPARE(a.statusLabel()->text(), QStringLiteral("READY"));
    QVERIFY(a.sceneGroup()->isEnabled());
}

QUORB_TEST_MAIN(TestProgramArrangementWindow)
#include "moc_arrangementwindowtestkit.cpp"
#include "tst_programarrangementwindow.moc"
