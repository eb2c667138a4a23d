#include "ui/imageplaybackpanel.h"

#include "ui/imageitem.h"
#include "ui/uitheme.h"

#include <QDir>
#include <QFileDialog>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {
constexpr int kRowHeight = 28;
const char* const kDisabledText = "#666666";
const char* const kSpinBorder = "#333";

QString tr2(bool chinese, const char* zh, const char* en)
{
    return chinese ? QString::fromUtf8(zh) : QString::fromUtf8(en);
}
} // namespace

QStringList slideshowImagesInFolder(const QString& folder)
{
    // Name filters match without regard to case unless QDir::CaseSensitive is given.
    const QDir dir(folder);
    const QFileInfoList files =
        dir.entryInfoList({QStringLiteral("*.png"), QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"),
                           QStringLiteral("*.bmp"), QStringLiteral("*.gif")},
                          QDir::Files, QDir::Name | QDir::IgnoreCase);
    QStringList paths;
    paths.reserve(files.size());
    for (const QFileInfo& fi : files)
        paths << fi.absoluteFilePath();
    return paths;
}

QPointF slideshowCellPosition(int index)
{
    const int cell = ImagePlaybackPanel::kCellSize;
    return QPointF((index % ImagePlaybackPanel::kColumns) * cell, (index / ImagePlaybackPanel::kColumns) * cell);
}

int slideshowDropIndex(QPointF centre, int count)
{
    const int cell = ImagePlaybackPanel::kCellSize;
    const int column = int(std::trunc(centre.x() / cell));
    const int row = int(std::trunc(centre.y() / cell));
    const int index = row * ImagePlaybackPanel::kColumns + column;
    return std::max(0, std::min(index, count - 1));
}

ImagePlaybackPanel::ImagePlaybackPanel(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(6);
    auto* row = new QHBoxLayout;
    row->setSpacing(6);

    folderEdit = new QLineEdit(this);
    folderEdit->setFixedHeight(kRowHeight);
    browseButton = new QPushButton(this);
    browseButton->setFixedHeight(kRowHeight);
    intervalLabel = new QLabel(this);
    intervalLabel->setStyleSheet(
        QStringLiteral("QLabel { color: %1; font-weight: bold; font-size: 13px; background: transparent; }")
            .arg(QLatin1String(uitheme::kGold)));
    intervalSpin = new QSpinBox(this);
    intervalSpin->setFixedHeight(kRowHeight);
    intervalSpin->setFixedWidth(100);
    intervalSpin->setSuffix(QStringLiteral(" ms"));
    intervalSpin->setRange(kMinIntervalMs, kMaxIntervalMs);
    intervalSpin->setValue(kDefaultIntervalMs);
    intervalSpin->setStyleSheet(
        QStringLiteral("QSpinBox { background: %1; border: 1px solid %2; border-radius: 6px; padding: 2px 4px;"
                       " color: %3; font-weight: bold; font-size: 13px; }"
                       "QSpinBox::up-button, QSpinBox::down-button { width: 16px; }"
                       "QSpinBox:disabled { color: %4; }")
            .arg(QLatin1String(uitheme::kBgPanel), QLatin1String(kSpinBorder), QLatin1String(uitheme::kGold),
                 QLatin1String(kDisabledText)));

    loopButton = new QToolButton(this);
    loopButton->setText(QStringLiteral("↻"));
    loopButton->setToolButtonStyle(Qt::ToolButtonTextOnly);
    loopButton->setAutoRaise(false);
    loopButton->setAccessibleName(QStringLiteral("imageSequenceLoop"));
    loopButton->setCheckable(true);
    loopButton->setChecked(true);
    loopButton->setFixedSize(30, kRowHeight);
    loopButton->setStyleSheet(
        QStringLiteral("QToolButton { background: %1; color: %2; border: none; border-radius: 4px;"
                       " font-weight: bold; font-size: 16px; padding: 2px; }"
                       "QToolButton:hover { background: %1; }"
                       "QToolButton:checked { color: %3; background: %4; }")
            .arg(QLatin1String(uitheme::kBgPressed), QLatin1String(kDisabledText), QLatin1String(uitheme::kGold),
                 QLatin1String(uitheme::kBgControl)));
    connect(loopButton, &QToolButton::toggled, this, &ImagePlaybackPanel::updateLoopToolTip);
    updateLoopToolTip();

    playButton = new QPushButton(this);
    playButton->setFixedHeight(kRowHeight);
    connect(playButton, &QPushButton::clicked, this, &ImagePlaybackPanel::onPlayClicked);
    updatePlayButton();

    row->addWidget(folderEdit);
    row->addWidget(browseButton);
    row->addWidget(intervalLabel);
    row->addWidget(intervalSpin);
    row->addWidget(loopButton);
    row->addWidget(playButton);
    layout->addLayout(row);

    scene = new QGraphicsScene(this);
    view = new QGraphicsView(scene, this);
    view->setDragMode(QGraphicsView::RubberBandDrag);
    view->setStyleSheet(QStringLiteral("QGraphicsView { border: 1px solid %1; background: %2; }")
                            .arg(QLatin1String(uitheme::kGoldMuted), QLatin1String(uitheme::kBgDeepest)));
    layout->addWidget(view, 1);

    connect(browseButton, &QPushButton::clicked, this, &ImagePlaybackPanel::addImagesFromDirectory);
    setChineseUi(false);
}

ImagePlaybackPanel::~ImagePlaybackPanel() = default;

void ImagePlaybackPanel::setPlaying(bool on)
{
    playing = on;
    updatePlayButton();
    // Only the settings of the next start lock; folders and the grid stay editable.
    intervalSpin->setEnabled(!on);
    loopButton->setEnabled(!on);
}

void ImagePlaybackPanel::setChineseUi(bool chinese)
{
    chineseUi = chinese;
    folderEdit->setPlaceholderText(tr2(chinese, "图片目录", "Image folder"));
    browseButton->setText(tr2(chinese, "浏览", "Browse"));
    browseButton->setToolTip(tr2(chinese, "选择图片目录", "Select image folder"));
    intervalLabel->setText(tr2(chinese, "间隔", "Interval"));
    intervalSpin->setToolTip(tr2(chinese, "每张图片显示时长：200-10000 ms", "Duration per image: 200-10000 ms"));
    updateLoopToolTip();
    updatePlayButton();
}

void ImagePlaybackPanel::updateLoopToolTip()
{
    loopButton->setToolTip(loopButton->isChecked()
                               ? tr2(chineseUi, "循环已开启：最后一张结束后从首张继续",
                                     "Loop on: continue from the first image after the last")
                               : tr2(chineseUi, "循环已关闭：最后一张结束后停止", "Loop off: stop after the last image"));
}

void ImagePlaybackPanel::updatePlayButton()
{
    if (playing) {
        playButton->setText(tr2(chineseUi, "停止播放", "Stop"));
        playButton->setToolTip(tr2(chineseUi, "停止图片轮播", "Stop image playback"));
    } else {
        playButton->setText(tr2(chineseUi, "播放图片", "Play"));
        playButton->setToolTip(tr2(chineseUi, "按设定间隔轮播图片", "Play images using the selected interval"));
    }
}

void ImagePlaybackPanel::addImagesFromDirectory()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr2(chineseUi, "选择图片目录", "Select image folder"), QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    addImages(folder);
}

void ImagePlaybackPanel::addImages(const QString& folder)
{
    folderEdit->setText(folder);
    for (const QString& path : slideshowImagesInFolder(folder)) {
        auto* item = new ImageItem(path);
        scene->addItem(item);
        items.append(item);
        connect(item, &ImageItem::selectedChanged, this, &ImagePlaybackPanel::onItemSelectedChanged);
        connect(item, &ImageItem::endDrag, this, &ImagePlaybackPanel::onItemReleased);
    }
    relayoutItems();
}

void ImagePlaybackPanel::relayoutItems()
{
    for (int i = 0; i < items.size(); ++i)
        items[i]->setPos(slideshowCellPosition(i));
}

void ImagePlaybackPanel::onItemSelectedChanged(ImageItem* item, bool selected, bool shiftPressed)
{
    if (!shiftPressed) {
        for (ImageItem* other : std::as_const(items)) {
            if (other != item)
                other->setHighlighted(false);
        }
    }
    item->setHighlighted(selected);
}

void ImagePlaybackPanel::onItemReleased(ImageItem* item)
{
    const int current = items.indexOf(item);
    if (current < 0)
        return;
    const QRectF box = item->boundingRect();
    const QPointF centre = item->scenePos() + QPointF(box.width() / 2, box.height() / 2);
    const int index = slideshowDropIndex(centre, int(items.size()));
    if (index != current) {
        items.removeAt(current);
        items.insert(index, item);
    }
    relayoutItems();
}

QList<ImageItem*> ImagePlaybackPanel::selectedItems() const
{
    QList<ImageItem*> selected;
    for (ImageItem* item : items) {
        if (item->isSelected())
            selected.append(item);
    }
    return selected;
}

void ImagePlaybackPanel::removeSelectedImages()
{
    for (ImageItem* item : selectedItems()) {
        scene->removeItem(item);
        items.removeOne(item);
        delete item;
    }
    relayoutItems();
}

void ImagePlaybackPanel::onPlayClicked()
{
    if (playing) {
        emit imagePlayStopRequested();
        return;
    }
    QStringList paths;
    paths.reserve(items.size());
    for (const ImageItem* item : std::as_const(items))
        paths << item->path();
    emit imagePlayRequested(paths, intervalSpin ? intervalSpin->value() : kDefaultIntervalMs, loopButton->isChecked());
}
