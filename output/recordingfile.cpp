#include "output/recordingfile.h"

#include "output/steadyclock.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <utility>

namespace {

// A recording whose file writes keep failing (a full disk) is given up
// after this many failed writes in a row or this long without a success.
constexpr int kFailureStreakLimit = 150;
constexpr std::int64_t kFailureTimeLimitNs = 5000000000LL;

std::int64_t packetStartUs(const AVPacket* packet, AVRational timeBase)
{
    const std::int64_t t = packet->dts != AV_NOPTS_VALUE ? packet->dts
                           : packet->pts != AV_NOPTS_VALUE ? packet->pts
                                                           : 0;
    return av_rescale_q(t, timeBase, AVRational{1, 1000000});
}

} // namespace

RecordingFile::RecordingFile(const QString& path, const SegmentOptions& segmentOptions)
    : recordPath(path), options(segmentOptions), target(std::make_unique<MuxTarget>())
{
}

RecordingFile::~RecordingFile() { waitForEndedSegment(); }

void RecordingFile::finish()
{
    target->close(true);
    waitForEndedSegment();
}

void RecordingFile::finishInBackground(std::unique_ptr<MuxTarget> ended)
{
    waitForEndedSegment();
    endedSegmentCloser = std::thread([segment = std::move(ended)] { segment->close(true); });
}

void RecordingFile::waitForEndedSegment()
{
    if (endedSegmentCloser.joinable())
        endedSegmentCloser.join();
}

bool RecordingFile::open(const MuxStreams& streams, const MuxOpenOptions& openOptions)
{
    return target->open(segmentFileName(recordPath, options, segmentIndex).toUtf8(), {}, streams, openOptions);
}

bool RecordingFile::rotationDueAt(const AVPacket* packet, bool isVideo, bool closing) const
{
    return isVideo && rotationPending && !closing && (packet->flags & AV_PKT_FLAG_KEY);
}

bool RecordingFile::rotate(const MuxStreams& streams, const MuxOpenOptions& openOptions, const AVPacket* packet,
                           AVRational timeBase, std::int64_t mediaMs)
{
    finishInBackground(std::exchange(target, std::make_unique<MuxTarget>()));
    segmentIndex += 1;
    const QString path = segmentFileName(recordPath, options, segmentIndex);
    if (!target->open(path.toUtf8(), {}, streams, openOptions))
        return false;
    rebaseUs = packetStartUs(packet, timeBase);
    rotationPending = false;
    segmentStartMs = mediaMs;
    qInfo() << "FfmpegEncoderSink: recording segment opened" << path;
    return true;
}

RecordingFile::Written RecordingFile::write(AVPacket* packet, const QueuedPacket& descriptor, std::int64_t mediaMs,
                                            bool closing)
{
    Written result;
    if (descriptor.isVideo && rebaseUs < 0)
        rebaseUs = packetStartUs(packet, descriptor.timeBase);
    if (target->isOpen()) {
        if (rebaseUs >= 0) {
            // Stamps before the file's start stay negative rather than
            // being clamped to 0: several packets stamped 0 would break the
            // stream's order (the encoder's priming audio, audio encoded
            // just after a rotation). The muxer shifts or edits them out as
            // its format needs.
            const std::int64_t offset = av_rescale_q(rebaseUs, AVRational{1, 1000000}, descriptor.timeBase);
            if (packet->pts != AV_NOPTS_VALUE)
                packet->pts -= offset;
            if (packet->dts != AV_NOPTS_VALUE)
                packet->dts -= offset;
        }
        const int r = target->write(packet, descriptor);
        if (r >= 0)
            failureStreak = 0;
        else
            result.givenUp = noteWriteFailure(r, closing);
    }
    if (options.enabled && !rotationPending) {
        const bool durationReached = options.durationMs > 0 && mediaMs - segmentStartMs >= options.durationMs;
        const bool sizeReached =
            !durationReached && options.sizeBytes > 0 && target->bytesWritten() >= options.sizeBytes;
        if (durationReached || sizeReached) {
            rotationPending = true;
            result.keyframeWanted = true;
        }
    }
    return result;
}

bool RecordingFile::noteWriteFailure(int error, bool closing)
{
    failureStreak += 1;
    const std::int64_t now = steadyNowNs();
    if (failureStreak == 1)
        failureSinceNs = now;
    if (failureStreak <= 12 || failureStreak % 200 == 0)
        qWarning() << "FfmpegEncoderSink: file mux write failed (will retry same file, streak" << failureStreak
                   << "):" << av::errorText(error);
    // The same file is retried, but not forever: an operator who is not
    // told would believe a full disk is still recording.
    if (givenUp || closing
        || (failureStreak < kFailureStreakLimit && now - failureSinceNs < kFailureTimeLimitNs))
        return false;
    qWarning() << "FfmpegEncoderSink: recording stopped; file writes keep failing (streak" << failureStreak
               << "):" << av::errorText(error);
    givenUp = true;
    return true;
}

QString RecordingFile::segmentFileName(const QString& recordPath, const SegmentOptions& options, int index)
{
    if (!options.enabled)
        return recordPath;
    const QFileInfo info(recordPath);
    const QString suffix = info.suffix();
    const QString name = QStringLiteral("%1_%2_%3%4")
                             .arg(info.completeBaseName(),
                                  QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss")),
                                  QStringLiteral("%1").arg(index, 3, 10, QLatin1Char('0')),
                                  suffix.isEmpty() ? QString() : QStringLiteral(".") + suffix);
    return QDir(info.absolutePath()).filePath(name);
}
