// The whole show through the real main window (offscreen) at 1080p30: four
// 1080p30 channels, ten text overlays (two scrolling), four image and four
// video overlays, fifty drawing strokes, a recording plus four loopback
// stream destinations. Beside it, in the same run, the ffmpeg CLI doing the
// same work: four inputs, an overlay and drawtext graph, one libx264 encode
// with the same settings, tee to a file and four destinations.
// Figures: dropped and repeated frames of the output router, recorded frames against
// duration x 30, CPU seconds per media second; the CLI's speed and CPU.
// Run pinned as the goal states: taskset -c 0,1 bench_show [seconds, default 300]

#include "app/settingsstore.h"
#include "engine/doodlestroke.h"
#include "engine/framepipeline.h"
#include "engine/overlaymanager.h"
#include "engine/textoverlaydata.h"
#include "output/outputrouter.h"
#include "ui/mainwindow.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/outputsettingswidget.h"
#include "ui/videoinputpanel.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>

struct FramePipelineTestAccess {
    static OutputRouter& router(FramePipeline& p) { return *p.router; }
};

class MainWindowTestAccess {
public:
    explicit MainWindowTestAccess(MainWindow& window) : w(window) {}
    MainWindow& w;
    FramePipeline* pipeline() const { return w.framePipeline; }
    OverlayManager* overlays() const { return w.overlayManager; }
    std::array<VideoInputPanel*, 4> strips() const { return w.channelPanels; }
    OutputSettingsWidget* output() const { return w.outputSettings; }
    MediaOverlayWidget* editor() const { return w.mediaOverlayPanel; }
    void switchTo(int channel) { w.switchProgramToChannel(channel, true); }
    void bindVideo(QObject* item, const QString& path, const QRectF& r) { w.bindVideoOverlayToProgram(item, path, r, 0, true); }
    void bindImage(QObject* item, const QString& path, const QRectF& r) { w.bindImageOverlayToProgram(item, path, r, 1.0); }
    QString recording() const { return w.activeRecordingPath; }
};

namespace {

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool runFfmpeg(const QStringList& args, int timeoutMs = 600000, QByteArray* err = nullptr)
{
    QProcess p;
    p.start("ffmpeg", args);
    if (!p.waitForFinished(timeoutMs))
        return false;
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

qint64 frameCount(const QString& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-count_packets", "-select_streams", "v:0", "-show_entries",
                        "stream=nb_read_packets", "-of", "csv=p=0", path});
    p.waitForFinished(120000);
    return p.readAllStandardOutput().trimmed().toLongLong();
}

double durationOf(const QString& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path});
    p.waitForFinished(60000);
    return p.readAllStandardOutput().trimmed().toDouble();
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? qMax(5, atoi(argv[1])) : 300;
    const QString dir = home.path();

    // Fixtures: four 1080p30 clips long enough to loop, pictures, one small video.
    QStringList clips;
    const char* colours[4] = {"red", "green", "blue", "gray"};
    for (int i = 0; i < 4; ++i) {
        const QString clip = QString("%1/ch%2.mp4").arg(dir).arg(i);
        if (!runFfmpeg({"-y", "-v", "error", "-f", "lavfi", "-i",
                        QString("testsrc2=size=1920x1080:rate=30:duration=20,hue=s=%1").arg(i == 3 ? 0 : 1),
                        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=20", "-c:v", "libx264",
                        "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "30", "-c:a", "aac", "-shortest", clip})) {
            std::fprintf(stderr, "fixture failed\n");
            return 1;
        }
        clips << clip;
        Q_UNUSED(colours);
    }
    const QString smallVideo = dir + "/ov.mp4";
    runFfmpeg({"-y", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x180:rate=30:duration=10", "-c:v",
               "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", smallVideo});
    QStringList pictures;
    for (int i = 0; i < 4; ++i) {
        QImage image(256, 144, QImage::Format_ARGB32);
        image.fill(QColor::fromHsv(i * 80, 200, 230));
        pictures << QString("%1/pic%2.png").arg(dir).arg(i);
        image.save(pictures.last());
    }

    QList<quint16> ports{29101, 29102, 29103, 29104};
    {
        QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
        s.setValue("output/fileEnabled", true);
        s.setValue("output/filePath", dir + "/show.mp4");
        s.setValue("output/segmentEnabled", false);
        s.setValue("output/resolution", QSize(1920, 1080));
        s.setValue("output/fps", 30.0);
        s.setValue("output/encoderMode", 2);
        s.setValue("output/qualityPreset", 1);
        s.setValue("output/bitrateKbps", 7500);
        for (int i = 0; i < 4; ++i) {
            s.setValue(QString("output/streams/%1/enabled").arg(i), true);
            s.setValue(QString("output/streams/%1/protocol").arg(i), "UDP");
            s.setValue(QString("output/streams/%1/url").arg(i), QString("udp://127.0.0.1:%1").arg(ports[i]));
        }
        s.sync();
    }

    auto* window = new MainWindow;
    MainWindowTestAccess access(*window);
    for (int i = 0; i < 4; ++i)
        access.strips()[i]->setSource(clips[i]);
    access.switchTo(0);
    for (int i = 0; i < 10; ++i) {
        TextOverlayData text;
        text.id = i + 1;
        text.text = QString("Overlay text %1").arg(i + 1);
        text.posX = 0.02;
        text.posY = 0.05 + i * 0.08;
        if (i < 2) {
            text.scrollable = true;
            text.scrollDirection = TextOverlayData::kScrollLeftToRight;
        }
        access.overlays()->setTextOverlay(text);
    }
    for (int i = 0; i < 4; ++i) {
        ImageOverlayWidget* image = access.editor()->addImageOverlay(pictures[i], QPointF(0, 0));
        access.bindImage(image, pictures[i], QRectF(400 + i * 50, 10, 64, 36));
        VideoOverlayWidget* video = access.editor()->addVideoOverlay(smallVideo, QPointF(0, 0));
        access.bindVideo(video, smallVideo, QRectF(400 + i * 50, 200, 80, 45));
    }
    QList<DoodleStroke> strokes;
    for (int i = 0; i < 50; ++i) {
        DoodleStroke stroke;
        stroke.kind = DoodleStroke::kLine;
        stroke.points = {QPointF(0.3 + i * 0.005, 0.5), QPointF(0.35 + i * 0.005, 0.9)};
        strokes << stroke;
    }
    access.overlays()->setDoodleStrokes(strokes);

    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 2000)
        app.processEvents(QEventLoop::AllEvents, 50);

    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer wall;
    wall.start();
    emit access.output()->startOutputRequested();
    if (!access.pipeline()->isOutputRunning()) {
        std::fprintf(stderr, "output did not start\n");
        return 1;
    }
    const QString recording = access.recording();
    while (wall.elapsed() < seconds * 1000LL)
        app.processEvents(QEventLoop::AllEvents, 50);
    const std::uint64_t dropped = FramePipelineTestAccess::router(*access.pipeline()).droppedFrames();
    const std::uint64_t repeated = FramePipelineTestAccess::router(*access.pipeline()).repeatedFrames();
    bool stopped = false;
    QObject::connect(access.pipeline(), &FramePipeline::programOutputStopped, [&stopped] { stopped = true; });
    emit access.output()->stopOutputRequested();
    const double showSeconds = wall.elapsed() / 1000.0;
    while (!stopped && wall.elapsed() < (seconds + 30) * 1000LL)
        app.processEvents(QEventLoop::AllEvents, 50);
    const double cpuShow = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    delete window;

    const qint64 recorded = frameCount(recording);
    const double recordedDuration = durationOf(recording);

    // The CLI reference: the same inputs, overlays and one encode teed out.
    QString graph = "[0:v][1:v]overlay=x=W-w-10:y=10:shortest=1[a];[a][2:v]overlay=x=10:y=H-h-10[b];"
                    "[b][3:v]overlay=x=W-w-10:y=H-h-10[c];[c]";
    QStringList drawtexts;
    for (int i = 0; i < 10; ++i)
        drawtexts << QString("drawtext=text='Overlay text %1':x=%2:y=%3:fontsize=36:fontcolor=white")
                         .arg(i + 1)
                         .arg(i < 2 ? "mod(t*100\\,W)" : "40")
                         .arg(54 + i * 86);
    graph += drawtexts.join(',') + "[v]";
    QStringList tee{dir + "/cli.mp4"};
    for (quint16 port : ports)
        tee << QString("[f=mpegts]udp://127.0.0.1:%1").arg(port + 100);
    QStringList args{"-y", "-v", "error"};
    for (const QString& clip : clips)
        args << "-stream_loop" << "-1" << "-i" << clip;
    args << "-filter_complex" << graph << "-map" << "[v]" << "-map" << "0:a" << "-t" << QString::number(seconds)
         << "-c:v" << "libx264" << "-preset" << "veryfast" << "-tune" << "zerolatency" << "-b:v" << "7500k"
         << "-maxrate" << "7500k" << "-bufsize" << "7500k" << "-g" << "60" << "-bf" << "0" << "-pix_fmt" << "yuv420p"
         << "-c:a" << "aac" << "-b:a" << "128k" << "-f" << "tee" << "-flags" << "+global_header"
         << tee.join('|');
    const double childBefore = cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer cliWall;
    cliWall.start();
    QByteArray err;
    const bool cliOk = runFfmpeg(args, (seconds * 10 + 120) * 1000, &err);
    const double cliSeconds = cliWall.elapsed() / 1000.0;
    const double cliCpu = cpuSeconds(RUSAGE_CHILDREN) - childBefore;
    if (!cliOk)
        std::fprintf(stderr, "ffmpeg CLI failed: %s\n", err.constData());

    const double showCpuPerSecond = cpuShow / showSeconds;
    const double cliCpuPerSecond = cliCpu / seconds;
    std::printf("show through the window: %.1f s, recorded %lld frames of %.0f expected (%.1f s in file), "
                "dropped %llu, repeated %llu, CPU %.2f s per media second\n",
                showSeconds, static_cast<long long>(recorded), showSeconds * 30, recordedDuration,
                static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(repeated),
                showCpuPerSecond);
    std::printf("ffmpeg CLI reference:    %d s of media in %.1f s (speed %.2fx), CPU %.2f s per media second\n",
                seconds, cliSeconds, seconds / cliSeconds, cliCpuPerSecond);
    std::printf("ratio window/CLI CPU per media second: %.2f\n", showCpuPerSecond / cliCpuPerSecond);
    return 0;
}
