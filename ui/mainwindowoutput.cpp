// Starting and stopping the program output: the checks before a start, the
// recording file's name, the pipeline's reports, and the check that keeps a
// channel from reading what the program is being written to.

#include "ui/mainwindow.h"

#include "engine/compositioncontroller.h"
#include "engine/framepipeline.h"
#include "output/streamtarget.h"
#include "ui/outputsettingswidget.h"
#include "ui/outputstartrules.h"
#include "ui/styledwarning.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>

namespace {

QString pick(int language, const char* chinese, const char* english)
{
    return language == MainWindow::kChinese ? QString::fromUtf8(chinese) : QString::fromUtf8(english);
}

const char* const kStartFailedZh =
    "无法开始推流/输出。\n\n若日志出现 RTMP_Connect0 / 10060，说明本机 TCP 连不上推流服务器（国内访问 YouTube 的 "
    "rtmp://:1935 很常见）。可尝试：\n• 开启代理/VPN 的 TUN 模式\n• 或改用 rtmps://…（YouTube 支持 443 端口 RTMPS）\n"
    "• 确认推流密钥正确，且 YouTube Studio 已开启直播";
const char* const kStartFailedEn =
    "Unable to start stream/output.\n\nIf the log shows RTMP_Connect0 / 10060, the PC cannot TCP-reach the server "
    "(common for YouTube rtmp://:1935). Try:\n• Use a VPN/proxy in TUN mode\n• Or paste rtmps://… (YouTube supports "
    "RTMPS on port 443)\n• Confirm the stream key and that Live is enabled in YouTube Studio";

bool isRtmpProtocol(const QString& protocol)
{
    const QString p = protocol.trimmed();
    return p.compare(QLatin1String("RTMP"), Qt::CaseInsensitive) == 0
        || p.compare(QLatin1String("RTMPS"), Qt::CaseInsensitive) == 0;
}

} // namespace

std::vector<StreamTarget> MainWindow::collectStreamTargets() const
{
    std::vector<StreamTarget> targets;
    if (!outputSettings)
        return targets;
    for (int i = 0; i < outputSettings->streamDestinationCount(); ++i) {
        if (!outputSettings->streamDestinationEnabled(i))
            continue;
        const QString url = outputSettings->streamUrl(i).trimmed();
        const QString protocol = outputSettings->streamProtocol(i);
        if (!url.isEmpty() && streamUrlMatchesProtocol(protocol, url))
            targets.push_back(StreamTarget{url, muxerForProtocol(protocol), i});
    }
    return targets;
}

void MainWindow::applyOutputTargetsToPipeline()
{
    if (!framePipeline || !outputSettings || framePipeline->isOutputRunning())
        return;
    framePipeline->setOutputPath(outputSettings->fileRecordingEnabled() ? outputSettings->outputFilePath().trimmed()
                                                                        : QString());
    framePipeline->setStreamTargets(collectStreamTargets());
}

void MainWindow::startOutput()
{
    if (!framePipeline || !outputSettings)
        return;
    const QString title = pick(uiLanguage, "输出", "Output");
    for (int i = 0; i < outputSettings->streamDestinationCount(); ++i) {
        if (!outputSettings->streamDestinationEnabled(i))
            continue;
        const QString protocol = outputSettings->streamProtocol(i);
        if (!streamUrlMatchesProtocol(protocol, outputSettings->streamUrl(i).trimmed())) {
            showStyledWarning(this, title,
                              pick(uiLanguage, "第 %1 路需要使用 %2:// 地址。", "Stream %1 expects a %2:// URL.")
                                  .arg(i + 1)
                                  .arg(protocol.toLower()));
            return;
        }
    }
    framePipeline->setOutputResolutionSelection(outputSettings->outputWidth(), outputSettings->outputHeight());
    const QString recordPath = outputSettings->outputFilePath().trimmed();
    const std::vector<StreamTarget> targets = collectStreamTargets();
    const bool recording = outputSettings->fileRecordingEnabled();
    if (targets.empty() && !recording) {
        showStyledWarning(this, title,
                          pick(uiLanguage, "请填写输出文件路径或推流地址，并至少勾选一个输出目标。",
                               "Please fill output file path or stream URL, and select at least one output target."));
        return;
    }
    const QSize size = framePipeline->lockOutputResolution();
    if (size.width() < 1 || size.height() < 1) {
        showStyledWarning(this, title,
                          pick(uiLanguage, "当前产品版本不支持所选分辨率。",
                               "The selected resolution is not available in this product edition."));
        return;
    }
    const bool over4096 = framePipeline->effectiveOutput().recommendation.over4096;
    if (over4096) {
        for (int i = 0; i < outputSettings->streamDestinationCount(); ++i) {
            if (outputSettings->streamDestinationEnabled(i) && isRtmpProtocol(outputSettings->streamProtocol(i))) {
                showStyledWarning(
                    this, title,
                    pick(uiLanguage,
                         "8K 输出使用 HEVC。标准 RTMP 服务仅接收 H.264。\n请使用支持 HEVC 的 SRT 目标，或录制为 MP4/MKV。",
                         "8K output uses HEVC. Standard RTMP services accept H.264 only.\nUse a HEVC-capable SRT "
                         "destination or record to MP4/MKV."));
                framePipeline->unlockOutputResolution();
                return;
            }
        }
    }
    applyEncodingSettingsToPipeline();

    QString path;
    if (recording && !recordPath.isEmpty()) {
        // Two starts within one second would get the same name; the second
        // must not truncate the first.
        path = freeRecordingPath(timestampedRecordingPath(recordPath, QDateTime::currentDateTime()),
                                 [](const QString& p) { return QFileInfo::exists(p); });
    }
    framePipeline->setOutputPath(path);
    framePipeline->setStreamTargets(targets);
    const bool ok = framePipeline->startOutputs();
    outputSettings->setOutputActive(ok);
    if (ok) {
        activeRecordingPath = path;
        if (inImageMode()) {
            syncChannelSources();
            lastRecomposeMs = 0;
            if (slideshowTimer && slideshowTimer->isActive())
                slideshowTimer->start();
            imagePtsClock.restart();
            lastImagePtsUs = -1;
            framePipeline->submitImageFrame(currentSlideshowImage(), nextImageFramePts());
            updateImagePumpTimer();
        } else {
            updateIdleProgram();
            framePipeline->recomposeProgram();
        }
        return;
    }
    QString text;
    if (over4096)
        text = pick(uiLanguage, "所选的8K硬件HEVC编码器不可用，请更新显卡驱动或使用支持8K编码的显卡。\n\n",
                    "The selected 8K hardware HEVC encoder is unavailable. Update the GPU driver or choose a "
                    "supported GPU.\n\n");
    text += pick(uiLanguage, kStartFailedZh, kStartFailedEn);
    showStyledWarning(this, title, text);
}

void MainWindow::stopOutput()
{
    if (!framePipeline || !outputSettings)
        return;
    stopImagePump();
    outputSettings->setStopping(true);
    framePipeline->stopOutputsAsync();
}

void MainWindow::onProgramOutputStopped()
{
    activeRecordingPath.clear();
    if (outputSettings)
        outputSettings->setOutputActive(false);
}

void MainWindow::onProgramOutputTransportFailed(const QString& reason)
{
    if (outputSettings)
        outputSettings->setStopping(true);
    lastRecomposeMs = 0;
    stopImagePump();
    const QString safeReason = withoutUrlSecrets(reason);
    qWarning() << "programOutputTransportFailed:" << safeReason;
    // The show stopped without the operator asking: say why.
    showFailureNotice(outputStoppedNotice(reason, uiLanguage == kChinese));
}

void MainWindow::onProgramStreamStatusChanged(int index, const QString& status)
{
    if (outputSettings)
        outputSettings->setStreamStatus(index, status);
}

bool MainWindow::checkInputOutputConflict(const QString& source, OutputSettingsWidget* settings, QString* error) const
{
    if (!settings || source.isEmpty())
        return false;
    const bool deviceScheme = source.startsWith(QLatin1String("dshow://"), Qt::CaseInsensitive)
        || source.startsWith(QLatin1String("desktop://"), Qt::CaseInsensitive)
        || source.startsWith(QLatin1String("wgc://"), Qt::CaseInsensitive);
    const QUrl url = deviceScheme ? QUrl(source, QUrl::StrictMode) : QUrl::fromUserInput(source);
    if (!url.isValid())
        return false;
    const QString inputPath = url.isLocalFile() ? normalizeLocalPathForCompare(url.toLocalFile()) : QString();
    const QString inputKey = normalizeUrlForCompare(url);
    auto fail = [error](const char* text) {
        if (error)
            *error = QString::fromUtf8(text);
        return true;
    };

    // The file being written right now carries the start time in its name,
    // so the configured path alone does not catch it.
    if (!inputPath.isEmpty() && !activeRecordingPath.isEmpty()
        && inputPath == normalizeLocalPathForCompare(activeRecordingPath))
        return fail("输入源不能与当前录制的输出文件相同。");

    if (settings->fileRecordingEnabled()) {
        const QString r = settings->outputFilePath().trimmed();
        if (!r.isEmpty()) {
            const QUrl u = QUrl::fromUserInput(r);
            if (u.isLocalFile()) {
                if (!inputPath.isEmpty() && inputPath == normalizeLocalPathForCompare(u.toLocalFile()))
                    return fail("输入源不能与当前录制的输出文件相同。");
            } else if (!inputKey.isEmpty() && inputKey == normalizeUrlForCompare(u)) {
                return fail("输入源不能与当前录制的输出地址相同。");
            }
        }
    }
    for (int i = 0; i < settings->streamDestinationCount(); ++i) {
        if (!settings->streamDestinationEnabled(i))
            continue;
        const QString s = settings->streamUrl(i).trimmed();
        if (s.isEmpty())
            continue;
        const QUrl u = QUrl::fromUserInput(s);
        if (u.isLocalFile()) {
            if (!inputPath.isEmpty() && inputPath == normalizeLocalPathForCompare(u.toLocalFile()))
                return fail("输入源不能与已勾选的推流地址（文件目标）相同。");
        } else if (!inputKey.isEmpty() && inputKey == normalizeUrlForCompare(u)) {
            return fail("输入源不能与已勾选的推流地址相同。");
        }
    }
    return false;
}
