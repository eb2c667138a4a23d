// The output settings panel showing the status words of a real output: the
// program published to a local nginx-rtmp, the pipeline's status reports
// forwarded to the panel the way the main window forwards them.

#include "engine/framepipeline.h"
#include "support/mixerthread.h"
#include "support/nginxrtmp.h"
#include "support/programfeed.h"
#include "support/pulseserver.h"
#include "support/testsupport.h"
#include "ui/outputsettingswidget.h"
#include "ui/uitheme.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>

class OutputSettingsWidgetTestAccess {
public:
    static QLabel* status(OutputSettingsWidget& w, int i) { return w.statusLabels.at(i); }
};

class TestOutputSettingsStatus : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_pulse.stop(); }
    void statusOfAPublishedStream();

private:
    testsupport::PulseServer m_pulse;
};

void TestOutputSettingsStatus::initTestCase()
{
    initQuorbelResources();
    // The mixer's audio clock needs a sound device that takes audio.
    QVERIFY2(m_pulse.start(), qPrintable(m_pulse.errorString()));
}

void TestOutputSettingsStatus::statusOfAPublishedStream()
{
    const QString clip = testsupport::clipWithAudio(10, 640, 360, 30);
    QVERIFY(!clip.isEmpty());
    QTemporaryDir dir;
    const quint16 port = testsupport::freeTcpPort();
    testsupport::PeerProcess server;
    QVERIFY2(testsupport::startNginxRtmp(server, dir.filePath("rtmp"), {port, 0}), qPrintable(server.errorString()));

    OutputSettingsWidget panel;
    const int row = 1;
    QLabel* label = OutputSettingsWidgetTestAccess::status(panel, row);
    // What the operator reads after each report, in order.
    QStringList shown;
    QStringList styles;

    FramePipeline pipeline;
    QObject::connect(&pipeline, &FramePipeline::programStreamStatusChanged, &panel,
                     &OutputSettingsWidget::setStreamStatus);
    QObject::connect(&pipeline, &FramePipeline::programStreamStatusChanged, &panel, [&](int index, const QString&) {
        if (index == row && (shown.isEmpty() || shown.last() != label->text())) {
            shown << label->text();
            styles << label->styleSheet();
        }
    });
    testsupport::MixerThread mixerThread(&pipeline);
    pipeline.setPreviewAudioMixerForOutput(mixerThread.mixer());
    mixerThread.start();
    QVERIFY2(testsupport::playClipAsProgram(pipeline, nullptr, clip), "the program channel delivered no frames");
    QTRY_VERIFY_WITH_TIMEOUT(mixerThread.mixer()->playedFrames() > 0, 10000);

    pipeline.setOutputResolutionSelection(640, 360);
    pipeline.setOutputFps(30);
    pipeline.setOutputPath(QString());
    pipeline.setStreamTargets({StreamTarget{QString("rtmp://127.0.0.1:%1/live/panel").arg(port), "flv", row}});
    QSignalSpy stopped(&pipeline, &FramePipeline::programOutputStopped);
    QVERIFY(pipeline.startOutputs());
    panel.setOutputActive(true);

    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Online"), 15000);
    QCOMPARE(shown.first(), QStringLiteral("Connecting"));
    QCOMPARE(styles.first(), QStringLiteral("color:#9aa0aa;font-size:11px;"));
    QCOMPARE(label->styleSheet(), QStringLiteral("color:#55c878;font-size:11px;"));

    server.stop(500);
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Retrying"), 15000);
    QCOMPARE(label->styleSheet(), QStringLiteral("color:#e6b84a;font-size:11px;"));
    panel.setChineseUi(true);
    QCOMPARE(label->text(), QStringLiteral("重连中"));
    panel.setChineseUi(false);

    pipeline.stopOutputsAsync();
    QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Stopped"), 5000);
    QCOMPARE(label->styleSheet(), QStringLiteral("color:#9aa0aa;font-size:11px;"));
    panel.setOutputActive(false);
    QVERIFY(mixerThread.stop());
    // The other rows never heard a word.
    QCOMPARE(OutputSettingsWidgetTestAccess::status(panel, 0)->text(), QStringLiteral("Idle"));
    QVERIFY(OutputSettingsWidgetTestAccess::status(panel, 0)->styleSheet().isEmpty());
}

QUORB_TEST_MAIN(TestOutputSettingsStatus)
#include "tst_outputsettingsstatus.moc"
