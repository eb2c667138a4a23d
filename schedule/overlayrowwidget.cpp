#include "schedule/overlayrowwidget.h"

#include "engine/canvasgeometry.h"
#include "schedule/arrangementfile.h"
#include "schedule/cliprowcommon.h"
#include "schedule/programarrangementwindow.h"
#include "schedule/scheduledatetimewidget.h"
#include "ui/texteffectdialog.h"
#include "ui/uitheme.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTime>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

// Positions and sizes in whole pixels of the reference canvas.
constexpr int kPixelMax = 2000;
constexpr int kPositionDefault = 12;
constexpr int kSizeMin = 16;
constexpr int kWidthDefault = 320;
constexpr int kHeightDefault = 180;
constexpr double kOpacityStep = 0.05;
constexpr int kOpacityDecimals = 2;
constexpr int kIdEditWidth = 80;
// An empty or tiny text still gets a box as large as the smallest media box.
constexpr int kMinTextBoxPx = kSizeMin;
constexpr int kOpaque = 255;
constexpr int kTextFontPointSize = 28;
constexpr char kTextFontFamily[] = "Microsoft YaHei";

// The direction list has its own popup colours.
constexpr char kDirectionPopupBackground[] = "#2b2b2b";
constexpr char kDirectionSelectedBackground[] = "#3a3a3a";

constexpr char kVideoFilter[] = "视频 (*.mp4 *.avi *.mov *.mkv);;所有文件 (*)";
constexpr char kImageFilter[] = "图片 (*.png *.jpg *.jpeg *.bmp *.webp *.gif);;所有文件 (*)";

QString directionListStyleSheet()
{
    return QStringLiteral("QComboBox { color: %1; }"
                          "QComboBox QAbstractItemView { color: %1; background-color: %2;"
                          " selection-color: white; selection-background-color: %3; }")
        .arg(QLatin1String(uitheme::kGold), QLatin1String(kDirectionPopupBackground),
             QLatin1String(kDirectionSelectedBackground));
}

// Clamped to the box first, so that any double a file held converts safely;
// the box would clamp the result to the same value.
int roundedForBox(double value, const QSpinBox* box)
{
    return int(std::lround(std::clamp(value, double(box->minimum()), double(box->maximum()))));
}

int truncatedForBox(double value, const QSpinBox* box)
{
    return int(std::clamp(value, double(box->minimum()), double(box->maximum())));
}

// The renderer divides by the viewport; a record from the dialog or an older
// file may carry 0 or the "unset" -1.
void keepViewportPositive(TextOverlayData& data)
{
    if (data.scrollViewportWidth <= 0)
        data.scrollViewportWidth = 1;
    if (data.scrollViewportHeight <= 0)
        data.scrollViewportHeight = 1;
}

QSpinBox* makePixelBox(QWidget* parent, int minimum, int value)
{
    auto* box = new QSpinBox(parent);
    box->setRange(minimum, kPixelMax);
    box->setValue(value);
    return box;
}

} // namespace

OverlayRowWidget::OverlayRowWidget(ProgramArrangementWindow* window, QWidget* parent)
    : QFrame(parent), window(window)
{
    textData.font = QFont(QString::fromLatin1(kTextFontFamily), kTextFontPointSize);
    textData.fontColor = Qt::white;
    textData.scrollViewportWidth = 1.0;
    textData.scrollViewportHeight = 1.0;

    setFrameShape(QFrame::StyledPanel);
    // The window's style sheet draws frames of this name as cards.
    setObjectName(QStringLiteral("arrangementCard"));

    auto* rowLayout = new QVBoxLayout(this);
    rowLayout->setContentsMargins(10, 8, 10, 8);
    rowLayout->setSpacing(8);

    const QDate today = QDate::currentDate();

    auto* timeLine = new QHBoxLayout;
    {
        // The id stays hidden: the window names the rows itself.
        auto* idLabel = new QLabel(QStringLiteral("ID"), this);
        idEdit = new QLineEdit(this);
        idEdit->setPlaceholderText(QStringLiteral("id"));
        idEdit->setFixedWidth(kIdEditWidth);
        idLabel->hide();
        idEdit->hide();
        startEdit = new ScheduleDateTimeWidget(this);
        startEdit->setDateTime(QDateTime(today, QTime(0, 0), Qt::LocalTime));
        endEdit = new ScheduleDateTimeWidget(this);
        endEdit->setDateTime(QDateTime(today, QTime(1, 0), Qt::LocalTime));
        untilStoppedCheck = new QCheckBox(QStringLiteral("持续"), this);
        timeLine->addWidget(idLabel);
        timeLine->addWidget(idEdit);
        timeLine->addWidget(new QLabel(QStringLiteral("开始"), this));
        timeLine->addWidget(startEdit, 1);
        timeLine->addWidget(new QLabel(QStringLiteral("结束"), this));
        timeLine->addWidget(endEdit, 1);
        timeLine->addWidget(untilStoppedCheck);
    }
    rowLayout->addLayout(timeLine);

    auto* advancedButton = new QPushButton(QStringLiteral("高级设置"), this);
    auto* contentLine = new QHBoxLayout;
    {
        kindCombo = new QComboBox(this);
        kindCombo->addItem(QStringLiteral("文字"), OverlayClipKind::Text);
        kindCombo->addItem(QStringLiteral("视频"), OverlayClipKind::Video);
        kindCombo->addItem(QStringLiteral("图片"), OverlayClipKind::Image);
        // The main window converts the item texts when the language
        // changes; the width follows them instead of keeping the first one.
        kindCombo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        textEdit = new QLineEdit(this);
        textEdit->setPlaceholderText(QStringLiteral("叠加文字内容"));
        effectsButton = new QPushButton(QStringLiteral("文字特效…"), this);
        videoButton = new QPushButton(QStringLiteral("选择视频…"), this);
        imageButton = new QPushButton(QStringLiteral("选择图片…"), this);
        pathEdit = new QLineEdit(this);
        pathEdit->setReadOnly(true);
        pathEdit->setPlaceholderText(QStringLiteral("视频文件路径 / 单张叠加图片路径"));
        advancedButton->setCheckable(true);
        deleteButton = new QPushButton(QStringLiteral("删除"), this);
        contentLine->addWidget(new QLabel(QStringLiteral("叠加"), this));
        contentLine->addWidget(kindCombo);
        contentLine->addWidget(textEdit, 1);
        contentLine->addWidget(effectsButton);
        contentLine->addWidget(videoButton);
        contentLine->addWidget(imageButton);
        contentLine->addWidget(pathEdit, 1);
        contentLine->addWidget(advancedButton);
        contentLine->addWidget(deleteButton);
    }
    rowLayout->addLayout(contentLine);

    auto* advancedPanel = new QWidget(this);
    {
        auto* layout = new QHBoxLayout(advancedPanel);
        layout->setContentsMargins(0, 0, 0, 0);
        xSpin = makePixelBox(advancedPanel, 0, kPositionDefault);
        ySpin = makePixelBox(advancedPanel, 0, kPositionDefault);
        wLabel = new QLabel(QStringLiteral("W"), advancedPanel);
        wSpin = makePixelBox(advancedPanel, kSizeMin, kWidthDefault);
        hLabel = new QLabel(QStringLiteral("H"), advancedPanel);
        hSpin = makePixelBox(advancedPanel, kSizeMin, kHeightDefault);
        opacitySpin = new QDoubleSpinBox(advancedPanel);
        opacitySpin->setDecimals(kOpacityDecimals);
        opacitySpin->setRange(0.0, 1.0);
        opacitySpin->setSingleStep(kOpacityStep);
        opacitySpin->setValue(1.0);
        layout->addWidget(new QLabel(QStringLiteral("X"), advancedPanel));
        layout->addWidget(xSpin);
        layout->addWidget(new QLabel(QStringLiteral("Y"), advancedPanel));
        layout->addWidget(ySpin);
        layout->addWidget(wLabel);
        layout->addWidget(wSpin);
        layout->addWidget(hLabel);
        layout->addWidget(hSpin);
        layout->addWidget(new QLabel(QStringLiteral("Opacity"), advancedPanel));
        layout->addWidget(opacitySpin);
        layout->addStretch();
    }
    advancedPanel->hide();
    rowLayout->addWidget(advancedPanel);

    scrollPanel = new QWidget(this);
    {
        auto* layout = new QHBoxLayout(scrollPanel);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(10);
        scrollCheck = new QCheckBox(QStringLiteral("横向滚动"), scrollPanel);
        directionCombo = new QComboBox(scrollPanel);
        directionCombo->addItem(QStringLiteral("无"), TextOverlayData::kScrollNone);
        directionCombo->addItem(QStringLiteral("左→右"), TextOverlayData::kScrollLeftToRight);
        directionCombo->addItem(QStringLiteral("右→左"), TextOverlayData::kScrollRightToLeft);
        directionCombo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        layout->addWidget(new QLabel(QStringLiteral("文字滚动"), scrollPanel));
        layout->addWidget(scrollCheck);
        layout->addWidget(new QLabel(QStringLiteral("方向"), scrollPanel));
        layout->addWidget(directionCombo);
        layout->addStretch();
    }
    rowLayout->addWidget(scrollPanel);

    untilStoppedCheck->setStyleSheet(clipRowCheckBoxStyleSheet());
    scrollCheck->setStyleSheet(clipRowCheckBoxStyleSheet());
    kindCombo->setStyleSheet(clipRowKindListStyleSheet());
    directionCombo->setStyleSheet(directionListStyleSheet());

    connect(advancedButton, &QPushButton::toggled, advancedPanel, &QWidget::setVisible);
    connect(untilStoppedCheck, &QCheckBox::toggled, endEdit, [this](bool checked) { endEdit->setEnabled(!checked); });
    connect(kindCombo, &QComboBox::currentIndexChanged, this, [this] { updateKindVisibility(); });
    connect(videoButton, &QPushButton::clicked, this, [this] { onBrowseOverlayVideo(); });
    connect(imageButton, &QPushButton::clicked, this, [this] { onBrowseOverlayImage(); });
    connect(effectsButton, &QPushButton::clicked, this, [this] { onEditTextEffects(); });
    connect(scrollCheck, &QCheckBox::toggled, directionCombo, [this](bool checked) {
        directionCombo->setEnabled(checked);
        // Scrolling asked for without a direction: offer the first one.
        if (checked && directionCombo->currentData().toInt() == TextOverlayData::kScrollNone)
            directionCombo->setCurrentIndex(1);
    });
    connect(deleteButton, &QPushButton::clicked, this, [this] {
        if (this->window)
            this->window->removeOverlayRow(this);
    });

    updateKindVisibility();
}

int OverlayRowWidget::currentKind() const
{
    return kindCombo->currentData().toInt();
}

void OverlayRowWidget::showWidgetsForKind()
{
    const int kind = currentKind();
    const bool text = kind == OverlayClipKind::Text;
    textEdit->setVisible(text);
    effectsButton->setVisible(text);
    scrollPanel->setVisible(text);
    videoButton->setVisible(kind == OverlayClipKind::Video);
    imageButton->setVisible(kind == OverlayClipKind::Image);
    for (QWidget* w : {static_cast<QWidget*>(pathEdit), static_cast<QWidget*>(wLabel),
                       static_cast<QWidget*>(wSpin), static_cast<QWidget*>(hLabel), static_cast<QWidget*>(hSpin)})
        w->setVisible(!text);
    // The clip's opacity reaches only image overlays; a text keeps its own.
    opacitySpin->setEnabled(kind == OverlayClipKind::Image);
}

void OverlayRowWidget::updateKindVisibility()
{
    showWidgetsForKind();
    // pathEdit keeps showing the dropped file until something else is chosen.
    switch (currentKind()) {
    case OverlayClipKind::Text:
        path.clear();
        imageDirectory.clear();
        break;
    case OverlayClipKind::Video:
        imageDirectory.clear();
        break;
    default:
        path.clear();
        break;
    }
}

void OverlayRowWidget::browseMediaFile(const QString& title, const QString& filter)
{
    const QString startFolder = path.isEmpty() ? QString() : QFileInfo(path).absolutePath();
    const QString file = QFileDialog::getOpenFileName(this, title, startFolder, filter);
    if (file.isEmpty())
        return;
    // Whether it exists is checked when the window builds the arrangement.
    path = file;
    imageDirectory.clear();
    pathEdit->setText(file);
}

void OverlayRowWidget::onBrowseOverlayVideo()
{
    browseMediaFile(QStringLiteral("选择叠加视频"), QString::fromUtf8(kVideoFilter));
}

void OverlayRowWidget::onBrowseOverlayImage()
{
    browseMediaFile(QStringLiteral("选择叠加图片"), QString::fromUtf8(kImageFilter));
}

TextOverlayData OverlayRowWidget::textDataFromWidgets() const
{
    TextOverlayData data = textData;
    data.text = textEdit->text();
    const QPointF pos = fromReferenceCanvasPoint(QPointF(xSpin->value(), ySpin->value()));
    data.posX = pos.x();
    data.posY = pos.y();
    data.scrollable = scrollCheck->isChecked();
    data.scrollDirection = data.scrollable ? directionCombo->currentData().toInt() : TextOverlayData::kScrollNone;
    return data;
}

void OverlayRowWidget::showTextData(const TextOverlayData& data)
{
    textEdit->setText(data.text);
    const QPointF pos = toReferenceCanvasPoint(QPointF(data.posX, data.posY));
    xSpin->setValue(roundedForBox(pos.x(), xSpin));
    ySpin->setValue(roundedForBox(pos.y(), ySpin));
    opacitySpin->setValue(std::clamp(double(data.opacity) / kOpaque, 0.0, 1.0));
    scrollCheck->setChecked(data.scrollable);
    const int direction = directionCombo->findData(data.scrollDirection);
    if (direction >= 0)
        directionCombo->setCurrentIndex(direction);
    directionCombo->setEnabled(data.scrollable);
}

void OverlayRowWidget::onEditTextEffects()
{
    textData = textDataFromWidgets();
    TextEffectDialog dialog(this);
    dialog.setTextData(textData);
    if (dialog.exec() != QDialog::Accepted)
        return;
    textData = dialog.currentData();
    keepViewportPositive(textData);
    showTextData(textData);
}

OverlayClip OverlayRowWidget::toClip(const QDateTime& base) const
{
    OverlayClip clip;
    clip.id = idEdit->text().trimmed();
    clip.startMs = clipStartMs(base, startEdit);
    clip.endMs = clipEndMs(base, endEdit, untilStoppedCheck);
    clip.overlayKind = currentKind();
    clip.opacity = opacitySpin->value();

    QRectF rect;
    if (clip.overlayKind == OverlayClipKind::Text) {
        clip.textData = textDataFromWidgets();
        keepViewportPositive(clip.textData);
        // A text is placed by its position alone; the box only gives the
        // clip a rectangle of the text's drawn size.
        const TextOverlayData& d = clip.textData;
        const QFontMetrics metrics(styledTextFont(d.font, d.bold, d.italic, d.underline, d.strikeOut));
        const int boxWidth = std::max(kMinTextBoxPx, metrics.horizontalAdvance(d.text));
        const int boxHeight = std::max(kMinTextBoxPx, metrics.height());
        rect = QRectF(xSpin->value(), ySpin->value(), boxWidth, boxHeight);
    } else {
        rect = QRectF(xSpin->value(), ySpin->value(), wSpin->value(), hSpin->value());
        // Only an image path is trimmed; a video path may be any source text.
        clip.path = clip.overlayKind == OverlayClipKind::Video ? path : path.trimmed();
    }
    const QRectF fraction = fromReferenceCanvasRect(rect);
    clip.x = fraction.x();
    clip.y = fraction.y();
    clip.w = fraction.width();
    clip.h = fraction.height();
    return clip;
}

void OverlayRowWidget::loadClip(const OverlayClip& clip, const QDateTime& base)
{
    idEdit->setText(clip.id);
    showClipTimes(base, clip.startMs, clip.endMs, startEdit, endEdit, untilStoppedCheck);
    const bool media = clip.overlayKind == OverlayClipKind::Video || clip.overlayKind == OverlayClipKind::Image;
    // Not blocked: the change drops the media state of the previous kind.
    kindCombo->setCurrentIndex(kindCombo->findData(media ? clip.overlayKind : int(OverlayClipKind::Text)));
    path.clear();
    imageDirectory.clear();

    if (clip.overlayKind == OverlayClipKind::Video) {
        path = clip.path;
        pathEdit->setText(path);
    } else if (clip.overlayKind == OverlayClipKind::Image) {
        if (!clip.path.isEmpty()) {
            path = clip.path;
            pathEdit->setText(path);
        } else if (!clip.imageDirectory.isEmpty()) {
            // An older clip named a folder: it shows that folder's first image.
            imageDirectory = clip.imageDirectory;
            const QStringList files = listImageFiles(imageDirectory);
            if (!files.isEmpty()) {
                path = files.first();
                pathEdit->setText(path);
            } else {
                pathEdit->setText(QStringLiteral("%1（旧版目录，无可用图片）").arg(imageDirectory));
            }
        } else {
            pathEdit->clear();
        }
    }

    const QRectF rect = toReferenceCanvasRect(QRectF(clip.x, clip.y, clip.w, clip.h));
    wSpin->setValue(truncatedForBox(rect.width(), wSpin));
    hSpin->setValue(truncatedForBox(rect.height(), hSpin));
    if (media) {
        xSpin->setValue(roundedForBox(rect.x(), xSpin));
        ySpin->setValue(roundedForBox(rect.y(), ySpin));
        opacitySpin->setValue(clip.opacity);
    } else {
        textData = clip.textData;
        showTextData(textData);
    }
    // Only the widgets: the path and folder just loaded stay.
    showWidgetsForKind();
}
