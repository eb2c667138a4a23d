#include "schedule/overlayrowwidget.h"

#include "cliprowtestkit.h"
#include "schedule/scheduledatetimewidget.h"
#include "support/testsupport.h"
#include "ui/texteffectdialog.h"
#include "ui/uitheme.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(OverlayClip)

namespace {

const QDateTime kBase(QDate(2026, 3, 1), QTime(12, 0), Qt::LocalTime);

OverlayClip mediaClip(int kind, const QRectF& rect, const QString& path = {})
{
    OverlayClip c;
    c.id = QStringLiteral("logo");
    c.startMs = 5000;
    c.endMs = 65000;
    c.overlayKind = kind;
    c.path = path;
    c.x = rect.x();
    c.y = rect.y();
    c.w = rect.width();
    c.h = rect.height();
    return c;
}

OverlayClip textClip(const TextOverlayData& data)
{
    OverlayClip c = mediaClip(OverlayClipKind::Text, QRectF(0, 0, 0.1, 0.1));
    c.textData = data;
    return c;
}

QRect shownBoxes(const OverlayRowWidget& row)
{
    return QRect(row.xSpin->value(), row.ySpin->value(), row.wSpin->value(), row.hSpin->value());
}

void compareMediaClips(const OverlayClip& actual, const OverlayClip& expected)
{
    QCOMPARE(actual.id, expected.id);
    QCOMPARE(actual.startMs, expected.startMs);
    QCOMPARE(actual.endMs, expected.endMs);
    QCOMPARE(actual.overlayKind, expected.overlayKind);
    QCOMPARE(actual.path, expected.path);
    QCOMPARE(actual.imageDirectory, expected.imageDirectory);
    QCOMPARE(actual.x, expected.x);
    QCOMPARE(actual.y, expected.y);
    QCOMPARE(actual.w, expected.w);
    QCOMPARE(actual.h, expected.h);
    QCOMPARE(actual.opacity, expected.opacity);
}

// The box a text gets: its advance and height in the font as the record's
// flags style it, each at least 16 reference pixels. Built here from the
// flags directly, not through the row's own helper.
QSizeF expectedTextBox(const TextOverlayData& d)
{
    QFont font = d.font;
    font.setWeight(d.bold ? QFont::Bold : QFont::Normal);
    font.setItalic(d.italic);
    font.setUnderline(d.underline);
    font.setStrikeOut(d.strikeOut);
    const QFontMetrics metrics(font);
    return QSizeF(std::max(16, metrics.horizontalAdvance(d.text)), std::max(16, metrics.ascent() + metrics.descent()));
}

// Answers the next effects dialog: applies edit to what it shows, then
// presses OK or Cancel. Records what the dialog was given.
std::unique_ptr<ModalAnswer> answerEffectsDialog(std::function<void(TextOverlayData&)> edit, bool accept,
                                                 TextOverlayData* given)
{
    return std::make_unique<ModalAnswer>([=](QWidget* modal) {
        auto* dialog = qobject_cast<TextEffectDialog*>(modal);
        if (!dialog) {
            modal->close();
            return;
        }
        TextOverlayData d = dialog->currentData();
        *given = d;
        edit(d);
        dialog->setTextData(d);
        auto* buttons = dialog->findChild<QDialogButtonBox*>();
        buttons->button(accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    });
}

} // namespace

class TestOverlayRowWidget : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void newRowIsText();
    void textBox_data();
    void textBox();
    void mediaRoundTrip_data();
    void mediaRoundTrip();
    void textRoundTrip_data();
    void textRoundTrip();
    void openEnd();
    void scrollRule();
    void kindSwitches_data();
    void kindSwitches();
    void olderImageFolder_data();
    void olderImageFolder();
    void effectsDialog_data();
    void effectsDialog();
    void browseFiles_data();
    void browseFiles();
};

void TestOverlayRowWidget::initTestCase()
{
    initQuorbelResources();
    testsupport::storeUiLanguage(QVariant());
}

void TestOverlayRowWidget::newRowIsText()
{
    OverlayRowWidget row(nullptr, nullptr);
    QCOMPARE(row.kindCombo->currentText(), QString("文字"));
    QVERIFY(!row.textEdit->isHidden());
    QVERIFY(!row.effectsButton->isHidden());
    QVERIFY(!row.scrollPanel->isHidden());
    QVERIFY(row.pathEdit->isHidden());
    QVERIFY(row.wSpin->isHidden());
    QVERIFY(row.idEdit->isHidden());
    QVERIFY(row.xSpin->parentWidget()->isHidden()); // the advanced panel
    QVERIFY(!row.opacitySpin->isEnabled());
    QCOMPARE(row.directionCombo->currentText(), QString("无"));
    QVERIFY(row.directionCombo->isEnabled());
    QCOMPARE(shownBoxes(row), QRect(12, 12, 320, 180));

    const QDateTime midnight(QDate::currentDate(), QTime(0, 0), Qt::LocalTime);
    const OverlayClip clip = row.toClip(midnight);
    QCOMPARE(clip.overlayKind, int(OverlayClipKind::Text));
    QCOMPARE(clip.startMs, qint64(0));
    QCOMPARE(clip.endMs, qint64(3600000));
    QCOMPARE(clip.textData.text, QString());
    QCOMPARE(clip.textData.posX, 0.01875);
    QCOMPARE(clip.textData.posY, 12.0 / 360.0);
    QCOMPARE(clip.textData.font.family(), QString("Microsoft YaHei"));
    QCOMPARE(clip.textData.font.pointSize(), 28);
    QCOMPARE(clip.textData.fontColor, QColor(Qt::white));
    QCOMPARE(clip.textData.scrollViewportWidth, 1.0);
    QCOMPARE(clip.textData.scrollViewportHeight, 1.0);
    QVERIFY(!clip.textData.scrollable);
    QCOMPARE(clip.x, 0.01875);
    QCOMPARE(clip.w, 0.025);
    QCOMPARE(clip.h, expectedTextBox(clip.textData).height() / 360.0);
    QCOMPARE(clip.opacity, 1.0);
    QVERIFY(clip.path.isEmpty());

    // Without a window the delete button has nobody to ask.
    row.deleteButton->click();
}

void TestOverlayRowWidget::textBox_data()
{
    QTest::addColumn<TextOverlayData>("data");

    TextOverlayData plain;
    plain.text = QStringLiteral(" Breaking news, not trimmed ");
    plain.font = QFont(QStringLiteral("DejaVu Sans"), 20);
    QTest::newRow("plain") << plain;

    TextOverlayData styled = plain;
    styled.bold = styled.italic = styled.underline = styled.strikeOut = true;
    QTest::newRow("bold, italic, underline, strike-out") << styled;

    // The record's flags decide, not the font's own weight.
    TextOverlayData fontOnly = plain;
    fontOnly.font.setWeight(QFont::Black);
    fontOnly.font.setItalic(true);
    QTest::newRow("bold font without the flag") << fontOnly;

    TextOverlayData tiny = plain;
    tiny.text = QStringLiteral(".");
    tiny.font.setPointSize(4);
    QTest::newRow("tiny text is 16 by 16") << tiny;
}

void TestOverlayRowWidget::textBox()
{
    QFETCH(TextOverlayData, data);
    OverlayRowWidget row(nullptr, nullptr);
    row.loadClip(textClip(data), kBase);
    row.xSpin->setValue(64);
    row.ySpin->setValue(36);
    const OverlayClip clip = row.toClip(kBase);
    QCOMPARE(clip.textData.text, data.text);
    const QSizeF box = expectedTextBox(data);
    QCOMPARE(clip.x, 0.1);
    QCOMPARE(clip.y, 0.1);
    QCOMPARE(clip.w, box.width() / 640.0);
    QCOMPARE(clip.h, box.height() / 360.0);
    // The size boxes belong to media clips.
    QCOMPARE(row.wSpin->value(), 64);
}

void TestOverlayRowWidget::mediaRoundTrip_data()
{
    QTest::addColumn<OverlayClip>("loaded");
    QTest::addColumn<QRect>("boxes");
    QTest::addColumn<OverlayClip>("expected");

    const auto withRect = [](OverlayClip c, const QRectF& r) {
        c.x = r.x();
        c.y = r.y();
        c.w = r.width();
        c.h = r.height();
        return c;
    };
    {
        const OverlayClip in = mediaClip(OverlayClipKind::Image, QRectF(0.5, 0.1, 0.01, 0.5), "/p/a.png");
        QTest::newRow("narrow width raised to 16")
            << in << QRect(320, 36, 16, 180) << withRect(in, QRectF(0.5, 0.1, 0.025, 0.5));
    }
    {
        const OverlayClip in = mediaClip(OverlayClipKind::Image, QRectF(-0.1, 0.25, 0.5, 0.5), "/p/a.png");
        QTest::newRow("negative x shows 0")
            << in << QRect(0, 90, 320, 180) << withRect(in, QRectF(0, 0.25, 0.5, 0.5));
    }
    {
        // 2.5 and 22.5 pixels; the sizes 101.875 and 90.9 are cut, not rounded.
        const OverlayClip in = mediaClip(OverlayClipKind::Video, QRectF(1.0 / 256, 1.0 / 16, 163.0 / 1024, 90.9 / 360),
                                         "/m/a.mp4");
        QTest::newRow("halves round away from zero, sizes cut")
            << in << QRect(3, 23, 101, 90) << withRect(in, QRectF(3 / 640.0, 23 / 360.0, 101 / 640.0, 0.25));
    }
    {
        const OverlayClip in = mediaClip(OverlayClipKind::Image, QRectF(4.0, 0, 5.0, 6.0), "/p/a.png");
        QTest::newRow("beyond the boxes clamps")
            << in << QRect(2000, 0, 2000, 2000) << withRect(in, QRectF(3.125, 0, 3.125, 2000 / 360.0));
    }
    {
        OverlayClip in = mediaClip(OverlayClipKind::Image, QRectF(0, 0, 0.5, 0.5), "  /p/a b.png\t");
        in.opacity = 0.35;
        OverlayClip out = in;
        out.path = QStringLiteral("/p/a b.png");
        QTest::newRow("image path trimmed, opacity kept") << in << QRect(0, 0, 320, 180) << out;
    }
    {
        OverlayClip in = mediaClip(OverlayClipKind::Video, QRectF(0, 0, 0.5, 0.5), "  /m/a b.mp4 ");
        in.opacity = 0.4;
        QTest::newRow("video path unchanged, opacity still written") << in << QRect(0, 0, 320, 180) << in;
    }
    {
        OverlayClip in = mediaClip(OverlayClipKind::Image, QRectF(0, 0, 0.5, 0.5), "/p/a.png");
        in.imageDirectory = QStringLiteral("/p");
        in.endMs = 5000;
        in.id = QStringLiteral(" logo ");
        OverlayClip out = in;
        out.imageDirectory.clear();
        out.id = QStringLiteral("logo");
        QTest::newRow("a path wins over the folder, id trimmed, end as start") << in << QRect(0, 0, 320, 180) << out;
    }
    {
        OverlayClip in = mediaClip(7, QRectF(0, 0, 0.5, 0.5), "/p/a.png");
        in.startMs = -1500;
        OverlayClip out = mediaClip(OverlayClipKind::Text, QRectF(0, 0, 0.5, 0.5));
        out.startMs = -2000;
        // A text is placed by its record's position, the default 12, 12.
        QTest::newRow("unknown kind loads as text") << in << QRect(12, 12, 320, 180) << out;
    }
}

void TestOverlayRowWidget::mediaRoundTrip()
{
    QFETCH(OverlayClip, loaded);
    QFETCH(QRect, boxes);
    QFETCH(OverlayClip, expected);

    OverlayRowWidget row(nullptr, nullptr);
    row.loadClip(loaded, kBase);
    QCOMPARE(shownBoxes(row), boxes);
    QVERIFY(!row.untilStoppedCheck->isChecked());
    if (expected.overlayKind != OverlayClipKind::Text) {
        QCOMPARE(row.pathEdit->text(), loaded.path);
        QCOMPARE(row.opacitySpin->value(), loaded.opacity);
        QCOMPARE(row.opacitySpin->isEnabled(), expected.overlayKind == OverlayClipKind::Image);
        compareMediaClips(row.toClip(kBase), expected);
        return;
    }
    const OverlayClip out = row.toClip(kBase);
    QCOMPARE(out.overlayKind, expected.overlayKind);
    QCOMPARE(out.startMs, expected.startMs);
    QVERIFY(out.path.isEmpty());
}

void TestOverlayRowWidget::textRoundTrip_data()
{
    QTest::addColumn<TextOverlayData>("loaded");
    QTest::addColumn<QPoint>("shownPos");
    QTest::addColumn<double>("shownOpacity");
    QTest::addColumn<QString>("shownDirection");
    QTest::addColumn<TextOverlayData>("expected");

    TextOverlayData base;
    base.text = QStringLiteral("  Live  ");
    base.posX = 0.3;
    base.posY = 0.5;
    base.fontColor = QColor(10, 20, 30, 40);
    base.shadow = true;
    base.outlineWidth = 3;
    base.scrollViewportWidth = 0.8;
    base.scrollViewportHeight = 0.2;
    {
        TextOverlayData in = base;
        in.opacity = 128;
        QTest::newRow("position, opacity and style come back")
            << in << QPoint(192, 180) << 0.5 << QString("无") << in;
    }
    {
        TextOverlayData in = base;
        in.scrollViewportWidth = -1;
        in.scrollViewportHeight = 0;
        TextOverlayData out = in;
        out.scrollViewportWidth = 1;
        out.scrollViewportHeight = 1;
        QTest::newRow("viewport 0 or below becomes 1") << in << QPoint(192, 180) << 1.0 << QString("无") << out;
    }
    {
        TextOverlayData in = base;
        in.scrollable = true;
        in.scrollDirection = TextOverlayData::kScrollRightToLeft;
        QTest::newRow("scrolling right to left") << in << QPoint(192, 180) << 1.0 << QString("右→左") << in;
    }
    {
        // The box chooses a direction when checked; the record's own
        // direction then wins.
        TextOverlayData in = base;
        in.scrollable = true;
        in.scrollDirection = TextOverlayData::kScrollNone;
        QTest::newRow("scrollable without direction") << in << QPoint(192, 180) << 1.0 << QString("无") << in;
    }
    {
        TextOverlayData in = base;
        in.scrollable = true;
        in.scrollDirection = 7;
        TextOverlayData out = in;
        out.scrollDirection = TextOverlayData::kScrollLeftToRight;
        QTest::newRow("unknown direction keeps the list")
            << in << QPoint(192, 180) << 1.0 << QString("左→右") << out;
    }
    {
        TextOverlayData in = base;
        in.scrollDirection = TextOverlayData::kScrollLeftToRight;
        TextOverlayData out = in;
        out.scrollDirection = TextOverlayData::kScrollNone;
        QTest::newRow("direction without scrolling is dropped")
            << in << QPoint(192, 180) << 1.0 << QString("左→右") << out;
    }
    {
        TextOverlayData in = base;
        in.posX = 1.0 / 256;
        in.posY = -0.5;
        in.opacity = 400;
        TextOverlayData out = in;
        out.posX = 3 / 640.0;
        out.posY = 0;
        QTest::newRow("half pixel away from zero, clamped") << in << QPoint(3, 0) << 1.0 << QString("无") << out;
    }
}

void TestOverlayRowWidget::textRoundTrip()
{
    QFETCH(TextOverlayData, loaded);
    QFETCH(QPoint, shownPos);
    QFETCH(double, shownOpacity);
    QFETCH(QString, shownDirection);
    QFETCH(TextOverlayData, expected);

    OverlayRowWidget row(nullptr, nullptr);
    OverlayClip clip = textClip(loaded);
    clip.opacity = 0.2; // a text shows its own opacity
    row.loadClip(clip, kBase);
    QCOMPARE(row.textEdit->text(), loaded.text);
    QCOMPARE(QPoint(row.xSpin->value(), row.ySpin->value()), shownPos);
    QCOMPARE(row.opacitySpin->value(), shownOpacity);
    QVERIFY(!row.opacitySpin->isEnabled());
    QCOMPARE(row.scrollCheck->isChecked(), loaded.scrollable);
    QCOMPARE(row.directionCombo->isEnabled(), loaded.scrollable);
    QCOMPARE(row.directionCombo->currentText(), shownDirection);
    QCOMPARE(QSize(row.wSpin->value(), row.hSpin->value()), QSize(64, 36));

    const OverlayClip out = row.toClip(kBase);
    QCOMPARE(out.opacity, shownOpacity);
    const TextOverlayData& d = out.textData;
    QCOMPARE(d.text, expected.text);
    QCOMPARE(d.posX, expected.posX);
    QCOMPARE(d.posY, expected.posY);
    QCOMPARE(d.opacity, expected.opacity);
    QCOMPARE(d.fontColor, expected.fontColor);
    QCOMPARE(d.shadow, expected.shadow);
    QCOMPARE(d.outlineWidth, expected.outlineWidth);
    QCOMPARE(d.scrollable, expected.scrollable);
    QCOMPARE(d.scrollDirection, expected.scrollDirection);
    QCOMPARE(d.scrollViewportWidth, expected.scrollViewportWidth);
    QCOMPARE(d.scrollViewportHeight, expected.scrollViewportHeight);
    // The row keeps its record as loaded.
    QCOMPARE(row.textData.scrollViewportWidth, loaded.scrollViewportWidth);
}

void TestOverlayRowWidget::openEnd()
{
    OverlayRowWidget row(nullptr, nullptr);
    OverlayClip clip = mediaClip(OverlayClipKind::Video, QRectF(0, 0, 0.5, 0.5), "/m/a.mp4");
    clip.startMs = 1500;
    clip.endMs = -1;
    row.loadClip(clip, kBase);
    QVERIFY(row.untilStoppedCheck->isChecked());
    QVERIFY(!row.endEdit->isEnabled());
    QCOMPARE(kBase.msecsTo(row.endEdit->dateTime()), qint64(1000 + 3600000));
    const OverlayClip out = row.toClip(kBase);
    QCOMPARE(out.startMs, qint64(1000));
    QCOMPARE(out.endMs, qint64(0));
}

void TestOverlayRowWidget::scrollRule()
{
    OverlayRowWidget row(nullptr, nullptr);
    row.scrollCheck->setChecked(true);
    QCOMPARE(row.directionCombo->currentText(), QString("左→右"));
    QVERIFY(row.directionCombo->isEnabled());
    row.directionCombo->setCurrentIndex(2);

    row.scrollCheck->setChecked(false);
    QVERIFY(!row.directionCombo->isEnabled());
    QCOMPARE(row.directionCombo->currentText(), QString("右→左"));
    OverlayClip clip = row.toClip(kBase);
    QVERIFY(!clip.textData.scrollable);
    QCOMPARE(clip.textData.scrollDirection, TextOverlayData::kScrollNone);

    // A chosen direction is not replaced.
    row.scrollCheck->setChecked(true);
    clip = row.toClip(kBase);
    QVERIFY(clip.textData.scrollable);
    QCOMPARE(clip.textData.scrollDirection, TextOverlayData::kScrollRightToLeft);
}

void TestOverlayRowWidget::kindSwitches_data()
{
    QTest::addColumn<OverlayClip>("loaded");
    QTest::addColumn<QList<int>>("indices");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("shown");

    const QRectF rect(0, 0, 0.5, 0.5);
    const OverlayClip video = mediaClip(OverlayClipKind::Video, rect, "/m/a.mp4");
    const OverlayClip image = mediaClip(OverlayClipKind::Image, rect, "/p/a.png");
    QTest::newRow("video to image drops the file, still shown")
        << video << QList<int>{2} << QString() << video.path;
    QTest::newRow("image to video keeps the file") << image << QList<int>{1} << image.path << image.path;
    QTest::newRow("video to text and back drops the file")
        << video << QList<int>{0, 1} << QString() << video.path;
}

void TestOverlayRowWidget::kindSwitches()
{
    QFETCH(OverlayClip, loaded);
    QFETCH(QList<int>, indices);
    QFETCH(QString, path);
    QFETCH(QString, shown);

    OverlayRowWidget row(nullptr, nullptr);
    row.loadClip(loaded, kBase);
    for (int index : indices)
        row.kindCombo->setCurrentIndex(index);
    QCOMPARE(row.pathEdit->text(), shown);
    const OverlayClip out = row.toClip(kBase);
    QCOMPARE(out.overlayKind, row.kindCombo->currentData().toInt());
    QCOMPARE(out.path, path);

    const int kind = out.overlayKind;
    QCOMPARE(row.textEdit->isHidden(), kind != OverlayClipKind::Text);
    QCOMPARE(row.scrollPanel->isHidden(), kind != OverlayClipKind::Text);
    QCOMPARE(row.videoButton->isHidden(), kind != OverlayClipKind::Video);
    QCOMPARE(row.imageButton->isHidden(), kind != OverlayClipKind::Image);
    QCOMPARE(row.pathEdit->isHidden(), kind == OverlayClipKind::Text);
    QCOMPARE(row.hSpin->isHidden(), kind == OverlayClipKind::Text);
    QCOMPARE(row.opacitySpin->isEnabled(), kind == OverlayClipKind::Image);
}

void TestOverlayRowWidget::olderImageFolder_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<QString>("first");
    QTest::newRow("first image by name") << QStringList{"b.png", "a.png"} << true << QString("a.png");
    QTest::newRow("folder without images") << QStringList() << true << QString();
    QTest::newRow("folder gone") << QStringList() << false << QString();
}

void TestOverlayRowWidget::olderImageFolder()
{
    QFETCH(QStringList, files);
    QFETCH(bool, folderExists);
    QFETCH(QString, first);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = folderExists ? dir.path() : dir.path() + "/gone";
    for (const QString& name : files)
        QVERIFY(!writeTinyPng(folder, name).isEmpty());

    OverlayClip clip = mediaClip(OverlayClipKind::Image, QRectF(0, 0, 0.5, 0.5));
    clip.imageDirectory = folder;
    OverlayRowWidget row(nullptr, nullptr);
    row.loadClip(clip, kBase);

    const QString expectedPath = first.isEmpty() ? QString() : QDir(folder).absoluteFilePath(first);
    QCOMPARE(row.path, expectedPath);
    QCOMPARE(row.pathEdit->text(),
             first.isEmpty() ? QStringLiteral("%1（旧版目录，无可用图片）").arg(folder) : expectedPath);
    // The folder is kept while loaded but never written back.
    QCOMPARE(row.imageDirectory, folder);
    const OverlayClip out = row.toClip(kBase);
    QCOMPARE(out.path, expectedPath);
    QVERIFY(out.imageDirectory.isEmpty());
}

void TestOverlayRowWidget::effectsDialog_data()
{
    QTest::addColumn<bool>("accept");
    QTest::newRow("accepted") << true;
    QTest::newRow("cancelled") << false;
}

void TestOverlayRowWidget::effectsDialog()
{
    QFETCH(bool, accept);

    OverlayRowWidget row(nullptr, nullptr);
    row.textEdit->setText(QStringLiteral("before"));
    row.xSpin->setValue(100);
    row.ySpin->setValue(50);
    row.scrollCheck->setChecked(true);
    row.directionCombo->setCurrentIndex(2);

    TextOverlayData given;
    {
        const auto answer = answerEffectsDialog(
            [](TextOverlayData& d) {
                d.text = QStringLiteral("after");
                d.posX = 0.3;
                d.posY = 0.5;
                d.opacity = 128;
                d.bold = true;
                d.fontColor = QColor(0, 0, 255);
                d.scrollable = true;
                d.scrollDirection = TextOverlayData::kScrollLeftToRight;
                d.scrollViewportWidth = -1;
                d.scrollViewportHeight = 0;
            },
            accept, &given);
        row.effectsButton->click();
        QVERIFY(answer->answered());
    }
    // The dialog starts from what the widgets show.
    QCOMPARE(given.text, QString("before"));
    QCOMPARE(given.posX, 100 / 640.0);
    QCOMPARE(given.posY, 50 / 360.0);
    QVERIFY(given.scrollable);
    QCOMPARE(given.scrollDirection, TextOverlayData::kScrollRightToLeft);
    QCOMPARE(given.fontColor, QColor(Qt::white));

    const OverlayClip clip = row.toClip(kBase);
    if (!accept) {
        QCOMPARE(row.textEdit->text(), QString("before"));
        QCOMPARE(QPoint(row.xSpin->value(), row.ySpin->value()), QPoint(100, 50));
        QCOMPARE(row.opacitySpin->value(), 1.0);
        QCOMPARE(row.directionCombo->currentIndex(), 2);
        QCOMPARE(row.textData.text, QString("before"));
        QCOMPARE(clip.textData.fontColor, QColor(Qt::white));
        QVERIFY(!clip.textData.bold);
        return;
    }
    QCOMPARE(row.textEdit->text(), QString("after"));
    QCOMPARE(QPoint(row.xSpin->value(), row.ySpin->value()), QPoint(192, 180));
    QCOMPARE(row.opacitySpin->value(), 0.5);
    QVERIFY(row.scrollCheck->isChecked());
    QVERIFY(row.directionCombo->isEnabled());
    QCOMPARE(row.directionCombo->currentIndex(), 1);
    QCOMPARE(row.textData.scrollViewportWidth, 1.0);
    QCOMPARE(row.textData.scrollViewportHeight, 1.0);
    QCOMPARE(clip.textData.text, QString("after"));
    QCOMPARE(clip.textData.posX, 0.3);
    QCOMPARE(clip.textData.posY, 0.5);
    QCOMPARE(clip.textData.opacity, 128);
    QVERIFY(clip.textData.bold);
    QCOMPARE(clip.textData.fontColor, QColor(0, 0, 255));
    QCOMPARE(clip.textData.scrollDirection, TextOverlayData::kScrollLeftToRight);
}

void TestOverlayRowWidget::browseFiles_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("pick");
    QTest::newRow("video chosen") << int(OverlayClipKind::Video) << true;
    QTest::newRow("video cancelled") << int(OverlayClipKind::Video) << false;
    QTest::newRow("image chosen") << int(OverlayClipKind::Image) << true;
    QTest::newRow("image cancelled") << int(OverlayClipKind::Image) << false;
}

void TestOverlayRowWidget::browseFiles()
{
    QFETCH(int, kind);
    QFETCH(bool, pick);
    const bool video = kind == OverlayClipKind::Video;

    QTemporaryDir earlier;
    QTemporaryDir chosen;
    QVERIFY(earlier.isValid() && chosen.isValid());
    QString before;
    QString file;
    if (video) {
        before = earlier.path() + "/before.mp4";
        file = chosen.path() + "/next.mov";
        QVERIFY(writeEmptyFile(before) && writeEmptyFile(file));
    } else {
        // An older clip: its folder's first image becomes the path.
        before = writeTinyPng(earlier.path(), "before.png");
        file = writeTinyPng(chosen.path(), "next.webp");
    }

    OverlayClip clip = mediaClip(kind, QRectF(0, 0, 0.5, 0.5), video ? before : QString());
    if (!video)
        clip.imageDirectory = earlier.path();
    OverlayRowWidget row(nullptr, nullptr);
    row.loadClip(clip, kBase);
    QCOMPARE(row.path, before);

    FileDialogSeen seen;
    {
        const auto answer = answerFileDialog(pick ? file : QString(), &seen);
        (video ? row.videoButton : row.imageButton)->click();
    }
    QVERIFY(seen.seen);
    QCOMPARE(seen.title, video ? QString("选择叠加视频") : QString("选择叠加图片"));
    QCOMPARE(seen.startFolder, earlier.path());
    const QStringList filters = video ? QStringList{"视频 (*.mp4 *.avi *.mov *.mkv)", "所有文件 (*)"}
                                      : QStringList{"图片 (*.png *.jpg *.jpeg *.bmp *.webp *.gif)", "所有文件 (*)"};
    QCOMPARE(seen.filters, filters);

    const QString expected = pick ? file : before;
    QCOMPARE(row.pathEdit->text(), expected);
    QCOMPARE(row.toClip(kBase).path, expected);
    QCOMPARE(row.imageDirectory.isEmpty(), video || pick);
}

QUORB_TEST_MAIN(TestOverlayRowWidget)
#include "tst_overlayrowwidget.moc"
