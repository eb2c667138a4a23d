// The arrangement editor's commands on real files: export and import, what
// they refuse, and the check, start and stop against a stand-in runner.

#include "schedule/arrangementwindowtestkit.h"

#include "schedule/arrangementfile.h"
#include "support/testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr qint64 kImportLimit = 16 * 1024 * 1024;

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// What the operator saw of one command: the dialog's caption and the boxes.
struct Run {
    QString caption;
    int dialogs = 0;
    QList<ShownBox> boxes;
};

// Runs a command whose file dialog is answered with `path` (cancelled when
// empty); every box is answered with OK.
Run runWithFile(const std::function<void()>& command, const QString& path)
{
    Run run;
    BoxRecorder recorder(QMessageBox::Ok, chooseFile(path, &run.caption));
    command();
    run.dialogs = recorder.dialogs;
    run.boxes = recorder.boxes;
    return run;
}

Run runCommand(const std::function<void()>& command)
{
    return runWithFile(command, QString());
}

} // namespace

class TestProgramArrangementCommands : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void exportThenImportRestoresRows_data();
    void exportThenImportRestoresRows();
    void exportUnderRegularFileWarns();
    void exportToFullDiskKeepsOldFile();
    void exportRefusesWhatCannotBeExported();
    void importRefusesWrongContent_data();
    void importRefusesWrongContent();
    void importRefusesWhatIsNoRegularFile_data();
    void importRefusesWhatIsNoRegularFile();
    void importReadsUpToTheLimit_data();
    void importReadsUpToTheLimit();
    void cancelledDialogsChangeNothing();
    void checkAndStartNeedABaseClip();
    void checkReportsCounts();
    void startAndStopReachTheRunner();
    void startWithoutMainWindowWarns();

private:
    // A window holding one row of every kind, against a fixed base time.
    void fillEveryKind(ProgramArrangementWindow& window) const;
    QTemporaryDir dir;
};

void TestProgramArrangementCommands::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("video.mp4"), "stand-in"));
    QVERIFY(QDir(dir.path()).mkdir("images"));
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QVERIFY(image.save(dir.filePath("images/a.png")));
    QVERIFY(image.save(dir.filePath("images/b.png")));
    QVERIFY(image.save(dir.filePath("logo.png")));
}

void TestProgramArrangementCommands::fillEveryKind(ProgramArrangementWindow& window) const
{
    ProgramArrangement a;
    a.timelineZero = "2026-03-01 12:00:00";
    SceneClip channel;
    channel.id = "cam";
    channel.startMs = -60000;
    channel.endMs = 600000;
    channel.channel = 2;
    channel.sceneVideoPath = dir.filePath("video.mp4");
    channel.sceneVideoLoop = true;
    SceneClip slides;
    slides.id = "slides";
    slides.startMs = 600000;
    slides.kind = SceneClipKind::ImagePlay;
    slides.imageDirectory = dir.filePath("images");
    slides.paths = {dir.filePath("images/a.png"), dir.filePath("images/b.png")};
    slides.intervalMs = 3000;
    slides.imageLoop = false;
    a.sceneClips = {channel, slides};

    OverlayClip text;
    text.id = "caption";
    text.overlayKind = OverlayClipKind::Text;
    text.startMs = 1000;
    text.endMs = 61000;
    text.textData.text = "ON AIR";
    text.textData.posX = 0.25;
    text.textData.posY = 0.5;
    OverlayClip video;
    video.id = "pip";
    video.overlayKind = OverlayClipKind::Video;
    video.path = dir.filePath("video.mp4");
    video.x = 0.5;
    video.y = 0.5;
    video.w = 0.25;
    video.h = 0.25;
    OverlayClip logo;
    logo.id = "logo";
    logo.overlayKind = OverlayClipKind::Image;
    logo.path = dir.filePath("logo.png");
    logo.x = 0.75;
    logo.w = 0.125;
    logo.h = 0.125;
    logo.opacity = 0.5;
    a.overlayClips = {text, video, logo};
    window.loadArrangement(a);
}

void TestProgramArrangementCommands::exportThenImportRestoresRows_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("exportCaption");
    QTest::addColumn<QString>("importCaption");
    QTest::newRow("English") << false << "Export Program Schedule" << "Import Program Schedule";
    QTest::newRow("Chinese") << true << "导出节目编排" << "导入节目编排";
}

void TestProgramArrangementCommands::exportThenImportRestoresRows()
{
    QFETCH(bool, chinese);
    QFETCH(QString, exportCaption);
    QFETCH(QString, importCaption);
    const QString path = dir.filePath(chinese ? "zh.json" : "en.json");

    ProgramArrangementWindow source(nullptr, nullptr);
    source.chineseUi = chinese;
    fillEveryKind(source);
    ProgramArrangementWindowTestAccess from(source);
    const Run exported = runWithFile([&] { from.exportButton()->click(); }, path);
    QCOMPARE(exported.caption, exportCaption);
    QVERIFY(exported.boxes.isEmpty());

    bool ok = false;
    const ProgramArrangement built = source.buildArrangement(&ok);
    QVERIFY(ok);
    const QByteArray bytes = readAll(path);
    QCOMPARE(bytes, serializeArrangement(built));

    ProgramArrangementWindow target(nullptr, nullptr);
    target.chineseUi = chinese;
    ProgramArrangementWindowTestAccess to(target);
    const Run imported = runWithFile([&] { to.importButton()->click(); }, path);
    QCOMPARE(imported.caption, importCaption);
    QVERIFY(imported.boxes.isEmpty());

    QCOMPARE(to.sceneIds(), (QStringList{"cam", "slides"}));
    QCOMPARE(to.overlayIds(), (QStringList{"caption", "pip", "logo"}));
    QCOMPARE(to.baseTimeEdit()->dateTime(), QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::LocalTime));
    // The imported rows build the very arrangement that was written.
    const ProgramArrangement rebuilt = target.buildArrangement(&ok);
    QVERIFY(ok);
    QCOMPARE(serializeArrangement(rebuilt), bytes);
}

void TestProgramArrangementCommands::exportUnderRegularFileWarns()
{
    QVERIFY(writeFile(dir.filePath("plain"), "x"));
    for (const bool chinese : {false, true}) {
        ProgramArrangementWindow window(nullptr, nullptr);
        window.chineseUi = chinese;
        fillEveryKind(window);
        const Run run = runWithFile([&] { window.onExportJson(); }, dir.filePath("plain/out.json"));
        QCOMPARE(run.boxes.size(), 1);
        QCOMPARE(run.boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(run.boxes[0].title, chinese ? QStringLiteral("导出") : QStringLiteral("Export"));
        QCOMPARE(run.boxes[0].text, chinese ? QStringLiteral("无法写入文件") : QStringLiteral("Unable to write the file."));
    }
    QCOMPARE(readAll(dir.filePath("plain")), QByteArray("x"));
}

void TestProgramArrangementCommands::exportToFullDiskKeepsOldFile()
{
    if (geteuid() != 0)
        QSKIP("mounting a small file system needs root");
    QTemporaryDir mountPoint;
    QVERIFY(mountPoint.isValid());
    QCOMPARE(QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", mountPoint.path()}), 0);
    struct Unmount {
        QString path;
        ~Unmount() { QProcess::execute("umount", {path}); }
    } unmount{mountPoint.path()};

    const QString target = mountPoint.filePath("program_arrangement.json");
    const QByteArray old = "{\"format\": \"quorbel_program_arrangement\"}\n";
    QVERIFY(writeFile(target, old));
    // Fill every block that is left.
    {
        QFile filler(mountPoint.filePath("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size()) {
        }
    }

    ProgramArrangementWindow window(nullptr, nullptr);
    fillEveryKind(window);
    const Run run = runWithFile([&] { window.onExportJson(); }, target);
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].title, QStringLiteral("Export"));
    QCOMPARE(run.boxes[0].text, QStringLiteral("Unable to write the file."));
    QCOMPARE(readAll(target), old);
    // No half-written file is left beside it.
    QCOMPARE(QDir(mountPoint.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestProgramArrangementCommands::exportRefusesWhatCannotBeExported()
{
    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    const QString path = dir.filePath("refused.json");

    // The default row has no video: its check speaks after the file is chosen.
    Run run = runWithFile([&] { window.onExportJson(); }, path);
    QCOMPARE(run.dialogs, 1);
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].text, QStringLiteral("Select a video for the channel."));
    QVERIFY(!QFileInfo::exists(path));

    window.clearSceneRows();
    run = runWithFile([&] { a.exportButton()->click(); }, path);
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].icon, QMessageBox::Warning);
    QCOMPARE(run.boxes[0].title, QStringLiteral("Export"));
    QCOMPARE(run.boxes[0].text,
             QStringLiteral("There are no valid clips to export. Check the validation messages."));
    QVERIFY(!QFileInfo::exists(path));

    // Overlays alone are exported, with an empty base list.
    ProgramArrangement overlaysOnly;
    OverlayClip logo;
    logo.id = "logo";
    logo.path = dir.filePath("logo.png");
    overlaysOnly.overlayClips = {logo};
    window.loadArrangement(overlaysOnly);
    window.clearSceneRows();
    run = runWithFile([&] { window.onExportJson(); }, path);
    QVERIFY(run.boxes.isEmpty());
    QString error;
    bool parsed = false;
    const ProgramArrangement written = parseArrangement(readAll(path), &error, &parsed);
    QVERIFY(parsed);
    QVERIFY(written.sceneClips.isEmpty());
    QCOMPARE(written.overlayClips.size(), 1);
}

void TestProgramArrangementCommands::importRefusesWrongContent_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("wrong format") << QByteArray("{\"format\": \"something_else\", \"sceneClips\": []}");
    QTest::newRow("not JSON") << QByteArray("format = quorbel");
    QTest::newRow("JSON array") << QByteArray("[1, 2]");
    QTest::newRow("empty file") << QByteArray();
}

void TestProgramArrangementCommands::importRefusesWrongContent()
{
    QFETCH(QByteArray, content);
    const QString path = dir.filePath("wrong.json");
    QVERIFY(writeFile(path, content));
    QString expected;
    bool parsed = true;
    parseArrangement(content, &expected, &parsed);
    QVERIFY(!parsed);

    for (const bool chinese : {false, true}) {
        ProgramArrangementWindow window(nullptr, nullptr);
        window.chineseUi = chinese;
        ProgramArrangementWindowTestAccess a(window);
        fillEveryKind(window);
        const QStringList scenes = a.sceneIds();
        const QStringList overlays = a.overlayIds();
        const QDateTime base = a.baseTimeEdit()->dateTime();

        const Run run = runWithFile([&] { window.onImportJson(); }, path);
        QCOMPARE(run.boxes.size(), 1);
        QCOMPARE(run.boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(run.boxes[0].title, chinese ? QStringLiteral("导入") : QStringLiteral("Import"));
        QCOMPARE(run.boxes[0].text, expected);
        QCOMPARE(a.sceneIds(), scenes);
        QCOMPARE(a.overlayIds(), overlays);
        QCOMPARE(a.baseTimeEdit()->dateTime(), base);
    }
}

void TestProgramArrangementCommands::importRefusesWhatIsNoRegularFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("endless device") << "/dev/zero";
    QTest::newRow("FIFO") << dir.filePath("fifo");
    QTest::newRow("directory") << dir.filePath("images");
    QTest::newRow("missing file") << dir.filePath("missing.json");
}

void TestProgramArrangementCommands::importRefusesWhatIsNoRegularFile()
{
    QFETCH(QString, path);
    if (path.endsWith("fifo") && !QFileInfo::exists(path))
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);

    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    fillEveryKind(window);
    const QStringList scenes = a.sceneIds();

    QElapsedTimer clock;
    clock.start();
    const Run run = runWithFile([&] { window.onImportJson(); }, path);
    // At once: a FIFO nobody writes would block in open, the device never ends.
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].title, QStringLiteral("Import"));
    QCOMPARE(run.boxes[0].text, QStringLiteral("Unable to open the file."));
    QCOMPARE(a.sceneIds(), scenes);
}

void TestProgramArrangementCommands::importReadsUpToTheLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("refused");
    QTest::newRow("16 MiB") << kImportLimit << false;
    QTest::newRow("16 MiB + 1 byte") << kImportLimit + 1 << true;
}

void TestProgramArrangementCommands::importReadsUpToTheLimit()
{
    QFETCH(qint64, size);
    QFETCH(bool, refused);

    // A valid file padded with trailing blanks to the size.
    QByteArray content = "{\"format\": \"quorbel_program_arrangement\", \"timelineZero\": \"2026-07-01 08:00:00\"}";
    content.append(QByteArray(size - content.size(), ' '));
    const QString path = dir.filePath("big.json");
    QVERIFY(writeFile(path, content));

    for (const bool chinese : {false, true}) {
        ProgramArrangementWindow window(nullptr, nullptr);
        window.chineseUi = chinese;
        ProgramArrangementWindowTestAccess a(window);
        const QDateTime before = a.baseTimeEdit()->dateTime();
        const Run run = runWithFile([&] { window.onImportJson(); }, path);
        if (!refused) {
            QVERIFY(run.boxes.isEmpty());
            QCOMPARE(a.baseTimeEdit()->dateTime(), QDateTime(QDate(2026, 7, 1), QTime(8, 0), Qt::LocalTime));
            continue;
        }
        QCOMPARE(run.boxes.size(), 1);
        QCOMPARE(run.boxes[0].title, chinese ? QStringLiteral("导入") : QStringLiteral("Import"));
        QCOMPARE(run.boxes[0].text,
                 chinese ? QStringLiteral("文件过大（超过 16 MiB）") : QStringLiteral("The file is too large (over 16 MiB)."));
        QCOMPARE(a.baseTimeEdit()->dateTime(), before);
    }
    QFile::remove(path);
}

void TestProgramArrangementCommands::cancelledDialogsChangeNothing()
{
    ProgramArrangementWindow window(nullptr, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    fillEveryKind(window);
    const QStringList scenes = a.sceneIds();
    const QStringList overlays = a.overlayIds();
    const QStringList before = QDir(dir.path()).entryList();

    Run run = runCommand([&] { a.importButton()->click(); });
    QCOMPARE(run.dialogs, 1);
    QVERIFY(run.boxes.isEmpty());
    run = runCommand([&] { a.exportButton()->click(); });
    QCOMPARE(run.dialogs, 1);
    QVERIFY(run.boxes.isEmpty());

    QCOMPARE(a.sceneIds(), scenes);
    QCOMPARE(a.overlayIds(), overlays);
    QCOMPARE(QDir(dir.path()).entryList(), before);
}

void TestProgramArrangementCommands::checkAndStartNeedABaseClip()
{
    FakeRunner runner;
    ProgramArrangementWindow window(&runner, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    window.chineseUi = true;
    fillEveryKind(window);
    window.clearSceneRows();

    Run run = runCommand([&] { a.validateButton()->click(); });
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].icon, QMessageBox::Warning);
    QCOMPARE(run.boxes[0].title, QStringLiteral("检查编排"));
    QCOMPARE(run.boxes[0].text, QStringLiteral("请至少添加一个有效基底片段。"));

    window.chineseUi = false;
    run = runCommand([&] { a.runButton()->click(); });
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].title, QStringLiteral("Program Schedule"));
    QCOMPARE(run.boxes[0].text, QStringLiteral("Add at least one valid base clip."));
    QCOMPARE(runner.starts, 0);
    QVERIFY(!window.running);

    // A faulty row speaks for itself and nothing starts.
    window.onAddSceneRow();
    run = runCommand([&] { window.onStartArrangement(); });
    QCOMPARE(run.boxes.size(), 1);
    QCOMPARE(run.boxes[0].text, QStringLiteral("Select a video for the channel."));
    QCOMPARE(runner.starts, 0);
}

void TestProgramArrangementCommands::checkReportsCounts()
{
    for (const bool chinese : {false, true}) {
        ProgramArrangementWindow window(nullptr, nullptr);
        window.chineseUi = chinese;
        fillEveryKind(window);
        window.removeOverlayRow(ProgramArrangementWindowTestAccess(window).overlayRows().first());
        window.removeOverlayRow(ProgramArrangementWindowTestAccess(window).overlayRows().first());
        const Run run = runCommand([&] { window.onValidateArrangement(); });
        QCOMPARE(run.boxes.size(), 1);
        QCOMPARE(run.boxes[0].icon, QMessageBox::Information);
        QCOMPARE(run.boxes[0].title, chinese ? QStringLiteral("检查编排") : QStringLiteral("Schedule Check"));
        QCOMPARE(run.boxes[0].text, chinese ? QStringLiteral("编排检查通过：2 个基底片段，1 个叠加片段。")
                                            : QStringLiteral("Schedule check passed: 2 base clip(s), 1 overlay clip(s)."));
    }
}

void TestProgramArrangementCommands::startAndStopReachTheRunner()
{
    FakeRunner runner;
    ProgramArrangementWindow window(&runner, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    fillEveryKind(window);
    QList<bool> shown;
    // What the window shows at each report of the runner.
    connect(&runner, &FakeRunner::programArrangementRunningChanged, &window,
            [&] { shown.append(window.running); });

    Run run = runCommand([&] { a.runButton()->click(); });
    QVERIFY(run.boxes.isEmpty());
    QCOMPARE(runner.starts, 1);
    QCOMPARE(runner.reported, (QList<bool>{false, true}));
    QCOMPARE(shown, (QList<bool>{false, true}));
    bool ok = false;
    QCOMPARE(serializeArrangement(runner.started), serializeArrangement(window.buildArrangement(&ok)));
    QVERIFY(window.running);
    QCOMPARE(a.runButton()->text(), QStringLiteral("Stop Schedule"));

    run = runCommand([&] { a.runButton()->click(); });
    QVERIFY(run.boxes.isEmpty());
    QCOMPARE(runner.starts, 1);
    QCOMPARE(runner.stops, 1);
    QVERIFY(!window.running);
    QCOMPARE(a.runButton()->text(), QStringLiteral("Start Schedule"));

    // Through the meta-object, as the slot is meant to be reached.
    window.setArrangementRunning(true);
    QVERIFY(QMetaObject::invokeMethod(&window, "onStopArrangement"));
    QCOMPARE(runner.stops, 2);
    QVERIFY(!window.running);
}

void TestProgramArrangementCommands::startWithoutMainWindowWarns()
{
    auto* runner = new FakeRunner;
    ProgramArrangementWindow window(runner, nullptr);
    ProgramArrangementWindowTestAccess a(window);
    fillEveryKind(window);
    window.setArrangementRunning(true);
    delete runner;

    // Stopping does nothing and the window keeps showing the run.
    Run run = runCommand([&] { a.runButton()->click(); });
    QVERIFY(run.boxes.isEmpty());
    QVERIFY(window.running);

    window.setArrangementRunning(false);
    for (const bool chinese : {false, true}) {
        window.chineseUi = chinese;
        run = runCommand([&] { a.runButton()->click(); });
        QCOMPARE(run.boxes.size(), 1);
        QCOMPARE(run.boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(run.boxes[0].title, chinese ? QStringLiteral("编排") : QStringLiteral("Program Schedule"));
        QCOMPARE(run.boxes[0].text,
                 chinese ? QStringLiteral("主窗口不可用") : QStringLiteral("The main window is unavailable."));
        QVERIFY(!window.running);
    }
}

QUORB_TEST_MAIN(TestProgramArrangementCommands)
#include "moc_arrangementwindowtestkit.cpp"
#include "tst_programarrangementcommands.moc"
