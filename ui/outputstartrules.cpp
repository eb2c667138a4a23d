#include "ui/outputstartrules.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace {
constexpr int kMinPumpMs = 1;
constexpr int kMaxPumpMs = 200;
constexpr int kMinSlideMs = 200;
constexpr int kMaxSlideMs = 120000;
} // namespace

bool streamUrlMatchesProtocol(const QString& protocol, const QString& url)
{
    const QString scheme = QUrl(url, QUrl::TolerantMode).scheme().toUpper();
    const QString p = protocol.trimmed().toUpper();
    if (scheme.isEmpty())
        return false;
    if (p == QLatin1String("HTTP"))
        return scheme == QLatin1String("HTTP") || scheme == QLatin1String("HTTPS");
    return scheme == p;
}

QString muxerForProtocol(const QString& protocol)
{
    const QString p = protocol.trimmed();
    if (p.compare(QLatin1String("RTMP"), Qt::CaseInsensitive) == 0
        || p.compare(QLatin1String("RTMPS"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("flv");
    return QStringLiteral("mpegts");
}

QString timestampedRecordingPath(const QString& recordPath, const QDateTime& startTime)
{
    const QFileInfo info(recordPath);
    const QString dir = info.absolutePath();
    const QString base = info.completeBaseName();
    const QString ext = info.suffix();
    const QString stamp = startTime.toString(QStringLiteral("yyyyMMdd_HHmmss"));
    QString name;
    if (!base.isEmpty() && !ext.isEmpty())
        name = base + QLatin1Char('_') + stamp + QLatin1Char('.') + ext;
    else if (!base.isEmpty())
        name = base + QLatin1Char('_') + stamp;
    else if (!ext.isEmpty())
        name = QStringLiteral("output_") + stamp + QLatin1Char('.') + ext;
    else
        name = QStringLiteral("output_") + stamp + QStringLiteral(".mp4");
    return QDir(dir).filePath(name);
}

QString freeRecordingPath(const QString& path, const std::function<bool(const QString&)>& exists)
{
    if (!exists(path))
        return path;
    const QFileInfo info(path);
    const QString base = info.completeBaseName();
    const QString ext = info.suffix();
    for (int n = 2;; ++n) {
        QString name = base + QLatin1Char('_') + QString::number(n);
        if (!ext.isEmpty())
            name += QLatin1Char('.') + ext;
        const QString candidate = QDir(info.path()).filePath(name);
        if (!exists(candidate))
            return candidate;
    }
}

QString normalizeLocalPathForCompare(const QString& path)
{
    return QFileInfo(path).absoluteFilePath().toLower();
}

QString normalizeUrlForCompare(const QUrl& url)
{
    QUrl copy(url);
    copy.setPassword(QString());
    copy.setFragment(QString());
    return copy.toString(QUrl::FullyEncoded | QUrl::RemovePassword).toLower();
}

int imagePumpIntervalMs(double fps)
{
    const double rate = fps >= 1.0 ? fps : 1.0; // also catches NaN
    const long rounded = std::lround(1000.0 / rate);
    return static_cast<int>(std::clamp<long>(rounded, kMinPumpMs, kMaxPumpMs));
}

int clampSlideshowIntervalMs(int intervalMs)
{
    return std::clamp(intervalMs, kMinSlideMs, kMaxSlideMs);
}

QString withoutUrlSecrets(const QString& text)
{
    static const QRegularExpression urlPattern(QStringLiteral(R"(([A-Za-z][A-Za-z0-9+.-]*)://([^\s"'<>]*))"));
    QString out;
    qsizetype last = 0;
    auto it = urlPattern.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        out += text.mid(last, m.capturedStart() - last);
        const QString rest = m.captured(2);
        qsizetype end = rest.size();
        for (QChar stop : {QLatin1Char('/'), QLatin1Char('?'), QLatin1Char('#')}) {
            const qsizetype at = rest.indexOf(stop);
            if (at >= 0 && at < end)
                end = at;
        }
        // Drop user and password, keep host and port.
        out += m.captured(1) + QStringLiteral("://") + rest.left(end).section(QLatin1Char('@'), -1);
        if (end < rest.size())
            out += QStringLiteral("/…");
        last = m.capturedEnd();
    }
    out += text.mid(last);
    return out;
}

QString outputStoppedNotice(const QString& reason, bool chinese)
{
    static const QString kChinesePrefix = QStringLiteral("输出已停止：");
    static const QString kEnglishPrefix = QStringLiteral("Output stopped: ");
    // The engine's only stop reason, and what it says in English.
    static const QString kTransportFailure = QStringLiteral(
        "本地录制写入失败，或 RTMP 在多次自动重连后仍无法恢复（服务器关闭、超时或网络中断）。");
    static const QString kTransportFailureEnglish = QStringLiteral(
        "the recording could not be written, or a stream destination could not be restored after "
        "repeated automatic reconnections (server closed, timeout or network failure).");

    QString detail = withoutUrlSecrets(reason).trimmed();
    if (detail.startsWith(kChinesePrefix))
        detail = detail.mid(kChinesePrefix.size()).trimmed();
    if (chinese)
        return kChinesePrefix + detail;
    if (detail == kTransportFailure)
        detail = kTransportFailureEnglish;
    return kEnglishPrefix + detail;
}
