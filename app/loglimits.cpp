#include "app/loglimits.h"

#include <QString>

#include <limits>
#include <optional>

namespace {

std::optional<qint64> parseInteger(const QByteArray& raw)
{
    if (raw.isEmpty())
        return std::nullopt;
    bool ok = false;
    const qint64 value = QString::fromLatin1(raw).toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

bool fitsInt(qint64 v)
{
    return v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max();
}

} // namespace

LogLimits LogLimits::fromValues(const QByteArray& maxBytes, const QByteArray& maxFiles,
                                const QByteArray& queueMax)
{
    LogLimits limits;
    if (const auto v = parseInteger(maxBytes); v && *v > 0)
        limits.maxBytes = *v;
    if (const auto v = parseInteger(maxFiles); v && fitsInt(*v) && *v >= kMinFiles && *v <= kMaxFiles)
        limits.maxFiles = int(*v);
    if (const auto v = parseInteger(queueMax); v && fitsInt(*v) && *v >= kMinQueueMax)
        limits.queueMax = *v;
    return limits;
}

LogLimits LogLimits::fromEnvironment()
{
    return fromValues(qgetenv("QUORB_LOG_MAX_BYTES"), qgetenv("QUORB_LOG_MAX_FILES"),
                      qgetenv("QUORB_LOG_QUEUE_MAX"));
}

int LogLimits::ffmpegLogLevelFromValue(const QByteArray& value)
{
    bool ok = false;
    const int level = value.toInt(&ok, 10);
    return ok ? level : kDefaultFfmpegLogLevel;
}

int LogLimits::ffmpegLogLevelFromEnvironment()
{
    return ffmpegLogLevelFromValue(qgetenv("QUORB_AV_LOG_LEVEL"));
}
