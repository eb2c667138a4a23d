// A long show through the real main window (offscreen): four channels loop
// 1080p30 clips that carry a white flash and a 1 kHz beep at each whole
// second, the program switches to the next channel every 30 s, and the
// output records in segments and sends to two loopback UDP destinations.
// Figures: resident memory after 5 minutes (half the run when it is
// shorter) and at the end, the router's dropped, repeated and passed-over frames,
// recorded frames against duration x 30, and in the first and the last full
// segment the offset of each beep's onset from its flash's onset, read back
// from the files.
//   bench_soak [seconds, default 3600] [segment minutes, default 10] [pairs]
// ("pairs" prints every flash's time and its beep's offset as well)

#include "bench/benchshow.h"
#include "support/flashbeep.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int kChannels = 4;
constexpr int kClipSeconds = 10;
constexpr int kOutputFps = 30;
constexpr qint64 kSwitchMs = 30000;
constexpr qint64 kMemoryReferenceMs = 300000;
constexpr qint64 kProgressMs = 60000;

// Prints the beep-minus-flash offsets of one file (each pair too when
// `eachPair`); returns their median in ms, NAN when none paired.
double reportSync(const char* label, const QString& path, bool eachPair)
{
    flashbeep::Onsets onsets;
    if (!flashbeep::findOnsets(path, &onsets)) {
        std::printf("%s %s: cannot decode\n", label, qPrintable(QFileInfo(path).fileName()));
        return NAN;
    }
    const std::vector<flashbeep::Pair> pairs = flashbeep::pairOnsets(onsets);
    if (eachPair) {
        for (const flashbeep::Pair& pair : pairs)
            std::printf("  %s flash at %8.3f s: %+7.1f ms\n", label, pair.flashSeconds, pair.offsetMs);
    }
    std::vector<double> offsetsMs;
    for (const flashbeep::Pair& pair : pairs)
        offsetsMs.push_back(pair.offsetMs);
    std::sort(offsetsMs.begin(), offsetsMs.end());
    const double median = offsetsMs.empty() ? NAN : offsetsMs[offsetsMs.size() / 2];
    const double frameMs = 1000.0 / kOutputFps;
    const auto withinFrame = std::count_if(offsetsMs.begin(), offsetsMs.end(),
                                           [frameMs](double ms) { return std::abs(ms) <= frameMs; });
    std::printf("%s %s (%.1f s): %zu flashes, %zu beeps, %zu paired, %lld of them within one frame; audio minus "
                "video median %+.1f ms, range %+.1f .. %+.1f ms\n",
                label, qPrintable(QFileInfo(path).fileName()), bench::durationOf(path), onsets.flashes.size(),
                onsets.beeps.size(), offsetsMs.size(), static_cast<long long>(withinFrame), median,
                offsetsMs.empty() ? NAN : offsetsMs.front(), offsetsMs.empty() ? NAN : offsetsMs.back());
    return median;
}

QString makeClip(const QString& dir, int channel)
{
    const QString clip = QString("%1/flash%2.mp4").arg(dir).arg(channel);
    const bool ok = bench::runFfmpeg(QStringList{"-y", "-v", "error"}
                                     + flashbeep::clipArguments(1920, 1080, kOutputFps, kClipSeconds, channel * 90, clip));
    return ok ? clip : QString();
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    bench::usePrivateHome(home);
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? qMax(60, atoi(argv[1])) : 3600;
    const int segmentMinutes = argc > 2 ? qMax(1, atoi(argv[2])) : 10;
    const bool eachPair = argc > 3 && QByteArray(argv[3]) == "pairs";
    const QString dir = home.path();
    const QString recordDir = dir + "/rec";
    QDir().mkpath(recordDir);

    QStringList clips;
    for (int i = 0; i < kChannels; ++i) {
        clips << makeClip(dir, i);
        if (clips.last().isEmpty()) {
            std::fprintf(stderr, "fixture failed\n");
            return 1;
        }
    }

    bench::ShowOutput output;
    output.recordPath = recordDir + "/soak.mp4";
    output.segments = true;
    output.udpPorts = {29301, 29302};
    bench::seedOutputSettings(output);

    auto* window = new MainWindow;
    MainWindowTestAccess access(*window);
    OutputSettingsWidgetTestAccess::setSegmentMinutes(*access.output(), segmentMinutes);
    for (int i = 0; i < kChannels; ++i) {
        access.strips()[i]->setLoopEnabled(true);
        access.strips()[i]->setSource(clips[i]);
    }
    access.switchTo(0);
    bench::processEventsFor(2000);

    if (!bench::startShow(access)) {
        std::fprintf(stderr, "output did not start\n");
        return 1;
    }
    const qint64 memoryReferenceMs = std::min<qint64>(kMemoryReferenceMs, seconds * 1000LL / 2);
    bench::Resident memoryReference;
    QElapsedTimer wall;
    wall.start();
    int channel = 0;
    qint64 nextSwitchMs = kSwitchMs;
    qint64 nextProgressMs = kProgressMs;
    while (wall.elapsed() < seconds * 1000LL) {
        bench::processEventsFor(50);
        const qint64 now = wall.elapsed();
        if (now >= nextSwitchMs) {
            channel = (channel + 1) % kChannels;
            access.switchTo(channel);
            nextSwitchMs += kSwitchMs;
        }
        if (memoryReference.total < 0 && now >= memoryReferenceMs)
            memoryReference = bench::resident();
        if (now >= nextProgressMs) {
            const bench::Resident r = bench::resident();
            std::fprintf(stderr, "%lld s: resident %ld KiB (%ld in huge pages), %s\n", now / 1000, r.total,
                         r.hugePages, qPrintable(bench::misses(access).text()));
            nextProgressMs += kProgressMs;
        }
    }
    const bench::Resident end = bench::resident();
    const double showSeconds = wall.elapsed() / 1000.0;
    const bench::Misses missed = bench::misses(access);
    if (!bench::stopShow(access, 60000))
        std::fprintf(stderr, "output did not stop within 60 s\n");
    delete window;

    QStringList segments;
    for (const QFileInfo& info : QDir(recordDir).entryInfoList({"*.mp4"}, QDir::Files, QDir::Name))
        segments << info.absoluteFilePath();
    qint64 recorded = 0;
    for (const QString& segment : segments)
        recorded += bench::frameCount(segment);

    std::printf("soak through the window: %.1f s, %d-minute segments: %lld files, recorded %lld frames of %.0f "
                "expected, %s\n",
                showSeconds, segmentMinutes, static_cast<long long>(segments.size()),
                static_cast<long long>(recorded), showSeconds * kOutputFps, qPrintable(missed.text()));
    const bench::Resident& ref = memoryReference;
    std::printf("resident memory: %ld KiB after %lld s, %ld KiB at the end (%+.2f %%); without huge pages %ld and "
                "%ld KiB (%+.2f %%)\n",
                ref.total, memoryReferenceMs / 1000, end.total, 100.0 * double(end.total - ref.total) / double(ref.total),
                ref.withoutHugePages(), end.withoutHugePages(),
                100.0 * double(end.withoutHugePages() - ref.withoutHugePages()) / double(ref.withoutHugePages()));
    reportSync("source clip", clips.first(), eachPair);
    if (segments.isEmpty()) {
        std::printf("no recording\n");
        return 1;
    }
    const double firstMs = reportSync("first segment", segments.first(), eachPair);
    // The stop leaves a short last file; the drift is read from the last
    // one that ran its whole length (at least half of it).
    QString lastFull = segments.first();
    for (const QString& segment : segments) {
        if (bench::durationOf(segment) >= segmentMinutes * 30.0)
            lastFull = segment;
    }
    const double lastMs = reportSync("last full segment", lastFull, eachPair);
    std::printf("drift of the median from the first to the last full segment: %+.1f ms (frame interval %.1f ms)\n",
                lastMs - firstMs, 1000.0 / kOutputFps);
    return 0;
}
