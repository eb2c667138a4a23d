#pragma once

#include "engine/textoverlaydata.h"

#include <QColor>
#include <QDialog>
#include <QFont>
#include <QImage>
#include <QSize>
#include <QString>

class QCheckBox;
class QComboBox;
class QFontComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QSpinBox;

// The font of a text overlay as it is drawn: the record's flags, not the
// font's own weight and style, decide bold, italic, underline and strike-out.
QFont styledTextFont(const QFont& base, bool bold, bool italic, bool underline, bool strikeOut);

// Whether a stored "ui_language" value asks the effects dialog for Chinese:
// only "zh", in any letter case.
bool textEffectDialogIsChinese(const QString& uiLanguage);

// The effects dialog's preview strip for the style in `data` at `size` (a
// size without area draws at 400x60). The background margin and the shadow
// offset are fixed here, whatever the record holds, and the opacity reaches
// only the text layer.
QImage renderTextEffectPreview(const TextOverlayData& data, QSize size);

// The modal dialog that styles one text overlay record. Callers construct it
// with a parent, load a record with setTextData, run exec() and take
// currentData() when it was accepted. Text, position, padding, shadow
// offsets, scroll viewport, stacking order, id and enabled flag pass through
// unchanged. GUI thread only.
class TextEffectDialog : public QDialog {
    Q_OBJECT

public:
    explicit TextEffectDialog(QWidget* parent = nullptr);

    void setTextData(const TextOverlayData& data);
    TextOverlayData currentData() const;

public slots:
    void updatePreview();
    void chooseFontColor();
    void chooseBackgroundColor();
    void chooseShadowColor();
    void chooseOutlineColor();
    void onAccept();
    void onReject();
    void applyArrangementStyle();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void pickColor(QColor& colour, QPushButton* swatch);
    QString tr2(const char* english, const char* chinese) const;

    QLabel* m_preview = nullptr;
    QFontComboBox* m_fontBox = nullptr;
    QSpinBox* m_sizeBox = nullptr;
    QCheckBox* m_boldBox = nullptr;
    QCheckBox* m_italicBox = nullptr;
    QCheckBox* m_underlineBox = nullptr;
    QCheckBox* m_strikeOutBox = nullptr;
    QPushButton* m_fontColorSwatch = nullptr;
    QCheckBox* m_backgroundBox = nullptr;
    QPushButton* m_backgroundSwatch = nullptr;
    QCheckBox* m_shadowBox = nullptr;
    QPushButton* m_shadowSwatch = nullptr;
    QCheckBox* m_outlineBox = nullptr;
    QPushButton* m_outlineSwatch = nullptr;
    QSpinBox* m_outlineWidthBox = nullptr;
    QSlider* m_opacitySlider = nullptr;
    QCheckBox* m_scrollBox = nullptr;
    QComboBox* m_directionBox = nullptr;
    QSpinBox* m_passesBox = nullptr;
    QSpinBox* m_speedBox = nullptr;

    TextOverlayData m_working;
    TextOverlayData m_given;

    QColor m_fontColor = Qt::red;
    QColor m_backgroundColor = Qt::black;
    QColor m_shadowColor = Qt::black;
    QColor m_outlineColor = Qt::black;

    bool m_chinese = false;
};
