#include "app/settingsstore.h"
#include "support/testsupport.h"
#include "ui/textpanel.h"
#include "ui/textpreviewwidget.h"
#include "ui/texteffectdialog.h"
#include "ui/uitheme.h"

#include "modalanswer.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>

#include <memory>

namespace {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Answers the next message box with `button`, or closes it when button is
// NoButton, recording what it showed.
std::unique_ptr<ModalAnswer> answerBox(SeenBox* seen, QMessageBox::StandardButton button)
{
    return std::make_unique<ModalAnswer>([seen, button](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        QVERIFY(box);
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->defaultButton = box->defaultButton() ? box->standardButton(box->defaultButton()) : QMessageBox::NoButton;
        if (button == QMessageBox::NoButton)
            box->close();
        else
            box->button(button)->click();
    });
}

QListWidget* listOf(TextPanel& panel)
{
    return panel.findChild<QListWidget*>();
}

QWidget* rowAt(TextPanel& panel, int i)
{
    QListWidget* list = listOf(panel);
    return list->itemWidget(list->item(i));
}

QPushButton* button(QWidget* parent, const char* name)
{
    return parent->findChild<QPushButton*>(QLatin1String(name));
}

void clickRow(TextPanel& panel, int i, const char* name)
{
    QTest::mouseClick(button(rowAt(panel, i), name), Qt::LeftButton);
}

QList<TextOverlayData> applied(const QSignalSpy& spy)
{
    QList<TextOverlayData> out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).value<TextOverlayData>();
    return out;
}

// The record of row i, read through the row's own apply button.
TextOverlayData recordOfRow(TextPanel& panel, int i)
{
    QSignalSpy spy(&panel, &TextPanel::textOverlayAdded);
    clickRow(panel, i, "applyButton");
    if (spy.count() != 1)
        return {};
    return spy.at(0).at(0).value<TextOverlayData>();
}

QList<int> appliedIds(TextPanel& panel)
{
    QSignalSpy spy(&panel, &TextPanel::textOverlayAdded);
    QTest::mouseClick(button(&panel, "applyAllButton"), Qt::LeftButton);
    QList<int> ids;
    for (const TextOverlayData& d : applied(spy))
        ids << d.id;
    return ids;
}

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Drags the picker's label with the left button from `grab` (inside the
// label) by `delta`, as the operator would.
void dragLabel(QLabel* label, QPoint grab, QPoint delta)
{
    auto send = [label](QEvent::Type type, QPoint at, Qt::MouseButton b, Qt::MouseButtons held) {
        QMouseEvent e(type, QPointF(at), label->mapToGlobal(QPointF(at)), b, held, Qt::NoModifier);
        QCoreApplication::sendEvent(label, &e);
    };
    send(QEvent::MouseButtonPress, grab, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, grab + delta, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, grab + delta, Qt::LeftButton, Qt::NoButton);
}

QList<TextPreviewWidget*> pickersOf(TextPanel& panel)
{
    return panel.findChildren<TextPreviewWidget*>();
}

QLabel* pickerLabel(TextPreviewWidget* picker)
{
    // The text label is the first child label; the readout follows it.
    return picker->findChildren<QLabel*>(Qt::FindDirectChildrenOnly).value(0);
}

} // namespace

class TestTextPanel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { initQuorbelResources(); }

    void tenRowsAtMost()
    {
        TextPanel panel(nullptr);
        QPushButton* add = button(&panel, "addButton");
        for (int i = 0; i < 9; ++i)
            panel.addTextItem();
        QVERIFY(add->isEnabled());
        QCOMPARE(add->toolTip(), QString("Add a new text overlay row (maximum 10)."));

        panel.addTextItem();
        QCOMPARE(listOf(panel)->count(), 10);
        QVERIFY(!add->isEnabled());
        QCOMPARE(add->toolTip(), QString("Maximum 10 text overlays reached. Delete a row or use Clear All."));

        // An eleventh row is refused with the box, whichever way it is asked.
        SeenBox seen;
        auto answer = answerBox(&seen, QMessageBox::Ok);
        panel.addTextItem();
        QVERIFY(answer->answered());
        QCOMPARE(seen.title, QString("Text overlay"));
        QCOMPARE(seen.text, QString("Maximum 10 text overlays. Remove a row or use Clear All."));
        QCOMPARE(listOf(panel)->count(), 10);

        clickRow(panel, 4, "deleteButton");
        QCOMPARE(listOf(panel)->count(), 9);
        QVERIFY(add->isEnabled());
        QCOMPARE(add->toolTip(), QString("Add a new text overlay row (maximum 10)."));
    }

    void idsAreNeverReused()
    {
        TextPanel panel(nullptr);
        for (int i = 0; i < 3; ++i)
            panel.addTextItem();
        QCOMPARE(appliedIds(panel), QList<int>({1, 2, 3}));

        clickRow(panel, 1, "deleteButton");
        panel.addTextItem();
        QCOMPARE(appliedIds(panel), QList<int>({1, 3, 4}));

        SeenBox seen;
        auto answer = answerBox(&seen, QMessageBox::Yes);
        QTest::mouseClick(button(&panel, "clearAllButton"), Qt::LeftButton);
        QVERIFY(answer->answered());
        panel.addTextItem();
        QCOMPARE(appliedIds(panel), QList<int>({5}));
    }

    // A new row sits one line below the rows present when it is added, so
    // after a deletion two rows may share a place.
    void defaultPositions()
    {
        TextPanel panel(nullptr);
        for (int i = 0; i < 4; ++i)
            panel.addTextItem();
        const TextOverlayData fourth = recordOfRow(panel, 3);
        QCOMPARE(fourth.posX, 12.0 / 640.0);
        QCOMPARE(fourth.posY, 90.0 / 360.0);
        QCOMPARE(recordOfRow(panel, 0).posY, 12.0 / 360.0);

        clickRow(panel, 0, "deleteButton");
        panel.addTextItem();
        QCOMPARE(recordOfRow(panel, 3).posY, fourth.posY);

        // The rest of a new record is the overlay default.
        const TextOverlayData d = recordOfRow(panel, 3);
        const TextOverlayData def;
        QCOMPARE(d.font.family(), QString("Arial"));
        QCOMPARE(d.font.pointSize(), 28);
        QCOMPARE(d.fontColor, def.fontColor);
        QCOMPARE(d.opacity, 255);
        QCOMPARE(d.backgroundPadding, 6);
        QCOMPARE(d.scrollStep, 2);
        QVERIFY(d.enabled);
    }

    // Apply sends the row as it is edited now, checked or not; Apply All sends
    // every row in list order; Delete announces the id even if never applied.
    void rowSignals()
    {
        TextPanel panel(nullptr);
        QSignalSpy added(&panel, &TextPanel::textOverlayAdded);
        QSignalSpy removed(&panel, &TextPanel::textOverlayRemoved);
        for (int i = 0; i < 3; ++i)
            panel.addTextItem();
        const QStringList texts{"one", "two", "three"};
        for (int i = 0; i < 3; ++i)
            rowAt(panel, i)->findChild<QLineEdit*>("textEdit")->setText(texts[i]);
        rowAt(panel, 1)->findChild<QCheckBox*>()->setChecked(false);
        QVERIFY(added.isEmpty());

        clickRow(panel, 1, "applyButton");
        QCOMPARE(added.count(), 1);
        QCOMPARE(applied(added)[0].text, QString("two"));
        QCOMPARE(applied(added)[0].enabled, false);
        added.clear();

        QTest::mouseClick(button(&panel, "applyAllButton"), Qt::LeftButton);
        const QList<TextOverlayData> all = applied(added);
        QCOMPARE(all.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(all[i].id, i + 1);
            QCOMPARE(all[i].text, texts[i]);
            QCOMPARE(all[i].enabled, i != 1);
        }

        clickRow(panel, 2, "deleteButton");
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.at(0).at(0).toInt(), 3);
        QCOMPARE(listOf(panel)->count(), 2);
    }

    void clearAll_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("answer");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("cleared");
        QTest::newRow("empty list asks nothing") << 0 << int(QMessageBox::Yes) << false << false;
        QTest::newRow("No keeps the rows") << 3 << int(QMessageBox::No) << true << false;
        QTest::newRow("closed box keeps the rows") << 3 << int(QMessageBox::NoButton) << true << false;
        QTest::newRow("Yes clears") << 3 << int(QMessageBox::Yes) << true << true;
    }

    void clearAll()
    {
        QFETCH(int, rows);
        QFETCH(int, answer);
        QFETCH(bool, asked);
        QFETCH(bool, cleared);

        TextPanel panel(nullptr);
        for (int i = 0; i < rows; ++i)
            panel.addTextItem();
        QSignalSpy clearedSpy(&panel, &TextPanel::clearOverlaysRequested);
        QSignalSpy removed(&panel, &TextPanel::textOverlayRemoved);

        SeenBox seen;
        auto answerer = answerBox(&seen, QMessageBox::StandardButton(answer));
        QTest::mouseClick(button(&panel, "clearAllButton"), Qt::LeftButton);
        QTest::qWait(20);
        QCOMPARE(answerer->answered(), asked);
        if (asked) {
            QCOMPARE(seen.title, QString("Clear text overlays"));
            QCOMPARE(seen.text, QString("Remove all text overlays?"));
            QCOMPARE(seen.defaultButton, QMessageBox::No);
        }
        QCOMPARE(clearedSpy.count(), cleared ? 1 : 0);
        QCOMPARE(removed.count(), 0);
        QCOMPARE(listOf(panel)->count(), cleared ? 0 : rows);
        QVERIFY(button(&panel, "addButton")->isEnabled());
    }

    // Effects change only the row's record: OK keeps the dialog's style,
    // Cancel and Escape put the record back as it was, nothing is sent.
    void effectsEditTheRecordOnly_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("kept");
        QTest::newRow("OK") << "ok" << true;
        QTest::newRow("Cancel") << "cancel" << false;
        QTest::newRow("Escape") << "escape" << false;
    }

    void effectsEditTheRecordOnly()
    {
        QFETCH(QString, how);
        QFETCH(bool, kept);

        TextPanel panel(nullptr);
        panel.addTextItem();
        panel.addTextItem();
        rowAt(panel, 1)->findChild<QLineEdit*>("textEdit")->setText("styled");
        const TextOverlayData before = recordOfRow(panel, 1);
        QSignalSpy added(&panel, &TextPanel::textOverlayAdded);

        QString dialogText;
        ModalAnswer answer([&](QWidget* w) {
            auto* dialog = qobject_cast<TextEffectDialog*>(w);
            QVERIFY(dialog);
            dialogText = dialog->currentData().text;
            for (QCheckBox* box : dialog->findChildren<QCheckBox*>()) {
                if (box->text() == "Bold" || box->text() == "Shadow")
                    box->setChecked(true);
            }
            auto* buttons = dialog->findChild<QDialogButtonBox*>();
            if (how == "ok")
                buttons->button(QDialogButtonBox::Ok)->click();
            else if (how == "cancel")
                buttons->button(QDialogButtonBox::Cancel)->click();
            else
                QTest::keyClick(dialog, Qt::Key_Escape);
        });
        clickRow(panel, 1, "effectButton");
        QVERIFY(answer.answered());
        QCOMPARE(dialogText, QString("styled"));
        QVERIFY(added.isEmpty());

        const TextOverlayData after = recordOfRow(panel, 1);
        QCOMPARE(after.bold, kept);
        QCOMPARE(after.shadow, kept);
        QCOMPARE(after.font.weight(), kept ? QFont::Bold : QFont::Normal);
        QCOMPARE(after.id, before.id);
        QCOMPARE(after.posX, before.posX);
        QCOMPARE(after.posY, before.posY);
        QCOMPARE(after.text, QString("styled"));
    }

    void pickerPositionToFraction_data()
    {
        QTest::addColumn<QPoint>("pos");
        QTest::addColumn<QSize>("window");
        QTest::addColumn<QPointF>("fraction");
        QTest::newRow("centre of the opening size") << QPoint(320, 180) << QSize(640, 360) << QPointF(0.5, 0.5);
        QTest::newRow("corner") << QPoint(0, 0) << QSize(640, 360) << QPointF(0, 0);
        QTest::newRow("centre of an enlarged window stays on the program")
            << QPoint(640, 360) << QSize(1280, 720) << QPointF(0.5, 0.5);
        QTest::newRow("window without area uses the reference canvas")
            << QPoint(160, 90) << QSize(0, 0) << QPointF(0.25, 0.25);
    }

    void pickerPositionToFraction()
    {
        QFETCH(QPoint, pos);
        QFETCH(QSize, window);
        QFETCH(QPointF, fraction);
        QCOMPARE(textPositionFromPicker(pos, window), fraction);
    }

    void labelClamp_data()
    {
        QTest::addColumn<QPoint>("wanted");
        QTest::addColumn<QSize>("label");
        QTest::addColumn<QPoint>("expected");
        const QSize label(100, 40);
        QTest::newRow("inside") << QPoint(200, 100) << label << QPoint(200, 100);
        QTest::newRow("past the right and bottom") << QPoint(700, 400) << label << QPoint(540, 320);
        QTest::newRow("past the left and top") << QPoint(-30, -5) << label << QPoint(0, 0);
        QTest::newRow("wider and taller than the window") << QPoint(50, 50) << QSize(800, 500) << QPoint(0, 0);
    }

    void labelClamp()
    {
        QFETCH(QPoint, wanted);
        QFETCH(QSize, label);
        QFETCH(QPoint, expected);
        QCOMPARE(clampTextLabelPosition(wanted, label, QSize(640, 360)), expected);
    }

    // A drag in the picker moves the row's record, never the program, and
    // the window opens with the label where the record puts it.
    void pickerDragMovesTheRecord()
    {
        TextPanel panel(nullptr);
        QSignalSpy added(&panel, &TextPanel::textOverlayAdded);
        panel.addTextItem();
        rowAt(panel, 0)->findChild<QLineEdit*>("textEdit")->setText("Drag me");
        clickRow(panel, 0, "previewButton");
        QCOMPARE(pickersOf(panel).size(), 1);
        TextPreviewWidget* picker = pickersOf(panel).first();
        QVERIFY(picker->isVisible());
        QCOMPARE(picker->size(), QSize(640, 360));
        QLabel* label = pickerLabel(picker);
        QCOMPARE(label->text(), QString("Drag me"));
        QCOMPARE(label->pos(), QPoint(12, 12));

        QSignalSpy moved(picker, &TextPreviewWidget::positionChanged);
        dragLabel(label, QPoint(3, 4), QPoint(320 - 12, 180 - 12));
        QCOMPARE(moved.count(), 1);
        QCOMPARE(moved.at(0).at(0).toPoint(), QPoint(320, 180));
        QCOMPARE(label->pos(), QPoint(320, 180));
        QVERIFY(added.isEmpty());

        const TextOverlayData d = recordOfRow(panel, 0);
        QCOMPARE(d.posX, 0.5);
        QCOMPARE(d.posY, 0.5);

        // Past the bottom-right corner the label stops at the edge.
        dragLabel(label, QPoint(1, 1), QPoint(5000, 5000));
        QCOMPARE(label->pos(), QPoint(640 - label->width(), 360 - label->height()));

        // An enlarged window keeps a drop at its centre at the centre.
        picker->resize(1280, 720);
        dragLabel(label, QPoint(1, 1), QPoint(640, 360) - label->pos());
        QCOMPARE(label->pos(), QPoint(640, 360));
        QCOMPARE(recordOfRow(panel, 0).posX, 0.5);
        QCOMPARE(recordOfRow(panel, 0).posY, 0.5);

        // A second picker opens where the record now is.
        picker->resize(640, 360);
        clickRow(panel, 0, "previewButton");
        QCOMPARE(pickersOf(panel).size(), 2);
        TextPreviewWidget* second = pickersOf(panel).last();
        QCOMPARE(pickerLabel(second)->pos(), QPoint(320, 180));
    }

    // A picker goes with its row, and is deleted when the operator closes it.
    void pickerEndsWithItsRow_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("row deleted") << "delete";
        QTest::newRow("all rows cleared") << "clear";
        QTest::newRow("window closed") << "close";
    }

    void pickerEndsWithItsRow()
    {
        QFETCH(QString, how);
        TextPanel panel(nullptr);
        panel.addTextItem();
        panel.addTextItem();
        clickRow(panel, 0, "previewButton");
        clickRow(panel, 1, "previewButton");
        QPointer<TextPreviewWidget> first = pickersOf(panel).at(0);
        QPointer<TextPreviewWidget> other = pickersOf(panel).at(1);
        QPointer<QLabel> label = pickerLabel(first);

        if (how == "delete") {
            clickRow(panel, 0, "deleteButton");
        } else if (how == "clear") {
            SeenBox seen;
            auto answer = answerBox(&seen, QMessageBox::Yes);
            QTest::mouseClick(button(&panel, "clearAllButton"), Qt::LeftButton);
            QVERIFY(answer->answered());
        } else {
            first->close();
        }
        // A drag step that still reaches the window before it is gone must
        // not write into a freed record (the address sanitizer sees it).
        if (label)
            dragLabel(label, QPoint(1, 1), QPoint(40, 40));
        flushDeletes();
        QVERIFY(first.isNull());
        QCOMPARE(other.isNull(), how == "clear");
        if (how == "close")
            QCOMPARE(listOf(panel)->count(), 2);
    }

    void languageSwitch()
    {
        TextPanel panel(nullptr);
        panel.addTextItem();
        QWidget* row = rowAt(panel, 0);
        panel.setChineseUi(true);
        QCOMPARE(button(&panel, "addButton")->text(), QString("+ 添加文字"));
        QCOMPARE(button(&panel, "addButton")->toolTip(), QString("添加一行文字叠加（最多 10 行）。"));
        QCOMPARE(button(&panel, "applyAllButton")->text(), QString("全部叠加"));
        QCOMPARE(button(&panel, "clearAllButton")->text(), QString("清除全部"));
        QCOMPARE(row->findChild<QLineEdit*>("textEdit")->placeholderText(), QString("输入文字..."));
        QCOMPARE(button(row, "effectButton")->text(), QString("特效"));
        QCOMPARE(button(row, "previewButton")->text(), QString("预览"));
        QCOMPARE(button(row, "applyButton")->text(), QString("叠加"));
        QCOMPARE(button(row, "deleteButton")->text(), QString("删除"));

        // Rows added later follow the language; the boxes take it too.
        panel.addTextItem();
        QCOMPARE(button(rowAt(panel, 1), "deleteButton")->text(), QString("删除"));
        SeenBox seen;
        auto answer = answerBox(&seen, QMessageBox::No);
        QTest::mouseClick(button(&panel, "clearAllButton"), Qt::LeftButton);
        QVERIFY(answer->answered());
        QCOMPARE(seen.title, QString("清除文字叠加"));
        QCOMPARE(seen.text, QString("确定清除全部文字叠加吗？"));

        panel.setChineseUi(false);
        QCOMPARE(button(rowAt(panel, 1), "applyButton")->text(), QString("Overlay"));
        QCOMPARE(button(&panel, "clearAllButton")->toolTip(),
                 QString("Remove all text rows and clear text overlays from the program."));
    }
};

QUORB_TEST_MAIN(TestTextPanel)
#include "tst_textpanel.moc"
