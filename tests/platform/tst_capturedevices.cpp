#include "input/inputsource.h"
#include "platform/capturedevices.h"
#include "support/pulseserver.h"
#include "support/testsupport.h"

#include <cstring>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/mem.h>
}

class TestCaptureDevices : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void plans_data();
    void plans();
    void realDevicesTogetherFormOneValidGraph();
    void pulseMicrophoneByNameOrDescription();
};

namespace {
const QString kCamera = QString::fromUtf8("Cam:1 \\ A&B 摄像头");
const QString kMicrophone = QStringLiteral("Mic:2");
const QByteArray kCameraGraph = "testsrc2=size=320x240:rate=30,realtime";
const QByteArray kMicrophoneGraph = "sine=f=1000:sample_rate=48000,arealtime";
} // namespace

void TestCaptureDevices::init()
{
    registerFakeCaptureDevice(CaptureDeviceKind::Camera, kCamera, kCameraGraph);
    registerFakeCaptureDevice(CaptureDeviceKind::Microphone, kMicrophone, kMicrophoneGraph);
}

void TestCaptureDevices::cleanup()
{
    unregisterFakeCaptureDevice(CaptureDeviceKind::Camera, kCamera);
    unregisterFakeCaptureDevice(CaptureDeviceKind::Microphone, kMicrophone);
}

void TestCaptureDevices::plans_data()
{
    QTest::addColumn<QString>("video");
    QTest::addColumn<QString>("audio");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QByteArray>("url");
    QTest::newRow("fake camera with an escaped name") << kCamera << "" << true << QByteArray("lavfi") << kCameraGraph;
    QTest::newRow("fake microphone") << "" << kMicrophone << true << QByteArray("lavfi") << kMicrophoneGraph;
    QTest::newRow("fake camera and microphone in one graph")
        << kCamera << kMicrophone << true << QByteArray("lavfi") << kCameraGraph + "[out0];" + kMicrophoneGraph + "[out1]";
    QTest::newRow("camera by device path") << "/dev/video7" << "" << true << QByteArray("video4linux2")
                                           << QByteArray("/dev/video7");
    QTest::newRow("unknown camera") << "No Such Camera" << "" << false << QByteArray() << QByteArray();
    QTest::newRow("unlisted microphone goes to pulse by name")
        << "" << "alsa_input.usb-mic" << true << QByteArray("pulse") << QByteArray("alsa_input.usb-mic");
    QTest::newRow("unregistered fake is no longer found") << "Fake That Was" << "" << false << QByteArray()
                                                          << QByteArray();
}

void TestCaptureDevices::plans()
{
    QFETCH(QString, video);
    QFETCH(QString, audio);
    QFETCH(bool, ok);
    QFETCH(QByteArray, format);
    QFETCH(QByteArray, url);
    registerFakeCaptureDevice(CaptureDeviceKind::Camera, "Fake That Was", kCameraGraph);
    unregisterFakeCaptureDevice(CaptureDeviceKind::Camera, "Fake That Was");
    const CaptureInputPlan plan = planCaptureInput(buildDshowDeviceSpec(video, audio));
    QCOMPARE(plan.ok, ok);
    QCOMPARE(plan.formatName, format);
    QCOMPARE(plan.url, url);
    QCOMPARE(plan.error.isEmpty(), ok);
}

void TestCaptureDevices::realDevicesTogetherFormOneValidGraph()
{
    // A real camera and microphone become movie sources of one lavfi graph;
    // names full of graph syntax must survive both levels of escaping.
    const CaptureInputPlan plan =
        planCaptureInput(buildDshowDeviceSpec("/dev/video0", "mic:[a],b;c'd\\e"));
    QVERIFY(plan.ok);
    QCOMPARE(plan.formatName, QByteArray("lavfi"));
    // Undo the escaping the way FFmpeg's graph parser and option parser do.
    QStringList filters;
    QStringList files;
    const char* p = plan.url.constData();
    while (*p) {
        const char* eq = std::strchr(p, '=');
        QVERIFY(eq);
        filters << QString::fromUtf8(p, int(eq - p));
        p = eq + 1;
        char* args = av_get_token(&p, "[],;");
        const char* a = args;
        char* file = av_get_token(&a, ":");
        files << QString::fromUtf8(file);
        av_free(file);
        av_free(args);
        p = std::strchr(p, ';');
        if (!p)
            break;
        ++p;
    }
    QCOMPARE(filters, QStringList({"movie", "amovie"}));
    QCOMPARE(files, QStringList({"/dev/video0", "mic:[a],b;c'd\\e"}));
}

void TestCaptureDevices::pulseMicrophoneByNameOrDescription()
{
    // A private PulseAudio server with a sine source stands in for a microphone.
    testsupport::ScopedTestHome home;
    testsupport::PulseServer pulse;
    QVERIFY2(pulse.start(), qPrintable(pulse.errorString()));
    QByteArray out;
    QVERIFY2(testsupport::runProgram("pactl", {"load-module", "module-sine-source", "source_name=test_mic",
                                               "rate=48000", "frequency=440"},
                                     &out) == 0,
             out.constData());

    for (const QString& name : {QStringLiteral("Sine source at 440 Hz"), QStringLiteral("test_mic")}) {
        const CaptureInputPlan plan = planCaptureInput(buildDshowDeviceSpec({}, name));
        QVERIFY(plan.ok);
        QCOMPARE(plan.formatName, QByteArray("pulse"));
        QCOMPARE(plan.url, QByteArray("test_mic"));
        // The plan opens and delivers sound.
        AVFormatContext* input = nullptr;
        QVERIFY(avformat_open_input(&input, plan.url.constData(), av_find_input_format("pulse"), nullptr) >= 0);
        AVPacket* packet = av_packet_alloc();
        QVERIFY(av_read_frame(input, packet) >= 0 && packet->size > 0);
        av_packet_free(&packet);
        avformat_close_input(&input);
    }
}

QUORB_TEST_MAIN(TestCaptureDevices)
#include "tst_capturedevices.moc"
