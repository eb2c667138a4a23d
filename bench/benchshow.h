#pragma once

// What the benchmarks that run a show through the real main window share:
// the friend access, the output settings they seed before the window reads
// them, start and stop as the operator's buttons do them, the ffmpeg and
// ffprobe CLI, and the process's resident memory.

#include "app/settingsstore.h"
#include "bench/benchmemory.h"
#include "engine/framepipeline.h"
#include "engine/overlaymanager.h"
#include "output/outputrouter.h"
#include "ui/mainwindow.h"
#include "ui/mediaoverlaywidget.h"
#include "ui/outputsettingswidget.h"
#include "ui/videoinputpanel.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QSettings>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>

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

class OutputSettingsWidgetTestAccess {
public:
    // The panel offers a fixed list of segment lengths; a benchmark needs
    // others (10 minutes, or 1 for a short run), so it adds its own entry.
    static void setSegmentMinutes(OutputSettingsWidget& panel, int minutes)
    {
        QComboBox* combo = panel.segmentMinutesCombo;
        if (combo->findData(minutes) < 0)
            combo->addItem(QStringLiteral("%1 min").arg(minutes), minutes);
        combo->setCurrentIndex(combo->findData(minutes));
    }
};

namespace bench {

// Offscreen, with settings and logs in home (a private folder the caller
// keeps for the run), so a show never touches the user's own.
inline void usePrivateHome(const QTemporaryDir& home)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
}

// The output panel's settings, as the window reads them at construction.
struct ShowOutput {
    QString recordPath;
    QSize resolution{1920, 1080};
    double fps = 30.0;
    int bitrateKbps = 7500;
    int qualityPreset = 1; // 0 performance, 1 balanced, 2 quality
    bool segments = false;
    QList<quint16> udpPorts; // loopback destinations nobody reads
};

inline void seedOutputSettings(const ShowOutput& o)
{
    QSettings s(settingsstore::kOrganisation, settingsstore::kApplication);
    s.setValue("output/fileEnabled", true);
    s.setValue("output/filePath", o.recordPath);
    s.setValue("output/segmentEnabled", o.segments);
    s.setValue("output/resolution", o.resolution);
    s.setValue("output/fps", o.fps);
    s.setValue("output/encoderMode", 2); // software: the same encoder as the CLI reference
    s.setValue("output/qualityPreset", o.qualityPreset);
    s.setValue("output/bitrateKbps", o.bitrateKbps);
    for (int i = 0; i < o.udpPorts.size(); ++i) {
        s.setValue(QString("output/streams/%1/enabled").arg(i), true);
        s.setValue(QString("output/streams/%1/protocol").arg(i), "UDP");
        s.setValue(QString("output/streams/%1/url").arg(i), QString("udp://127.0.0.1:%1").arg(o.udpPorts[i]));
    }
    s.sync();
}

inline bool runFfmpeg(const QStringList& args, int timeoutMs = 600000, QByteArray* err = nullptr)
{
    QProcess p;
    p.start("ffmpeg", args);
    if (!p.waitForFinished(timeoutMs))
        return false;
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

inline qint64 frameCount(const QString& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-count_packets", "-select_streams", "v:0", "-show_entries",
                        "stream=nb_read_packets", "-of", "csv=p=0", path});
    p.waitForFinished(120000);
    return p.readAllStandardOutput().trimmed().toLongLong();
}

inline double durationOf(const QString& path)
{
    QProcess p;
    p.start("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path});
    p.waitForFinished(60000);
    return p.readAllStandardOutput().trimmed().toDouble();
}

// Runs the event loop for ms, asleep while nothing is due as the
// application's own loop is: a loop of processEvents() calls would keep a
// core busy and count it in the CPU figures.
inline void processEventsFor(qint64 ms)
{
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(ms), &loop, &QEventLoop::quit);
    loop.exec();
}

// Start as the panel's button does; false when the output did not start.
inline bool startShow(MainWindowTestAccess& access)
{
    emit access.output()->startOutputRequested();
    return access.pipeline()->isOutputRunning();
}

// Stop as the panel's button does and wait until the files are closed.
inline bool stopShow(MainWindowTestAccess& access, qint64 timeoutMs)
{
    bool stopped = false;
    const QMetaObject::Connection c = QObject::connect(access.pipeline(), &FramePipeline::programOutputStopped,
                                                       [&stopped] { stopped = true; });
    emit access.output()->stopOutputRequested();
    QElapsedTimer t;
    t.start();
    while (!stopped && t.elapsed() < timeoutMs)
        processEventsFor(50);
    QObject::disconnect(c);
    return stopped;
}

// The output router's misses so far: frames dropped by the queue bound,
// slots that repeated the last picture, pictures passed over for a newer one.
struct Misses {
    std::uint64_t dropped = 0;
    std::uint64_t repeated = 0;
    std::uint64_t passedOver = 0;

    Misses operator-(const Misses& earlier) const
    {
        return {dropped - earlier.dropped, repeated - earlier.repeated, passedOver - earlier.passedOver};
    }
    QString text() const
    {
        return QString("dropped %1, repeated %2, passed over %3").arg(dropped).arg(repeated).arg(passedOver);
    }
};

inline Misses misses(MainWindowTestAccess& access)
{
    const OutputRouter& router = FramePipelineTestAccess::router(*access.pipeline());
    return {router.droppedFrames(), router.repeatedFrames(), router.passedOverFrames()};
}

} // namespace bench
