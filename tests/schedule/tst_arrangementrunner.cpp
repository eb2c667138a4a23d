#include "engine/overlaymanager.h"
#include "schedule/arrangementrunner.h"
#include "schedule/arrangementrunnerhost.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>

namespace {

QString onOff(bool b)
{
    return b ? "on" : "off";
}

QString rectText(const QRectF& r)
{
    return QString("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// Stands in for the main window: writes every call into a log the tests
// compare, creates plain objects as editor items and deletes them later, the
// way the overlay editor does.
class FakeHost : public ArrangementRunnerHost {
public:
    FakeHost()
    {
        QObject::connect(&model, &OverlayManager::textOverlaysChanged, [this] {
            QStringList texts;
            for (const TextOverlayData& t : model.textOverlays())
                texts << QString("%1=%2").arg(t.id).arg(t.text);
            log << "texts " + (texts.isEmpty() ? QString("-") : texts.join(','));
        });
    }

    void arrangementRunningChanged(bool running) override { log << (running ? "running on" : "running off"); }
    ~FakeHost() override
    {
        for (const QPointer<QObject>& item : std::as_const(items))
            delete item.data();
    }

    OverlayManager* arrangementOverlayModel() override { return withModel ? &model : nullptr; }
    void restartArrangementProgramClock() override { log << "clock reset"; }
    void setArrangementProgramClockPosition(qint64 ms) override { log << QString("clock %1").arg(ms); }
    void startArrangementImagePlayback(const QStringList& paths, int intervalMs, bool loop) override
    {
        log << QString("slides %1 %2 loop %3").arg(paths.join('|')).arg(intervalMs).arg(onOff(loop));
    }
    bool hasArrangementChannelStrip(int channel) override { return strips.contains(channel); }
    void setArrangementChannelStripLoop(int channel, bool loop) override
    {
        log << QString("strip-loop %1 %2").arg(channel).arg(onOff(loop));
    }
    bool arrangementSourceConflicts(const QString& source, QString* error) override
    {
        if (source != conflicting)
            return false;
        *error = "输入源不能与当前录制的输出文件相同。";
        return true;
    }
    void setArrangementChannelStripSource(int channel, const QString& source) override
    {
        log << QString("source %1 %2").arg(channel).arg(source);
    }
    void setArrangementChannelLooping(int channel, bool loop) override
    {
        log << QString("looping %1 %2").arg(channel).arg(onOff(loop));
    }
    void switchArrangementProgramToChannel(int channel) override { log << QString("switch %1").arg(channel); }
    bool hasArrangementOverlayEditor() override { return withEditor; }
    QObject* addArrangementVideoOverlay(const QString& path, QPointF topLeft) override
    {
        return addItem("video", path, topLeft);
    }
    QObject* addArrangementImageOverlay(const QString& path, QPointF topLeft) override
    {
        return addItem("image", path, topLeft);
    }
    void setArrangementOverlayEditorWidth(QObject* item, int width) override
    {
        log << QString("width %1 %2").arg(item->objectName()).arg(width);
    }
    void bindArrangementVideoOverlay(QObject* item, const QString&, const QRectF& rect) override
    {
        log << QString("bind %1 %2").arg(item->objectName(), rectText(rect));
    }
    void bindArrangementImageOverlay(QObject* item, const QString&, const QRectF& rect, double opacity) override
    {
        log << QString("bind %1 %2 opacity %3").arg(item->objectName(), rectText(rect)).arg(opacity);
    }
    void requestArrangementOverlayRemoval(QObject* item) override
    {
        log << "remove " + item->objectName();
        item->deleteLater();
    }

    int liveItems() const
    {
        return int(std::count_if(items.begin(), items.end(), [](const QPointer<QObject>& p) { return !p.isNull(); }));
    }

    QStringList log;
    OverlayManager model;
    bool withModel = true;
    bool withEditor = true;
    QList<int> strips{0, 1, 2, 3};
    QString conflicting;
    int itemLimit = 4;
    QList<QPointer<QObject>> items;

private:
    QObject* addItem(const QString& kind, const QString& path, QPointF topLeft)
    {
        const int sameKind = int(std::count_if(items.begin(), items.end(), [&](const QPointer<QObject>& p) {
            return p && p->objectName().startsWith(kind);
        }));
        if (sameKind >= itemLimit) {
            log << "editor full " + kind;
            return nullptr;
        }
        auto* item = new QObject;
        item->setObjectName(QString("%1#%2").arg(kind).arg(items.size() + 1));
        items << item;
        log << QString("add %1 %2 at %3,%4")
                   .arg(item->objectName(), QFileInfo(path).fileName())
                   .arg(topLeft.x())
                   .arg(topLeft.y());
        return item;
    }
};

SceneClip channelClip(const QString& id, qint64 start, qint64 end, int channel)
{
    SceneClip c;
    c.id = id;
    c.startMs = start;
    c.endMs = end;
    c.channel = channel;
    return c;
}

OverlayClip overlayClip(const QString& id, qint64 start, qint64 end, int kind, const QString& path = {})
{
    OverlayClip c;
    c.id = id;
    c.startMs = start;
    c.endMs = end;
    c.overlayKind = kind;
    c.path = path;
    c.x = 0.1;
    c.y = 0.1;
    c.w = 0.5;
    c.h = 0.25;
    if (kind == OverlayClipKind::Text)
        c.textData.text = id;
    return c;
}

// The channel sequence one Channel clip without a video leaves in the log.
QStringList channelSteps(int channel)
{
    return {QString("strip-loop %1 off").arg(channel), QString("looping %1 off").arg(channel),
            QString("switch %1").arg(channel)};
}

} // namespace

class TestArrangementRunner : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void steps_data();
    void steps();
    void refusedSceneVideoLogsOnce();
    void restartLeavesOneItemPerClip();
    void textIdsKeepRisingAcrossRuns();
    void runKeepsItsOwnTime();
    void destroyedRunnerIgnoresLaterItemDeaths();

private:
    QString file(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

void TestArrangementRunner::initTestCase()
{
    QVERIFY(dir.isValid());
    for (const char* name : {"v.mp4", "a.png"}) {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
}

void TestArrangementRunner::steps_data()
{
    QTest::addColumn<QList<SceneClip>>("scenes");
    QTest::addColumn<QList<OverlayClip>>("overlays");
    // After start (a step at 0): a number steps at that time; "stop", "restart",
    // "flush" (deferred deletions run), "kill <item>" (the operator deletes
    // it), "touch <file>", "operator text" (a text overlay of the operator),
    // "no model", "no editor", "editor limit <n>", "no strip <ch>".
    QTest::addColumn<QStringList>("actions");
    QTest::addColumn<QStringList>("expected");

    const QString video = file("v.mp4");
    const QString image = file("a.png");
    const QString late = file("late.mp4");
    // Every start stops first, so it reports not running before it begins.
    const QStringList start{"running off", "clock reset"};
    const QStringList started{"running on"};

    QTest::newRow("first clip at 5000 waits, applied once")
        << QList<SceneClip>{channelClip("A", 5000, 0, 1)} << QList<OverlayClip>{}
        << QStringList{"4999", "5000", "6000"}
        << start + started + QStringList{"@4999", "@5000"} + channelSteps(1) + QStringList{"@6000"};

    QTest::newRow("A, B inside A, A again")
        << QList<SceneClip>{channelClip("A", 0, 0, 0), channelClip("B", 10000, 20000, 1)} << QList<OverlayClip>{}
        << QStringList{"5000", "10000", "15000", "20000"}
        << start + channelSteps(0) + started + QStringList{"@5000", "@10000"} + channelSteps(1)
               + QStringList{"@15000", "@20000"} + channelSteps(0);

    QTest::newRow("gap keeps the first clip's source")
        << QList<SceneClip>{channelClip("B", 8000, 0, 1), channelClip("A", 0, 5000, 0)} << QList<OverlayClip>{}
        << QStringList{"5000", "7999", "8000"}
        << start + channelSteps(0) + started + QStringList{"@5000", "@7999", "@8000"} + channelSteps(1);

    QTest::newRow("equal starts: one in charge and it stays")
        << QList<SceneClip>{channelClip("A", 0, 0, 0), channelClip("B", 0, 0, 1)} << QList<OverlayClip>{}
        << QStringList{"100", "5000"} << start + channelSteps(1) + started + QStringList{"@100", "@5000"};

    QTest::newRow("t before every clip removes overlays, keeps program")
        << QList<SceneClip>{channelClip("A", 1000, 0, 0)}
        << QList<OverlayClip>{overlayClip("cap", 1000, 0, OverlayClipKind::Text),
                              overlayClip("img", 1000, 0, OverlayClipKind::Image, image)}
        << QStringList{"2000", "500", "flush"}
        << start + started + QStringList{"@2000"} + channelSteps(0)
               + QStringList{"texts 50000=cap", "add image#1 a.png at 64,36", "width image#1 320",
                             "bind image#1 64,36 320x90 opacity 1", "@500", "texts -", "remove image#1", "@flush"};

    QTest::newRow("hand-over at 8000 in list order")
        << QList<SceneClip>{}
        << QList<OverlayClip>{overlayClip("two", 8000, 0, OverlayClipKind::Text),
                              overlayClip("one", 0, 8000, OverlayClipKind::Text)}
        << QStringList{"7999", "8000"}
        << start + QStringList{"texts 50000=one"} + started
               + QStringList{"@7999", "@8000", "texts -", "texts 50001=two"};

    QTest::newRow("open end stays until stop; stop takes only the run's overlays")
        << QList<SceneClip>{channelClip("A", 0, 0, 2)}
        << QList<OverlayClip>{overlayClip("cap", 0, 0, OverlayClipKind::Text),
                              overlayClip("vid", 0, -5, OverlayClipKind::Video, video)}
        << QStringList{"operator text", "999999999", "stop", "flush"}
        << start + channelSteps(2)
               + QStringList{"texts 50000=cap", "add video#1 v.mp4 at 64,36", "width video#1 320",
                             "bind video#1 64,36 320x90"}
               + started
               + QStringList{"@operator text", "texts 50000=cap,1=operator", "@999999999", "@stop", "texts 1=operator",
                             "remove video#1", "running off", "@flush"};

    QTest::newRow("missing file not retried inside its interval")
        << QList<SceneClip>{} << QList<OverlayClip>{overlayClip("late", 1000, 9000, OverlayClipKind::Video, late)}
        << QStringList{"1000", "touch late.mp4", "5000", "9000", "1000"}
        << start + started
               + QStringList{"@1000", "@touch late.mp4", "@5000", "@9000", "@1000", "add video#1 late.mp4 at 64,36",
                             "width video#1 320", "bind video#1 64,36 320x90"};

    QTest::newRow("item the operator deletes comes back with the next step")
        << QList<SceneClip>{} << QList<OverlayClip>{overlayClip("img", 0, 0, OverlayClipKind::Image, image)}
        << QStringList{"kill image#1", "100", "200"}
        << start
               + QStringList{"add image#1 a.png at 64,36", "width image#1 320", "bind image#1 64,36 320x90 opacity 1"}
               + started
               + QStringList{"@kill image#1", "@100", "add image#2 a.png at 64,36", "width image#2 320",
                             "bind image#2 64,36 320x90 opacity 1", "@200"};

    QTest::newRow("full editor: nothing shown, not retried")
        << QList<SceneClip>{} << QList<OverlayClip>{overlayClip("vid", 0, 0, OverlayClipKind::Video, video)}
        << QStringList{"editor limit 0", "stop", "restart", "100"}
        << start + QStringList{"add video#1 v.mp4 at 64,36", "width video#1 320", "bind video#1 64,36 320x90"}
               + started
               + QStringList{"@editor limit 0", "@stop", "remove video#1", "running off", "@restart"} + start
               + QStringList{"editor full video", "running on", "@100"};

    QTest::newRow("no overlay model: no overlay at all")
        << QList<SceneClip>{} << QList<OverlayClip>{overlayClip("img", 100, 0, OverlayClipKind::Image, image)}
        << QStringList{"no model", "100", "200"} << start + started + QStringList{"@no model", "@100", "@200"};

    QTest::newRow("no overlay editor: text still shown")
        << QList<SceneClip>{}
        << QList<OverlayClip>{overlayClip("img", 100, 0, OverlayClipKind::Image, image),
                              overlayClip("cap", 100, 0, OverlayClipKind::Text)}
        << QStringList{"no editor", "100"} << start + started + QStringList{"@no editor", "@100", "texts 50000=cap"};

    SceneClip scene = channelClip("S", 5000, 0, 2);
    scene.kind = SceneClipKind::SceneVideo;
    scene.sceneVideoPath = "  " + video + "\t";
    scene.sceneVideoLoop = true;
    QTest::newRow("scene video taking over mid-way starts where the clip stands")
        << QList<SceneClip>{channelClip("A", 0, 5000, 0), scene} << QList<OverlayClip>{} << QStringList{"7500"}
        << start + channelSteps(0) + started
               + QStringList{"@7500", "strip-loop 2 on", "source 2 " + video, "looping 2 on", "clock 2500",
                             "switch 2"};

    SceneClip noStrip = scene;
    noStrip.channel = 9;
    noStrip.startMs = 1000;
    QTest::newRow("channel limited to 3; without its strip nothing is loaded")
        << QList<SceneClip>{noStrip} << QList<OverlayClip>{} << QStringList{"no strip 3", "1000"}
        << start + started + QStringList{"@no strip 3", "@1000", "looping 3 on", "switch 3"};

    SceneClip slides;
    slides.id = "P";
    slides.kind = SceneClipKind::ImagePlay;
    slides.paths = QStringList{"1.png", "2.png"};
    slides.intervalMs = 3000;
    slides.imageLoop = false;
    SceneClip odd = channelClip("X", 1000, 0, 1);
    odd.kind = 7;
    QTest::newRow("slideshow clip; an unknown kind changes nothing")
        << QList<SceneClip>{slides, odd} << QList<OverlayClip>{} << QStringList{"1000", "2000"}
        << start + QStringList{"slides 1.png|2.png 3000 loop off"} + started + QStringList{"@1000", "@2000"};

    QTest::newRow("after stop the same first clip is applied again")
        << QList<SceneClip>{channelClip("A", 0, 0, 0)} << QList<OverlayClip>{} << QStringList{"restart"}
        << start + channelSteps(0) + started + QStringList{"@restart"} + start + channelSteps(0)
               + started;

    OverlayClip small = overlayClip("small", 0, 0, OverlayClipKind::Image, image);
    small.w = 0.001;
    small.opacity = 0.5;
    QTest::newRow("editor width only above one pixel")
        << QList<SceneClip>{} << QList<OverlayClip>{small} << QStringList{}
        << start + QStringList{"add image#1 a.png at 64,36", "bind image#1 64,36 0.64x90 opacity 0.5"} + started;
}

void TestArrangementRunner::steps()
{
    QFETCH(QList<SceneClip>, scenes);
    QFETCH(QList<OverlayClip>, overlays);
    QFETCH(QStringList, actions);
    QFETCH(QStringList, expected);

    FakeHost host;
    ArrangementRunner runner(&host);
    ProgramArrangement a;
    a.sceneClips = scenes;
    a.overlayClips = overlays;
    runner.start(a);

    for (const QString& action : actions) {
        host.log << "@" + action;
        bool isTime = false;
        const qint64 t = action.toLongLong(&isTime);
        if (isTime) {
            runner.tick(t);
        } else if (action == "stop") {
            runner.stop();
        } else if (action == "restart") {
            runner.start(a);
        } else if (action == "flush") {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        } else if (action.startsWith("kill ")) {
            for (const QPointer<QObject>& item : std::as_const(host.items)) {
                if (item && item->objectName() == action.mid(5))
                    delete item.data();
            }
        } else if (action.startsWith("touch ")) {
            QFile f(file(action.mid(6)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (action == "operator text") {
            TextOverlayData d;
            d.id = 1;
            d.text = "operator";
            host.model.setTextOverlay(d);
        } else if (action == "no model") {
            host.withModel = false;
        } else if (action == "no editor") {
            host.withEditor = false;
        } else if (action.startsWith("no strip ")) {
            host.strips.removeAll(action.mid(9).toInt());
        } else if (action.startsWith("editor limit ")) {
            host.itemLimit = action.mid(13).toInt();
        } else {
            QFAIL(qPrintable("unknown action " + action));
        }
    }
    QCOMPARE(host.log, expected);
    QFile::remove(file("late.mp4"));
}

void TestArrangementRunner::refusedSceneVideoLogsOnce()
{
    FakeHost host;
    host.conflicting = file("v.mp4");
    ArrangementRunner runner(&host);
    SceneClip clip = channelClip("S", 0, 0, 1);
    clip.sceneVideoPath = host.conflicting;
    ProgramArrangement a;
    a.sceneClips = {clip};

    QTest::ignoreMessage(QtWarningMsg,
                         "Program arrangement: base clip S not loaded on channel 2 - "
                         "输入源不能与当前录制的输出文件相同。");
    QTest::failOnWarning(QRegularExpression(".*"));
    runner.start(a);
    runner.tick(100);
    runner.tick(200);
    // The channel still goes on program, with what it already had.
    QCOMPARE(host.log, (QStringList{"running off", "clock reset"} + channelSteps(1) + QStringList{"running on"}));
}

void TestArrangementRunner::restartLeavesOneItemPerClip()
{
    FakeHost host;
    ArrangementRunner runner(&host);
    ProgramArrangement a;
    a.overlayClips = {overlayClip("img", 0, 0, OverlayClipKind::Image, file("a.png")),
                      overlayClip("vid", 0, 0, OverlayClipKind::Video, file("v.mp4"))};
    runner.start(a);
    QCOMPARE(host.liveItems(), 2);
    // The old items die only after the new run has made its own.
    runner.start(a);
    QCOMPARE(host.liveItems(), 4);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(host.liveItems(), 2);
    runner.tick(100);
    runner.tick(200);
    QCOMPARE(host.liveItems(), 2);
    QCOMPARE(runner.arrangementImageOverlays().value("img").data(), host.items.at(2).data());
    QCOMPARE(runner.arrangementVideoOverlays().value("vid").data(), host.items.at(3).data());
    QCOMPARE(runner.activeOverlayClipIds(), (QSet<QString>{"img", "vid"}));
}

void TestArrangementRunner::textIdsKeepRisingAcrossRuns()
{
    FakeHost host;
    ArrangementRunner runner(&host);
    ProgramArrangement a;
    a.overlayClips = {overlayClip("one", 0, 0, OverlayClipKind::Text), overlayClip("two", 50, 0, OverlayClipKind::Text)};
    runner.start(a);
    runner.tick(50);
    QCOMPARE(runner.arrangementTextOverlayIds(), (QHash<QString, int>{{"one", 50000}, {"two", 50001}}));
    runner.stop();
    QVERIFY(host.model.textOverlays().isEmpty());
    QVERIFY(!runner.arrangementRunning());
    QCOMPARE(runner.runningArrangement().overlayClips.size(), 0);

    runner.start(a);
    runner.tick(60);
    QCOMPARE(runner.arrangementTextOverlayIds(), (QHash<QString, int>{{"one", 50002}, {"two", 50003}}));
    QCOMPARE(runner.nextArrangementTextOverlayId(), 50004);
    // The shown copy is enabled whatever the clip held, and carries the run's id.
    QCOMPARE(host.model.textOverlays().first().id, 50002);
    QVERIFY(host.model.textOverlays().first().enabled);
}

void TestArrangementRunner::runKeepsItsOwnTime()
{
    FakeHost host;
    ArrangementRunner runner(&host);
    ProgramArrangement a;
    a.sceneClips = {channelClip("A", 0, 0, 0), channelClip("B", 150, 0, 1)};

    // Steps at run time only while a run is on.
    runner.tickNow();
    runner.tickAt(0);
    QVERIFY(host.log.isEmpty());
    QCOMPARE(runner.runTimeMs(), qint64(0));

    runner.start(a);
    QCOMPARE(runner.activeSceneClipId(), QString("A"));
    runner.tickNow();
    QCOMPARE(runner.activeSceneClipId(), QString("A"));
    QTRY_COMPARE_WITH_TIMEOUT((runner.tickNow(), runner.activeSceneClipId()), QString("B"), 2000);
    QVERIFY(runner.runTimeMs() >= 150);

    runner.stop();
    runner.tickAt(0);
    QCOMPARE(runner.activeSceneClipId(), QString());
    QCOMPARE(runner.runTimeMs(), qint64(0));
}

void TestArrangementRunner::destroyedRunnerIgnoresLaterItemDeaths()
{
    FakeHost host;
    auto runner = std::make_unique<ArrangementRunner>(&host);
    ProgramArrangement a;
    a.overlayClips = {overlayClip("img", 0, 0, OverlayClipKind::Image, file("a.png"))};
    runner->start(a);
    QCOMPARE(host.liveItems(), 1);
    // The window goes without stopping the run: the runner first, the
    // editor's items after it.
    runner.reset();
    QCOMPARE(host.log.count("remove image#1"), 0);
    delete host.items.first().data();
    QCOMPARE(host.liveItems(), 0);
}

QUORB_TEST_MAIN(TestArrangementRunner)
#include "tst_arrangementrunner.moc"
