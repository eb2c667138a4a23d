#include "schedule/scenerowwidget.h"

#include "schedule/arrangementfile.h"
#include "schedule/cliprowcommon.h"
#include "schedule/programarrangementwindow.h"
#include "schedule/scheduledatetimewidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTime>

#include <algorithm>

namespace {

constexpr int kChannelCount = 4;
constexpr int kIntervalMinMs = 200;
constexpr int kIntervalMaxMs = 10000;
constexpr int kIntervalDefaultMs = 2000;
constexpr int kSectionSpacing = 4;
constexpr int kSplitterHandleWidth = 6;
constexpr int kIdEditWidth = 60;
constexpr int kIntervalSpinWidth = 90;
constexpr int kDeleteButtonWidth = 30;

constexpr char kSplitterStyleSheet[] =
    "QSplitter::handle { background: transparent; }"
    "QSplitter::handle:hover { background: transparent; }";
constexpr char kHandleMarkStyleSheet[] = "color: rgba(200,200,200,200); font-size: 16px;";
constexpr char kVideoFilter[] = "视频 (*.mp4 *.avi *.mov *.mkv);;所有文件 (*)";

QHBoxLayout* sectionLayout(QWidget* section)
{
    auto* layout = new QHBoxLayout(section);
    layout->setContentsMargins(0, 0, 0, 0);
    return layout;
}

} // namespace

SceneRowWidget::SceneRowWidget(ProgramArrangementWindow* window, QWidget* parent)
    : QFrame(parent), window(window)
{
    setFrameShape(QFrame::StyledPanel);
    // The window's style sheet draws frames of this name as cards.
    setObjectName(QStringLiteral("arrangementCard"));

    splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setStyleSheet(QString::fromUtf8(kSplitterStyleSheet));
    splitter->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    splitter->setChildrenCollapsible(true);
    splitter->setHandleWidth(kSplitterHandleWidth);

    const QDate today = QDate::currentDate();

    // The id stays hidden: the window names the rows itself.
    idSection = new QWidget(this);
    {
        QHBoxLayout* layout = sectionLayout(idSection);
        layout->setSpacing(kSectionSpacing);
        idEdit = new QLineEdit(idSection);
        idEdit->setPlaceholderText(QStringLiteral("id"));
        idEdit->setFixedWidth(kIdEditWidth);
        layout->addWidget(new QLabel(QStringLiteral("ID"), idSection));
        layout->addWidget(idEdit);
    }
    idSection->hide();

    timeSection = new QWidget(this);
    {
        QHBoxLayout* layout = sectionLayout(timeSection);
        layout->setSpacing(kSectionSpacing);
        startEdit = new ScheduleDateTimeWidget(timeSection);
        startEdit->setToolTip(QStringLiteral("开始时间"));
        startEdit->setDateTime(QDateTime(today, QTime(0, 0), Qt::LocalTime));
        endEdit = new ScheduleDateTimeWidget(timeSection);
        endEdit->setToolTip(QStringLiteral("结束时间"));
        endEdit->setDateTime(QDateTime(today, QTime(1, 0), Qt::LocalTime));
        untilStoppedCheck = new QCheckBox(QStringLiteral("∞"), timeSection);
        untilStoppedCheck->setToolTip(QStringLiteral("持续到手动停止"));
        untilStoppedCheck->setStyleSheet(clipRowCheckBoxStyleSheet());
        layout->addWidget(startEdit);
        layout->addWidget(endEdit);
        layout->addWidget(untilStoppedCheck);
    }

    kindSection = new QWidget(this);
    {
        QHBoxLayout* layout = sectionLayout(kindSection);
        kindCombo = new QComboBox(kindSection);
        kindCombo->setStyleSheet(clipRowKindListStyleSheet());
        for (int channel = 0; channel < kChannelCount; ++channel)
            kindCombo->addItem(QStringLiteral("通道%1").arg(channel + 1), channel);
        kindCombo->addItem(QStringLiteral("图片"), kImageKind);
        // The main window converts the item texts when the language
        // changes; the width follows them instead of keeping the first one,
        // and never shrinks below them, so the splitter widens the section.
        kindCombo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        kindCombo->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
        layout->addWidget(kindCombo);
    }

    intervalSection = new QWidget(this);
    {
        QHBoxLayout* layout = sectionLayout(intervalSection);
        intervalLabel = new QLabel(QStringLiteral("间隔"), intervalSection);
        intervalSpin = new QSpinBox(intervalSection);
        intervalSpin->setRange(kIntervalMinMs, kIntervalMaxMs);
        intervalSpin->setValue(kIntervalDefaultMs);
        intervalSpin->setSuffix(QStringLiteral("ms"));
        intervalSpin->setFixedWidth(kIntervalSpinWidth);
        loopCheck = new QCheckBox(QStringLiteral("循环"), intervalSection);
        // The window's style sheet styles the loop boxes by this name.
        loopCheck->setObjectName(QStringLiteral("arrLoop"));
        layout->addWidget(intervalLabel);
        layout->addWidget(intervalSpin);
        layout->addWidget(loopCheck);
    }

    mediaSection = new QWidget(this);
    {
        QHBoxLayout* layout = sectionLayout(mediaSection);
        directoryButton = new QPushButton(QStringLiteral("目录"), mediaSection);
        videoButton = new QPushButton(QStringLiteral("视频"), mediaSection);
        pathEdit = new QLineEdit(mediaSection);
        pathEdit->setReadOnly(true);
        layout->addWidget(directoryButton);
        layout->addWidget(videoButton);
        layout->addWidget(pathEdit, 1);
    }

    deleteSection = new QWidget(this);
    {
        QHBoxLayout* layout = sectionLayout(deleteSection);
        deleteButton = new QPushButton(QStringLiteral("×"), deleteSection);
        deleteButton->setToolTip(QStringLiteral("删除"));
        deleteButton->setFixedWidth(kDeleteButtonWidth);
        layout->addWidget(deleteButton);
    }

    for (QWidget* section : {idSection, timeSection, kindSection, intervalSection, mediaSection, deleteSection})
        splitter->addWidget(section);
    // Handle 0 sits before the first section and is never shown.
    for (int i = 1; i < splitter->count(); ++i) {
        auto* mark = new QLabel(QStringLiteral("|"), splitter->handle(i));
        mark->setAlignment(Qt::AlignCenter);
        mark->setStyleSheet(QString::fromUtf8(kHandleMarkStyleSheet));
        mark->setFixedHeight(splitter->height());
        mark->show();
    }

    auto* rowLayout = new QHBoxLayout(this);
    rowLayout->setContentsMargins(10, 6, 10, 6);
    rowLayout->addWidget(splitter);

    // Connected after the list is filled, so building it runs no slot.
    connect(untilStoppedCheck, &QCheckBox::toggled, endEdit, [this](bool checked) { endEdit->setEnabled(!checked); });
    connect(kindCombo, &QComboBox::currentIndexChanged, this, &SceneRowWidget::onKindUserChanged);
    connect(directoryButton, &QPushButton::clicked, this, &SceneRowWidget::onBrowseDirectory);
    connect(videoButton, &QPushButton::clicked, this, &SceneRowWidget::onBrowseSceneVideo);
    connect(deleteButton, &QPushButton::clicked, this, [this] {
        if (this->window)
            this->window->removeSceneRow(this);
    });

    updateKindVisibility();
}

int SceneRowWidget::currentKind() const
{
    return kindCombo->currentData().toInt();
}

void SceneRowWidget::updateKindVisibility()
{
    const int kind = currentKind();
    const bool image = kind == kImageKind;
    intervalLabel->setVisible(image);
    intervalSpin->setVisible(image);
    directoryButton->setVisible(image);
    videoButton->setVisible(kind >= 0 && kind < kChannelCount);
}

void SceneRowWidget::updateImageCount()
{
    if (currentKind() == kImageKind) {
        if (!imageDirectory.isEmpty())
            pathEdit->setText(imageDirectory);
        else if (!paths.isEmpty())
            pathEdit->setText(QStringLiteral("（%1 张图片）").arg(paths.size()));
        else
            pathEdit->clear();
    } else {
        if (!sceneVideoPath.isEmpty())
            pathEdit->setText(sceneVideoPath);
        else
            pathEdit->clear();
    }
}

void SceneRowWidget::onKindUserChanged(int)
{
    // Moving between channels keeps the video; moving between a channel and
    // the slideshow drops what the other kind had chosen.
    if (currentKind() == kImageKind) {
        sceneVideoPath.clear();
        pathEdit->setPlaceholderText(QStringLiteral("图片目录路径"));
    } else {
        imageDirectory.clear();
        paths.clear();
        pathEdit->setPlaceholderText(QStringLiteral("视频文件路径"));
    }
    updateImageCount();
    updateKindVisibility();
}

void SceneRowWidget::onBrowseDirectory()
{
    const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("选择图片目录"), imageDirectory);
    if (folder.isEmpty())
        return;
    imageDirectory = folder;
    paths = listImageFiles(folder);
    pathEdit->setText(QStringLiteral("%1（%2 张）").arg(folder).arg(paths.size()));
}

void SceneRowWidget::onBrowseSceneVideo()
{
    const QString startFolder = sceneVideoPath.isEmpty() ? QString() : QFileInfo(sceneVideoPath).absolutePath();
    const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("选择视频文件"), startFolder,
                                                      QString::fromUtf8(kVideoFilter));
    if (file.isEmpty())
        return;
    // Whether it exists is checked when the window builds the arrangement.
    sceneVideoPath = file;
    pathEdit->setText(file);
}

SceneClip SceneRowWidget::toClip(const QDateTime& base) const
{
    SceneClip clip;
    clip.id = idEdit->text().trimmed();
    clip.startMs = clipStartMs(base, startEdit);
    clip.endMs = clipEndMs(base, endEdit, untilStoppedCheck);
    const int kind = currentKind();
    if (kind != kImageKind) {
        // The row never writes SceneVideo: it plays exactly as Channel.
        clip.kind = SceneClipKind::Channel;
        clip.channel = kind;
        clip.sceneVideoPath = sceneVideoPath;
        clip.sceneVideoLoop = loopCheck->isChecked();
        return clip;
    }
    clip.kind = SceneClipKind::ImagePlay;
    clip.imageDirectory = imageDirectory;
    // A folder without a list (a loaded clip) is listed now, so images added
    // to it since are played too.
    clip.paths = (paths.isEmpty() && !imageDirectory.isEmpty()) ? listImageFiles(imageDirectory) : paths;
    clip.intervalMs = intervalSpin->value();
    clip.imageLoop = loopCheck->isChecked();
    return clip;
}

void SceneRowWidget::loadClip(const SceneClip& clip, const QDateTime& base)
{
    idEdit->setText(clip.id);
    showClipTimes(base, clip.startMs, clip.endMs, startEdit, endEdit, untilStoppedCheck);
    // The box clamps whatever a file held to its range.
    intervalSpin->setValue(clip.intervalMs > 0 ? clip.intervalMs : kIntervalDefaultMs);
    const bool image = clip.kind == SceneClipKind::ImagePlay;
    loopCheck->setChecked(image ? clip.imageLoop : clip.sceneVideoLoop);
    paths = clip.paths;
    imageDirectory = clip.imageDirectory;
    sceneVideoPath = clip.sceneVideoPath;
    {
        // A loaded clip keeps everything it carries; the kind change must not
        // clear it as an operator's change would.
        const QSignalBlocker blocker(kindCombo);
        const int kind = image ? kImageKind : std::clamp(clip.channel, 0, kChannelCount - 1);
        kindCombo->setCurrentIndex(kindCombo->findData(kind));
    }
    updateKindVisibility();
    updateImageCount();
}
