#include "ui/textpanel.h"

#include "engine/canvasgeometry.h"
#include "ui/texteffectdialog.h"
#include "ui/textpreviewwidget.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// Each new row starts one line lower on the reference canvas.
constexpr double kDefaultLeft = 12.0;
constexpr double kDefaultTop = 12.0;
constexpr double kDefaultLineStep = 26.0;

// Dynamic properties: the row's record (owned by the panel) and, on each
// position window, the row it writes to.
constexpr const char* kRecordProperty = "textData";
constexpr const char* kPickerRowProperty = "textRow";

const QString kButtonStyle = QStringLiteral(
    "QPushButton { background-color: #2b2d33; color: #d4af37; border-radius: 4px; padding: 4px 8px;"
    " font-weight: bold; }"
    "QPushButton:hover { background-color: #3c3f48; }"
    "QPushButton:disabled { background-color: #1a1c20; color: #666; }");

const QString kConfirmStyle = QStringLiteral(
    "QMessageBox { background:#17191d; }"
    "QLabel#qt_msgbox_label { color:#d4af37; min-width:320px; }"
    "QPushButton { min-width:84px; min-height:28px; background:#2b2d33; color:#d4af37; border:1px solid #454a55;"
    " border-radius:4px; padding:4px 10px; }"
    "QPushButton:hover { background:#3c3f48; }"
    "QPushButton:default { border:1px solid #8c7a4b; }");

TextOverlayData* recordOf(const QWidget* row)
{
    return row ? row->property(kRecordProperty).value<TextOverlayData*>() : nullptr;
}

QPushButton* rowButton(const QWidget* row, const char* name)
{
    return row->findChild<QPushButton*>(QLatin1String(name));
}

} // namespace

TextOverlayData newTextRowRecord(int id, int rowsBefore)
{
    TextOverlayData d;
    d.id = id;
    const QPointF pos = fromReferenceCanvasPoint(QPointF(kDefaultLeft, kDefaultTop + kDefaultLineStep * rowsBefore));
    d.posX = pos.x();
    d.posY = pos.y();
    return d;
}

QPointF textPositionFromPicker(QPoint pos, QSize window)
{
    if (window.width() <= 0 || window.height() <= 0)
        return fromReferenceCanvasPoint(QPointF(pos));
    return {double(pos.x()) / window.width(), double(pos.y()) / window.height()};
}

TextPanel::TextPanel(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(6);

    m_list = new QListWidget(this);
    m_list->setStyleSheet(
        QStringLiteral("QListWidget { background-color: #1a1c20; border: 1px solid #8c7a4b; color: white; }"));

    m_addButton = new QPushButton(QStringLiteral("+ Add Text"), this);
    m_addButton->setObjectName(QStringLiteral("addButton"));
    m_applyAllButton = new QPushButton(this);
    m_applyAllButton->setObjectName(QStringLiteral("applyAllButton"));
    m_clearAllButton = new QPushButton(this);
    m_clearAllButton->setObjectName(QStringLiteral("clearAllButton"));
    for (QPushButton* b : {m_addButton, m_applyAllButton, m_clearAllButton}) {
        b->setFixedHeight(28);
        b->setStyleSheet(kButtonStyle);
    }
    m_clearAllButton->setStyleSheet(kButtonStyle +
                                    QStringLiteral("QPushButton { color:#d6a0a0; border:1px solid #574040; }"
                                                   "QPushButton:hover { color:#f0c0c0; background-color:#493131; }"));

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    buttons->addWidget(m_addButton);
    buttons->addWidget(m_applyAllButton);
    buttons->addStretch();
    buttons->addWidget(m_clearAllButton);
    layout->addLayout(buttons);
    layout->addWidget(m_list);

    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("TextPanel { background: #17191d; }"));

    connect(m_clearAllButton, &QPushButton::clicked, this, &TextPanel::clearAllRows);
    connect(m_addButton, &QPushButton::clicked, this, &TextPanel::addTextItem);
    connect(m_applyAllButton, &QPushButton::clicked, this, &TextPanel::applyAllRows);

    retranslateUi();
    updateAddButtonState();
}

TextPanel::~TextPanel()
{
    for (int i = 0; i < m_list->count(); ++i) {
        QWidget* row = m_list->itemWidget(m_list->item(i));
        TextOverlayData* record = recordOf(row);
        if (row)
            row->setProperty(kRecordProperty, QVariant());
        delete record;
    }
}

int TextPanel::rowCount() const
{
    return m_list->count();
}

void TextPanel::setChineseUi(bool chinese)
{
    if (chinese == m_chinese)
        return;
    m_chinese = chinese;
    retranslateUi();
    updateAddButtonState();
}

void TextPanel::addTextItem()
{
    const int rowsBefore = rowCount();
    if (rowsBefore >= kMaxTextOverlayRows) {
        QMessageBox::information(
            this, m_chinese ? QStringLiteral("文字叠加") : QStringLiteral("Text overlay"),
            (m_chinese ? QStringLiteral("最多支持 %1 行文字，请删除一行或清除全部。")
                       : QStringLiteral("Maximum %1 text overlays. Remove a row or use Clear All."))
                .arg(kMaxTextOverlayRows));
        return;
    }

    auto* row = new QWidget;
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(2, 2, 2, 2);
    auto* enableBox = new QCheckBox(row);
    enableBox->setChecked(true);
    auto* textEdit = new QLineEdit(row);
    textEdit->setObjectName(QStringLiteral("textEdit"));
    h->addWidget(enableBox);
    h->addWidget(textEdit);
    QPushButton* buttons[4];
    const char* names[4] = {"effectButton", "previewButton", "applyButton", "deleteButton"};
    for (int i = 0; i < 4; ++i) {
        buttons[i] = new QPushButton(row);
        buttons[i]->setObjectName(QLatin1String(names[i]));
        h->addWidget(buttons[i]);
    }

    auto* item = new QListWidgetItem(m_list);
    item->setSizeHint(QSize(300, 40));
    m_list->setItemWidget(item, row);
    retranslateUi();

    auto* record = new TextOverlayData(newTextRowRecord(m_nextId++, rowsBefore));
    row->setProperty(kRecordProperty, QVariant::fromValue(record));

    connect(buttons[0], &QPushButton::clicked, this, [this, row] { editRowEffects(row); });
    connect(buttons[1], &QPushButton::clicked, this, [this, row] { openRowPreview(row); });
    connect(buttons[2], &QPushButton::clicked, this, [this, row] { applyRow(row); });
    connect(buttons[3], &QPushButton::clicked, this, [this, row, item] { deleteRow(row, item); });

    updateAddButtonState();
}

void TextPanel::readRowInto(QWidget* row, TextOverlayData* record) const
{
    if (auto* edit = row->findChild<QLineEdit*>(QStringLiteral("textEdit")))
        record->text = edit->text();
    if (auto* box = row->findChild<QCheckBox*>())
        record->enabled = box->isChecked();
}

void TextPanel::applyRow(QWidget* row)
{
    TextOverlayData* record = recordOf(row);
    if (!record)
        return;
    readRowInto(row, record);
    emit textOverlayAdded(*record);
}

void TextPanel::applyAllRows()
{
    for (int i = 0; i < rowCount(); ++i) {
        QWidget* row = m_list->itemWidget(m_list->item(i));
        TextOverlayData* record = recordOf(row);
        if (!record)
            continue;
        readRowInto(row, record);
        emit textOverlayAdded(*record);
    }
}

void TextPanel::openRowPreview(QWidget* row)
{
    TextOverlayData* record = recordOf(row);
    if (!record)
        return;
    readRowInto(row, record);

    auto* picker = new TextPreviewWidget(this);
    // Each click opens a window; closing one must not leave it hidden until
    // the panel goes.
    picker->setAttribute(Qt::WA_DeleteOnClose);
    picker->setProperty(kPickerRowProperty, QVariant::fromValue<QObject*>(row));
    picker->setTextData(*record);
    // The row is the context: once the row goes the window writes nowhere,
    // and the record is looked up at each step, never kept.
    connect(picker, &TextPreviewWidget::positionChanged, row, [row, picker](QPoint pos) {
        if (TextOverlayData* r = recordOf(row)) {
            const QPointF f = textPositionFromPicker(pos, picker->size());
            r->posX = f.x();
            r->posY = f.y();
        }
    });
    picker->show();
}

void TextPanel::editRowEffects(QWidget* row)
{
    TextOverlayData* record = recordOf(row);
    if (!record)
        return;
    const TextOverlayData kept = *record;
    readRowInto(row, record);

    TextEffectDialog dialog(this);
    dialog.setTextData(*record);
    const bool accepted = dialog.exec() == QDialog::Accepted;
    // The row may have gone while the dialog ran its own event loop.
    if (recordOf(row) != record)
        return;
    *record = accepted ? dialog.currentData() : kept;
}

void TextPanel::releaseRow(QListWidgetItem* item)
{
    QWidget* row = m_list->itemWidget(item);
    TextOverlayData* record = recordOf(row);
    if (row) {
        row->setProperty(kRecordProperty, QVariant());
        const auto pickers = findChildren<TextPreviewWidget*>(Qt::FindDirectChildrenOnly);
        for (TextPreviewWidget* picker : pickers) {
            if (picker->property(kPickerRowProperty).value<QObject*>() == row)
                picker->close();
        }
    }
    // Taking the item out releases the row widget (deferred by the view).
    delete m_list->takeItem(m_list->row(item));
    delete record;
}

void TextPanel::deleteRow(QWidget* row, QListWidgetItem* item)
{
    if (TextOverlayData* record = recordOf(row))
        emit textOverlayRemoved(record->id);
    releaseRow(item);
    updateAddButtonState();
}

void TextPanel::clearAllRows()
{
    if (rowCount() == 0)
        return;

    QMessageBox box(this);
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(m_chinese ? QStringLiteral("清除文字叠加") : QStringLiteral("Clear text overlays"));
    box.setText(m_chinese ? QStringLiteral("确定清除全部文字叠加吗？") : QStringLiteral("Remove all text overlays?"));
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    box.setStyleSheet(kConfirmStyle);
    if (box.exec() != QMessageBox::Yes)
        return;

    while (rowCount() > 0)
        releaseRow(m_list->item(0));
    emit clearOverlaysRequested();
    updateAddButtonState();
}

void TextPanel::updateAddButtonState()
{
    if (!m_addButton || !m_list)
        return;
    const bool canAdd = rowCount() < kMaxTextOverlayRows;
    m_addButton->setEnabled(canAdd);
    if (canAdd) {
        m_addButton->setToolTip((m_chinese ? QStringLiteral("添加一行文字叠加（最多 %1 行）。")
                                           : QStringLiteral("Add a new text overlay row (maximum %1)."))
                                    .arg(kMaxTextOverlayRows));
    } else {
        m_addButton->setToolTip((m_chinese ? QStringLiteral("已达到 %1 行上限，请删除一行或清除全部。")
                                           : QStringLiteral("Maximum %1 text overlays reached. Delete a row or use Clear All."))
                                    .arg(kMaxTextOverlayRows));
    }
}

void TextPanel::retranslateUi()
{
    const bool zh = m_chinese;
    m_addButton->setText(zh ? QStringLiteral("+ 添加文字") : QStringLiteral("+ Add Text"));
    m_applyAllButton->setText(zh ? QStringLiteral("全部叠加") : QStringLiteral("Apply All"));
    m_applyAllButton->setToolTip((zh ? QStringLiteral("将每一行文字叠加到节目（最多 %1 条）")
                                     : QStringLiteral("Apply every row to the program (up to %1 texts)"))
                                     .arg(kMaxTextOverlayRows));
    m_clearAllButton->setText(zh ? QStringLiteral("清除全部") : QStringLiteral("Clear All"));
    m_clearAllButton->setToolTip(zh ? QStringLiteral("删除所有文字行并清除节目中的文字叠加。")
                                    : QStringLiteral("Remove all text rows and clear text overlays from the program."));

    for (int i = 0; i < rowCount(); ++i) {
        QWidget* row = m_list->itemWidget(m_list->item(i));
        if (!row)
            continue;
        if (auto* edit = row->findChild<QLineEdit*>(QStringLiteral("textEdit")))
            edit->setPlaceholderText(zh ? QStringLiteral("输入文字...") : QStringLiteral("Enter text..."));
        if (auto* b = rowButton(row, "effectButton"))
            b->setText(zh ? QStringLiteral("特效") : QStringLiteral("Effect"));
        if (auto* b = rowButton(row, "previewButton"))
            b->setText(zh ? QStringLiteral("预览") : QStringLiteral("Preview"));
        if (auto* b = rowButton(row, "applyButton"))
            b->setText(zh ? QStringLiteral("叠加") : QStringLiteral("Overlay"));
        if (auto* b = rowButton(row, "deleteButton"))
            b->setText(zh ? QStringLiteral("删除") : QStringLiteral("Delete"));
    }
}
