#include "ui/texteffectdialog.h"

#include "app/settingsstore.h"
#include "ui/uitheme.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kWeightBold = 700;
constexpr int kWeightNormal = 400;

// Ranges of the controls; a loaded value outside them comes back clamped.
constexpr int kMinPointSize = 6;
constexpr int kMaxPointSize = 200;
constexpr int kMaxOutlineWidth = 10;
constexpr int kMaxPasses = 100;
constexpr int kMaxSpeed = 50;

// The preview's fixed geometry: it shows the style, not the record's layout.
constexpr int kPreviewBackgroundMargin = 6;
constexpr int kPreviewShadowOffset = 2;
const QSize kFallbackPreviewSize(400, 60);
constexpr const char* kPreviewFill = "#202020";

QString swatchStyleSheet(const QColor& colour)
{
    // The swatch shows the colour without its alpha; the alpha stays in the record.
    return QStringLiteral("background-color:%1;border:1px solid #777;").arg(colour.name(QColor::HexRgb));
}

QPushButton* makeSwatch(QWidget* parent, const QColor& colour)
{
    auto* swatch = new QPushButton(parent);
    swatch->setFixedSize(34, 34);
    swatch->setStyleSheet(swatchStyleSheet(colour));
    return swatch;
}

QLabel* makeFieldLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

} // namespace

QFont styledTextFont(const QFont& base, bool bold, bool italic, bool underline, bool strikeOut)
{
    QFont font = base;
    font.setWeight(QFont::Weight(bold ? kWeightBold : kWeightNormal));
    font.setItalic(italic);
    font.setUnderline(underline);
    font.setStrikeOut(strikeOut);
    return font;
}

bool textEffectDialogIsChinese(const QString& uiLanguage)
{
    return uiLanguage.compare(QLatin1String("zh"), Qt::CaseInsensitive) == 0;
}

QImage renderTextEffectPreview(const TextOverlayData& d, QSize size)
{
    if (size.width() <= 0 || size.height() <= 0)
        size = kFallbackPreviewSize;
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.fillRect(image.rect(), QColor(QLatin1String(kPreviewFill)));

    const QFont font = styledTextFont(d.font, d.bold, d.italic, d.underline, d.strikeOut);
    painter.setFont(font);
    const QFontMetrics fm(font, &image);
    const int w = fm.horizontalAdvance(d.text);
    const int x = (size.width() - w) / 2;
    const int y = (size.height() + fm.ascent() - fm.descent()) / 2;

    if (d.backgroundEnabled) {
        const int m = kPreviewBackgroundMargin;
        painter.fillRect(QRect(x - m, y - fm.ascent() - m, w + 2 * m, fm.height() + 2 * m), d.backgroundColor);
    }
    if (d.shadow) {
        painter.setPen(d.shadowColor);
        painter.drawText(x + kPreviewShadowOffset, y + kPreviewShadowOffset, d.text);
    }
    if (d.outline) {
        QPainterPath path;
        path.addText(x, y, font, d.text);
        painter.strokePath(path, QPen(d.outlineColor, d.outlineWidth));
    }
    QColor textColour = d.fontColor;
    textColour.setAlpha(std::clamp(d.opacity, 0, 255));
    painter.setPen(textColour);
    painter.drawText(x, y, d.text);
    return image;
}

TextEffectDialog::TextEffectDialog(QWidget* parent)
    : QDialog(parent)
{
    QSettings settings(settingsstore::kOrganisation, settingsstore::kApplication);
    m_chinese = textEffectDialogIsChinese(settings.value(QStringLiteral("ui_language"), QStringLiteral("en")).toString());

    setWindowTitle(tr2("Text Effects", "文字特效"));
    setMinimumSize(620, 540);
    resize(700, 600);
    applyArrangementStyle();

    auto* main = new QVBoxLayout(this);
    main->setContentsMargins(16, 16, 16, 14);
    main->setSpacing(12);

    m_preview = new QLabel(this);
    m_preview->setObjectName(QStringLiteral("previewLabel"));
    m_preview->setMinimumHeight(96);
    // The picture is drawn at the label's size; ignoring its size hint keeps
    // the picture from holding the dialog at its largest size.
    m_preview->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    m_preview->setStyleSheet(QStringLiteral("background:#101114;border:1px solid #454a55;border-radius:5px;"));
    m_preview->setAlignment(Qt::AlignCenter);
    main->addWidget(m_preview);

    // Font style.
    auto* fontGroup = new QGroupBox(tr2("Font Style", "字体样式"), this);
    auto* fontLayout = new QVBoxLayout(fontGroup);
    auto* fontRow = new QHBoxLayout;
    fontRow->setSpacing(8);
    m_fontBox = new QFontComboBox(fontGroup);
    m_fontBox->setMinimumWidth(260);
    m_fontBox->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_sizeBox = new QSpinBox(fontGroup);
    m_sizeBox->setRange(kMinPointSize, kMaxPointSize);
    m_sizeBox->setFixedWidth(88);
    fontRow->addWidget(new QLabel(tr2("Font:", "字体："), fontGroup));
    fontRow->addWidget(m_fontBox);
    fontRow->addStretch(1);
    fontRow->addWidget(new QLabel(tr2("Size:", "字号："), fontGroup));
    fontRow->addWidget(m_sizeBox);
    auto* styleRow = new QHBoxLayout;
    styleRow->setSpacing(16);
    m_boldBox = new QCheckBox(tr2("Bold", "粗体"), fontGroup);
    m_italicBox = new QCheckBox(tr2("Italic", "斜体"), fontGroup);
    m_underlineBox = new QCheckBox(tr2("Underline", "下划线"), fontGroup);
    m_strikeOutBox = new QCheckBox(tr2("Strikeout", "删除线"), fontGroup);
    for (QCheckBox* box : {m_boldBox, m_italicBox, m_underlineBox, m_strikeOutBox})
        styleRow->addWidget(box);
    styleRow->addStretch();
    fontLayout->addLayout(fontRow);
    fontLayout->addLayout(styleRow);
    main->addWidget(fontGroup);

    // Colours and effects.
    // A single ampersand would turn into a mnemonic underline.
    auto* colourGroup = new QGroupBox(tr2("Colors && Effects", "颜色与效果"), this);
    auto* grid = new QGridLayout(colourGroup);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(10);
    grid->setColumnStretch(2, 1);
    m_fontColorSwatch = makeSwatch(colourGroup, m_fontColor);
    m_backgroundBox = new QCheckBox(tr2("Background", "背景"), colourGroup);
    m_backgroundSwatch = makeSwatch(colourGroup, m_backgroundColor);
    m_shadowBox = new QCheckBox(tr2("Shadow", "阴影"), colourGroup);
    m_shadowSwatch = makeSwatch(colourGroup, m_shadowColor);
    m_outlineBox = new QCheckBox(tr2("Outline", "描边"), colourGroup);
    m_outlineSwatch = makeSwatch(colourGroup, m_outlineColor);
    m_outlineWidthBox = new QSpinBox(colourGroup);
    m_outlineWidthBox->setRange(1, kMaxOutlineWidth);
    m_outlineWidthBox->setMinimumWidth(88);
    m_opacitySlider = new QSlider(Qt::Horizontal, colourGroup);
    m_opacitySlider->setRange(0, 255);
    m_opacitySlider->setFixedWidth(190);
    grid->addWidget(new QLabel(tr2("Font:", "文字："), colourGroup), 0, 0);
    grid->addWidget(m_fontColorSwatch, 0, 1);
    grid->addWidget(m_backgroundBox, 0, 3);
    grid->addWidget(m_backgroundSwatch, 0, 4);
    grid->addWidget(m_shadowBox, 1, 0);
    grid->addWidget(m_shadowSwatch, 1, 1);
    grid->addWidget(m_outlineBox, 1, 3);
    grid->addWidget(m_outlineSwatch, 1, 4);
    grid->addWidget(new QLabel(tr2("Width:", "宽度："), colourGroup), 2, 0);
    grid->addWidget(m_outlineWidthBox, 2, 1);
    grid->addWidget(new QLabel(tr2("Opacity:", "不透明度："), colourGroup), 2, 3);
    grid->addWidget(m_opacitySlider, 2, 4);
    main->addWidget(colourGroup);

    // Scrolling.
    auto* scrollGroup = new QGroupBox(tr2("Scroll", "滚动"), this);
    auto* scrollLayout = new QHBoxLayout(scrollGroup);
    scrollLayout->setSpacing(10);
    m_scrollBox = new QCheckBox(tr2("Enable", "启用"), scrollGroup);
    m_directionBox = new QComboBox(scrollGroup);
    m_directionBox->addItem(tr2("None", "无"), TextOverlayData::kScrollNone);
    m_directionBox->addItem(tr2("Left to Right", "从左到右"), TextOverlayData::kScrollLeftToRight);
    m_directionBox->addItem(tr2("Right to Left", "从右到左"), TextOverlayData::kScrollRightToLeft);
    m_directionBox->setMinimumWidth(140);
    m_passesBox = new QSpinBox(scrollGroup);
    m_passesBox->setRange(1, kMaxPasses);
    m_passesBox->setMinimumWidth(72);
    m_passesBox->setToolTip(tr2("Number of complete passes. After the last pass, the text remains off-screen.",
                                "完整滚动的次数；最后一次结束后文字停留在画面外。"));
    m_speedBox = new QSpinBox(scrollGroup);
    m_speedBox->setRange(1, kMaxSpeed);
    m_speedBox->setMinimumWidth(72);
    m_speedBox->setToolTip(tr2("Scroll speed (higher is faster).", "滚动速度（数值越大越快）。"));
    auto* inner = new QHBoxLayout;
    inner->setSpacing(5);
    inner->addWidget(makeFieldLabel(tr2("Direction:", "方向："), scrollGroup));
    inner->addWidget(m_directionBox);
    inner->addWidget(makeFieldLabel(tr2("Passes:", "次数："), scrollGroup));
    inner->addWidget(m_passesBox);
    inner->addWidget(makeFieldLabel(tr2("Speed:", "速度："), scrollGroup));
    inner->addWidget(m_speedBox);
    scrollLayout->addWidget(m_scrollBox);
    scrollLayout->addLayout(inner);
    scrollLayout->addStretch();
    main->addWidget(scrollGroup);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr2("OK", "确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr2("Cancel", "取消"));
    main->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &TextEffectDialog::onAccept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TextEffectDialog::onReject);
    connect(m_fontColorSwatch, &QPushButton::clicked, this, &TextEffectDialog::chooseFontColor);
    connect(m_backgroundSwatch, &QPushButton::clicked, this, &TextEffectDialog::chooseBackgroundColor);
    connect(m_shadowSwatch, &QPushButton::clicked, this, &TextEffectDialog::chooseShadowColor);
    connect(m_outlineSwatch, &QPushButton::clicked, this, &TextEffectDialog::chooseOutlineColor);

    connect(m_fontBox, &QFontComboBox::currentFontChanged, this, &TextEffectDialog::updatePreview);
    for (QSpinBox* box : {m_sizeBox, m_outlineWidthBox, m_passesBox, m_speedBox})
        connect(box, &QSpinBox::valueChanged, this, &TextEffectDialog::updatePreview);
    for (QCheckBox* box : {m_boldBox, m_italicBox, m_underlineBox, m_strikeOutBox, m_backgroundBox, m_shadowBox,
                           m_outlineBox, m_scrollBox})
        connect(box, &QCheckBox::toggled, this, &TextEffectDialog::updatePreview);
    connect(m_opacitySlider, &QSlider::valueChanged, this, &TextEffectDialog::updatePreview);
    connect(m_directionBox, &QComboBox::currentIndexChanged, this, &TextEffectDialog::updatePreview);
}

QString TextEffectDialog::tr2(const char* english, const char* chinese) const
{
    return QString::fromUtf8(m_chinese ? chinese : english);
}

void TextEffectDialog::setTextData(const TextOverlayData& data)
{
    m_given = data;
    m_working = data;

    {
        // One preview at the end instead of one per control.
        const QSignalBlocker b1(m_fontBox), b2(m_sizeBox), b3(m_boldBox), b4(m_italicBox), b5(m_underlineBox),
            b6(m_strikeOutBox), b7(m_backgroundBox), b8(m_shadowBox), b9(m_outlineBox), b10(m_outlineWidthBox),
            b11(m_opacitySlider), b12(m_scrollBox), b13(m_directionBox), b14(m_passesBox), b15(m_speedBox);

        m_fontBox->setCurrentFont(data.font);
        m_sizeBox->setValue(data.font.pointSize());
        m_boldBox->setChecked(data.bold);
        m_italicBox->setChecked(data.italic);
        m_underlineBox->setChecked(data.underline);
        m_strikeOutBox->setChecked(data.strikeOut);

        m_fontColor = data.fontColor;
        m_backgroundBox->setChecked(data.backgroundEnabled);
        m_backgroundColor = data.backgroundColor;
        m_shadowBox->setChecked(data.shadow);
        m_shadowColor = data.shadowColor;
        m_outlineBox->setChecked(data.outline);
        m_outlineColor = data.outlineColor;
        m_outlineWidthBox->setValue(data.outlineWidth);
        m_fontColorSwatch->setStyleSheet(swatchStyleSheet(m_fontColor));
        m_backgroundSwatch->setStyleSheet(swatchStyleSheet(m_backgroundColor));
        m_shadowSwatch->setStyleSheet(swatchStyleSheet(m_shadowColor));
        m_outlineSwatch->setStyleSheet(swatchStyleSheet(m_outlineColor));

        m_opacitySlider->setValue(data.opacity);
        m_scrollBox->setChecked(data.scrollable);
        m_directionBox->setCurrentIndex(std::max(0, std::min(data.scrollDirection, m_directionBox->count() - 1)));
        m_passesBox->setValue(data.scrollTimes);
        m_speedBox->setValue(data.scrollStep);
    }
    updatePreview();
}

TextOverlayData TextEffectDialog::currentData() const
{
    TextOverlayData d = m_working;
    QFont font = m_fontBox->currentFont();
    font.setPointSize(m_sizeBox->value());
    d.bold = m_boldBox->isChecked();
    d.italic = m_italicBox->isChecked();
    d.underline = m_underlineBox->isChecked();
    d.strikeOut = m_strikeOutBox->isChecked();
    d.font = styledTextFont(font, d.bold, d.italic, d.underline, d.strikeOut);
    d.fontColor = m_fontColor;
    d.backgroundEnabled = m_backgroundBox->isChecked();
    d.backgroundColor = m_backgroundColor;
    d.shadow = m_shadowBox->isChecked();
    d.shadowColor = m_shadowColor;
    d.outline = m_outlineBox->isChecked();
    d.outlineColor = m_outlineColor;
    d.outlineWidth = m_outlineWidthBox->value();
    d.opacity = m_opacitySlider->value();
    d.scrollable = m_scrollBox->isChecked();
    d.scrollDirection = m_directionBox->currentIndex();
    d.scrollTimes = m_passesBox->value();
    d.scrollStep = m_speedBox->value();
    return d;
}

void TextEffectDialog::updatePreview()
{
    m_preview->setPixmap(QPixmap::fromImage(renderTextEffectPreview(currentData(), m_preview->size())));
}

void TextEffectDialog::pickColor(QColor& colour, QPushButton* swatch)
{
    const QColor chosen = QColorDialog::getColor(colour, this, QString(), QColorDialog::ShowAlphaChannel);
    if (!chosen.isValid())
        return;
    colour = chosen;
    swatch->setStyleSheet(swatchStyleSheet(colour));
    updatePreview();
}

void TextEffectDialog::chooseFontColor()
{
    pickColor(m_fontColor, m_fontColorSwatch);
}

void TextEffectDialog::chooseBackgroundColor()
{
    pickColor(m_backgroundColor, m_backgroundSwatch);
}

void TextEffectDialog::chooseShadowColor()
{
    pickColor(m_shadowColor, m_shadowSwatch);
}

void TextEffectDialog::chooseOutlineColor()
{
    pickColor(m_outlineColor, m_outlineSwatch);
}

void TextEffectDialog::onAccept()
{
    m_working = currentData();
    accept();
}

void TextEffectDialog::onReject()
{
    m_working = m_given;
    reject();
}

void TextEffectDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    updatePreview();
}

void TextEffectDialog::applyArrangementStyle()
{
    // The arrangement editor's sheet; its rules for arrHint, arrangementCard
    // and scrollInner match nothing here but keep the two windows alike.
    const QString sheet =
        QStringLiteral(
            "QDialog { background: %2; color: %1; font-family: \"Segoe UI\", \"Microsoft YaHei\"; font-size: 13px; }"
            "QLabel#arrHint { color: #9a9da8; font-size: 12px; }"
            "QLabel { color: %1; }"
            "QFrame#arrangementCard { background: %3; border: 1px solid %4; border-radius: 8px; }"
            "QGroupBox { background:%3; font-weight:600; border:1px solid %4; border-radius:6px; margin-top:9px;"
            " padding:12px 10px 8px 10px; color:%1; }"
            "QGroupBox::title { subcontrol-origin: margin; left: 10px; top: 0px; padding: 0 4px; color: %1; }"
            "QPushButton { background:%5; color:%1; border:1px solid %6; border-radius:4px; padding:5px 10px;"
            " font-weight:600; }"
            "QPushButton:hover { background: %7; }"
            "QPushButton:pressed { background: #22252d; }"
            "QPushButton:checked { background: #50535f; }"
            "QLineEdit, QSpinBox, QDoubleSpinBox, QComboBox, QDateEdit, QDateTimeEdit { background-color: %3;"
            " border: 1px solid %6; padding: 6px; border-radius: 4px; color: white; min-height: 20px; }"
            "QScrollArea { background: %2; border: none; }"
            "QWidget#scrollInner { background: %2; }"
            "QCheckBox { color: %1; spacing: 6px; }"
            "QSpinBox::up-button, QSpinBox::down-button, QDoubleSpinBox::up-button, QDoubleSpinBox::down-button"
            " { width: 16px; }"
            "QComboBox { color: %1; }"
            "QComboBox QAbstractItemView { color: %1; background-color: #2b2b2b; selection-background-color: #3a3a3a;"
            " selection-color: white; }"
            "QSlider::groove:horizontal { height:4px; background:%4; border-radius:2px; }"
            "QSlider::handle:horizontal { width:14px; margin:-5px 0; background:%1; border-radius:7px; }"
            "QDialogButtonBox QPushButton { min-width:88px; min-height:28px; }")
            .arg(QLatin1String(uitheme::kGold), QLatin1String(uitheme::kBgDeepest), QLatin1String(uitheme::kBgPanel),
                 QLatin1String(uitheme::kBgHover), QLatin1String(uitheme::kBgControl), QLatin1String(uitheme::kBorder),
                 QLatin1String(uitheme::kBgPressed));
    setStyleSheet(sheet + uitheme::goldCheckBoxStyleSheet(14, 6, 0));
}
