// The output settings panel on its real widgets: what it restores from the
// settings store and writes back, the 8K and locking rules, the signals the
// main window receives, and what the operator reads in both languages.

#include "app/settingsstore.h"
#include "support/filechoice.h"
#include "support/testsupport.h"
#include "ui/outputsettingsrules.h"
#include "ui/outputsettingswidget.h"
#include "ui/uitheme.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>

#include <memory>

using W = OutputSettingsWidget;

class OutputSettingsWidgetTestAccess {
public:
    explicit OutputSettingsWidgetTestAccess(W& w) : w(w) {}
    W& w;
    QLineEdit* filePath() const { return w.filePathEdit; }
    QPushButton* browse() const { return w.browseButton; }
    QCheckBox* fileCheck() const { return w.fileEnabledCheck; }
    QCheckBox* segment() const { return w.segmentCheck; }
    QComboBox* minutes() const { return w.segmentMinutesCombo; }
    QComboBox* gib() const { return w.segmentSizeCombo; }
    QLabel* resolutionLabel() const { return w.resolutionLabel; }
    QComboBox* resolution() const { return w.resolutionCombo; }
    QComboBox* fps() const { return w.fpsCombo; }
    QLabel* gainLabel() const { return w.gainLabel; }
    QSlider* gain() const { return w.gainSlider; }
    QLabel* gainValue() const { return w.gainValueLabel; }
    QLabel* encodingLabel() const { return w.encodingLabel; }
    QSpinBox* bitrate() const { return w.bitrateSpin; }
    QCheckBox* follow() const { return w.followPresetCheck; }
    QSpinBox* keyframe() const { return w.keyframeSpin; }
    QComboBox* encoder() const { return w.encoderCombo; }
    QComboBox* preset() const { return w.presetCombo; }
    QComboBox* protocol(int i) const { return w.protocolCombos.at(i); }
    QLineEdit* url(int i) const { return w.urlEdits.at(i); }
    QCheckBox* streamCheck(int i) const { return w.streamEnabledChecks.at(i); }
    QLabel* status(int i) const { return w.statusLabels.at(i); }
    QPushButton* startStop() const { return w.startStopButton; }
    bool follows() const { return w.bitrateFollowsPreset; }
};
using Access = OutputSettingsWidgetTestAccess;

namespace {

// Every signal of the panel in the order it arrived, with its arguments.
struct SignalLog {
    QStringList names;
    QList<QVariantList> args;

    explicit SignalLog(W* w)
    {
        QObject::connect(w, &W::outputFileChanged, w, [this](QString f) { add("outputFileChanged", {f}); });
        QObject::connect(w, &W::streamSettingsChanged, w, [this] { add("streamSettingsChanged"); });
        QObject::connect(w, &W::outputDimensionsChanged, w,
                         [this](int wd, int ht) { add("outputDimensionsChanged", {wd, ht}); });
        QObject::connect(w, &W::startOutputRequested, w, [this] { add("startOutputRequested"); });
        QObject::connect(w, &W::stopOutputRequested, w, [this] { add("stopOutputRequested"); });
        QObject::connect(w, &W::outputTargetsChanged, w, [this] { add("outputTargetsChanged"); });
        QObject::connect(w, &W::programRecordLinearGainChanged, w,
                         [this](float g) { add("programRecordLinearGainChanged", {g}); });
        QObject::connect(w, &W::encodingSettingsChanged, w, [this] { add("encodingSettingsChanged"); });
    }
    void add(const char* name, QVariantList a = {})
    {
        names << QLatin1String(name);
        args << a;
    }
    void clear()
    {
        names.clear();
        args.clear();
    }
};

QVariant stored(const QString& key)
{
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    return s.value(key);
}

void putStore(const QVariantMap& values)
{
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    for (auto it = values.begin(); it != values.end(); ++it)
        s.setValue(it.key(), it.value());
    s.sync();
}

// The store reads values back as text; compare in the expected value's type.
void compareStored(const QString& key, const QVariant& expected)
{
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    if (!expected.isValid()) {
        QVERIFY2(!s.contains(key), qPrintable(key + " should not be stored, holds " + s.value(key).toString()));
        return;
    }
    QVERIFY2(s.contains(key), qPrintable(key + " is not stored"));
    QVariant actual = s.value(key);
    QVERIFY2(actual.convert(expected.metaType()), qPrintable(key));
    QCOMPARE(actual, expected);
}

// The recording folder of a first start in the isolated home (no XDG user
// dirs file, so movies are ~/Videos).
QString expectedDefaultPath()
{
    return QDir::homePath() + "/Videos/Orvane/quOrbel Pro/output.mp4";
}

QVariantMap observe(W& w)
{
    Access a(w);
    return {
        {"filePath", w.outputFilePath()},
        {"fileRecordingEnabled", w.fileRecordingEnabled()},
        {"fileChecked", a.fileCheck()->isChecked()},
        {"fileBoxEnabled", a.fileCheck()->isEnabled()},
        {"segmentEnabled", w.segmentEnabled()},
        {"segmentDurationMs", w.segmentDurationMs()},
        {"segmentSizeBytes", w.segmentSizeBytes()},
        {"segmentListsEnabled", a.minutes()->isEnabled() && a.gib()->isEnabled()},
        {"outputSize", QSize(w.outputWidth(), w.outputHeight())},
        {"gain", w.programRecordLinearGain()},
        {"gainText", a.gainValue()->text()},
        {"fps", w.outputFps()},
        {"bitrate", w.videoBitrateKbps()},
        {"follows", a.follows()},
        {"followChecked", a.follow()->isChecked()},
        {"bitrateSpinEnabled", a.bitrate()->isEnabled()},
        {"keyframe", w.keyframeIntervalSeconds()},
        {"encoder", w.encoderMode()},
        {"preset", w.qualityPreset()},
        {"protocol0", w.streamProtocol(0)},
        {"url0", w.streamUrl(0)},
        {"stream0Checked", a.streamCheck(0)->isChecked()},
        {"stream0BoxEnabled", a.streamCheck(0)->isEnabled()},
        {"stream0Enabled", w.streamDestinationEnabled(0)},
        {"startEnabled", a.startStop()->isEnabled()},
    };
}

void compareObserved(W& w, const QVariantMap& expected)
{
    const QVariantMap seen = observe(w);
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        QVERIFY2(seen.contains(it.key()), qPrintable("no observable " + it.key()));
        QVariant actual = seen.value(it.key());
        QVariant want = it.value();
        if (want.metaType() != actual.metaType())
            want.convert(actual.metaType());
        QVERIFY2(actual == want, qPrintable(QStringLiteral("%1: got %2, expected %3")
                                                .arg(it.key(), actual.toString(), want.toString())));
    }
}

} // namespace

class TestOutputSettingsWidget : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { initQuorbelResources(); }
    void init()
    {
        QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
        s.clear();
        s.sync();
    }

    // --- pure rules ----------------------------------------------------------

    void statusWords_data();
    void statusWords();
    void protocolTexts_data();
    void protocolTexts();
    void gainText_data();
    void gainText();
    void storedValueRules();

    // --- restoring and saving --------------------------------------------------

    void restore_data();
    void restore();
    void roundTripThroughTheStore();
    void storeFolderIsPrivate();

    // --- rules on the panel -----------------------------------------------------

    void bitrateFollowing();
    void eightK_data();
    void eightK();
    void eightKSelectionIsNotUndone();
    void canvasSize_data();
    void canvasSize();
    void outputStates_data();
    void outputStates();
    void gainStaysFreeWhileActive();
    void gainSavesOnceTheSliderRests();
    void clearingTheOnlyUrlDisablesStart();
    void startStopRequests();
    void settersEmitNothingOfTheirOwn();

    // --- texts and display ------------------------------------------------------

    void statusDisplay_data();
    void statusDisplay();
    void protocolChangeResetsStatus();
    void languageTable_data();
    void languageTable();
    void protocolPlaceholders_data();
    void protocolPlaceholders();
    void languageSwitchKeepsSelections();
    void arrowSpinBox_data();
    void arrowSpinBox();
    void saveDialogAnswer();
    void saveDialogCancel();
    void screenshot();
};

// --- pure rules ----------------------------------------------------------------

void TestOutputSettingsWidget::statusWords_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("chinese");
    QTest::newRow("online") << "online" << "#55c878" << "Online" << "在线";
    QTest::newRow("connecting") << "connecting" << "#9aa0aa" << "Connecting" << "连接中";
    QTest::newRow("reconnecting") << "reconnecting" << "#e6b84a" << "Retrying" << "重连中";
    QTest::newRow("congested") << "congested" << "#ff9f43" << "Congested" << "拥塞";
    QTest::newRow("stopped") << "stopped" << "#9aa0aa" << "Stopped" << "已停止";
    QTest::newRow("idle") << "idle" << "#9aa0aa" << "Idle" << "空闲";
    QTest::newRow("upper case is not a word") << "ONLINE" << "#9aa0aa" << "Idle" << "空闲";
    QTest::newRow("unknown word") << "buffering" << "#9aa0aa" << "Idle" << "空闲";
    QTest::newRow("empty") << "" << "#9aa0aa" << "Idle" << "空闲";
}

void TestOutputSettingsWidget::statusWords()
{
    QFETCH(QString, word);
    QFETCH(QString, colour);
    QFETCH(QString, english);
    QFETCH(QString, chinese);
    QCOMPARE(outputrules::statusColor(word), colour);
    QCOMPARE(outputrules::statusText(word, false), english);
    QCOMPARE(outputrules::statusText(word, true), chinese);
}

void TestOutputSettingsWidget::protocolTexts_data()
{
    const QString socksEn = "Manual SOCKS5 proxy is supported for this protocol.";
    const QString socksZh = "此协议支持手动 SOCKS5 代理。";
    const QString tunEn = "For proxy routing, enable TUN mode in v2rayN; manual SOCKS5 TCP relay does not carry "
                          "this protocol.";
    const QString tunZh = "如需代理转发，请开启 v2rayN 的 TUN 模式；手动 SOCKS5 TCP 转发不承载此协议。";
    const QString httpEn = "Uses the configured HTTP proxy when supported by FFmpeg.";
    const QString httpZh = "FFmpeg 支持时使用已配置的 HTTP 代理。";

    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("chinese");
    QTest::newRow("RTMP") << "RTMP" << socksEn << socksZh;
    QTest::newRow("RTMPS") << "RTMPS" << socksEn << socksZh;
    QTest::newRow("TCP") << "TCP" << socksEn << socksZh;
    QTest::newRow("lower-case rtmps") << "rtmps" << socksEn << socksZh;
    QTest::newRow("SRT") << "SRT" << tunEn << tunZh;
    QTest::newRow("RIST") << "RIST" << tunEn << tunZh;
    QTest::newRow("UDP") << "UDP" << tunEn << tunZh;
    QTest::newRow("RTP") << "RTP" << tunEn << tunZh;
    QTest::newRow("HTTP") << "HTTP" << httpEn << httpZh;
    QTest::newRow("anything else") << "QUIC" << httpEn << httpZh;
}

void TestOutputSettingsWidget::protocolTexts()
{
    QFETCH(QString, protocol);
    QFETCH(QString, english);
    QFETCH(QString, chinese);
    QCOMPARE(outputrules::protocolToolTip(protocol, false), english);
    QCOMPARE(outputrules::protocolToolTip(protocol, true), chinese);
}

void TestOutputSettingsWidget::gainText_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("text");
    QTest::newRow("default") << 100 << "1.00x";
    QTest::newRow("lowest") << 25 << "0.25x";
    QTest::newRow("highest") << 400 << "4.00x";
    QTest::newRow("odd") << 137 << "1.37x";
}

void TestOutputSettingsWidget::gainText()
{
    QFETCH(int, percent);
    QFETCH(QString, text);
    QCOMPARE(outputrules::gainText(percent), text);
}

void TestOutputSettingsWidget::storedValueRules()
{
    // Following: an explicit flag wins; without it only the 1080p30
    // recommendation (or no stored bitrate) means following.
    QCOMPARE(outputrules::bitrateFollowsFromStore(false, 0, false, false), true);
    QCOMPARE(outputrules::bitrateFollowsFromStore(true, 7500, false, false), true);
    QCOMPARE(outputrules::bitrateFollowsFromStore(true, 9000, false, false), false);
    QCOMPARE(outputrules::bitrateFollowsFromStore(true, 7500, true, false), false);
    QCOMPARE(outputrules::bitrateFollowsFromStore(true, 9000, true, true), true);

    QCOMPARE(outputrules::fpsIndexForStored(59.94), 1);
    QCOMPARE(outputrules::fpsIndexForStored(59.0), 1);
    QCOMPARE(outputrules::fpsIndexForStored(58.99), 0);
    QCOMPARE(outputrules::fpsIndexForStored(50.0), 0);

    QCOMPARE(outputrules::listIndexOrDefault(2, 3, 1), 2);
    QCOMPARE(outputrules::listIndexOrDefault(3, 3, 1), 1);
    QCOMPARE(outputrules::listIndexOrDefault(-1, 3, 0), 0);
}

// --- restoring and saving --------------------------------------------------------

void TestOutputSettingsWidget::restore_data()
{
    QTest::addColumn<QVariantMap>("store");
    QTest::addColumn<QVariantMap>("expected");
    QTest::addColumn<QVariantMap>("written"); // invalid value: not written during construction

    const QString appDir = QCoreApplication::applicationDirPath();
    const QString def = expectedDefaultPath();

    QTest::newRow("empty store")
        << QVariantMap{}
        << QVariantMap{{"filePath", def},         {"fileRecordingEnabled", true}, {"fileBoxEnabled", true},
                       {"segmentEnabled", true},  {"segmentDurationMs", 1800000}, {"segmentSizeBytes", 4294967296LL},
                       {"segmentListsEnabled", true}, {"outputSize", QSize(0, 0)}, {"gain", 1.0f},
                       {"gainText", "1.00x"},      {"fps", 30.0},                  {"bitrate", 7500},
                       {"follows", true},          {"followChecked", true},        {"bitrateSpinEnabled", false},
                       {"keyframe", 2},            {"encoder", 0},                 {"preset", 1},
                       {"protocol0", "RTMP"},      {"url0", ""},                   {"stream0Checked", false},
                       {"stream0BoxEnabled", false}, {"startEnabled", true}}
        << QVariantMap{{"output/filePath", def},
                       {"output/fileEnabled", true},
                       {"output/segmentEnabled", true},
                       {"output/segmentMinutes", 30},
                       {"output/segmentGiB", 4},
                       {"output/streams/0/protocol", "RTMP"},
                       {"output/streams/3/protocol", "RTMP"},
                       {"output/streams/3/url", ""},
                       {"output/streams/3/enabled", false},
                       {"output/resolution", QVariant()},
                       {"output/gainPercent", QVariant()},
                       {"output/bitrateKbps", QVariant()},
                       {"output/encoderMode", QVariant()}};

    QTest::newRow("bitrate 7500 without follow key")
        << QVariantMap{{"output/bitrateKbps", 7500}}
        << QVariantMap{{"follows", true}, {"bitrate", 7500}, {"bitrateSpinEnabled", false}} << QVariantMap{};
    QTest::newRow("bitrate 9000 without follow key")
        << QVariantMap{{"output/bitrateKbps", 9000}}
        << QVariantMap{{"follows", false}, {"followChecked", false}, {"bitrate", 9000}, {"bitrateSpinEnabled", true}}
        << QVariantMap{};
    QTest::newRow("following replaces a stored bitrate")
        << QVariantMap{{"output/bitrateKbps", 9000}, {"output/bitrateFollowsPreset", true},
                       {"output/resolution", QSize(1280, 720)}}
        << QVariantMap{{"follows", true}, {"bitrate", 4500}, {"outputSize", QSize(1280, 720)}} << QVariantMap{};
    QTest::newRow("bitrate above the range is clamped")
        << QVariantMap{{"output/bitrateKbps", 999999}, {"output/bitrateFollowsPreset", false}}
        << QVariantMap{{"bitrate", 200000}} << QVariantMap{};

    QTest::newRow("legacy path in another case")
        << QVariantMap{{"output/filePath", appDir.toUpper() + "/Output.MP4"}}
        << QVariantMap{{"filePath", def}} << QVariantMap{{"output/filePath", def}};
    QTest::newRow("legacy path with dot segments")
        << QVariantMap{{"output/filePath", appDir + "/./sub/../output.mp4"}}
        << QVariantMap{{"filePath", def}} << QVariantMap{{"output/filePath", def}};
    QTest::newRow("other file beside the program is kept")
        << QVariantMap{{"output/filePath", appDir + "/take2.mp4"}}
        << QVariantMap{{"filePath", appDir + "/take2.mp4"}} << QVariantMap{{"output/filePath", appDir + "/take2.mp4"}};
    QTest::newRow("path kept as typed, written trimmed")
        << QVariantMap{{"output/filePath", "  /tmp/rec.mkv "}}
        << QVariantMap{{"filePath", "  /tmp/rec.mkv "}} << QVariantMap{{"output/filePath", "/tmp/rec.mkv"}};
    QTest::newRow("empty stored path")
        << QVariantMap{{"output/filePath", ""}, {"output/fileEnabled", true}}
        << QVariantMap{{"filePath", ""}, {"fileRecordingEnabled", false}, {"fileChecked", false},
                       {"fileBoxEnabled", false}, {"startEnabled", false}}
        << QVariantMap{{"output/filePath", ""}};

    QTest::newRow("protocol in lower case")
        << QVariantMap{{"output/streams/0/protocol", "rtmps"}}
        << QVariantMap{{"protocol0", "RTMPS"}} << QVariantMap{{"output/streams/0/protocol", "RTMPS"}};
    QTest::newRow("unknown protocol")
        << QVariantMap{{"output/streams/0/protocol", "FTP"}}
        << QVariantMap{{"protocol0", "RTMP"}} << QVariantMap{{"output/streams/0/protocol", "RTMP"}};
    QTest::newRow("stream url and box")
        << QVariantMap{{"output/streams/0/url", " rtmp://127.0.0.1/live/a "}, {"output/streams/0/enabled", true},
                       {"output/fileEnabled", false}}
        << QVariantMap{{"url0", " rtmp://127.0.0.1/live/a "}, {"stream0Checked", true}, {"stream0BoxEnabled", true},
                       {"stream0Enabled", true}, {"startEnabled", true}}
        << QVariantMap{{"output/streams/0/url", "rtmp://127.0.0.1/live/a"}, {"output/streams/0/enabled", true}};
    QTest::newRow("ticked box without url")
        << QVariantMap{{"output/streams/0/url", "  "}, {"output/streams/0/enabled", true}, {"output/fileEnabled", false}}
        << QVariantMap{{"stream0Checked", false}, {"stream0BoxEnabled", false}, {"startEnabled", false}}
        << QVariantMap{};

    QTest::newRow("segment length 7")
        << QVariantMap{{"output/segmentMinutes", 7}}
        << QVariantMap{{"segmentDurationMs", 300000}} << QVariantMap{{"output/segmentMinutes", 5}};
    QTest::newRow("segment size 16, segmenting off")
        << QVariantMap{{"output/segmentGiB", 16}, {"output/segmentEnabled", false}}
        << QVariantMap{{"segmentSizeBytes", 17179869184LL}, {"segmentEnabled", false}, {"segmentListsEnabled", false}}
        << QVariantMap{{"output/segmentGiB", 16}};

    QTest::newRow("fps 59.94")
        << QVariantMap{{"output/fps", 59.94}} << QVariantMap{{"fps", 60.0}, {"bitrate", 12000}} << QVariantMap{};
    QTest::newRow("fps 50")
        << QVariantMap{{"output/fps", 50.0}} << QVariantMap{{"fps", 30.0}, {"bitrate", 7500}} << QVariantMap{};
    QTest::newRow("gain 9999")
        << QVariantMap{{"output/gainPercent", 9999}} << QVariantMap{{"gain", 4.0f}, {"gainText", "4.00x"}}
        << QVariantMap{};
    QTest::newRow("unknown resolution")
        << QVariantMap{{"output/resolution", QSize(1000, 1000)}} << QVariantMap{{"outputSize", QSize(0, 0)}}
        << QVariantMap{};
    QTest::newRow("keyframe 9")
        << QVariantMap{{"output/keyframeSeconds", 9}} << QVariantMap{{"keyframe", 4}} << QVariantMap{};
    QTest::newRow("encoder mode 7, preset -1")
        << QVariantMap{{"output/encoderMode", 7}, {"output/qualityPreset", -1}}
        << QVariantMap{{"encoder", 0}, {"preset", 1}} << QVariantMap{};
    QTest::newRow("encoder mode -1, preset 5")
        << QVariantMap{{"output/encoderMode", -1}, {"output/qualityPreset", 5}}
        << QVariantMap{{"encoder", 0}, {"preset", 1}} << QVariantMap{};
    QTest::newRow("8K at 60 restored")
        << QVariantMap{{"output/resolution", QSize(7680, 4320)}, {"output/fps", 60.0}, {"output/encoderMode", 2},
                       {"output/qualityPreset", 2}}
        << QVariantMap{{"encoder", 1}, {"preset", 0}, {"bitrate", 180000}} << QVariantMap{};
}

void TestOutputSettingsWidget::restore()
{
    QFETCH(QVariantMap, store);
    QFETCH(QVariantMap, expected);
    QFETCH(QVariantMap, written);

    putStore(store);
    W w;
    compareObserved(w, expected);
    for (auto it = written.begin(); it != written.end(); ++it)
        compareStored(it.key(), it.value());
}

void TestOutputSettingsWidget::roundTripThroughTheStore()
{
    const QString path = QDir::homePath() + "/takes/show.mkv";
    {
        W w;
        Access a(w);
        a.minutes()->setCurrentIndex(3);
        a.gib()->setCurrentIndex(2);
        a.resolution()->setCurrentIndex(5);
        a.fps()->setCurrentIndex(1);
        a.gain()->setValue(250);
        a.follow()->setChecked(false);
        a.bitrate()->setValue(8000);
        a.keyframe()->setValue(4);
        a.encoder()->setCurrentIndex(2);
        a.preset()->setCurrentIndex(2);
        a.protocol(1)->setCurrentIndex(2);
        a.url(1)->setText("srt://127.0.0.1:9000");
        emit a.url(1)->editingFinished();
        a.streamCheck(1)->setChecked(true);
        // No editing-finished: only the destructor's save keeps this one.
        a.filePath()->setText(path);
    }
    W w;
    QCOMPARE(w.outputFilePath(), path);
    QCOMPARE(w.segmentDurationMs(), 3600000);
    QCOMPARE(w.segmentSizeBytes(), 17179869184LL);
    QCOMPARE(QSize(w.outputWidth(), w.outputHeight()), QSize(1280, 720));
    QCOMPARE(w.outputFps(), 60.0);
    QCOMPARE(w.programRecordLinearGain(), 2.5f);
    QCOMPARE(w.videoBitrateKbps(), 8000);
    QCOMPARE(Access(w).follows(), false);
    QCOMPARE(w.keyframeIntervalSeconds(), 4);
    QCOMPARE(w.encoderMode(), 2);
    QCOMPARE(w.qualityPreset(), 2);
    QCOMPARE(w.streamProtocol(1), QStringLiteral("SRT"));
    QCOMPARE(w.streamUrl(1), QStringLiteral("srt://127.0.0.1:9000"));
    QVERIFY(w.streamDestinationEnabled(1));
}

void TestOutputSettingsWidget::storeFolderIsPrivate()
{
    W w;
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    const QFileInfo folder(QFileInfo(s.fileName()).absolutePath());
    QCOMPARE(folder.fileName(), QStringLiteral("Orvane"));
    QCOMPARE(folder.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::ExeGroup
                                     | QFileDevice::ExeOther | QFileDevice::WriteGroup | QFileDevice::WriteOther),
             QFileDevice::Permissions());
    QVERIFY(QFileInfo::exists(QFileInfo(expectedDefaultPath()).absolutePath()));
}

// --- rules on the panel ------------------------------------------------------------

void TestOutputSettingsWidget::bitrateFollowing()
{
    W w;
    Access a(w);
    SignalLog log(&w);

    a.fps()->setCurrentIndex(1);
    QCOMPARE(w.videoBitrateKbps(), 12000);
    compareStored("output/bitrateKbps", 12000);
    compareStored("output/bitrateFollowsPreset", true);
    compareStored("output/fps", 60.0);
    QCOMPARE(log.names, QStringList{"encodingSettingsChanged"});

    a.follow()->setChecked(false);
    QVERIFY(a.bitrate()->isEnabled());
    QCOMPARE(w.videoBitrateKbps(), 12000); // the last recommendation stays
    compareStored("output/bitrateFollowsPreset", false);

    a.bitrate()->setValue(9000);
    compareStored("output/bitrateKbps", 9000);
    a.resolution()->setCurrentIndex(2); // 4K: no longer followed
    QCOMPARE(w.videoBitrateKbps(), 9000);

    a.follow()->setChecked(true);
    QVERIFY(!a.bitrate()->isEnabled());
    QCOMPARE(w.videoBitrateKbps(), 51000);
    compareStored("output/bitrateKbps", 51000);

    // A value not written by the panel itself ends following without the
    // follow box's own reaction running.
    log.clear();
    a.bitrate()->setValue(5000);
    QVERIFY(!a.follows());
    QVERIFY(!a.follow()->isChecked());
    compareStored("output/bitrateFollowsPreset", false);
    compareStored("output/bitrateKbps", 5000);
    QCOMPARE(log.names, QStringList{"encodingSettingsChanged"});
}

void TestOutputSettingsWidget::eightK_data()
{
    QTest::addColumn<int>("resolutionIndex"); // -1: keep "Same as Program"
    QTest::addColumn<QSize>("canvas");        // invalid: setCanvasSize not called
    QTest::addColumn<bool>("sixty");
    QTest::addColumn<int>("encoder");
    QTest::addColumn<int>("preset");
    QTest::addColumn<bool>("encoderEnabled");
    QTest::addColumn<bool>("presetEnabled");
    QTest::addColumn<QString>("encoderTip");
    QTest::addColumn<QString>("presetTip");
    QTest::addColumn<QStringList>("signalNames");
    QTest::addColumn<int>("storedEncoder");
    QTest::addColumn<int>("storedPreset");

    const QString encTip = "8K requires hardware HEVC encoding";
    const QString preTip = "8K60 uses the Performance preset to maintain real-time output";
    const QStringList listChange{"encodingSettingsChanged", "outputDimensionsChanged"};
    const QStringList canvasChange{"encodingSettingsChanged"};

    QTest::newRow("8K list at 60") << 1 << QSize() << true << 1 << 0 << false << false << encTip << preTip
                                   << listChange << 1 << 0;
    QTest::newRow("8K list at 30") << 1 << QSize() << false << 1 << 1 << false << true << encTip << QString()
                                   << listChange << 1 << 1;
    QTest::newRow("4K list at 60") << 2 << QSize() << true << 0 << 1 << true << true << QString() << QString()
                                   << listChange << 0 << 1;
    // The forced choice reaches the main window through the signal; the store
    // catches up with the next encoding change.
    QTest::newRow("canvas 4097x2304 rounds to 4096") << -1 << QSize(4097, 2304) << true << 0 << 1 << true << true
                                                     << QString() << QString() << canvasChange << 0 << 1;
    QTest::newRow("canvas 4098x2304 is 8K") << -1 << QSize(4098, 2304) << true << 1 << 0 << false << false << encTip
                                            << preTip << canvasChange << 0 << 1;
    QTest::newRow("canvas 8K while 1080p chosen") << 4 << QSize(7680, 4320) << true << 0 << 1 << true << true
                                                  << QString() << QString() << listChange << 0 << 1;
}

void TestOutputSettingsWidget::eightK()
{
    QFETCH(int, resolutionIndex);
    QFETCH(QSize, canvas);
    QFETCH(bool, sixty);
    QFETCH(int, encoder);
    QFETCH(int, preset);
    QFETCH(bool, encoderEnabled);
    QFETCH(bool, presetEnabled);
    QFETCH(QString, encoderTip);
    QFETCH(QString, presetTip);
    QFETCH(QStringList, signalNames);
    QFETCH(int, storedEncoder);
    QFETCH(int, storedPreset);

    W w;
    Access a(w);
    if (sixty)
        a.fps()->setCurrentIndex(1);
    SignalLog log(&w);
    if (resolutionIndex >= 0)
        a.resolution()->setCurrentIndex(resolutionIndex);
    if (canvas.isValid())
        w.setCanvasSize(canvas);

    QCOMPARE(w.encoderMode(), encoder);
    QCOMPARE(w.qualityPreset(), preset);
    QCOMPARE(a.encoder()->isEnabled(), encoderEnabled);
    QCOMPARE(a.preset()->isEnabled(), presetEnabled);
    QCOMPARE(a.encoder()->toolTip(), encoderTip);
    QCOMPARE(a.preset()->toolTip(), presetTip);
    QCOMPARE(log.names, signalNames);
    if (resolutionIndex >= 0) {
        const QSize size = a.resolution()->itemData(resolutionIndex).toSize();
        QCOMPARE(log.args.at(log.names.indexOf("outputDimensionsChanged")),
                 (QVariantList{size.width(), size.height()}));
    }
    compareStored("output/encoderMode", storedEncoder);
    compareStored("output/qualityPreset", storedPreset);
}

void TestOutputSettingsWidget::eightKSelectionIsNotUndone()
{
    W w;
    Access a(w);
    a.fps()->setCurrentIndex(1);
    a.resolution()->setCurrentIndex(1);
    a.resolution()->setCurrentIndex(4);
    QCOMPARE(w.encoderMode(), 1);
    QCOMPARE(w.qualityPreset(), 0);
    QVERIFY(a.encoder()->isEnabled());
    QVERIFY(a.preset()->isEnabled());
    QVERIFY(a.encoder()->toolTip().isEmpty());
    QVERIFY(a.preset()->toolTip().isEmpty());
    compareStored("output/encoderMode", 1);
    compareStored("output/qualityPreset", 0);
}

void TestOutputSettingsWidget::canvasSize_data()
{
    QTest::addColumn<int>("resolutionIndex");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("itemText");
    QTest::addColumn<QString>("labelTip");
    QTest::addColumn<int>("bitrate");
    QTest::addColumn<QStringList>("signalNames");

    QTest::newRow("same size") << 0 << QSize(1920, 1080) << "Same as Program (1920 x 1080)"
                               << "Current canvas: 1920 x 1080" << 7500 << QStringList{};
    QTest::newRow("zero width") << 0 << QSize(0, 1080) << "Same as Program (1920 x 1080)"
                                << "Current canvas: 1920 x 1080" << 7500 << QStringList{};
    QTest::newRow("negative height") << 0 << QSize(1280, -1) << "Same as Program (1920 x 1080)"
                                     << "Current canvas: 1920 x 1080" << 7500 << QStringList{};
    QTest::newRow("new size followed") << 0 << QSize(3840, 2160) << "Same as Program (3840 x 2160)"
                                       << "Current canvas: 3840 x 2160" << 30000
                                       << QStringList{"encodingSettingsChanged"};
    QTest::newRow("new size, fixed resolution") << 5 << QSize(3840, 2160) << "Same as Program (3840 x 2160)"
                                                << "Current canvas: 3840 x 2160" << 4500 << QStringList{};
}

void TestOutputSettingsWidget::canvasSize()
{
    QFETCH(int, resolutionIndex);
    QFETCH(QSize, size);
    QFETCH(QString, itemText);
    QFETCH(QString, labelTip);
    QFETCH(int, bitrate);
    QFETCH(QStringList, signalNames);

    W w;
    Access a(w);
    a.resolution()->setCurrentIndex(resolutionIndex);
    const QVariant storedBitrate = stored("output/bitrateKbps");
    SignalLog log(&w);
    w.setCanvasSize(size);
    QCOMPARE(a.resolution()->itemText(0), itemText);
    QCOMPARE(a.resolutionLabel()->toolTip(), labelTip);
    QCOMPARE(w.videoBitrateKbps(), bitrate);
    QCOMPARE(log.names, signalNames);
    QCOMPARE(stored("output/bitrateKbps"), storedBitrate); // nothing is saved
    // "Same as Program" is the main window's to resolve.
    if (resolutionIndex == 0)
        QCOMPARE(QSize(w.outputWidth(), w.outputHeight()), QSize(0, 0));
}

void TestOutputSettingsWidget::outputStates_data()
{
    QTest::addColumn<bool>("active");
    QTest::addColumn<bool>("stopping");
    QTest::addColumn<bool>("stoppedAgain");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tip");
    QTest::addColumn<bool>("buttonEnabled");
    QTest::addColumn<QString>("sheetColour");

    const QString startTip = "Write program output to file and/or stream";
    const QString stopTip = "Stop writing and close file/stream output";
    QTest::newRow("idle") << false << false << false << "Start Output" << startTip << true << "#355b3c";
    QTest::newRow("active") << true << false << false << "Stop Output" << stopTip << true << "#5b3434";
    QTest::newRow("stopping") << true << true << false << "Stopping..." << stopTip << false << "#5b3434";
    QTest::newRow("stopped after stopping") << true << true << true << "Start Output" << startTip << true
                                            << "#355b3c";
}

void TestOutputSettingsWidget::outputStates()
{
    QFETCH(bool, active);
    QFETCH(bool, stopping);
    QFETCH(bool, stoppedAgain);
    QFETCH(QString, text);
    QFETCH(QString, tip);
    QFETCH(bool, buttonEnabled);
    QFETCH(QString, sheetColour);

    putStore({{"output/streams/0/url", "rtmp://127.0.0.1/live/a"},
              {"output/streams/0/enabled", true},
              {"output/bitrateKbps", 9000},
              {"output/bitrateFollowsPreset", false}});
    W w;
    Access a(w);
    if (active)
        w.setOutputActive(true);
    if (stopping)
        w.setStopping(true);
    if (stoppedAgain)
        w.setOutputActive(false);
    const bool locked = active && !stoppedAgain;

    QCOMPARE(a.startStop()->text(), text);
    QCOMPARE(a.startStop()->toolTip(), tip);
    QCOMPARE(a.startStop()->isEnabled(), buttonEnabled);
    QVERIFY(a.startStop()->styleSheet().contains(sheetColour));

    // Text fields stay enabled so the operator can read and copy them.
    for (QLineEdit* edit : {a.filePath(), a.url(0), a.url(1)}) {
        QVERIFY(edit->isEnabled());
        QCOMPARE(edit->isReadOnly(), locked);
    }
    const QList<QWidget*> lockable{a.browse(),    a.resolutionLabel(), a.resolution(), a.follow(),   a.keyframe(),
                                   a.fps(),       a.encoder(),         a.preset(),     a.segment(),  a.protocol(0),
                                   a.protocol(3), a.bitrate(),         a.fileCheck(),  a.streamCheck(0),
                                   a.minutes(),   a.gib()};
    for (QWidget* control : lockable)
        QVERIFY2(control->isEnabled() == !locked, qPrintable(control->metaObject()->className()));
    QVERIFY(!a.streamCheck(1)->isEnabled()); // no URL, whatever the state
    QVERIFY(a.gain()->isEnabled());
    QVERIFY(a.status(0)->isEnabled());
    // Locking never changes a value.
    QVERIFY(w.fileRecordingEnabled());
    QVERIFY(w.streamDestinationEnabled(0));

    // The clear button of a locked field must not empty it under a running output.
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* clear = a.url(0)->findChild<QToolButton*>();
    QVERIFY(clear);
    QTest::mouseClick(clear, Qt::LeftButton, {}, clear->rect().center());
    QCOMPARE(a.url(0)->text().isEmpty(), !locked);
}

void TestOutputSettingsWidget::gainStaysFreeWhileActive()
{
    W w;
    Access a(w);
    w.setOutputActive(true);
    SignalLog log(&w);
    a.gain()->setValue(150);
    QCOMPARE(log.names, QStringList{"programRecordLinearGainChanged"});
    QCOMPARE(log.args.at(0).at(0).toFloat(), 1.5f);
    QCOMPARE(a.gainValue()->text(), QStringLiteral("1.50x"));
    QTRY_COMPARE(stored("output/gainPercent").toInt(), 150);
}

void TestOutputSettingsWidget::gainSavesOnceTheSliderRests()
{
    QScopedPointer<W> w(new W);
    Access a(*w);
    SignalLog log(w.data());

    // Dragging: every step reaches the mixer, the store only on release.
    a.gain()->setSliderDown(true);
    for (int value : {120, 140, 160})
        a.gain()->setValue(value);
    QCOMPARE(log.names.count("programRecordLinearGainChanged"), 3);
    QTest::qWait(500);
    compareStored("output/gainPercent", QVariant());
    a.gain()->setSliderDown(false);
    compareStored("output/gainPercent", 160);

    // Keyboard steps share one save once the slider rests.
    a.gain()->setValue(170);
    a.gain()->setValue(180);
    compareStored("output/gainPercent", 160);
    QTRY_COMPARE(stored("output/gainPercent").toInt(), 180);

    // A step still pending when the panel goes is not lost.
    a.gain()->setValue(190);
    w.reset();
    compareStored("output/gainPercent", 190);
}

void TestOutputSettingsWidget::clearingTheOnlyUrlDisablesStart()
{
    putStore({{"output/filePath", ""},
              {"output/streams/2/url", "srt://127.0.0.1:9000"},
              {"output/streams/2/enabled", true},
              {"output/streams/2/protocol", "SRT"}});
    W w;
    Access a(w);
    QVERIFY(a.startStop()->isEnabled());
    SignalLog log(&w);
    a.url(2)->clear();
    QVERIFY(!a.streamCheck(2)->isChecked());
    QVERIFY(!a.streamCheck(2)->isEnabled());
    QVERIFY(!a.startStop()->isEnabled());
    QVERIFY(log.names.contains("outputTargetsChanged"));
    compareStored("output/streams/2/enabled", false);

    // Typing a URL again makes the box available but leaves it unticked.
    a.url(2)->setText("srt://127.0.0.1:9001");
    QVERIFY(a.streamCheck(2)->isEnabled());
    QVERIFY(!a.streamCheck(2)->isChecked());
    a.streamCheck(2)->setChecked(true);
    QVERIFY(a.startStop()->isEnabled());
}

void TestOutputSettingsWidget::startStopRequests()
{
    W w;
    Access a(w);
    SignalLog log(&w);
    a.startStop()->click();
    QCOMPARE(log.names, QStringList{"startOutputRequested"});
    w.setOutputActive(true);
    log.clear();
    a.startStop()->click();
    QCOMPARE(log.names, QStringList{"stopOutputRequested"});
}

void TestOutputSettingsWidget::settersEmitNothingOfTheirOwn()
{
    putStore({{"output/streams/0/url", "rtmp://127.0.0.1/live/a"}, {"output/streams/0/enabled", true}});
    W w;
    Access a(w);
    SignalLog log(&w);
    w.setChineseUi(true);
    w.setStreamStatus(0, "online");
    w.setStopping(true);
    w.setStopping(false);
    QCOMPARE(log.names, QStringList{});
    // Locking re-evaluates the targets and says so; nothing else.
    w.setOutputActive(true);
    w.setOutputActive(false);
    QCOMPARE(log.names, (QStringList{"outputTargetsChanged", "outputTargetsChanged"}));
    QVERIFY(w.streamDestinationEnabled(0));
    QVERIFY(a.startStop()->isEnabled());

    // setStopping(true) while idle holds the button until it is lifted.
    w.setStopping(true);
    QVERIFY(!a.startStop()->isEnabled());
    QCOMPARE(a.startStop()->text(), QStringLiteral("正在停止..."));
    w.setStopping(false);
    QVERIFY(a.startStop()->isEnabled());

    // Out-of-range indices change nothing.
    w.setStreamStatus(4, "online");
    w.setStreamStatus(-1, "online");
    QCOMPARE(w.streamProtocol(4), QString());
    QCOMPARE(w.streamUrl(-1), QString());
    QVERIFY(!w.streamDestinationEnabled(7));
}

// --- texts and display ------------------------------------------------------------

void TestOutputSettingsWidget::statusDisplay_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("chinese");
    QTest::addColumn<QString>("colour");
    QTest::newRow("online") << "online" << "Online" << "在线" << "#55c878";
    QTest::newRow("connecting") << "connecting" << "Connecting" << "连接中" << "#9aa0aa";
    QTest::newRow("reconnecting") << "reconnecting" << "Retrying" << "重连中" << "#e6b84a";
    QTest::newRow("congested") << "congested" << "Congested" << "拥塞" << "#ff9f43";
    QTest::newRow("stopped") << "stopped" << "Stopped" << "已停止" << "#9aa0aa";
    QTest::newRow("upper case") << "ONLINE" << "Idle" << "空闲" << "#9aa0aa";
    QTest::newRow("unknown") << "warming" << "Idle" << "空闲" << "#9aa0aa";
}

void TestOutputSettingsWidget::statusDisplay()
{
    QFETCH(QString, word);
    QFETCH(QString, english);
    QFETCH(QString, chinese);
    QFETCH(QString, colour);

    W w;
    Access a(w);
    // Before the first report: idle, in the inherited colour.
    QCOMPARE(a.status(1)->text(), QStringLiteral("Idle"));
    QVERIFY(a.status(1)->styleSheet().isEmpty());

    w.setStreamStatus(1, word);
    QCOMPARE(a.status(1)->property("streamStatus").toString(), word);
    QCOMPARE(a.status(1)->text(), english);
    QCOMPARE(a.status(1)->styleSheet(), QStringLiteral("color:%1;font-size:11px;").arg(colour));
    QVERIFY(a.status(0)->styleSheet().isEmpty()); // other rows untouched
    w.setChineseUi(true);
    QCOMPARE(a.status(1)->text(), chinese);
    QCOMPARE(a.status(0)->text(), QStringLiteral("空闲"));

    // Finishing an edit of the URL returns the row to idle.
    emit a.url(1)->editingFinished();
    QCOMPARE(a.status(1)->text(), QStringLiteral("空闲"));
    QCOMPARE(a.status(1)->styleSheet(), QStringLiteral("color:#9aa0aa;font-size:11px;"));
}

void TestOutputSettingsWidget::protocolChangeResetsStatus()
{
    W w;
    Access a(w);
    w.setStreamStatus(2, "online");
    SignalLog log(&w);
    a.protocol(2)->setCurrentText("SRT");
    QCOMPARE(a.status(2)->text(), QStringLiteral("Idle"));
    QCOMPARE(a.url(2)->placeholderText(), QStringLiteral("SRT URL 3"));
    QCOMPARE(log.names, (QStringList{"outputTargetsChanged", "streamSettingsChanged"}));
    compareStored("output/streams/2/protocol", QStringLiteral("SRT"));
}

void TestOutputSettingsWidget::languageTable_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("English") << false
                             << QStringList{"Browse...",
                                            "Segment recording",
                                            "Resolution",
                                            "Same as Program (1920 x 1080)",
                                            "Current canvas: 1920 x 1080",
                                            "Output Gain",
                                            "Encoding",
                                            "Auto",
                                            "Auto",
                                            "Hardware",
                                            "Quality",
                                            "Start Output",
                                            "Idle",
                                            "RTMP URL 1",
                                            "Output frame rate"};
    QTest::newRow("Chinese") << true
                             << QStringList{"选择文件...",
                                            "录制分段",
                                            "输出分辨率",
                                            "与节目相同 (1920 x 1080)",
                                            "当前画布: 1920 x 1080",
                                            "输出增益",
                                            "编码",
                                            "自动",
                                            "自动",
                                            "硬件",
                                            "质量",
                                            "开始输出",
                                            "空闲",
                                            "RTMP 地址 1",
                                            "输出帧率"};
}

void TestOutputSettingsWidget::languageTable()
{
    QFETCH(bool, chinese);
    QFETCH(QStringList, texts);

    putStore({{"output/bitrateKbps", 0}, {"output/bitrateFollowsPreset", false}});
    W w;
    Access a(w);
    w.setChineseUi(chinese);
    const QStringList seen{a.browse()->text(),
                           a.segment()->text(),
                           a.resolutionLabel()->text(),
                           a.resolution()->itemText(0),
                           a.resolutionLabel()->toolTip(),
                           a.gainLabel()->text(),
                           a.encodingLabel()->text(),
                           a.bitrate()->text(), // 0 reads as automatic, without " kbps"
                           a.follow()->text(),
                           a.encoder()->itemText(1),
                           a.preset()->itemText(2),
                           a.startStop()->text(),
                           a.status(3)->text(),
                           a.url(0)->placeholderText(),
                           a.fps()->toolTip()};
    QCOMPARE(seen, texts);

    // The 8K tool tips follow the language too.
    a.resolution()->setCurrentIndex(1);
    QCOMPARE(a.encoder()->toolTip(), chinese ? QStringLiteral("8K必须使用硬件HEVC编码")
                                             : QStringLiteral("8K requires hardware HEVC encoding"));
}

void TestOutputSettingsWidget::protocolPlaceholders_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("placeholder");
    QTest::addColumn<QString>("tip");
    QTest::newRow("HTTP") << "HTTP" << false << "HTTP URL 3"
                          << "Uses the configured HTTP proxy when supported by FFmpeg.";
    QTest::newRow("SRT") << "SRT" << false << "SRT URL 3"
                         << "For proxy routing, enable TUN mode in v2rayN; manual SOCKS5 TCP relay does not carry "
                            "this protocol.";
    QTest::newRow("RTMPS Chinese") << "RTMPS" << true << "RTMPS 地址 3" << "此协议支持手动 SOCKS5 代理。";
    QTest::newRow("UDP Chinese") << "UDP" << true << "UDP 地址 3"
                                 << "如需代理转发，请开启 v2rayN 的 TUN 模式；手动 SOCKS5 TCP 转发不承载此协议。";
}

void TestOutputSettingsWidget::protocolPlaceholders()
{
    QFETCH(QString, protocol);
    QFETCH(bool, chinese);
    QFETCH(QString, placeholder);
    QFETCH(QString, tip);
    W w;
    Access a(w);
    w.setChineseUi(chinese);
    a.protocol(2)->setCurrentText(protocol);
    QCOMPARE(w.streamProtocol(2), protocol);
    QCOMPARE(a.url(2)->placeholderText(), placeholder);
    QCOMPARE(a.protocol(2)->toolTip(), tip);
}

void TestOutputSettingsWidget::languageSwitchKeepsSelections()
{
    putStore({{"output/encoderMode", 2}, {"output/qualityPreset", 0}});
    W w;
    Access a(w);
    SignalLog log(&w);
    w.setChineseUi(true);
    QCOMPARE(w.encoderMode(), 2);
    QCOMPARE(w.qualityPreset(), 0);
    QCOMPARE(a.encoder()->currentText(), QStringLiteral("软件"));
    QCOMPARE(a.preset()->currentText(), QStringLiteral("性能"));
    w.setChineseUi(false);
    QCOMPARE(a.encoder()->currentText(), QStringLiteral("Software"));
    QCOMPARE(log.names, QStringList{});
    compareStored("output/bitrateKbps", QVariant()); // nothing saved by a language switch
}

void TestOutputSettingsWidget::arrowSpinBox_data()
{
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("upHeight");
    QTest::newRow("29 px") << 29 << 14;
    QTest::newRow("30 px") << 30 << 15;
}

void TestOutputSettingsWidget::arrowSpinBox()
{
    QFETCH(int, height);
    QFETCH(int, upHeight);

    W w;
    Access a(w);
    a.follow()->setChecked(false);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QSpinBox* spin = a.bitrate();
    spin->resize(spin->width(), height);
    auto* up = spin->findChild<QToolButton*>("spinUp");
    auto* down = spin->findChild<QToolButton*>("spinDown");
    QVERIFY(up && down);
    const int width = spin->width();
    QCOMPARE(up->geometry(), QRect(width - 16, 0, 16, upHeight));
    QCOMPARE(down->geometry(), QRect(width - 16, upHeight, 16, height - upHeight));
    QCOMPARE(up->text(), QStringLiteral("^"));
    QCOMPARE(down->text(), QStringLiteral("v"));
    QCOMPARE(spin->findChild<QLineEdit*>()->textMargins(), QMargins(0, 0, 16, 0));

    QTest::mouseClick(up, Qt::LeftButton);
    QCOMPARE(w.videoBitrateKbps(), 8000);
    compareStored("output/bitrateKbps", 8000);
    QTest::mouseClick(down, Qt::LeftButton);
    QTest::mouseClick(down, Qt::LeftButton);
    QCOMPARE(w.videoBitrateKbps(), 7000);
}

namespace {

// Answers the next modal file dialog from inside its event loop.
void answerFileDialog(const QString& file, QString* startFolder)
{
    QTimer::singleShot(0, [=] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            answerFileDialog(file, startFolder); // not shown yet
            return;
        }
        *startFolder = dialog->directory().absolutePath();
        if (file.isEmpty()) {
            dialog->reject();
        } else {
            testsupport::chooseInFileDialog(dialog, file);
        }
    });
}

} // namespace

void TestOutputSettingsWidget::saveDialogAnswer()
{
    const QString folder = QDir::homePath() + "/shows";
    QVERIFY(QDir().mkpath(folder));
    putStore({{"output/filePath", folder + "/old.mp4"}, {"output/fileEnabled", false}});
    W w;
    Access a(w);
    SignalLog log(&w);
    const QString answer = folder + "/new.mkv";
    QString startFolder;
    answerFileDialog(answer, &startFolder);
    a.browse()->click();

    QCOMPARE(startFolder, folder);
    QCOMPARE(w.outputFilePath(), answer);
    compareStored("output/filePath", answer);
    QCOMPARE(log.names, (QStringList{"outputTargetsChanged", "outputFileChanged"}));
    QCOMPARE(log.args.last(), QVariantList{answer});
}

void TestOutputSettingsWidget::saveDialogCancel()
{
    putStore({{"output/filePath", ""}});
    W w;
    Access a(w);
    SignalLog log(&w);
    QString startFolder;
    answerFileDialog(QString(), &startFolder);
    a.browse()->click();

    // An empty field starts where the default recording would go.
    QCOMPARE(startFolder, QFileInfo(expectedDefaultPath()).absolutePath());
    QCOMPARE(w.outputFilePath(), QString());
    compareStored("output/filePath", QString());
    QCOMPARE(log.names, QStringList{});
}

void TestOutputSettingsWidget::screenshot()
{
    putStore({{"output/streams/0/url", "rtmp://127.0.0.1/live/a"},
              {"output/streams/0/enabled", true},
              {"output/streams/1/url", "srt://127.0.0.1:9000"},
              {"output/streams/1/protocol", "SRT"},
              {"output/streams/1/enabled", true},
              {"output/streams/2/url", "rtmps://127.0.0.1/live/c"},
              {"output/streams/2/protocol", "RTMPS"},
              {"output/streams/2/enabled", true}});
    W w;
    Access a(w);
    w.setStyleSheet(w.styleSheet() + QStringLiteral("OutputSettingsWidget { background-color: #1a1c20; }"));
    w.setAttribute(Qt::WA_StyledBackground);
    w.resize(620, 560);
    w.setStreamStatus(0, "online");
    w.setStreamStatus(1, "reconnecting");
    w.setStreamStatus(2, "congested");
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    // Counts the pixels of a widget that are close to a colour.
    auto pixelsNear = [](QWidget* widget, const QColor& colour) {
        const QImage image = widget->grab().toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (qAbs(c.red() - colour.red()) < 24 && qAbs(c.green() - colour.green()) < 24
                    && qAbs(c.blue() - colour.blue()) < 24)
                    ++count;
            }
        return count;
    };
    const QString dir = qEnvironmentVariable("QUORB_SCREENSHOT_DIR");

    for (bool chinese : {false, true}) {
        w.setChineseUi(chinese);
        w.setOutputActive(false);
        QTest::qWait(20);
        QVERIFY(pixelsNear(a.startStop(), QColor("#355b3c")) > 200);
        QVERIFY(pixelsNear(a.status(0), QColor("#55c878")) > 5);
        QVERIFY(pixelsNear(a.status(1), QColor("#e6b84a")) > 5);
        QVERIFY(pixelsNear(a.status(2), QColor("#ff9f43")) > 5);
        if (!dir.isEmpty())
            w.grab().save(dir + (chinese ? "/output-panel-zh-idle.png" : "/output-panel-en-idle.png"));

        w.setOutputActive(true);
        QTest::qWait(20);
        QVERIFY(pixelsNear(a.startStop(), QColor("#5b3434")) > 200);
        QCOMPARE(pixelsNear(a.startStop(), QColor("#355b3c")), 0);
        if (!dir.isEmpty())
            w.grab().save(dir + (chinese ? "/output-panel-zh-active.png" : "/output-panel-en-active.png"));
    }
}

QUORB_TEST_MAIN(TestOutputSettingsWidget)
#include "tst_outputsettingswidget.moc"
