// GUI-thread cost of importing an arrangement file into the editor window:
// reading the file, parseArrangement and loadArrangement (one row widget per
// clip), with 100 and 1000 clips in each list, beside parseArrangement of the
// same bytes alone in the same run. The import runs on the thread that also
// composes program frames, so the figures are also given in frames (33 ms).
// "settled" adds what the next turn of the event loop does for it: deleting
// the rows it replaced and laying out the new ones in the shown window.
//
//   bench_arrangementimport [repetitions]

#include "schedule/arrangementfile.h"
#include "schedule/programarrangementwindow.h"
#include "ui/uitheme.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr double kFrameIntervalMs = 1000.0 / 30.0;

double median(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// rows clips per list: channel clips with a video, overlays cycling through
// text, video and image, one minute each.
ProgramArrangement arrangementOf(int rows, const QString& media)
{
    ProgramArrangement a;
    a.timelineZero = QStringLiteral("2026-03-01 12:00:00");
    for (int i = 0; i < rows; ++i) {
        SceneClip scene;
        scene.id = QStringLiteral("s%1").arg(i);
        scene.startMs = i * 60000LL;
        scene.endMs = (i + 1) * 60000LL;
        scene.channel = i % 4;
        scene.sceneVideoPath = media;
        a.sceneClips.append(scene);

        OverlayClip overlay;
        overlay.id = QStringLiteral("o%1").arg(i);
        overlay.startMs = i * 60000LL;
        overlay.endMs = (i + 1) * 60000LL;
        overlay.overlayKind = i % 3;
        overlay.path = overlay.overlayKind == OverlayClipKind::Text ? QString() : media;
        overlay.x = 0.1;
        overlay.y = 0.1;
        overlay.w = 0.25;
        overlay.h = 0.25;
        overlay.textData.text = QStringLiteral("Caption %1").arg(i);
        a.overlayClips.append(overlay);
    }
    return a;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    initQuorbelResources();
    const int repetitions = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    const QString media = home.filePath("clip.mp4");
    {
        QFile file(media);
        file.open(QIODevice::WriteOnly);
        file.write("stand-in");
    }

    std::printf("%-6s %9s %12s %12s %12s %8s\n", "rows", "bytes", "parse ms", "import ms", "settled ms",
                "ratio");
    for (const int rows : {100, 1000}) {
        const QByteArray bytes = serializeArrangement(arrangementOf(rows, media));
        const QString path = home.filePath(QStringLiteral("arrangement_%1.json").arg(rows));
        {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(bytes);
        }

        std::vector<double> parseMs;
        for (int i = 0; i < repetitions * 4; ++i) {
            QElapsedTimer clock;
            clock.start();
            QString error;
            bool ok = false;
            const ProgramArrangement parsed = parseArrangement(bytes, &error, &ok);
            parseMs.push_back(clock.nsecsElapsed() / 1e6);
            if (!ok || parsed.sceneClips.size() != rows) {
                std::fprintf(stderr, "parse failed: %s\n", qPrintable(error));
                return 1;
            }
        }

        ProgramArrangementWindow window(nullptr, nullptr);
        window.show();
        QCoreApplication::processEvents();
        std::vector<double> importMs;
        std::vector<double> settledMs;
        for (int i = 0; i < repetitions; ++i) {
            QElapsedTimer clock;
            clock.start();
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            const QByteArray read = file.readAll();
            QString error;
            bool ok = false;
            const ProgramArrangement parsed = parseArrangement(read, &error, &ok);
            window.loadArrangement(parsed);
            importMs.push_back(clock.nsecsElapsed() / 1e6);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QCoreApplication::processEvents();
            settledMs.push_back(clock.nsecsElapsed() / 1e6);
        }

        const double parse = median(parseMs);
        const double import = median(importMs);
        const double settled = median(settledMs);
        std::printf("%-6d %9lld %12.2f %12.2f %12.2f %7.0fx   (import %.1f frames, settled %.1f frames)\n", rows,
                    static_cast<long long>(bytes.size()), parse, import, settled, import / parse,
                    import / kFrameIntervalMs, settled / kFrameIntervalMs);
    }
    return 0;
}
