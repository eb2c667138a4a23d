#include "ui/outputsettingsrules.h"

#include "engine/outputsizepolicy.h"

namespace outputrules {

namespace {

QString pick(bool chinese, const char* english, const char* chineseText)
{
    return QString::fromUtf8(chinese ? chineseText : english);
}

constexpr double kSixtyFpsThreshold = 59.0;
// The recommendation for 1920x1080 at 30 fps: a stored bitrate equal to it
// was most likely written while following.
constexpr int kDefaultRecommendationKbps = 7500;

} // namespace

QString statusColor(const QString& word)
{
    if (word == QLatin1String("online"))
        return QStringLiteral("#55c878");
    if (word == QLatin1String("congested"))
        return QStringLiteral("#ff9f43");
    if (word == QLatin1String("reconnecting"))
        return QStringLiteral("#e6b84a");
    return QStringLiteral("#9aa0aa");
}

QString statusText(const QString& word, bool chinese)
{
    if (word == QLatin1String("online"))
        return pick(chinese, "Online", "在线");
    if (word == QLatin1String("connecting"))
        return pick(chinese, "Connecting", "连接中");
    if (word == QLatin1String("reconnecting"))
        return pick(chinese, "Retrying", "重连中");
    if (word == QLatin1String("congested"))
        return pick(chinese, "Congested", "拥塞");
    if (word == QLatin1String("stopped"))
        return pick(chinese, "Stopped", "已停止");
    return pick(chinese, "Idle", "空闲");
}

QString protocolToolTip(const QString& protocol, bool chinese)
{
    const QString p = protocol.toUpper();
    if (p == QLatin1String("RTMP") || p == QLatin1String("RTMPS") || p == QLatin1String("TCP"))
        return pick(chinese, "Manual SOCKS5 proxy is supported for this protocol.",
                    "此协议支持手动 SOCKS5 代理。");
    if (p == QLatin1String("SRT") || p == QLatin1String("RIST") || p == QLatin1String("UDP")
        || p == QLatin1String("RTP"))
        return pick(chinese,
                    "For proxy routing, enable TUN mode in v2rayN; manual SOCKS5 TCP relay does "
                    "not carry this protocol.",
                    "如需代理转发，请开启 v2rayN 的 TUN 模式；手动 SOCKS5 TCP 转发不承载此协议。");
    return pick(chinese, "Uses the configured HTTP proxy when supported by FFmpeg.",
                "FFmpeg 支持时使用已配置的 HTTP 代理。");
}

QString urlPlaceholder(const QString& protocol, int destinationNumber, bool chinese)
{
    return pick(chinese, "%1 URL %2", "%1 地址 %2").arg(protocol).arg(destinationNumber);
}

QString gainText(int percent)
{
    return QStringLiteral("%1x").arg(percent / 100.0, 0, 'f', 2);
}

bool bitrateFollowsFromStore(bool bitrateStored, int bitrateKbps, bool followStored, bool follow)
{
    if (followStored)
        return follow;
    return !bitrateStored || bitrateKbps == kDefaultRecommendationKbps;
}

int fpsIndexForStored(double fps)
{
    return fps >= kSixtyFpsThreshold ? 1 : 0;
}

int listIndexOrDefault(int stored, int count, int fallback)
{
    return stored >= 0 && stored < count ? stored : fallback;
}

EightKDecision eightKRule(QSize effectiveSize, double fps, bool outputActive, bool chinese)
{
    EightKDecision d;
    d.eightK = recommendEncodingSettings(effectiveSize, fps).over4096;
    const bool sixty = fps >= kSixtyFpsThreshold;
    if (d.eightK) {
        d.forceHardwareEncoder = true;
        d.forcePerformancePreset = sixty;
        d.encoderEnabled = false;
        d.encoderToolTip = pick(chinese, "8K requires hardware HEVC encoding", "8K必须使用硬件HEVC编码");
        if (sixty) {
            d.presetEnabled = false;
            d.presetToolTip = pick(chinese, "8K60 uses the Performance preset to maintain real-time output",
                                   "8K60使用性能预设以保证实时输出");
        } else {
            d.presetEnabled = !outputActive;
        }
    } else {
        d.encoderEnabled = !outputActive;
        d.presetEnabled = !outputActive;
    }
    return d;
}

StartStopLook startStopLook(bool outputActive, bool stopping, bool chinese)
{
    StartStopLook look;
    if (stopping)
        look.text = pick(chinese, "Stopping...", "正在停止...");
    else if (outputActive)
        look.text = pick(chinese, "Stop Output", "停止输出");
    else
        look.text = pick(chinese, "Start Output", "开始输出");

    if (outputActive) {
        look.toolTip = pick(chinese, "Stop writing and close file/stream output", "结束写入并关闭文件与推流连接");
        look.styleSheet = QStringLiteral(
            "QPushButton { background:#5b3434;color:#f4d7d7;border:1px solid #8a5050;border-radius:4px;"
            "padding:5px 12px;font-weight:600; }QPushButton:hover { background:#704040; }"
            "QPushButton:disabled { background:#3a2b2b;color:#8c7474;border-color:#4a3535; }");
    } else {
        look.toolTip = pick(chinese, "Write program output to file and/or stream", "将节目输出写入文件和/或推流");
        look.styleSheet = QStringLiteral(
            "QPushButton { background:#355b3c;color:#d9f4dd;border:1px solid #4f8058;border-radius:4px;"
            "padding:5px 12px;font-weight:600; }QPushButton:hover { background:#41704a; }"
            "QPushButton:disabled { background:#29352c;color:#748778;border-color:#35483a; }");
    }
    return look;
}

} // namespace outputrules
