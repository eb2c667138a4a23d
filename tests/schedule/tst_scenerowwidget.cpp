#include "schedule/scenerowwidget.h"

#include "cliprowtestkit.h"
#include "schedule/scheduledatetimewidget.h"
#include "support/testsupport.h"
#include "ui/uitheme.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(SceneClip)

namespace {

const QDateTime kBase(QDate(2026, 3, 1), QTime(12, 0), Qt::LocalTime);

SceneClip sceneClip(int kind, int channel, qint64 startMs = 0, qint64 endMs = 600000)
{
    SceneClip c;
    c.id = QStringLiteral("clip");
    c.kind = kind;
    c.channel = channel;
    c.startMs = startMs;
    c.endMs = endMs;
    return c;
}

void compareClips(const SceneClip& actual, const SceneClip& expected)
{
    QCOMPARE(actual.id, expected.id);
    QCOMPARE(actual.startMs, expected.startMs);
    QCOMPARE(actual.endMs, expected.endMs);
    QCOMPARE(actual.kind, expected.kind);
    QCOMPARE(actual.channel, expected.channel);
    QCOMPARE(actual.paths, expected.paths);
    QCOMPARE(actual.intervalMs, expected.intervalMs);
    QCOMPARE(actual.imageLoop, expected.imageLoop);
    QCOMPARE(actual.sceneVideoPath, expected.sceneVideoPath);
    QCOMPARE(actual.sceneVideoLoop, expected.sceneVideoLoop);
    QCOMPARE(actual.imageDirectory, expected.imageDirectory);
}

} // namespace

class TestSceneRowWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void newRow();
    void roundTrip_data();
    void roundTrip();
    void openEnd_data();
    void openEnd();
    void loadRunsNoKindChange();
    void kindSwitches_data();
    void kindSwitches();
    void folderListedAgainInToClip();
    void browseDirectory_data();
    void browseDirectory();
    void browseSceneVideo_data();
    void browseSceneVideo();
};

void TestSceneRowWidget::initTestCase()
{
    initQuorbelResources();
}

void TestSceneRowWidget::newRow()
{
    SceneRowWidget row(nullptr, nullptr);
    QCOMPARE(row.kindCombo->count(), 5);
    QCOMPARE(row.kindCombo->currentText(), QString("通道1"));
    QVERIFY(row.idSection->isHidden());
    QVERIFY(!row.videoButton->isHidden());
    QVERIFY(row.directoryButton->isHidden());
    QVERIFY(row.intervalSpin->isHidden());
    QVERIFY(row.pathEdit->placeholderText().isEmpty());
    // Each section after the first is marked by a bar in its handle.
    for (int i = 1; i < row.splitter->count(); ++i) {
        auto* mark = row.splitter->handle(i)->findChild<QLabel*>();
        QVERIFY(mark);
        QCOMPARE(mark->text(), QString("|"));
    }

    const QDateTime midnight(QDate::currentDate(), QTime(0, 0), Qt::LocalTime);
    SceneClip expected;
    expected.endMs = 3600000;
    compareClips(row.toClip(midnight), expected);

    // Without a window the delete button has nobody to ask.
    row.deleteButton->click();
    QVERIFY(row.isEnabled());
}

void TestSceneRowWidget::roundTrip_data()
{
    QTest::addColumn<SceneClip>("loaded");
    QTest::addColumn<SceneClip>("expected");
    QTest::addColumn<QString>("shown");

    {
        SceneClip in = sceneClip(SceneClipKind::Channel, 0, 1500, 7200000);
        SceneClip out = in;
        out.startMs = 1000;
        QTest::newRow("whole seconds only") << in << out << QString();
    }
    {
        SceneClip in = sceneClip(SceneClipKind::Channel, 1, -60000, 60000);
        QTest::newRow("start before the base time") << in << in << QString();
    }
    {
        SceneClip in = sceneClip(SceneClipKind::SceneVideo, 2);
        in.sceneVideoPath = QStringLiteral(" /media/a b.mp4 ");
        in.sceneVideoLoop = true;
        SceneClip out = in;
        out.kind = SceneClipKind::Channel;
        QTest::newRow("scene video comes back as channel, path untrimmed") << in << out << in.sceneVideoPath;
    }
    {
        SceneClip in = sceneClip(SceneClipKind::Channel, 7);
        SceneClip out = in;
        out.channel = 3;
        QTest::newRow("channel 7 is channel 4") << in << out << QString();
    }
    {
        SceneClip in = sceneClip(SceneClipKind::Channel, -1);
        SceneClip out = in;
        out.channel = 0;
        QTest::newRow("channel -1 is channel 1") << in << out << QString();
    }
    {
        SceneClip in = sceneClip(SceneClipKind::Channel, 0);
        in.id = QStringLiteral("  intro \t");
        SceneClip out = in;
        out.id = QStringLiteral("intro");
        QTest::newRow("id trimmed") << in << out << QString();
    }
    {
        // The image state of a channel clip loads but does not come back.
        SceneClip in = sceneClip(SceneClipKind::Channel, 1);
        in.paths = QStringList{"/p/a.png"};
        in.imageDirectory = QStringLiteral("/p");
        in.intervalMs = 500;
        in.imageLoop = false;
        SceneClip out = sceneClip(SceneClipKind::Channel, 1);
        QTest::newRow("channel drops image state") << in << out << QString();
    }
    const QStringList two{"/p/b.png", "/p/a.png"};
    {
        SceneClip in = sceneClip(SceneClipKind::ImagePlay, 0);
        in.paths = two;
        in.intervalMs = 3000;
        in.imageLoop = false;
        in.sceneVideoPath = QStringLiteral("/media/a.mp4");
        in.sceneVideoLoop = true;
        SceneClip out = in;
        out.sceneVideoPath.clear();
        out.sceneVideoLoop = false;
        QTest::newRow("images without folder, video dropped") << in << out << QString("（2 张图片）");
    }
    {
        SceneClip in = sceneClip(SceneClipKind::ImagePlay, 3);
        in.paths = two;
        SceneClip out = in;
        out.channel = 0;
        QTest::newRow("image clip has no channel") << in << out << QString("（2 张图片）");
    }
    const struct {
        const char* name;
        int loaded;
        int shown;
    } intervals[] = {
        {"interval 0 shows 2000", 0, 2000},
        {"interval -5 shows 2000", -5, 2000},
        {"interval 50 shows 200", 50, 200},
        {"interval 60000 shows 10000", 60000, 10000},
    };
    for (const auto& i : intervals) {
        SceneClip in = sceneClip(SceneClipKind::ImagePlay, 0);
        in.paths = two;
        in.intervalMs = i.loaded;
        SceneClip out = in;
        out.intervalMs = i.shown;
        QTest::newRow(i.name) << in << out << QString("（2 张图片）");
    }
}

void TestSceneRowWidget::roundTrip()
{
    QFETCH(SceneClip, loaded);
    QFETCH(SceneClip, expected);
    QFETCH(QString, shown);

    SceneRowWidget row(nullptr, nullptr);
    row.loadClip(loaded, kBase);
    QVERIFY(!row.untilStoppedCheck->isChecked());
    QVERIFY(row.endEdit->isEnabled());
    QCOMPARE(row.pathEdit->text(), shown);
    QCOMPARE(row.intervalSpin->isHidden(), expected.kind != SceneClipKind::ImagePlay);
    QCOMPARE(row.videoButton->isHidden(), expected.kind == SceneClipKind::ImagePlay);
    compareClips(row.toClip(kBase), expected);
}

void TestSceneRowWidget::openEnd_data()
{
    QTest::addColumn<qint64>("endMs");
    QTest::newRow("end 0") << qint64(0);
    QTest::newRow("end before the base time") << qint64(-5000);
}

void TestSceneRowWidget::openEnd()
{
    QFETCH(qint64, endMs);
    SceneRowWidget row(nullptr, nullptr);
    row.loadClip(sceneClip(SceneClipKind::Channel, 0, 1500, endMs), kBase);
    QVERIFY(row.untilStoppedCheck->isChecked());
    QVERIFY(!row.endEdit->isEnabled());
    // One hour after the start as the field shows it, whole seconds.
    QCOMPARE(kBase.msecsTo(row.endEdit->dateTime()), qint64(1000 + 3600000));
    QCOMPARE(row.toClip(kBase).endMs, qint64(0));

    // Unchecking gives the parked end back.
    row.untilStoppedCheck->setChecked(false);
    QVERIFY(row.endEdit->isEnabled());
    QCOMPARE(row.toClip(kBase).endMs, qint64(3601000));
}

void TestSceneRowWidget::loadRunsNoKindChange()
{
    SceneRowWidget row(nullptr, nullptr);
    SceneClip clip = sceneClip(SceneClipKind::ImagePlay, 0);
    clip.paths = QStringList{"/p/a.png"};
    clip.sceneVideoPath = QStringLiteral("/media/a.mp4");
    row.loadClip(clip, kBase);
    // An operator's change would have dropped the video and set a placeholder.
    QCOMPARE(row.sceneVideoPath, clip.sceneVideoPath);
    QVERIFY(row.pathEdit->placeholderText().isEmpty());

    row.kindCombo->setCurrentIndex(1);
    QCOMPARE(row.pathEdit->placeholderText(), QString("视频文件路径"));
    QCOMPARE(row.pathEdit->text(), clip.sceneVideoPath);
    const SceneClip out = row.toClip(kBase);
    QCOMPARE(out.channel, 1);
    QCOMPARE(out.sceneVideoPath, clip.sceneVideoPath);
    QVERIFY(row.paths.isEmpty());
}

void TestSceneRowWidget::kindSwitches_data()
{
    QTest::addColumn<SceneClip>("loaded");
    QTest::addColumn<QList<int>>("indices");
    QTest::addColumn<SceneClip>("expected");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("placeholder");

    SceneClip video = sceneClip(SceneClipKind::Channel, 0);
    video.sceneVideoPath = QStringLiteral("/media/a.mp4");
    SceneClip images = sceneClip(SceneClipKind::ImagePlay, 0);
    images.paths = QStringList{"/p/a.png", "/p/b.png"};
    images.imageDirectory = QStringLiteral("/p");
    {
        SceneClip out = video;
        out.channel = 1;
        QTest::newRow("channel 1 to 2 keeps the video")
            << video << QList<int>{1} << out << video.sceneVideoPath << QString("视频文件路径");
    }
    // One loop box serves both kinds, so its state carries over.
    {
        SceneClip out = sceneClip(SceneClipKind::ImagePlay, 0);
        out.imageLoop = video.sceneVideoLoop;
        QTest::newRow("channel to image drops the video")
            << video << QList<int>{4} << out << QString() << QString("图片目录路径");
    }
    {
        SceneClip out = sceneClip(SceneClipKind::Channel, 0);
        out.sceneVideoLoop = images.imageLoop;
        QTest::newRow("image to channel drops folder and list")
            << images << QList<int>{0} << out << QString() << QString("视频文件路径");
    }
    QTest::newRow("and switching back does not restore them")
        << images << QList<int>{0, 4} << sceneClip(SceneClipKind::ImagePlay, 0) << QString()
        << QString("图片目录路径");
}

void TestSceneRowWidget::kindSwitches()
{
    QFETCH(SceneClip, loaded);
    QFETCH(QList<int>, indices);
    QFETCH(SceneClip, expected);
    QFETCH(QString, shown);
    QFETCH(QString, placeholder);

    SceneRowWidget row(nullptr, nullptr);
    row.loadClip(loaded, kBase);
    for (int index : indices)
        row.kindCombo->setCurrentIndex(index);
    QCOMPARE(row.pathEdit->text(), shown);
    QCOMPARE(row.pathEdit->placeholderText(), placeholder);
    compareClips(row.toClip(kBase), expected);
}

void TestSceneRowWidget::folderListedAgainInToClip()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString a = writeTinyPng(dir.path(), "a.png");
    SceneClip clip = sceneClip(SceneClipKind::ImagePlay, 0);
    clip.imageDirectory = dir.path();
    SceneRowWidget row(nullptr, nullptr);
    row.loadClip(clip, kBase);
    QCOMPARE(row.pathEdit->text(), dir.path());

    // Images added since loading are played too.
    const QString b = writeTinyPng(dir.path(), "b.png");
    const SceneClip out = row.toClip(kBase);
    QCOMPARE(out.paths, (QStringList{a, b}));
    QCOMPARE(out.imageDirectory, dir.path());
}

void TestSceneRowWidget::browseDirectory_data()
{
    QTest::addColumn<int>("images");
    QTest::addColumn<bool>("pick");
    QTest::newRow("folder with three images") << 3 << true;
    QTest::newRow("folder without images") << 0 << true;
    QTest::newRow("cancelled") << 3 << false;
}

void TestSceneRowWidget::browseDirectory()
{
    QFETCH(int, images);
    QFETCH(bool, pick);

    QTemporaryDir earlier;
    QTemporaryDir chosen;
    QVERIFY(earlier.isValid() && chosen.isValid());
    const QString kept = writeTinyPng(earlier.path(), "kept.png");
    QStringList files;
    for (int i = 0; i < images; ++i)
        files << writeTinyPng(chosen.path(), QStringLiteral("%1.jpg").arg(i));
    // Not an image: left out of the list.
    QVERIFY(writeEmptyFile(chosen.path() + "/notes.txt"));

    SceneRowWidget row(nullptr, nullptr);
    SceneClip clip = sceneClip(SceneClipKind::ImagePlay, 0);
    clip.imageDirectory = earlier.path();
    row.loadClip(clip, kBase);

    FileDialogSeen seen;
    {
        const auto answer = answerFileDialog(pick ? chosen.path() : QString(), &seen);
        row.directoryButton->click();
    }
    QVERIFY(seen.seen);
    QCOMPARE(seen.title, QString("选择图片目录"));
    QCOMPARE(seen.startFolder, earlier.path());
    QVERIFY(seen.foldersOnly);

    if (!pick) {
        QCOMPARE(row.pathEdit->text(), earlier.path());
        QCOMPARE(row.toClip(kBase).paths, QStringList{kept});
        return;
    }
    QCOMPARE(row.pathEdit->text(), QStringLiteral("%1（%2 张）").arg(chosen.path()).arg(images));
    QCOMPARE(row.paths, files);
    SceneClip out = row.toClip(kBase);
    QCOMPARE(out.imageDirectory, chosen.path());
    QCOMPARE(out.paths, files);
    QCOMPARE(row.kindCombo->currentData().toInt(), SceneRowWidget::kImageKind);

    // Loaded again, the row names the folder alone.
    row.loadClip(out, kBase);
    QCOMPARE(row.pathEdit->text(), chosen.path());
}

void TestSceneRowWidget::browseSceneVideo_data()
{
    QTest::addColumn<bool>("pick");
    QTest::newRow("file chosen") << true;
    QTest::newRow("cancelled") << false;
}

void TestSceneRowWidget::browseSceneVideo()
{
    QFETCH(bool, pick);

    QTemporaryDir earlier;
    QTemporaryDir chosen;
    QVERIFY(earlier.isValid() && chosen.isValid());
    const QString before = earlier.path() + "/before.mp4";
    const QString file = chosen.path() + "/next.mkv";
    QVERIFY(writeEmptyFile(before) && writeEmptyFile(file));

    SceneRowWidget row(nullptr, nullptr);
    SceneClip clip = sceneClip(SceneClipKind::Channel, 2);
    clip.sceneVideoPath = before;
    row.loadClip(clip, kBase);

    FileDialogSeen seen;
    {
        const auto answer = answerFileDialog(pick ? file : QString(), &seen);
        row.videoButton->click();
    }
    QVERIFY(seen.seen);
    QCOMPARE(seen.title, QString("选择视频文件"));
    QCOMPARE(seen.startFolder, earlier.path());
    QCOMPARE(seen.filters, (QStringList{"视频 (*.mp4 *.avi *.mov *.mkv)", "所有文件 (*)"}));

    const QString expected = pick ? file : before;
    QCOMPARE(row.pathEdit->text(), expected);
    const SceneClip out = row.toClip(kBase);
    QCOMPARE(out.sceneVideoPath, expected);
    QCOMPARE(out.channel, 2);
}

QUORB_TEST_MAIN(TestSceneRowWidget)
#include "tst_scenerowwidget.moc"
