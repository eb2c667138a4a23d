#include "ui/sourcedialog.h"

#include "app/settingsstore.h"
#include "input/inputsource.h"
#include "platform/capturedevices.h"
#include "support/filechoice.h"
#include "support/pulseserver.h"
#include "support/testwindows.h"
#include "support/xvfb.h"
#include "support/testsupport.h"
#include "ui/uitheme.h"
#include "ui/videoinputpanel.h"

#include "uitestkit.h"
#include "../input/decodertestkit.h"

#include <QAudioDevice>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMediaDevices>
#include <QPushButton>
#include <QSettings>
#include <QUrlQuery>
#include <QtTest>

Q_DECLARE_METATYPE(TopLevelWindowInfo)

namespace {

QString rowTexts(const QComboBox* list)
{
    QStringList texts;
    for (int i = 0; i < list->count(); ++i)
        texts << list->itemText(i);
    return texts.join(" | ");
}

} // namespace

class TestSourceDialog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void captureStringsComeBackExact_data();
    void captureStringsComeBackExact();
    void captureStringExamples_data();
    void captureStringExamples();
    void languageFromSettings_data();
    void languageFromSettings();
    void windowPickerAcceptance_data();
    void windowPickerAcceptance();

    void rowsAndPlaceholders();
    void displayAndWindowRowsFromX();
    void refreshKeepsAndCarriesRows();
    void typedTextSurvivesPageSwitches();
    void browseStoresFolderAndFallsBackToHome();
    void chosenCameraAndMicrophoneOpenInDecoder();

private:
    testsupport::PulseServer pulse_;
    QStringList microphones_;
};

void TestSourceDialog::initTestCase()
{
    initQuorbelResources();
    QVERIFY2(pulse_.start(), qPrintable(pulse_.errorString()));
    QByteArray out;
    // Qt lists no monitor sources: two remapped sources stand in for microphones.
    QVERIFY2(testsupport::runProgram("pactl", {"load-module", "module-null-sink", "sink_name=mic_feed"}, &out) == 0,
             out.constData());
    QVERIFY2(testsupport::runProgram("pactl", {"load-module", "module-remap-source", "master=mic_feed.monitor",
                                               "source_name=desk_mic",
                                               "source_properties=device.description=\"Desk\\ Mic\\ &\\ Line\""},
                                     &out) == 0,
             out.constData());
    QVERIFY2(testsupport::runProgram("pactl", {"load-module", "module-remap-source", "master=mic_feed.monitor",
                                               "source_name=second_mic",
                                               "source_properties=device.description=\"Second\\ Mic\""},
                                     &out) == 0,
             out.constData());
    for (const QAudioDevice& d : QMediaDevices::audioInputs())
        microphones_ << d.description();
    QVERIFY2(microphones_.contains("Desk Mic & Line") && microphones_.contains("Second Mic"),
             qPrintable(microphones_.join(", ")));
    registerFakeCaptureDevice(CaptureDeviceKind::Camera, "Fake Cam A", "testsrc2=size=320x180:rate=10");
    registerFakeCaptureDevice(CaptureDeviceKind::Camera, "Fake Cam B", "testsrc2=size=320x180:rate=10");
}

void TestSourceDialog::init()
{
    testsupport::storeUiLanguage({});
    qunsetenv("DISPLAY");
}

void TestSourceDialog::captureStringsComeBackExact_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("microphone");

    const QStringList names{"USB Camera", "Mic & Line", "Mic #2", "a=b", "a+b", "100% gain", "%41", "C:cam", "摄像头 一号",
                            "x%2", "%", "?&=#"};
    for (const QString& name : names) {
        QTest::addRow("camera %s", qPrintable(name)) << name << QString();
        QTest::addRow("camera %s with microphone", qPrintable(name)) << name << "Desk Mic & Line";
        QTest::addRow("microphone %s", qPrintable(name)) << "USB Camera" << name;
    }
}

void TestSourceDialog::captureStringsComeBackExact()
{
    QFETCH(QString, device);
    QFETCH(QString, microphone);

    const QString built = buildCaptureSourceText("dshow", "video", device, microphone);
    // The strip stores a parsed URL, and the main window hands its default
    // rendering to the decoder.
    const QUrl stored = parseChannelSource(built);
    QVERIFY2(stored.isValid(), qPrintable(built));
    const QString handed = stored.toString();

    const QList<QPair<QString, QString>> items = QUrlQuery(stored).queryItems();
    QCOMPARE(items.first().first, QString("video"));
    QCOMPARE(items.size(), microphone.isEmpty() ? 1 : 2);

    QString video, audio;
    QVERIFY(parseDshowUrl(openStringOf(handed), &video, &audio));
    QCOMPARE(video, device);
    QVERIFY(audio.isEmpty());

    const QString micSource = audioSourceOf(handed);
    if (microphone.isEmpty()) {
        QVERIFY(micSource.isEmpty());
        return;
    }
    QCOMPARE(items.last().first, QString("audioSource"));
    QVERIFY(parseDshowUrl(micSource, &video, &audio));
    QCOMPARE(audio, microphone);
    QVERIFY(video.isEmpty());
}

void TestSourceDialog::captureStringExamples_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("microphone");
    QTest::addColumn<QString>("expected");

    QTest::newRow("camera") << "dshow" << "video" << "USB Camera" << "" << "dshow://capture?video=USB%20Camera";
    QTest::newRow("camera with microphone")
        << "dshow" << "video" << "USB Camera" << "USB Mic"
        << "dshow://capture?video=USB%20Camera&audioSource=dshow://capture?audio%3DUSB%20Mic";
    QTest::newRow("blank microphone writes none")
        << "dshow" << "video" << "USB Camera" << "   " << "dshow://capture?video=USB%20Camera";
    QTest::newRow("monitor") << "desktop" << "monitor" << "1" << "" << "desktop://capture?monitor=1";
    QTest::newRow("monitor with microphone")
        << "desktop" << "monitor" << "0" << "USB Mic"
        << "desktop://capture?monitor=0&audioSource=dshow://capture?audio%3DUSB%20Mic";
    QTest::newRow("window") << "wgc" << "hwnd" << "0x3e0a52" << "" << "wgc://capture?hwnd=0x3e0a52";
}

void TestSourceDialog::captureStringExamples()
{
    QFETCH(QString, scheme);
    QFETCH(QString, item);
    QFETCH(QString, value);
    QFETCH(QString, microphone);
    QFETCH(QString, expected);
    QCOMPARE(buildCaptureSourceText(scheme, item, value, microphone), expected);
}

void TestSourceDialog::languageFromSettings_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("chinese");
    QTest::newRow("zh") << QVariant("zh") << true;
    QTest::newRow("ZH_CN") << QVariant("ZH_CN") << true;
    QTest::newRow("zh-cn") << QVariant("zh-cn") << false;
    QTest::newRow("en") << QVariant("en") << false;
    QTest::newRow("no key") << QVariant() << false;
}

void TestSourceDialog::languageFromSettings()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, chinese);
    testsupport::storeUiLanguage(stored);
    QCOMPARE(uiText("Select source", "选择源"), chinese ? QString("选择源") : QString("Select source"));
    SourceDialog dialog;
    QCOMPARE(dialog.windowTitle(), chinese ? QString("选择源") : QString("Select source"));
    // An open dialog keeps the language it was built with.
    testsupport::storeUiLanguage(chinese ? "en" : "zh");
    QCOMPARE(uiText("a", "b"), chinese ? QString("a") : QString("b"));
    SourceDialogTestAccess access(dialog);
    QCOMPARE(access.cameraMic()->itemText(0), chinese ? QString("（不使用麦克风）") : QString("(No microphone)"));
}

void TestSourceDialog::windowPickerAcceptance_data()
{
    QTest::addColumn<TopLevelWindowInfo>("window");
    QTest::addColumn<QString>("title");

    TopLevelWindowInfo good;
    good.handle = 0x3e0a52;
    good.title = "Editor";
    good.exists = good.visible = true;
    QTest::newRow("visible titled") << good << "Editor";

    auto with = [&](auto change) {
        TopLevelWindowInfo w = good;
        change(w);
        return w;
    };
    QTest::newRow("gone") << with([](auto& w) { w.exists = false; }) << "";
    QTest::newRow("hidden") << with([](auto& w) { w.visible = false; }) << "";
    QTest::newRow("minimised") << with([](auto& w) { w.minimized = true; }) << "";
    QTest::newRow("other desktop") << with([](auto& w) { w.cloaked = true; }) << "";
    QTest::newRow("owned") << with([](auto& w) { w.owned = true; }) << "";
    QTest::newRow("untitled") << with([](auto& w) { w.title.clear(); }) << "";
    QTest::newRow("383 characters") << with([](auto& w) { w.title = QString(383, 'x'); }) << QString(383, 'x');
    QTest::newRow("400 characters cut") << with([](auto& w) { w.title = QString(400, QChar(0x7A97)); })
                                        << QString(383, QChar(0x7A97));
    // An emoji across the cut is dropped whole, not halved.
    QTest::newRow("pair across the cut") << with([](auto& w) { w.title = QString(382, 'x') + QString::fromUtf8("😀yz"); })
                                         << QString(382, 'x');
}

void TestSourceDialog::windowPickerAcceptance()
{
    QFETCH(TopLevelWindowInfo, window);
    QFETCH(QString, title);
    QCOMPARE(windowPickerTitle(window), title);
}

void TestSourceDialog::rowsAndPlaceholders()
{
    SourceDialog dialog;
    SourceDialogTestAccess a(dialog);
    QCOMPARE(rowTexts(a.sourceType()),
             QString("Local file | URL / network stream | Camera / microphone | Desktop (DXGI) | Window (WGC)"));
    QCOMPARE(a.sourceType()->currentIndex(), 0);

    QCOMPARE(rowTexts(a.cameras()), QString("Fake Cam A | Fake Cam B"));
    QCOMPARE(a.cameras()->itemData(1).typeId(), QMetaType::QString);
    QCOMPARE(a.cameras()->itemData(1).toString(), QString("Fake Cam B"));

    for (QComboBox* mic : {a.cameraMic(), a.desktopMic(), a.windowMic()}) {
        QCOMPARE(mic->count(), 1 + microphones_.size());
        QCOMPARE(mic->itemText(0), QString("(No microphone)"));
        QCOMPARE(mic->itemData(0).typeId(), QMetaType::QString);
        QVERIFY(mic->itemData(0).toString().isEmpty());
        QCOMPARE(mic->currentIndex(), 0);
        for (int i = 0; i < microphones_.size(); ++i)
            QCOMPARE(mic->itemData(i + 1).toString(), microphones_[i]);
    }

    // Without an X display: one placeholder each.
    QCOMPARE(rowTexts(a.displays()), QString("(No display detected)"));
    QCOMPARE(a.displays()->itemData(0).typeId(), QMetaType::Int);
    QCOMPARE(a.displays()->itemData(0).toInt(), 0);
    QCOMPARE(rowTexts(a.windows()), QString("(No windows — click Refresh)"));
    QCOMPARE(a.windows()->itemData(0).typeId(), QMetaType::ULongLong);
    QCOMPARE(a.windows()->itemData(0).toULongLong(), 0ull);

    a.sourceType()->setCurrentIndex(SourceDialog::Desktop);
    QCOMPARE(dialog.selectedSource(), QString("desktop://capture?monitor=0"));
    a.sourceType()->setCurrentIndex(SourceDialog::Window);
    QCOMPARE(dialog.selectedSource(), QString());

    a.sourceType()->setCurrentIndex(SourceDialog::Camera);
    a.cameras()->setCurrentIndex(1);
    QCOMPARE(dialog.selectedSource(), QString("dshow://capture?video=Fake%20Cam%20B"));
    a.cameraMic()->setCurrentIndex(a.cameraMic()->findData("Desk Mic & Line"));
    const QString withMic = dialog.selectedSource();
    QString video, audio;
    QVERIFY(parseDshowUrl(audioSourceOf(QUrl(withMic).toString()), &video, &audio));
    QCOMPARE(audio, QString("Desk Mic & Line"));
    // The microphone of another page is not this page's.
    a.sourceType()->setCurrentIndex(SourceDialog::Desktop);
    QCOMPARE(dialog.selectedSource(), QString("desktop://capture?monitor=0"));
}

void TestSourceDialog::displayAndWindowRowsFromX()
{
    testsupport::PeerProcess xvfb;
    QString error;
    const QString display =
        testsupport::startXvfb(xvfb, &error, "800x600x24", {"-screen", "1", "1024x768x24", "+xinerama"});
    QVERIFY2(!display.isEmpty(), qPrintable("needs Xvfb (package xvfb): " + error));
    testsupport::TestWindows windows(display);
    QVERIFY(windows.ok());
    const xcb_window_t editor = windows.create("Editor — 文档");
    windows.create("Hidden", {}, XCB_WINDOW_NONE, false);
    windows.create("Find", {}, editor); // owned: not offered
    qputenv("DISPLAY", display.toUtf8());

    SourceDialog dialog;
    SourceDialogTestAccess a(dialog);
    QCOMPARE(rowTexts(a.displays()), QString("Display — 800×600 | Display — 1024×768"));
    QCOMPARE(a.displays()->itemData(1).typeId(), QMetaType::Int);
    QCOMPARE(a.displays()->itemData(1).toInt(), 1);
    const QString editorRow = QString("Editor — 文档  [0x%1]").arg(editor, 0, 16);
    QCOMPARE(rowTexts(a.windows()), editorRow);
    QCOMPARE(a.windows()->itemData(0).typeId(), QMetaType::ULongLong);
    QCOMPARE(a.windows()->itemData(0).toULongLong(), qulonglong(editor));

    a.sourceType()->setCurrentIndex(SourceDialog::Desktop);
    a.displays()->setCurrentIndex(1);
    a.desktopMic()->setCurrentIndex(a.desktopMic()->findData("Second Mic"));
    QCOMPARE(dialog.selectedSource(), QString("desktop://capture?monitor=1&audioSource=dshow://capture?audio%3DSecond%20Mic"));
    a.sourceType()->setCurrentIndex(SourceDialog::Window);
    QCOMPARE(dialog.selectedSource(), QString("wgc://capture?hwnd=0x%1").arg(editor, 0, 16));

    // Refreshing keeps the chosen rows while they exist; a window list
    // that empties falls back to its placeholder.
    const xcb_window_t later = windows.create("Later");
    a.windows()->setCurrentIndex(0);
    QMetaObject::invokeMethod(&dialog, "refreshDxgiMonitors");
    QMetaObject::invokeMethod(&dialog, "refreshWindowList");
    QCOMPARE(a.displays()->currentIndex(), 1);
    QCOMPARE(a.windows()->count(), 2);
    QCOMPARE(a.windows()->itemData(1).toULongLong(), qulonglong(later));
    QCOMPARE(a.windows()->currentIndex(), 0);

    qunsetenv("DISPLAY");
    QMetaObject::invokeMethod(&dialog, "refreshDxgiMonitors");
    QMetaObject::invokeMethod(&dialog, "refreshWindowList");
    QCOMPARE(rowTexts(a.displays()), QString("(No display detected)"));
    QCOMPARE(rowTexts(a.windows()), QString("(No windows — click Refresh)"));
    QCOMPARE(dialog.selectedSource(), QString());
    a.sourceType()->setCurrentIndex(SourceDialog::Desktop);
    QCOMPARE(dialog.selectedSource(), QString("desktop://capture?monitor=0&audioSource=dshow://capture?audio%3DSecond%20Mic"));
}

void TestSourceDialog::refreshKeepsAndCarriesRows()
{
    const QString lastMic = "Zz Fake Mic";
    registerFakeCaptureDevice(CaptureDeviceKind::Microphone, lastMic, "sine=f=1000");
    SourceDialog dialog;
    SourceDialogTestAccess a(dialog);
    const int lastRow = a.cameraMic()->findData(lastMic);
    QCOMPARE(lastRow, a.cameraMic()->count() - 1);

    // The camera page's microphone goes to the other two pages.
    a.cameras()->setCurrentIndex(1);
    a.cameraMic()->setCurrentIndex(2);
    a.desktopMic()->setCurrentIndex(1);
    a.windowMic()->setCurrentIndex(lastRow);
    a.refreshDevices()->click();
    QCOMPARE(a.cameras()->currentIndex(), 1);
    QCOMPARE(a.cameraMic()->currentIndex(), 2);
    QCOMPARE(a.desktopMic()->currentIndex(), 2);
    QCOMPARE(a.windowMic()->currentIndex(), 2);

    // A camera-page row that no longer exists leaves the other pages' own
    // choices alone.
    a.cameraMic()->setCurrentIndex(lastRow);
    a.desktopMic()->setCurrentIndex(1);
    a.windowMic()->setCurrentIndex(0);
    unregisterFakeCaptureDevice(CaptureDeviceKind::Microphone, lastMic);
    unregisterFakeCaptureDevice(CaptureDeviceKind::Camera, "Fake Cam B");
    a.refreshDevices()->click();
    registerFakeCaptureDevice(CaptureDeviceKind::Camera, "Fake Cam B", "testsrc2=size=320x180:rate=10");
    QCOMPARE(a.cameras()->count(), 1);
    QCOMPARE(a.cameras()->currentIndex(), 0);
    QCOMPARE(a.cameraMic()->currentIndex(), 0);
    QCOMPARE(a.desktopMic()->currentIndex(), 1);
    QCOMPARE(a.windowMic()->currentIndex(), 0);
}

void TestSourceDialog::typedTextSurvivesPageSwitches()
{
    SourceDialog dialog;
    SourceDialogTestAccess a(dialog);
    dialog.show();
    const auto visiblePages = [&] {
        QList<int> shown;
        for (int i = 0; i < 5; ++i) {
            if (a.pages()[i]->isVisible())
                shown << i;
        }
        return shown;
    };
    QCOMPARE(visiblePages(), QList<int>{0});
    a.filePath()->setText("  /media/clip one.mp4 \t");
    a.sourceType()->setCurrentIndex(SourceDialog::NetworkUrl);
    QCOMPARE(visiblePages(), QList<int>{1});
    a.url()->setText(" rtmp://example.test/live/key ");
    QCOMPARE(dialog.selectedSource(), QString("rtmp://example.test/live/key"));
    a.sourceType()->setCurrentIndex(SourceDialog::Window);
    QCOMPARE(visiblePages(), QList<int>{4});
    a.sourceType()->setCurrentIndex(SourceDialog::LocalFile);
    QCOMPARE(dialog.selectedSource(), QString("/media/clip one.mp4"));
    a.sourceType()->setCurrentIndex(SourceDialog::NetworkUrl);
    QCOMPARE(dialog.selectedSource(), QString("rtmp://example.test/live/key"));
}

void TestSourceDialog::browseStoresFolderAndFallsBackToHome()
{
    const QString folder = QDir::homePath() + "/media folder";
    QVERIFY(QDir().mkpath(folder));
    QFile clip(folder + "/clip.mp4");
    QVERIFY(clip.open(QIODevice::WriteOnly));
    clip.close();

    SourceDialog dialog;
    SourceDialogTestAccess a(dialog);
    QString shownFolder;
    whenModal<QFileDialog>([&](QFileDialog* files) {
        shownFolder = files->directory().absolutePath();
        testsupport::chooseInFileDialog(files, folder + "/clip.mp4");
    });
    a.browse()->click();
    QCOMPARE(shownFolder, QDir::homePath());
    QCOMPARE(a.filePath()->text(), folder + "/clip.mp4");
    {
        QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
        QCOMPARE(s.value("source/lastMediaDirectory").toString(), folder);
    }

    // The stored folder is where the next Browse starts; cancelling keeps the text.
    whenModal<QFileDialog>([&](QFileDialog* files) {
        shownFolder = files->directory().absolutePath();
        files->reject();
    });
    a.browse()->click();
    QCOMPARE(shownFolder, folder);
    QCOMPARE(a.filePath()->text(), folder + "/clip.mp4");

    // A stored folder that is gone falls back to home.
    QVERIFY(QDir(folder).removeRecursively());
    whenModal<QFileDialog>([&](QFileDialog* files) {
        shownFolder = files->directory().absolutePath();
        files->reject();
    });
    a.browse()->click();
    QCOMPARE(shownFolder, QDir::homePath());
}

void TestSourceDialog::chosenCameraAndMicrophoneOpenInDecoder()
{
    // The tone reaches "Desk Mic & Line" through the sink it remaps.
    const QString tone = testsupport::toneWav(30, 1000);
    QVERIFY(!tone.isEmpty());
    testsupport::PeerProcess player;
    QVERIFY2(player.start("paplay", {"-d", "mic_feed", tone}, 0, testsupport::PeerProcess::Wait::None),
             qPrintable(player.errorString()));
    const QString camera = "E2E Cam #1 & Co";
    registerFakeCaptureDevice(CaptureDeviceKind::Camera, camera, "testsrc2=size=320x180:rate=30,realtime");

    VideoInputPanel panel(0);
    whenModal<SourceDialog>([&](SourceDialog* dialog) {
        SourceDialogTestAccess d(*dialog);
        d.sourceType()->setCurrentIndex(SourceDialog::Camera);
        d.cameras()->setCurrentIndex(d.cameras()->findData(camera));
        d.cameraMic()->setCurrentIndex(d.cameraMic()->findData("Desk Mic & Line"));
        dialog->accept();
    });
    panel.findChild<QPushButton*>()->click(); // the source button comes first
    const QString source = panel.sourceUrl().toString();
    QVERIFY2(source.startsWith("dshow://capture?video="), qPrintable(source));

    {
        DecoderRig rig(QSize(320, 180));
        rig.open(source);
        QVERIFY2(QTest::qWaitFor([&] { return rig.pictures.count() >= 10; }, 15000),
                 qPrintable(rig.recorder.errors.join("; ")));
        QVERIFY(decodertest::audioArrives(rig.decoder, 10000));

        // Half a second of the microphone read in one piece, so that no gap
        // of an empty queue lies inside: count the left channel's zero
        // crossings.
        constexpr int kFrames = FFmpegVideoDecoder::kOutputSampleRate / 2;
        QVERIFY(QTest::qWaitFor([&] { return FFmpegVideoDecoderProbe::queuedAudioFrames(rig.decoder) >= kFrames; },
                                10000));
        std::vector<float> buffer(2 * kFrames);
        rig.decoder.readAudio(buffer.data(), kFrames);
        std::vector<float> samples(kFrames);
        for (int i = 0; i < kFrames; ++i)
            samples[i] = buffer[2 * i];
        int crossings = 0;
        for (int i = 1; i < kFrames; ++i)
            crossings += (samples[i - 1] < 0) != (samples[i] < 0);
        const double hz = crossings / 2.0 / 0.5;
        QVERIFY2(hz > 950 && hz < 1050, qPrintable(QString("%1 Hz").arg(hz)));
        QVERIFY2(rig.recorder.errors.isEmpty(), qPrintable(rig.recorder.errors.join("; ")));
    }
    unregisterFakeCaptureDevice(CaptureDeviceKind::Camera, camera);
}

QUORB_TEST_MAIN(TestSourceDialog)
#include "tst_sourcedialog.moc"
