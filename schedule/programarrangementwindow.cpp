// The arrangement editor window: layout and style, the two row lists, the
// summary, turning the rows into a checked arrangement and back, and the run
// state display. The file and run commands are in
// programarrangementcommands.cpp.

#include "schedule/programarrangementwindow.h"

#include "schedule/overlayrowwidget.h"
#include "schedule/scenerowwidget.h"
#include "schedule/scheduledatetimewidget.h"

#include <QCheckBox>
#include <QDate>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSet>
#include <QVBoxLayout>

namespace {

const char* const kTimelineZeroFormat = "yyyy-MM-dd HH:mm:ss";

constexpr int kWindowWidth = 1280;
constexpr int kWindowHeight = 780;
constexpr int kRunButtonMinWidth = 116;

// The run button and the status pill, idle and running.
const char* const kIdleRunButtonSheet =
    "QPushButton { background:#355b3c;color:#d9f4dd;border:1px solid #4f8058;padding:5px 12px;font-weight:600; } "
    "QPushButton:hover { background:#41704a; }";
const char* const kRunningRunButtonSheet =
    "QPushButton { background:#5b3434;color:#f4d7d7;border:1px solid #8a5050;padding:5px 12px;font-weight:600; } "
    "QPushButton:hover { background:#704040; }";
const char* const kIdleStatusSheet = "color:#c9cbd1;background:#24272e;border:1px solid #3a3e48;";
const char* const kRunningStatusSheet = "color:#c9f6d0;background:#203b27;border:1px solid #396b45;";

// Rows of a list: every item before the trailing stretch.
int rowCount(const QVBoxLayout* layout)
{
    return layout ? qMax(0, layout->count() - 1) : 0;
}

template <typename Row>
Row* rowAt(const QVBoxLayout* layout, int index)
{
    QLayoutItem* item = layout->itemAt(index);
    // dynamic_cast: the overlay row has no meta-object of its own.
    return item ? dynamic_cast<Row*>(item->widget()) : nullptr;
}

// The first "<prefix>N" (N from 1) that no row of the list but `except`
// carries in its trimmed ID field. The ids are gathered once, so filling a
// list of n rows costs O(n²) and not O(n³).
template <typename Row>
QString freeRowId(const QVBoxLayout* layout, const Row* except, const QString& pattern)
{
    QSet<QString> taken;
    const int rows = rowCount(layout);
    for (int i = 0; i < rows; ++i) {
        const Row* row = rowAt<Row>(layout, i);
        if (row && row != except && row->idEdit)
            taken.insert(row->idEdit->text().trimmed());
    }
    for (int n = 1;; ++n) {
        const QString candidate = pattern.arg(n);
        if (!taken.contains(candidate))
            return candidate;
    }
}

// A new row goes directly above the list's stretch. Without an id pattern
// the caller sets the id itself (loading a clip), and the search is skipped.
template <typename Row>
Row* insertRow(ProgramArrangementWindow* window, QVBoxLayout* layout, const QString& idPattern = QString())
{
    const int count = layout->count();
    auto* row = new Row(window, layout->parentWidget());
    layout->insertWidget(qMax(0, count - 1), row, 0);
    if (row->idEdit && !idPattern.isEmpty())
        row->idEdit->setText(freeRowId<Row>(layout, row, idPattern));
    return row;
}

void takeRow(QVBoxLayout* layout, QWidget* row)
{
    if (!layout || !row)
        return;
    layout->removeWidget(row);
    // Out of the layout at once; hidden so it is not painted at its old
    // place until the event loop deletes it.
    row->hide();
    row->deleteLater();
}

void takeAllRows(QVBoxLayout* layout)
{
    if (!layout)
        return;
    while (layout->count() > 1) {
        QLayoutItem* item = layout->takeAt(0);
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
}

// A list inside a group box: a frameless scroll area whose inner widget
// carries the rows, and the add and clear buttons under it.
QVBoxLayout* buildRowList(QGroupBox* group, QPushButton* addButton, QPushButton* clearButton)
{
    auto* groupLayout = new QVBoxLayout(group);
    auto* scroll = new QScrollArea(group);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* inner = new QWidget(scroll);
    inner->setObjectName(QStringLiteral("scrollInner"));
    auto* rows = new QVBoxLayout(inner);
    rows->setSpacing(10);
    rows->addStretch(1);
    scroll->setWidget(inner);
    groupLayout->addWidget(scroll);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(addButton);
    buttons->addStretch();
    buttons->addWidget(clearButton);
    groupLayout->addLayout(buttons);
    return rows;
}

} // namespace

ProgramArrangementWindow::ProgramArrangementWindow(QObject* mainWindow, QWidget* parent)
    : QDialog(parent), mainWindow(mainWindow)
{
    setWindowTitle(QStringLiteral("节目编排"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowFlags(windowFlags() | Qt::Window | Qt::WindowMaximizeButtonHint);
    resize(kWindowWidth, kWindowHeight);
    applyDialogStyle();

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(14, 14, 14, 14);
    root->setSpacing(12);

    auto* baseGroup = new QGroupBox(QStringLiteral("基准时间"), this);
    auto* baseLayout = new QHBoxLayout(baseGroup);
    baseLayout->addWidget(new QLabel(QStringLiteral("基准时间"), baseGroup));
    baseTimeEdit = new ScheduleDateTimeWidget(baseGroup);
    baseTimeEdit->setDateTime(QDateTime(QDate::currentDate(), QTime(0, 0), Qt::LocalTime));
    baseLayout->addWidget(baseTimeEdit, 1);
    baseLayout->addStretch(1);
    summaryLabel = new QLabel(QStringLiteral("基底 0  |  叠加 0"), baseGroup);
    summaryLabel->setObjectName(QStringLiteral("arrSummary"));
    baseLayout->addWidget(summaryLabel);
    statusLabel = new QLabel(QStringLiteral("未运行"), baseGroup);
    statusLabel->setObjectName(QStringLiteral("arrStatus"));
    baseLayout->addWidget(statusLabel);
    root->addWidget(baseGroup, 0);

    sceneGroup = new QGroupBox(QStringLiteral("基底片段"), this);
    addSceneButton = new QPushButton(QStringLiteral("＋ 添加基底片段"), sceneGroup);
    clearScenesButton = new QPushButton(QStringLiteral("清空"), sceneGroup);
    sceneRowsLayout = buildRowList(sceneGroup, addSceneButton, clearScenesButton);
    root->addWidget(sceneGroup, 2);

    overlayGroup = new QGroupBox(QStringLiteral("叠加片段"), this);
    addOverlayButton = new QPushButton(QStringLiteral("＋ 添加叠加片段"), overlayGroup);
    clearOverlaysButton = new QPushButton(QStringLiteral("清空"), overlayGroup);
    overlayRowsLayout = buildRowList(overlayGroup, addOverlayButton, clearOverlaysButton);
    root->addWidget(overlayGroup, 2);

    auto* fileRow = new QHBoxLayout;
    importButton = new QPushButton(QStringLiteral("导入 JSON…"), this);
    exportButton = new QPushButton(QStringLiteral("导出 JSON…"), this);
    fileRow->addWidget(importButton);
    fileRow->addWidget(exportButton);
    fileRow->addStretch();
    root->addLayout(fileRow);

    auto* runRow = new QHBoxLayout;
    validateButton = new QPushButton(QStringLiteral("检查编排"), this);
    runButton = new QPushButton(QStringLiteral("开始编排"), this);
    runButton->setObjectName(QStringLiteral("arrRun"));
    runButton->setMinimumWidth(kRunButtonMinWidth);
    runRow->addWidget(validateButton);
    runRow->addStretch();
    runRow->addWidget(runButton);
    root->addLayout(runRow);

    connect(addSceneButton, &QPushButton::clicked, this, &ProgramArrangementWindow::onAddSceneRow);
    connect(addOverlayButton, &QPushButton::clicked, this, &ProgramArrangementWindow::onAddOverlayRow);
    connect(clearScenesButton, &QPushButton::clicked, this, [this] {
        if (confirmClear(localizedText(QStringLiteral("Clear Base Clips"), QStringLiteral("清空基底片段")),
                         localizedText(QStringLiteral("Delete all base clips?"),
                                       QStringLiteral("确定删除全部基底片段吗？")))
            && sceneRowsLayout)
            clearSceneRows();
    });
    connect(clearOverlaysButton, &QPushButton::clicked, this, [this] {
        if (confirmClear(localizedText(QStringLiteral("Clear Overlay Clips"), QStringLiteral("清空叠加片段")),
                         localizedText(QStringLiteral("Delete all overlay clips?"),
                                       QStringLiteral("确定删除全部叠加片段吗？")))
            && overlayRowsLayout)
            clearOverlayRows();
    });
    connect(importButton, &QPushButton::clicked, this, &ProgramArrangementWindow::onImportJson);
    connect(exportButton, &QPushButton::clicked, this, &ProgramArrangementWindow::onExportJson);
    connect(validateButton, &QPushButton::clicked, this, &ProgramArrangementWindow::onValidateArrangement);
    connect(runButton, &QPushButton::clicked, this, &ProgramArrangementWindow::toggleRun);
    connectRunnerState();

    onAddSceneRow();
    if (auto* first = rowAt<SceneRowWidget>(sceneRowsLayout, 0)) {
        SceneClip clip;
        clip.id = QStringLiteral("s0");
        first->loadClip(clip, baseTimeEdit->dateTime());
    }

    updateSummary();
    setArrangementRunning(false);
}

ProgramArrangementWindow::~ProgramArrangementWindow() = default;

bool ProgramArrangementWindow::confirmClear(const QString& title, const QString& text)
{
    return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton)
        == QMessageBox::Yes;
}

void ProgramArrangementWindow::warn(const QString& englishTitle, const QString& chineseTitle,
                                    const QString& englishText, const QString& chineseText)
{
    QMessageBox::warning(this, localizedText(englishTitle, chineseTitle), localizedText(englishText, chineseText));
}

void ProgramArrangementWindow::onAddSceneRow()
{
    if (!sceneRowsLayout)
        return;
    insertRow<SceneRowWidget>(this, sceneRowsLayout, QStringLiteral("s%1"));
    updateSummary();
}

void ProgramArrangementWindow::onAddOverlayRow()
{
    if (!overlayRowsLayout)
        return;
    insertRow<OverlayRowWidget>(this, overlayRowsLayout, QStringLiteral("o%1"));
    updateSummary();
}

void ProgramArrangementWindow::removeSceneRow(QWidget* row)
{
    if (!row || !sceneRowsLayout)
        return;
    takeRow(sceneRowsLayout, row);
    updateSummary();
}

void ProgramArrangementWindow::removeOverlayRow(QWidget* row)
{
    if (!row || !overlayRowsLayout)
        return;
    takeRow(overlayRowsLayout, row);
    updateSummary();
}

void ProgramArrangementWindow::clearSceneRows()
{
    takeAllRows(sceneRowsLayout);
    updateSummary();
}

void ProgramArrangementWindow::clearOverlayRows()
{
    takeAllRows(overlayRowsLayout);
    updateSummary();
}

void ProgramArrangementWindow::updateSummary()
{
    if (!summaryLabel)
        return;
    summaryLabel->setText(localizedText(QStringLiteral("Base %1  |  Overlay %2"), QStringLiteral("基底 %1  |  叠加 %2"))
                              .arg(rowCount(sceneRowsLayout))
                              .arg(rowCount(overlayRowsLayout)));
}

ProgramArrangement ProgramArrangementWindow::buildArrangement(bool* ok)
{
    if (ok)
        *ok = false;

    const QString invalidEn = QStringLiteral("Invalid Schedule");
    const QString invalidZh = QStringLiteral("编排有误");
    const QString errorZh = QStringLiteral("错误");
    const QString missingEn = QStringLiteral("Missing Media");
    const QString missingZh = QStringLiteral("素材不存在");
    const QString endEn = QStringLiteral("End time must be later than start time.");
    const QString endZh = QStringLiteral("结束时间必须大于开始时间");
    // Shows the first failure and gives the default arrangement.
    auto fail = [this](const QString& titleEn, const QString& titleZh, const QString& textEn, const QString& textZh) {
        warn(titleEn, titleZh, textEn, textZh);
        return ProgramArrangement{};
    };

    ProgramArrangement arrangement;
    arrangement.timelineZero = baseTimeEdit->dateTime().toString(QLatin1String(kTimelineZeroFormat));
    const QDateTime base = baseTimeEdit->dateTime();

    QSet<QString> sceneIds;
    for (int i = 0; i < rowCount(sceneRowsLayout); ++i) {
        const SceneRowWidget* row = rowAt<SceneRowWidget>(sceneRowsLayout, i);
        if (!row)
            continue;
        const SceneClip clip = row->toClip(base);
        if (clip.id.isEmpty())
            return fail(invalidEn, invalidZh, QStringLiteral("Every base clip needs an ID."),
                        QStringLiteral("每个基底片段都必须填写编号。"));
        if (sceneIds.contains(clip.id))
            return fail(invalidEn, invalidZh, QStringLiteral("Duplicate base clip ID: %1").arg(clip.id),
                        QStringLiteral("基底片段编号重复：%1").arg(clip.id));
        if (!row->untilStoppedCheck->isChecked() && clip.endMs <= clip.startMs)
            return fail(invalidEn, errorZh, endEn, endZh);
        if (clip.kind == SceneClipKind::Channel) {
            if (clip.sceneVideoPath.isEmpty())
                return fail(invalidEn, errorZh, QStringLiteral("Select a video for the channel."),
                            QStringLiteral("通道必须选择视频"));
            if (!QFileInfo::exists(clip.sceneVideoPath))
                return fail(missingEn, missingZh, QStringLiteral("Base video was not found: %1").arg(clip.sceneVideoPath),
                            QStringLiteral("找不到基底视频：%1").arg(clip.sceneVideoPath));
        } else if (clip.kind == SceneClipKind::ImagePlay) {
            if (clip.imageDirectory.isEmpty())
                return fail(invalidEn, errorZh, QStringLiteral("Select an image directory."),
                            QStringLiteral("播放图片必须选择目录"));
            if (!QFileInfo(clip.imageDirectory).isDir())
                return fail(missingEn, missingZh,
                            QStringLiteral("Image directory was not found: %1").arg(clip.imageDirectory),
                            QStringLiteral("找不到图片目录：%1").arg(clip.imageDirectory));
        }
        sceneIds.insert(clip.id);
        arrangement.sceneClips.append(clip);
    }

    QSet<QString> overlayIds;
    for (int i = 0; i < rowCount(overlayRowsLayout); ++i) {
        const OverlayRowWidget* row = rowAt<OverlayRowWidget>(overlayRowsLayout, i);
        if (!row)
            continue;
        const OverlayClip clip = row->toClip(base);
        if (clip.id.isEmpty())
            return fail(invalidEn, invalidZh, QStringLiteral("Every overlay clip needs an ID."),
                        QStringLiteral("每个叠加片段都必须填写编号。"));
        if (overlayIds.contains(clip.id))
            return fail(invalidEn, invalidZh, QStringLiteral("Duplicate overlay clip ID: %1").arg(clip.id),
                        QStringLiteral("叠加片段编号重复：%1").arg(clip.id));
        if (!row->untilStoppedCheck->isChecked() && clip.endMs <= clip.startMs)
            return fail(invalidEn, errorZh, endEn, endZh);
        switch (clip.overlayKind) {
        case OverlayClipKind::Text:
            if (clip.textData.text.trimmed().isEmpty())
                return fail(invalidEn, errorZh, QStringLiteral("Overlay text cannot be empty."),
                            QStringLiteral("文字不能为空"));
            break;
        case OverlayClipKind::Video:
            if (clip.path.isEmpty())
                return fail(invalidEn, errorZh, QStringLiteral("Select an overlay video."), QStringLiteral("请选择视频"));
            if (!QFileInfo::exists(clip.path))
                return fail(missingEn, missingZh, QStringLiteral("Overlay video was not found: %1").arg(clip.path),
                            QStringLiteral("找不到叠加视频：%1").arg(clip.path));
            break;
        case OverlayClipKind::Image:
            if (clip.path.isEmpty())
                return fail(invalidEn, errorZh, QStringLiteral("Select an overlay image file."),
                            QStringLiteral("请选择叠加图片文件"));
            if (!QFileInfo::exists(clip.path))
                return fail(missingEn, missingZh, QStringLiteral("Overlay image was not found: %1").arg(clip.path),
                            QStringLiteral("找不到叠加图片：%1").arg(clip.path));
            break;
        default:
            break;
        }
        overlayIds.insert(clip.id);
        arrangement.overlayClips.append(clip);
    }

    if (ok)
        *ok = true;
    return arrangement;
}

void ProgramArrangementWindow::loadArrangement(const ProgramArrangement& arrangement)
{
    if (sceneRowsLayout)
        clearSceneRows();
    if (overlayRowsLayout)
        clearOverlayRows();

    QDateTime base;
    if (!arrangement.timelineZero.isEmpty()) {
        base = QDateTime::fromString(arrangement.timelineZero, QLatin1String(kTimelineZeroFormat));
        if (!base.isValid())
            base = QDateTime::fromString(arrangement.timelineZero, Qt::ISODate).toLocalTime();
    }
    if (!base.isValid()) {
        // The earliest clip starts at today's midnight.
        bool anyClip = false;
        qint64 earliest = 0;
        auto consider = [&](qint64 startMs) {
            earliest = anyClip ? qMin(earliest, startMs) : startMs;
            anyClip = true;
        };
        for (const SceneClip& clip : arrangement.sceneClips)
            consider(clip.startMs);
        for (const OverlayClip& clip : arrangement.overlayClips)
            consider(clip.startMs);
        base = QDate::currentDate().startOfDay().addMSecs(-earliest);
    }
    baseTimeEdit->setDateTime(base);
    // Rows count from what the field shows, as buildArrangement does.
    base = baseTimeEdit->dateTime();

    // Each loaded clip brings its own id, so the free-id search of the add
    // buttons (a pass over the whole list per row) is not made here.
    if (sceneRowsLayout) {
        for (const SceneClip& clip : arrangement.sceneClips)
            insertRow<SceneRowWidget>(this, sceneRowsLayout)->loadClip(clip, base);
    }
    if (overlayRowsLayout) {
        for (const OverlayClip& clip : arrangement.overlayClips)
            insertRow<OverlayRowWidget>(this, overlayRowsLayout)->loadClip(clip, base);
    }
    if (arrangement.sceneClips.isEmpty())
        onAddSceneRow();
    updateSummary();
}

void ProgramArrangementWindow::applyDialogStyle()
{
    setStyleSheet(QStringLiteral(
        "QDialog { background: #17191d; color: #d4af37; font-family: \"Segoe UI\", \"Microsoft YaHei\"; font-size: 13px; }"
        "QLabel#arrSummary { color: #c9cbd1; padding: 3px 8px; }"
        "QLabel#arrStatus { color: #c9cbd1; background: #24272e; border: 1px solid #3a3e48;  border-radius: 4px; "
        "padding: 3px 10px; font-weight: 600; }"
        "QLabel { color: #d4af37; }"
        "QFrame#arrangementCard { background: #1a1c20; border: 1px solid #343840; border-radius: 8px; }"
        "QGroupBox { font-weight: 600; border: 1px solid #343840; border-radius: 8px; margin-top: 8px; "
        "padding-top: 10px; color: #d4af37; }"
        "QGroupBox::title { subcontrol-origin: margin; left: 10px; top: 0px; padding: 0 4px; color: #d4af37; }"
        "QPushButton { background: #2b2d33; color: #d4af37; border-radius: 4px; padding: 4px 8px; font-weight: bold; }"
        "QPushButton:hover { background: #3c3f48; }"
        "QPushButton:checked { background: #50535f; }"
        "QPushButton:pressed { background: #22252d; }"
        "QPushButton:disabled { color: #737680; background: #22242a; }"
        "QLineEdit, QSpinBox, QDoubleSpinBox, QComboBox, QDateEdit { background-color: #1a1c20; border: 1px solid "
        "#333; padding: 5px; border-radius: 6px; color: white; }"
        "QScrollArea { background: #17191d; border: none; }"
        "QCheckBox { color: #d4af37; spacing: 6px; }"
        "QCheckBox#arrLoop::indicator { width: 15px; height: 15px; border: 1px solid #9b7f27;  border-radius: 3px; "
        "background: #17191d; }"
        "QCheckBox#arrLoop::indicator:hover { border: 1px solid #d4af37; background: #24231c; }"
        "QCheckBox#arrLoop::indicator:checked { border: 1px solid #d4af37; background: #6f5a19;  "
        "image: url(:/resources/images/tick.png); }"
        "QAbstractSpinBox::up-button, QAbstractSpinBox::down-button { width: 16px; }"
        "QWidget#scrollInner { background: #17191d; }"));
}

void ProgramArrangementWindow::setArrangementRunning(bool value)
{
    running = value;
    for (QWidget* widget : {static_cast<QWidget*>(baseTimeEdit), static_cast<QWidget*>(sceneGroup),
                            static_cast<QWidget*>(overlayGroup), static_cast<QWidget*>(importButton),
                            static_cast<QWidget*>(validateButton)}) {
        if (widget)
            widget->setEnabled(!running);
    }
    if (runButton) {
        runButton->setText(running ? localizedText(QStringLiteral("Stop Schedule"), QStringLiteral("停止编排"))
                                   : localizedText(QStringLiteral("Start Schedule"), QStringLiteral("开始编排")));
        runButton->setStyleSheet(QLatin1String(running ? kRunningRunButtonSheet : kIdleRunButtonSheet));
    }
    if (statusLabel) {
        statusLabel->setText(running ? localizedText(QStringLiteral("RUNNING"), QStringLiteral("运行中"))
                                     : localizedText(QStringLiteral("READY"), QStringLiteral("未运行")));
        statusLabel->setStyleSheet(QLatin1String(running ? kRunningStatusSheet : kIdleStatusSheet));
    }
}

QString ProgramArrangementWindow::localizedText(const QString& english, const QString& chinese) const
{
    return chineseUi ? chinese : english;
}
