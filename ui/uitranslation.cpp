#include "ui/uitranslation.h"

#include <QRegularExpression>

namespace uitranslation {

namespace {

const QString kChannelEnglish = QStringLiteral("Channel ");
const QString kChannelChinese = QStringLiteral("通道");

// "Channel N" <-> "通道N": the rest after the prefix, trimmed, must be a
// decimal int; it is written back without leading zeros.
bool convertChannelName(const QString& text, bool chinese, QString* out)
{
    const QString& prefix = chinese ? kChannelEnglish : kChannelChinese;
    if (!text.startsWith(prefix))
        return false;
    bool ok = false;
    const int n = text.mid(prefix.size()).trimmed().toInt(&ok, 10);
    if (!ok)
        return false;
    *out = (chinese ? QStringLiteral("通道%1") : QStringLiteral("Channel %1")).arg(n);
    return true;
}

bool convertByPattern(const QString& text, bool chinese, QString* out)
{
    if (convertChannelName(text, chinese, out))
        return true;

    // Image counts and folder names with their counts, as the slideshow and
    // the arrangement editor show them.
    if (chinese) {
        QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^\\((\\d+) images\\)$")).match(text);
        if (m.hasMatch()) {
            *out = QStringLiteral("（%1 张图片）").arg(m.captured(1));
            return true;
        }
        m = QRegularExpression(QStringLiteral("^(.+) \\((\\d+) images\\)$")).match(text);
        if (m.hasMatch()) {
            *out = QStringLiteral("%1（%2 张）").arg(m.captured(1), m.captured(2));
            return true;
        }
        m = QRegularExpression(QStringLiteral("^(.+) \\(legacy folder, no available image\\)$")).match(text);
        if (m.hasMatch()) {
            *out = QStringLiteral("%1（旧版目录，无可用图片）").arg(m.captured(1));
            return true;
        }
        return false;
    }
    QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^（\\s*(\\d+)\\s*张图片）$")).match(text);
    if (m.hasMatch()) {
        *out = QStringLiteral("(%1 images)").arg(m.captured(1));
        return true;
    }
    m = QRegularExpression(QStringLiteral("^(.+)（\\s*(\\d+)\\s*张）$")).match(text);
    if (m.hasMatch()) {
        *out = QStringLiteral("%1 (%2 images)").arg(m.captured(1), m.captured(2));
        return true;
    }
    m = QRegularExpression(QStringLiteral("^(.+)（旧版目录，无可用图片）$")).match(text);
    if (m.hasMatch()) {
        *out = QStringLiteral("%1 (legacy folder, no available image)").arg(m.captured(1));
        return true;
    }
    return false;
}

} // namespace

const QList<UiTextPair>& uiTextTable()
{
    // {Chinese, English}
    static const QList<UiTextPair> table{
        {QStringLiteral("叠加"), QStringLiteral("Overlay")},
        {QStringLiteral("输出"), QStringLiteral("Output")},
        {QStringLiteral("叠 1"), QStringLiteral("OL 1")},
        {QStringLiteral("叠 2"), QStringLiteral("OL 2")},
        {QStringLiteral("叠 3"), QStringLiteral("OL 3")},
        {QStringLiteral("叠 4"), QStringLiteral("OL 4")},
        {QStringLiteral("颜色选择"), QStringLiteral("Pick Color")},
        {QStringLiteral("画笔"), QStringLiteral("Pen")},
        {QStringLiteral("直线"), QStringLiteral("Line")},
        {QStringLiteral("矩形"), QStringLiteral("Rectangle")},
        {QStringLiteral("椭圆"), QStringLiteral("Ellipse")},
        {QStringLiteral("多边形"), QStringLiteral("Polygon")},
        {QStringLiteral("曲线"), QStringLiteral("Curve")},
        {QStringLiteral("撤销"), QStringLiteral("Undo")},
        {QStringLiteral("清除"), QStringLiteral("Clear")},
        {QStringLiteral("保存"), QStringLiteral("Save")},
        {QStringLiteral("保存PNG"), QStringLiteral("Save PNG")},
        {QStringLiteral("新建画板"), QStringLiteral("New Canvas")},
        {QStringLiteral("输入设备"), QStringLiteral("Input Device")},
        {QStringLiteral("本地文件"), QStringLiteral("Local File")},
        {QStringLiteral("预览输出"), QStringLiteral("To Output Preview")},
        {QStringLiteral("视频叠加"), QStringLiteral("Video Overlay")},
        {QStringLiteral("文字叠加"), QStringLiteral("Text Overlay")},
        {QStringLiteral("图片播放"), QStringLiteral("Image Playback")},
        {QStringLiteral("调音台"), QStringLiteral("Audio Mixer")},
        {QStringLiteral("输出设置"), QStringLiteral("Output Settings")},
        {QStringLiteral("输出预览"), QStringLiteral("Output Preview")},
        {QStringLiteral("节目编排"), QStringLiteral("Program Scheduling")},
        {QStringLiteral("添加视频"), QStringLiteral("Add Video")},
        {QStringLiteral("添加图片"), QStringLiteral("Add Image")},
        {QStringLiteral("全部叠加"), QStringLiteral("Apply All")},
        {QStringLiteral("清除全部"), QStringLiteral("Clear All")},
        {QStringLiteral("选择视频"), QStringLiteral("Select Video")},
        {QStringLiteral("选择图片"), QStringLiteral("Select Image")},
        {QStringLiteral("基准时间"), QStringLiteral("Base Time")},
        {QStringLiteral("基底片段"), QStringLiteral("Base Clips")},
        {QStringLiteral("叠加片段"), QStringLiteral("Overlay Clips")},
        {QStringLiteral("＋ 添加基底片段"), QStringLiteral("+ Add Base Clip")},
        {QStringLiteral("＋ 添加叠加片段"), QStringLiteral("+ Add Overlay Clip")},
        {QStringLiteral("清空"), QStringLiteral("Clear")},
        {QStringLiteral("检查编排"), QStringLiteral("Check Schedule")},
        {QStringLiteral("高级设置"), QStringLiteral("Advanced")},
        {QStringLiteral("未运行"), QStringLiteral("Ready")},
        {QStringLiteral("运行中"), QStringLiteral("Running")},
        {QStringLiteral("基底 0  |  叠加 0"), QStringLiteral("Base 0  |  Overlay 0")},
        {QStringLiteral("导入 JSON…"), QStringLiteral("Import JSON...")},
        {QStringLiteral("导出 JSON…"), QStringLiteral("Export JSON...")},
        {QStringLiteral("开始编排"), QStringLiteral("Start Schedule")},
        {QStringLiteral("停止编排"), QStringLiteral("Stop Schedule")},
        {QStringLiteral("开始"), QStringLiteral("Start")},
        {QStringLiteral("结束"), QStringLiteral("End")},
        {QStringLiteral("持续"), QStringLiteral("Open End")},
        {QStringLiteral("间隔"), QStringLiteral("Interval")},
        {QStringLiteral("目录"), QStringLiteral("Folder")},
        {QStringLiteral("视频"), QStringLiteral("Video")},
        {QStringLiteral("删除"), QStringLiteral("Delete")},
        {QStringLiteral("图片"), QStringLiteral("Image")},
        {QStringLiteral("文字"), QStringLiteral("Text")},
        {QStringLiteral("叠加"), QStringLiteral("Overlay")},
        {QStringLiteral("叠加文字内容"), QStringLiteral("Overlay text content")},
        {QStringLiteral("文字特效…"), QStringLiteral("Text Effects...")},
        {QStringLiteral("选择视频…"), QStringLiteral("Select Video...")},
        {QStringLiteral("选择图片…"), QStringLiteral("Select Image...")},
        {QStringLiteral("视频文件路径 / 单张叠加图片路径"), QStringLiteral("Video file path / single overlay image path")},
        {QStringLiteral("文字滚动"), QStringLiteral("Text Scroll")},
        {QStringLiteral("横向滚动"), QStringLiteral("Horizontal Scroll")},
        {QStringLiteral("方向"), QStringLiteral("Direction")},
        {QStringLiteral("无"), QStringLiteral("None")},
        {QStringLiteral("左→右"), QStringLiteral("Left -> Right")},
        {QStringLiteral("右→左"), QStringLiteral("Right -> Left")},
        {QStringLiteral("导入"), QStringLiteral("Import")},
        {QStringLiteral("导出"), QStringLiteral("Export")},
        {QStringLiteral("错误"), QStringLiteral("Error")},
        {QStringLiteral("编排"), QStringLiteral("Arrangement")},
        {QStringLiteral("提示"), QStringLiteral("Notice")},
        {QStringLiteral("时"), QStringLiteral("h")},
        {QStringLiteral("分"), QStringLiteral("m")},
        {QStringLiteral("秒"), QStringLiteral("s")},
        {QStringLiteral("图片目录"), QStringLiteral("Image Folder")},
        {QStringLiteral("浏览目录"), QStringLiteral("Browse")},
        {QStringLiteral("播放图片"), QStringLiteral("Play Images")},
        {QStringLiteral("停止播放"), QStringLiteral("Stop Playback")},
        {QStringLiteral("循环：开 — 轮播结束后从首张继续；再点此按钮可关闭"), QStringLiteral("Loop ON - continue from first image after last one; click again to disable")},
        {QStringLiteral("循环：关 — 播完最后一张后自动停止；再点此按钮可开启"), QStringLiteral("Loop OFF - stop automatically after last image; click again to enable")},
        {QStringLiteral("按间隔轮播列表中的图片；再次点击停止"), QStringLiteral("Play images in list by interval; click again to stop")},
        {QStringLiteral("结束图片轮播并恢复无基底画面"), QStringLiteral("Stop image playback and return to no-base scene")},
        {QStringLiteral("叠加本地监听音量（与调音台主预览/叠加预览推子独立）"), QStringLiteral("Overlay local monitor volume (independent from mixer preview faders)")},
        {QStringLiteral("叠加循环（与通道 ⟲ 不同）"), QStringLiteral("Overlay loop (independent from channel loop)")},
        {QStringLiteral("取消叠加"), QStringLiteral("Detach Overlay")},
        {QStringLiteral("叠加到节目输出"), QStringLiteral("Attach to Program Output")},
        {QStringLiteral("应用图片叠加"), QStringLiteral("Apply Image Overlay")},
        {QStringLiteral("移除图片叠加"), QStringLiteral("Remove Image Overlay")},
        {QStringLiteral("图片叠加透明度"), QStringLiteral("Image overlay opacity")},
        {QStringLiteral("开始时间"), QStringLiteral("Start time")},
        {QStringLiteral("结束时间"), QStringLiteral("End time")},
        {QStringLiteral("循环"), QStringLiteral("Loop")},
        {QStringLiteral("持续到手动停止"), QStringLiteral("Continue until stopped manually")},
        {QStringLiteral("（%1 张图片）"), QStringLiteral("(%1 images)")},
        {QStringLiteral("图片目录路径"), QStringLiteral("Image folder path")},
        {QStringLiteral("视频文件路径"), QStringLiteral("Video file path")},
        {QStringLiteral("选择图片目录"), QStringLiteral("Select image folder")},
        {QStringLiteral("%1（%2 张）"), QStringLiteral("%1 (%2 images)")},
        {QStringLiteral("选择视频文件"), QStringLiteral("Select video file")},
        {QStringLiteral("视频 (*.mp4 *.avi *.mov *.mkv);;所有文件 (*)"), QStringLiteral("Video (*.mp4 *.avi *.mov *.mkv);;All Files (*)")},
        {QStringLiteral("字幕"), QStringLiteral("Subtitle")},
        {QStringLiteral("选择叠加视频"), QStringLiteral("Select overlay video")},
        {QStringLiteral("选择叠加图片"), QStringLiteral("Select overlay image")},
        {QStringLiteral("图片 (*.png *.jpg *.jpeg *.bmp *.webp *.gif);;所有文件 (*)"), QStringLiteral("Image (*.png *.jpg *.jpeg *.bmp *.webp *.gif);;All Files (*)")},
        {QStringLiteral("%1（旧版目录，无可用图片）"), QStringLiteral("%1 (legacy folder, no available image)")},
        {QStringLiteral("结束时间必须大于开始时间"), QStringLiteral("End time must be greater than start time")},
        {QStringLiteral("通道必须选择视频"), QStringLiteral("Channel must be set to video")},
        {QStringLiteral("播放图片必须选择目录"), QStringLiteral("Image playback must select a folder")},
        {QStringLiteral("文字不能为空"), QStringLiteral("Text cannot be empty")},
        {QStringLiteral("请选择视频"), QStringLiteral("Please select a video")},
        {QStringLiteral("请选择叠加图片文件"), QStringLiteral("Please select an overlay image file")},
        {QStringLiteral("导入节目编排"), QStringLiteral("Import program arrangement")},
        {QStringLiteral("JSON (*.json);;所有文件 (*)"), QStringLiteral("JSON (*.json);;All Files (*)")},
        {QStringLiteral("无法打开文件"), QStringLiteral("Failed to open file")},
        {QStringLiteral("导出节目编排"), QStringLiteral("Export program arrangement")},
        {QStringLiteral("没有可导出的片段（请检查校验错误提示）。"), QStringLiteral("No exportable clips (please review validation errors).")},
        {QStringLiteral("无法写入文件"), QStringLiteral("Failed to write file")},
        {QStringLiteral("主窗口不可用"), QStringLiteral("Main window is unavailable")},
        {QStringLiteral("请至少添加一个有效基底或叠加片段。"), QStringLiteral("Please add at least one valid base or overlay clip.")},
        {QStringLiteral("请至少添加一个有效基底片段。"), QStringLiteral("Please add at least one valid base clip.")},
        {QStringLiteral("每张图片显示时长：200–10000 ms）"), QStringLiteral("Duration per image: 200-10000 ms")},
        {QStringLiteral("视频 (*.mp4 *.avi *.mov);;所有文件 (*)"), QStringLiteral("Video (*.mp4 *.avi *.mov);;All Files (*)")},
        {QStringLiteral("图片 (*.png *.jpg *.bmp);;所有文件 (*)"), QStringLiteral("Image (*.png *.jpg *.bmp);;All Files (*)")},
        {QStringLiteral("视频 (*.mp4 *.avi *.mov)"), QStringLiteral("Video (*.mp4 *.avi *.mov)")},
        {QStringLiteral("图片 (*.png *.jpg *.bmp)"), QStringLiteral("Image (*.png *.jpg *.bmp)")},
    };
    return table;
}

QString translateUiText(const QString& text, bool chinese)
{
    if (text.trimmed().isEmpty())
        return text;
    QString converted;
    if (convertByPattern(text, chinese, &converted))
        return converted;
    for (const UiTextPair& row : uiTextTable()) {
        const QString& from = chinese ? row.english : row.chinese;
        if (from == text)
            return chinese ? row.chinese : row.english;
    }
    return text;
}

bool storedLanguageIsChinese(const QString& stored)
{
    const QString lower = stored.toLower();
    return lower == QLatin1String("zh") || lower == QLatin1String("zh_cn");
}

} // namespace uitranslation
