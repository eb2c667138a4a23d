// GUI-thread cost of the record-gain slider of the output settings panel:
// saving the panel's settings through QSettings rewrites and syncs the
// settings file on the thread that also composes program frames. Measured
// while a 1080p recording (ffmpeg, libx264) writes to the same disk, beside a
// QSaveFile write of the same bytes in the same run, and shown as a share of
// the 33 ms frame interval: one save (what every step cost before the saves
// were coalesced), one step of a drag, and the save when the drag ends.
//
//   bench_outputsettingssave [steps]

#include "app/settingsstore.h"
#include "ui/outputsettingswidget.h"
#include "ui/uitheme.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QSettings>
#include <QSlider>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr double kFrameIntervalMs = 1000.0 / 30.0;

struct Figures {
    double median = 0;
    double p95 = 0;
    double max = 0;
};

Figures figuresOf(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    Figures f;
    f.median = ms[ms.size() / 2];
    f.p95 = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
    f.max = ms.back();
    return f;
}

void print(const char* what, const Figures& f)
{
    std::printf("%-28s median %7.3f ms (%5.1f%% of a frame)  p95 %7.3f ms (%5.1f%%)  max %7.3f ms (%5.1f%%)\n", what,
                f.median, 100 * f.median / kFrameIntervalMs, f.p95, 100 * f.p95 / kFrameIntervalMs, f.max,
                100 * f.max / kFrameIntervalMs);
}

} // namespace

int main(int argc, char** argv)
{
    // A private settings folder beside the recording, so the bench never
    // touches the user's own settings and both write to the same disk.
    QTemporaryDir home(QDir::currentPath() + "/bench-settings-XXXXXX");
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initQuorbelResources();
    const int steps = argc > 1 ? std::max(20, atoi(argv[1])) : 300;

    QProcess recorder;
    recorder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    recorder.start("ffmpeg", {"-v", "error", "-re", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30", "-c:v",
                              "libx264", "-preset", "veryfast", "-b:v", "12M", "-y", home.filePath("recording.mp4")});
    if (!recorder.waitForStarted(5000)) {
        std::fprintf(stderr, "ffmpeg did not start\n");
        return 1;
    }
    QThread::msleep(2000); // let the recording reach its steady write rate

    OutputSettingsWidget panel;
    auto* gain = panel.findChild<QSlider*>();
    std::vector<double> saves;
    std::vector<double> dragSteps;
    std::vector<double> releases;
    std::vector<double> saveFileWrites;
    QSettings probe(settingsstore::kOrganisation, settingsstore::kApplication);
    const QString settingsFile = probe.fileName();
    QElapsedTimer t;
    for (int i = 0; i < steps; ++i) {
        // A click in the groove: press, one step, release (one save).
        t.start();
        gain->setSliderDown(true);
        gain->setValue(100 + (i % 2 ? 1 : 2) + (i % 50));
        gain->setSliderDown(false);
        saves.push_back(t.nsecsElapsed() / 1e6);

        gain->setSliderDown(true);
        t.start();
        gain->setValue(gain->value() + 1);
        dragSteps.push_back(t.nsecsElapsed() / 1e6);
        t.start();
        gain->setSliderDown(false);
        releases.push_back(t.nsecsElapsed() / 1e6);

        QFile f(settingsFile);
        f.open(QIODevice::ReadOnly);
        const QByteArray bytes = f.readAll();
        t.start();
        QSaveFile out(home.filePath("reference.conf"));
        out.open(QIODevice::WriteOnly);
        out.write(bytes);
        out.commit();
        saveFileWrites.push_back(t.nsecsElapsed() / 1e6);
        QThread::msleep(10); // a dragged slider steps every few frames at most
    }
    recorder.kill();
    recorder.waitForFinished(3000);

    const Figures saveFigures = figuresOf(saves);
    const Figures referenceFigures = figuresOf(saveFileWrites);
    std::printf("%d rounds, settings file %lld bytes, 1080p recording writing to the same disk\n", steps,
                static_cast<long long>(QFileInfo(settingsFile).size()));
    print("one save (QSettings)", saveFigures);
    print("one step of a drag", figuresOf(dragSteps));
    print("end of a drag (one save)", figuresOf(releases));
    print("QSaveFile, same bytes", referenceFigures);
    std::printf("ratio save / QSaveFile: median %.2f, p95 %.2f\n",
                saveFigures.median / std::max(1e-6, referenceFigures.median),
                saveFigures.p95 / std::max(1e-6, referenceFigures.p95));
    return 0;
}
