#include "app/settingsstore.h"
#include "support/testsupport.h"
#include "ui/texteffectdialog.h"
#include "ui/uitheme.h"

#include "modalanswer.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFontComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QSettings>

#include <functional>

namespace {

using Edit = std::function<void(TextOverlayData&)>;

TextOverlayData edited(const Edit& edit)
{
    TextOverlayData d;
    edit(d);
    return d;
}

QCheckBox* checkBoxNamed(QWidget* dialog, const QString& text)
{
    for (QCheckBox* box : dialog->findChildren<QCheckBox*>()) {
        if (box->text() == text)
            return box;
    }
    return nullptr;
}

// Counts the pixels of one exact colour.
int countColour(const QImage& image, QRgb colour)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            n += (line[x] == colour);
    }
    return n;
}

QRect boundsOfColour(const QImage& image, QRgb colour)
{
    QRect r;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) == colour)
                r |= QRect(x, y, 1, 1);
        }
    }
    return r;
}

} // namespace

class TestTextEffectDialog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initQuorbelResources();
        testsupport::storeUiLanguage(QVariant());
    }

    void roundTrip_data()
    {
        QTest::addColumn<TextOverlayData>("loaded");
        QTest::addColumn<TextOverlayData>("expected");

        QTest::newRow("defaults") << TextOverlayData() << TextOverlayData();

        const Edit passThrough = [](TextOverlayData& d) {
            d.id = 7;
            d.enabled = false;
            d.text = "Breaking news";
            d.posX = 0.3125;
            d.posY = 0.75;
            d.backgroundPadding = 14;
            d.shadowOffsetX = -3;
            d.shadowOffsetY = 5;
            d.scrollViewportWidth = 320.5;
            d.scrollViewportHeight = 40;
            d.zIndex = 4;
        };
        QTest::newRow("fields the dialog does not edit pass through")
            << edited(passThrough) << edited(passThrough);

        const Edit styled = [](TextOverlayData& d) {
            d.font.setPointSize(41);
            d.bold = d.italic = d.underline = d.strikeOut = true;
            d.font.setWeight(QFont::Bold);
            d.font.setItalic(true);
            d.font.setUnderline(true);
            d.font.setStrikeOut(true);
            d.fontColor = QColor(10, 200, 30, 128);
            d.backgroundEnabled = true;
            d.backgroundColor = QColor(0, 0, 255, 200);
            d.shadow = true;
            d.shadowColor = QColor(0, 255, 0);
            d.outline = true;
            d.outlineColor = QColor(255, 255, 0);
            d.outlineWidth = 4;
            d.opacity = 77;
            d.scrollable = true;
            d.scrollDirection = TextOverlayData::kScrollRightToLeft;
            d.scrollTimes = 5;
            d.scrollStep = 9;
        };
        QTest::newRow("every styled field, colours keep alpha") << edited(styled) << edited(styled);

        QTest::newRow("bold weight without the bold flag comes back normal")
            << edited([](TextOverlayData& d) { d.font.setWeight(QFont::Bold); })
            << edited([](TextOverlayData& d) { d.font.setWeight(QFont::Normal); });

        QTest::newRow("values above the ranges are clamped")
            << edited([](TextOverlayData& d) {
                   d.font.setPointSize(300);
                   d.outlineWidth = 15;
                   d.opacity = 300;
                   d.scrollDirection = 5;
                   d.scrollTimes = 500;
                   d.scrollStep = 60;
               })
            << edited([](TextOverlayData& d) {
                   d.font.setPointSize(200);
                   d.outlineWidth = 10;
                   d.opacity = 255;
                   d.scrollDirection = 2;
                   d.scrollTimes = 100;
                   d.scrollStep = 50;
               });

        QTest::newRow("values below the ranges are clamped")
            << edited([](TextOverlayData& d) {
                   d.font.setPointSize(3);
                   d.outlineWidth = 0;
                   d.opacity = -4;
                   d.scrollDirection = -1;
                   d.scrollTimes = 0;
                   d.scrollStep = 0;
               })
            << edited([](TextOverlayData& d) {
                   d.font.setPointSize(6);
                   d.outlineWidth = 1;
                   d.opacity = 0;
                   d.scrollDirection = 0;
                   d.scrollTimes = 1;
                   d.scrollStep = 1;
               });
    }

    void roundTrip()
    {
        QFETCH(TextOverlayData, loaded);
        QFETCH(TextOverlayData, expected);

        TextEffectDialog dialog(nullptr);
        dialog.setTextData(loaded);
        const TextOverlayData got = dialog.currentData();

        // The family is whatever the font box settled on (fontconfig
        // substitutes missing families); everything else must survive.
        QCOMPARE(got.font.family(), dialog.findChild<QFontComboBox*>()->currentFont().family());
        QCOMPARE(got.font.pointSize(), expected.font.pointSize());
        QCOMPARE(got.font.weight(), expected.bold ? QFont::Bold : QFont::Normal);
        QCOMPARE(got.font.italic(), expected.italic);
        QCOMPARE(got.font.underline(), expected.underline);
        QCOMPARE(got.font.strikeOut(), expected.strikeOut);

        QCOMPARE(got.id, expected.id);
        QCOMPARE(got.enabled, expected.enabled);
        QCOMPARE(got.text, expected.text);
        QCOMPARE(got.posX, expected.posX);
        QCOMPARE(got.posY, expected.posY);
        QCOMPARE(got.fontColor.rgba(), expected.fontColor.rgba());
        QCOMPARE(got.backgroundColor.rgba(), expected.backgroundColor.rgba());
        QCOMPARE(got.shadowColor.rgba(), expected.shadowColor.rgba());
        QCOMPARE(got.outlineColor.rgba(), expected.outlineColor.rgba());
        QCOMPARE(got.opacity, expected.opacity);
        QCOMPARE(got.bold, expected.bold);
        QCOMPARE(got.italic, expected.italic);
        QCOMPARE(got.underline, expected.underline);
        QCOMPARE(got.strikeOut, expected.strikeOut);
        QCOMPARE(got.backgroundEnabled, expected.backgroundEnabled);
        QCOMPARE(got.backgroundPadding, expected.backgroundPadding);
        QCOMPARE(got.shadow, expected.shadow);
        QCOMPARE(got.shadowOffsetX, expected.shadowOffsetX);
        QCOMPARE(got.shadowOffsetY, expected.shadowOffsetY);
        QCOMPARE(got.outline, expected.outline);
        QCOMPARE(got.outlineWidth, expected.outlineWidth);
        QCOMPARE(got.scrollable, expected.scrollable);
        QCOMPARE(got.scrollDirection, expected.scrollDirection);
        QCOMPARE(got.scrollTimes, expected.scrollTimes);
        QCOMPARE(got.scrollStep, expected.scrollStep);
        QCOMPARE(got.scrollViewportWidth, expected.scrollViewportWidth);
        QCOMPARE(got.scrollViewportHeight, expected.scrollViewportHeight);
        QCOMPARE(got.zIndex, expected.zIndex);
    }

    // OK takes the edits; Cancel and Escape leave exec() rejected. The
    // callers read currentData only after Accepted.
    void okAndCancel_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("result");
        QTest::newRow("OK") << "ok" << int(QDialog::Accepted);
        QTest::newRow("Cancel") << "cancel" << int(QDialog::Rejected);
        QTest::newRow("Escape") << "escape" << int(QDialog::Rejected);
    }

    void okAndCancel()
    {
        QFETCH(QString, how);
        QFETCH(int, result);

        TextEffectDialog dialog(nullptr);
        TextOverlayData loaded;
        loaded.id = 3;
        loaded.text = "kept";
        dialog.setTextData(loaded);

        ModalAnswer answer([how](QWidget* w) {
            checkBoxNamed(w, "Bold")->setChecked(true);
            auto* buttons = w->findChild<QDialogButtonBox*>();
            if (how == "ok")
                buttons->button(QDialogButtonBox::Ok)->click();
            else if (how == "cancel")
                buttons->button(QDialogButtonBox::Cancel)->click();
            else
                QTest::keyClick(w, Qt::Key_Escape);
        });
        QCOMPARE(dialog.exec(), result);
        QVERIFY(answer.answered());
        if (result == QDialog::Accepted) {
            const TextOverlayData got = dialog.currentData();
            QVERIFY(got.bold);
            QCOMPARE(got.font.weight(), QFont::Bold);
            QCOMPARE(got.id, 3);
            QCOMPARE(got.text, QString("kept"));
        }
    }

    // The colour chooser shows the alpha channel; the chosen alpha reaches the
    // record while the swatch shows the colour without it. A cancelled
    // chooser changes nothing.
    void chosenColourKeepsAlpha_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("chosen") << false;
        QTest::newRow("cancelled") << true;
    }

    void chosenColourKeepsAlpha()
    {
        QFETCH(bool, cancel);
        TextEffectDialog dialog(nullptr);
        dialog.setTextData(TextOverlayData());

        const QColor picked(12, 34, 56, 128);
        bool alphaShown = false;
        ModalAnswer answer([&](QWidget* w) {
            auto* chooser = qobject_cast<QColorDialog*>(w);
            QVERIFY(chooser);
            alphaShown = chooser->testOption(QColorDialog::ShowAlphaChannel);
            if (cancel) {
                chooser->reject();
            } else {
                chooser->setCurrentColor(picked);
                chooser->accept();
            }
        });
        dialog.chooseBackgroundColor();
        QVERIFY(answer.answered());
        QVERIFY(alphaShown);

        const TextOverlayData got = dialog.currentData();
        const QColor expected = cancel ? TextOverlayData().backgroundColor : picked;
        QCOMPARE(got.backgroundColor.rgba(), expected.rgba());
        const QString swatchName = expected.name(QColor::HexRgb);
        bool swatchShows = false;
        for (QPushButton* b : dialog.findChildren<QPushButton*>())
            swatchShows = swatchShows || b->styleSheet().contains(swatchName + ";");
        QVERIFY2(swatchShows, qPrintable(swatchName));
    }

    void languageFromSettings_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("chinese");
        QTest::newRow("absent") << QVariant() << false;
        QTest::newRow("zh") << QVariant("zh") << true;
        QTest::newRow("ZH") << QVariant("ZH") << true;
        QTest::newRow("Zh") << QVariant("Zh") << true;
        QTest::newRow("zh_cn") << QVariant("zh_cn") << false;
        QTest::newRow("en") << QVariant("en") << false;
    }

    void languageFromSettings()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, chinese);
        testsupport::storeUiLanguage(stored);

        TextEffectDialog dialog(nullptr);
        testsupport::storeUiLanguage(QVariant()); // read once, at construction
        auto* buttons = dialog.findChild<QDialogButtonBox*>();
        QCOMPARE(dialog.windowTitle(), chinese ? QString("文字特效") : QString("Text Effects"));
        QCOMPARE(buttons->button(QDialogButtonBox::Ok)->text(), chinese ? QString("确定") : QString("OK"));
        QCOMPARE(buttons->button(QDialogButtonBox::Cancel)->text(), chinese ? QString("取消") : QString("Cancel"));
        QVERIFY(checkBoxNamed(&dialog, chinese ? "粗体" : "Bold"));
        QVERIFY(checkBoxNamed(&dialog, chinese ? "启用" : "Enable"));
    }

    // The opacity reaches only the text layer: background, shadow and
    // outline stay at zero opacity while the text itself vanishes.
    void previewOpacityTouchesOnlyText_data()
    {
        QTest::addColumn<int>("opacity");
        QTest::newRow("opaque") << 255;
        QTest::newRow("invisible") << 0;
    }

    void previewOpacityTouchesOnlyText()
    {
        QFETCH(int, opacity);
        TextOverlayData d;
        d.text = "WWWW";
        d.font.setPointSize(40);
        d.fontColor = QColor(255, 0, 0);
        d.backgroundEnabled = true;
        d.backgroundColor = QColor(0, 0, 255);
        d.shadow = true;
        d.shadowColor = QColor(0, 255, 0);
        d.outline = true;
        d.outlineColor = QColor(255, 255, 0);
        d.outlineWidth = 3;
        d.opacity = opacity;

        const QImage image = renderTextEffectPreview(d, QSize(500, 120)).convertToFormat(QImage::Format_RGB32);
        QVERIFY(countColour(image, qRgb(0, 0, 255)) > 0);
        QVERIFY(countColour(image, qRgb(0, 255, 0)) > 0);
        QVERIFY(countColour(image, qRgb(255, 255, 0)) > 0);
        QCOMPARE(countColour(image, qRgb(255, 0, 0)) > 0, opacity == 255);

        // Without any layer, invisible text leaves the plain fill.
        d.backgroundEnabled = d.shadow = d.outline = false;
        const QImage bare = renderTextEffectPreview(d, QSize(500, 120)).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(countColour(bare, qRgb(0x20, 0x20, 0x20)) == 500 * 120, opacity == 0);
    }

    // Empty text still shows the background: a box 12 pixels wide and the
    // font's height plus 12 high, centred.
    void previewOfEmptyTextShowsBackgroundBox()
    {
        TextOverlayData d;
        d.backgroundEnabled = true;
        d.backgroundColor = QColor(0, 0, 255);
        const QSize size(400, 100);
        const QImage image = renderTextEffectPreview(d, size).convertToFormat(QImage::Format_RGB32);

        const QFont font = styledTextFont(d.font, false, false, false, false);
        const QFontMetrics fm(font, &image);
        const QRect box = boundsOfColour(image, qRgb(0, 0, 255));
        QCOMPARE(box.width(), 12);
        QCOMPARE(box.height(), fm.height() + 12);
        QCOMPARE(box.left(), size.width() / 2 - 6);
        QCOMPARE(countColour(image, qRgb(0, 0, 255)), box.width() * box.height());
    }

    void previewFollowsLabelSize()
    {
        QCOMPARE(renderTextEffectPreview(TextOverlayData(), QSize(0, 50)).size(), QSize(400, 60));

        TextEffectDialog dialog(nullptr);
        dialog.setTextData(TextOverlayData());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* preview = dialog.findChild<QLabel*>("previewLabel");
        QCOMPARE(preview->pixmap().size(), preview->size());
        dialog.resize(dialog.width() + 150, dialog.height() + 80);
        QTRY_COMPARE(preview->pixmap().size(), preview->size());
        QVERIFY(preview->height() >= 96);
    }
};

QUORB_TEST_MAIN(TestTextEffectDialog)
#include "tst_texteffectdialog.moc"
