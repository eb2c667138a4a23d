#include "ui/videoinputpanel.h"

#include "ui/sourcedialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QResizeEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kTimeRefreshMs = 300;
constexpr int kSeekSteps = 1000;
constexpr int kStartVolume = 10;
// The stored copy of a picture never exceeds this box, whatever the label.
constexpr int kCopyMaxWidth = 640;
constexpr int kCopyMaxHeight = 360;
// Stand-in for a label that has no area (a hidden strip).
constexpr int kFallbackWidth = 320;
constexpr int kFallbackHeight = 180;

const QString kPlayGlyph = QStringLiteral("▶");
const QString kPauseGlyph = QStringLiteral("⏸");

QString clockText(qint64 ms)
{
    const qint64 minutes = (ms / 60000) % 60;
    const qint64 seconds = (ms / 1000) % 60;
    return QStringLiteral("%1:%2").arg(minutes, 2, 10, QLatin1Char('0')).arg(seconds, 2, 10, QLatin1Char('0'));
}

QSize labelAreaOr320x180(const QWidget* label)
{
    if (label->width() > 0 && label->height() > 0)
        return label->size();
    return {kFallbackWidth, kFallbackHeight};
}

} // namespace

QString channelTitleText(int channel, qint64 positionMs, qint64 durationMs)
{
    if (durationMs <= 0)
        return VideoInputPanel::tr("CH%1 | %2 / --:--").arg(channel + 1).arg(clockText(positionMs));
    return VideoInputPanel::tr("CH%1 | %2 / %3")
        .arg(channel + 1)
        .arg(clockText(positionMs), clockText(durationMs));
}

int seekSliderValueFor(qint64 positionMs, qint64 durationMs)
{
    if (durationMs <= 0)
        return 0;
    return int(qBound(qint64(0), positionMs * kSeekSteps / durationMs, qint64(kSeekSteps)));
}

qint64 seekPositionFor(int sliderValue, qint64 durationMs)
{
    return durationMs * sliderValue / kSeekSteps;
}

QUrl parseChannelSource(const QString& text)
{
    for (const char* prefix : {"dshow://", "desktop://", "wgc://"}) {
        if (text.startsWith(QLatin1String(prefix), Qt::CaseInsensitive))
            return QUrl(text, QUrl::StrictMode);
    }
    return QUrl::fromUserInput(text);
}

VideoInputPanel::VideoInputPanel(int channel, QWidget* parent)
    : QWidget(parent)
    , channel_(channel)
{
    setStyleSheet(QStringLiteral(
        "QWidget { background:#202020; color:white; }"
        "QLabel { color:#ccc; font-weight:bold; }"
        "QPushButton { background:#333; color:white; padding:4px 6px; border-radius:4px; }"
        "QPushButton:hover { background:#444; }"
        "QPushButton:checked { background:#666; }"
        "QSlider::groove:horizontal { height:6px; background:#3a3a3a; border-radius:3px; }"
        "QSlider::handle:horizontal { background:#666; width:12px; border-radius:6px; margin:-3px 0; }"));

    titleLabel_ = new QLabel(tr("CH%1 | 00:00 / 00:00").arg(channel_ + 1), this);

    videoFrame_ = new QStackedWidget(this);
    videoFrame_->setObjectName(QStringLiteral("channelVideoFrame"));
    videoFrame_->setMinimumSize(kFallbackWidth, kFallbackHeight);
    videoFrame_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    videoFrame_->setStyleSheet(
        QStringLiteral("QStackedWidget#channelVideoFrame { background:#090a0c; border:1px solid #3a3e48; }"));

    videoLabel_ = new QLabel(videoFrame_);
    videoLabel_->setMinimumSize(kFallbackWidth, kFallbackHeight);
    videoLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    videoLabel_->setAlignment(Qt::AlignCenter);
    videoLabel_->setStyleSheet(QStringLiteral("background:#090a0c; border:none;"));
    videoLabel_->setScaledContents(false);
    videoFrame_->addWidget(videoLabel_);

    sourceButton_ = new QPushButton(QStringLiteral("📂"), this);
    playButton_ = new QPushButton(kPlayGlyph, this);
    playButton_->setFixedSize(28, 28);
    playButton_->setStyleSheet(QStringLiteral(
        "QPushButton { background:#333; color:white; padding:0px; border-radius:4px; }"
        "QPushButton:hover { background:#444; }"));
    stopButton_ = new QPushButton(QStringLiteral("■"), this);
    loopToggle_ = new QPushButton(QStringLiteral("⟲"), this);
    loopToggle_->setCheckable(true);
    starToggle_ = new QPushButton(QStringLiteral("★"), this);
    starToggle_->setCheckable(true);

    seekSlider_ = new QSlider(Qt::Horizontal, this);
    seekSlider_->setRange(0, kSeekSteps);
    volumeSlider_ = new QSlider(Qt::Horizontal, this);
    volumeSlider_->setRange(0, 100);
    volumeSlider_->setValue(kStartVolume);

    outputToggle_ = new QPushButton(QStringLiteral("🖥"), this);
    outputToggle_->setCheckable(true);

    retranslateUi();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(titleLabel_);
    layout->addWidget(videoFrame_);
    auto* controls = new QHBoxLayout;
    controls->addWidget(sourceButton_);
    controls->addWidget(playButton_);
    controls->addWidget(stopButton_);
    controls->addWidget(loopToggle_);
    controls->addWidget(starToggle_);
    controls->addWidget(seekSlider_, 1);
    controls->addWidget(volumeSlider_);
    controls->addWidget(outputToggle_);
    layout->addLayout(controls);

    connect(sourceButton_, &QPushButton::clicked, this, &VideoInputPanel::chooseSource);
    connect(playButton_, &QPushButton::clicked, this, &VideoInputPanel::togglePlayPause);
    connect(stopButton_, &QPushButton::clicked, this, &VideoInputPanel::stopAndUnload);
    connect(loopToggle_, &QPushButton::toggled, this, [this] { emit channelMediaChanged(channel_); });
    connect(outputToggle_, &QPushButton::toggled, this, &VideoInputPanel::outputToPreviewToggled);
    connect(seekSlider_, &QSlider::valueChanged, this, &VideoInputPanel::seekToSlider);
    connect(seekSlider_, &QSlider::sliderReleased, this, [this] { seekToSlider(seekSlider_->value()); });
    connect(volumeSlider_, &QSlider::valueChanged, this, [this] { emit localChannelVolumeChanged(); });

    timeTimer_ = new QTimer(this);
    timeTimer_->setInterval(kTimeRefreshMs);
    connect(timeTimer_, &QTimer::timeout, this, &VideoInputPanel::updateTimeLabel);
    timeTimer_->start();
}

VideoInputPanel::~VideoInputPanel() = default;

QUrl VideoInputPanel::sourceUrl() const { return source_; }

void VideoInputPanel::setSourceValidator(SourceValidator validator) { validator_ = std::move(validator); }

qint64 VideoInputPanel::positionMs() const { return positionMs_; }

bool VideoInputPanel::isPlaying() const { return playing_; }

void VideoInputPanel::setOutputToPreviewChecked(bool checked)
{
    if (!outputToggle_ || outputToggle_->isChecked() == checked)
        return;
    const QSignalBlocker blocker(outputToggle_);
    outputToggle_->setChecked(checked);
}

void VideoInputPanel::setProgramActive(bool) {}

bool VideoInputPanel::isLoopEnabled() const { return loopToggle_ && loopToggle_->isChecked(); }

void VideoInputPanel::setLoopEnabled(bool enabled)
{
    if (!loopToggle_ || loopToggle_->isChecked() == enabled)
        return;
    const QSignalBlocker blocker(loopToggle_);
    loopToggle_->setChecked(enabled);
}

int VideoInputPanel::monitorVolume() const { return volumeSlider_ ? volumeSlider_->value() : 50; }

void VideoInputPanel::setDurationMs(qint64 ms)
{
    durationMs_ = ms;
    updateTimeLabel();
}

void VideoInputPanel::setChineseUi(bool chinese)
{
    chinese_ = chinese;
    retranslateUi();
}

void VideoInputPanel::onPlaybackEnded()
{
    if (!playing_)
        return;
    playing_ = false;
    playButton_->setText(kPlayGlyph);
    if (durationMs_ > 0)
        positionMs_ = qMin(positionMs_, durationMs_);
    ended_ = true;
    updateTimeLabel();
    emit playbackStateChanged(false);
}

void VideoInputPanel::onChannelFrame(const FrameTokenPtr& frame, qint64 positionMs)
{
    if (!(ended_ && !playing_))
        positionMs_ = positionMs;
    // A token whose stride or buffer is short for its size would be read
    // past its end: treat it like a frame without pixels.
    if (!frame || frame->data.isEmpty() || !isValidFrameToken(frame))
        return;

    // The const constructor keeps the pooled buffer shared and unmodified;
    // the wrap lives only for this call.
    const QImage wrapped(reinterpret_cast<const uchar*>(frame->data.constData()), frame->width, frame->height,
                         frame->bytesPerLine, QImage::Format_RGBA8888);
    const QSize box = labelAreaOr320x180(videoLabel_).scaled(kCopyMaxWidth, kCopyMaxHeight, Qt::KeepAspectRatio);
    // The stored copy is kept in the thumbnail canvas's format, so drawing
    // it is a plain copy; the conversion is also the deep copy that lets
    // the token go back to its pool.
    lastFrame_ = wrapped.scaled(box, Qt::KeepAspectRatio, Qt::FastTransformation)
                     .convertToFormat(QImage::Format_RGB32);

    updateThumbnail();
    updateTimeLabel();
}

void VideoInputPanel::setSource(const QString& source)
{
    const QString text = source.trimmed();
    if (text.isEmpty() || !acceptSourceText(text))
        return;
    // The arrangement runner's sources are stored even when they do not
    // parse; the engine reports what it cannot open.
    loadSource(parseChannelSource(text));
}

void VideoInputPanel::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (!lastFrame_.isNull())
        updateThumbnail();
}

void VideoInputPanel::chooseSource()
{
    QString text;
    {
        SourceDialog dialog(this);
        if (dialog.exec() != QDialog::Accepted)
            return;
        text = dialog.selectedSource().trimmed();
    }
    if (text.isEmpty() || !acceptSourceText(text))
        return;
    const QUrl url = parseChannelSource(text);
    if (!url.isValid())
        return;
    loadSource(url);
}

bool VideoInputPanel::acceptSourceText(const QString& text)
{
    if (!validator_)
        return true;
    QString error;
    if (validator_(text, &error))
        return true;
    if (!error.isEmpty())
        QMessageBox::warning(this, QStringLiteral("无法使用该源"), error, QMessageBox::Ok);
    return false;
}

void VideoInputPanel::loadSource(const QUrl& url)
{
    source_ = url;
    ended_ = false;
    positionMs_ = 0;
    durationMs_ = -1;
    {
        const QSignalBlocker blocker(seekSlider_);
        seekSlider_->setValue(0);
    }
    updateTimeLabel();
    playing_ = true;
    playButton_->setText(kPauseGlyph);
    emit channelMediaChanged(channel_);
    emit playbackStateChanged(true);
}

void VideoInputPanel::togglePlayPause()
{
    ended_ = false;
    playing_ = !playing_;
    playButton_->setText(playing_ ? kPauseGlyph : kPlayGlyph);
    emit playbackStateChanged(playing_);
}

void VideoInputPanel::stopAndUnload()
{
    const bool wasOnOutput = outputToggle_->isChecked();
    source_ = QUrl();
    ended_ = false;
    positionMs_ = 0;
    durationMs_ = -1;
    playing_ = false;
    lastFrame_ = QImage();

    playButton_->setText(kPlayGlyph);
    {
        const QSignalBlocker blocker(seekSlider_);
        seekSlider_->setValue(0);
    }
    titleLabel_->setText(tr("CH%1 | 00:00 / 00:00").arg(channel_ + 1));
    videoLabel_->clear();

    emit playbackStateChanged(false);
    if (wasOnOutput) {
        setOutputToPreviewChecked(false);
        emit outputToPreviewToggled(false);
    }
    emit mediaSourceUnloaded(channel_);
    emit channelMediaChanged(channel_);
}

void VideoInputPanel::seekToSlider(int value)
{
    ended_ = false;
    if (durationMs_ <= 0)
        return;
    positionMs_ = seekPositionFor(value, durationMs_);
    emit programSeekRequested(positionMs_);
}

void VideoInputPanel::updateTimeLabel()
{
    titleLabel_->setText(channelTitleText(channel_, positionMs_, durationMs_));
    if (durationMs_ <= 0)
        return;
    const QSignalBlocker blocker(seekSlider_);
    seekSlider_->setValue(seekSliderValueFor(positionMs_, durationMs_));
}

void VideoInputPanel::updateThumbnail()
{
    if (lastFrame_.isNull())
        return;
    const QSize area = labelAreaOr320x180(videoLabel_);
    QImage canvas(area, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    const QImage picture = lastFrame_.scaled(area, Qt::KeepAspectRatio, Qt::FastTransformation);
    {
        QPainter painter(&canvas);
        painter.drawImage((area.width() - picture.width()) / 2, (area.height() - picture.height()) / 2, picture);
    }
    videoLabel_->setPixmap(QPixmap::fromImage(canvas));
}

void VideoInputPanel::retranslateUi()
{
    const auto pick = [this](const char* english, const char* chinese) {
        return chinese_ ? QString::fromUtf8(chinese) : QString::fromUtf8(english);
    };
    sourceButton_->setToolTip(pick("Select file or URL", "选择文件或 URL"));
    playButton_->setToolTip(pick("Play / Pause", "播放 / 暂停"));
    stopButton_->setToolTip(pick("Stop and unload media", "停止并卸载媒体"));
    loopToggle_->setToolTip(pick("Loop playback", "循环播放"));
    starToggle_->setToolTip(pick("Highlight current channel", "高亮当前通道"));
    seekSlider_->setToolTip(pick("Playback position", "播放进度"));
    volumeSlider_->setToolTip(pick("Channel monitor volume", "通道监听音量"));
    outputToggle_->setToolTip(pick("Send to output preview", "输出到主预览"));
}
