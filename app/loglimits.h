#pragma once

#include <QByteArray>
#include <QtGlobal>

// Size limits of the log and FFmpeg's log level, taken from the environment.
// A value that is unset, empty, not a base-10 number or out of range leaves
// the default. Plain value type; no threads.
struct LogLimits {
    static constexpr qint64 kDefaultMaxBytes = 20971520;
    static constexpr int kDefaultMaxFiles = 5;
    static constexpr int kMinFiles = 1;
    static constexpr int kMaxFiles = 32;
    static constexpr qint64 kDefaultQueueMax = 20000;
    static constexpr qint64 kMinQueueMax = 1000;
    static constexpr int kDefaultFfmpegLogLevel = 24; // FFmpeg's warning level

    qint64 maxBytes = kDefaultMaxBytes; // rotate once the current file reaches this
    int maxFiles = kDefaultMaxFiles;    // files per start, the current one included
    qint64 queueMax = kDefaultQueueMax; // pending lines before the oldest are dropped

    // From the raw values of QUORB_LOG_MAX_BYTES, QUORB_LOG_MAX_FILES and
    // QUORB_LOG_QUEUE_MAX.
    static LogLimits fromValues(const QByteArray& maxBytes, const QByteArray& maxFiles,
                                const QByteArray& queueMax);
    static LogLimits fromEnvironment();

    // From the raw value of QUORB_AV_LOG_LEVEL.
    static int ffmpegLogLevelFromValue(const QByteArray& value);
    static int ffmpegLogLevelFromEnvironment();
};
