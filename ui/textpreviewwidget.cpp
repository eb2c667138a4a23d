#include "ui/textpreviewwidget.h"

#include "ui/texteffectdialog.h"

#include <QGraphicsDropShadowEffect>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kShadowBlurRadius = 5;
// The readout sits up and to the right of the label's corner.
const QPoint kReadoutOffset(10, -20);

QString colourNameOrTransparent(bool on, const QColor& colour)
{
    return on ? colour.name(QColor::HexRgb) : QStringLiteral("transparent");
}

} // namespace

QPoint clampTextLabelPosition(QPoint wanted, QSize label, QSize window)
{
    const int x = std::max(0, std::min(wanted.x(), window.width() - label.width()));
    const int y = std::max(0, std::min(wanted.y(), window.height() - label.height()));
    return {x, y};
}

QString textLabelStyleSheet(const TextOverlayData& d)
{
    return QStringLiteral("QLabel { background-color: %1; border: 1px solid %2; }")
        .arg(colourNameOrTransparent(d.backgroundEnabled, d.backgroundColor),
             colourNameOrTransparent(d.outline, d.outlineColor));
}

TextPreviewWidget::TextPreviewWidget(QWidget* parent)
    : QWidget(parent, Qt::Tool)
{
    resize(640, 360);
    setStyleSheet(QStringLiteral("background:black;"));

    m_label = new QLabel(this);
    m_label->setAttribute(Qt::WA_TransparentForMouseEvents, false);
    m_label->installEventFilter(this);

    m_readout = new QLabel(this);
    m_readout->setStyleSheet(QStringLiteral("color:white;background:rgba(0,0,0,150);padding:2px 4px;"));
    m_readout->hide();
}

void TextPreviewWidget::setTextData(const TextOverlayData& d)
{
    m_label->setText(d.text);
    m_label->setFont(styledTextFont(d.font, d.bold, d.italic, d.underline, d.strikeOut));
    m_label->setStyleSheet(textLabelStyleSheet(d));

    QPalette palette = m_label->palette();
    palette.setColor(QPalette::WindowText, d.fontColor);
    if (d.backgroundEnabled)
        palette.setColor(QPalette::Window, d.backgroundColor);
    m_label->setPalette(palette);
    m_label->setAutoFillBackground(d.backgroundEnabled);

    // A widget carries one graphics effect: the shadow wins over the opacity.
    if (d.shadow) {
        auto* shadow = new QGraphicsDropShadowEffect(m_label);
        shadow->setOffset(d.shadowOffsetX, d.shadowOffsetY);
        shadow->setBlurRadius(kShadowBlurRadius);
        shadow->setColor(d.shadowColor);
        m_label->setGraphicsEffect(shadow);
    } else if (d.opacity < 255) {
        auto* fade = new QGraphicsOpacityEffect(m_label);
        fade->setOpacity(std::max(0, d.opacity) / 255.0);
        m_label->setGraphicsEffect(fade);
    } else {
        m_label->setGraphicsEffect(nullptr);
    }

    m_label->adjustSize();
    // The window stands for the whole canvas, so fractions scale by its size
    // (640x360 when it opens, which is the reference canvas).
    m_label->move(int(std::lround(d.posX * width())), int(std::lround(d.posY * height())));
}

bool TextPreviewWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_label)
        return QWidget::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto* me = static_cast<QMouseEvent*>(event);
        if (me->button() != Qt::LeftButton)
            break;
        m_dragOffset = me->position().toPoint();
        m_dragging = true;
        m_guides = true;
        m_readout->show();
        m_readout->raise();
        return true;
    }
    case QEvent::MouseMove: {
        if (!m_dragging)
            break;
        auto* me = static_cast<QMouseEvent*>(event);
        const QPoint wanted = m_label->pos() + me->position().toPoint() - m_dragOffset;
        const QPoint pos = clampTextLabelPosition(wanted, m_label->size(), size());
        m_label->move(pos);
        m_readout->setText(QStringLiteral("X:%1 Y:%2").arg(pos.x()).arg(pos.y()));
        m_readout->adjustSize();
        m_readout->move(pos + kReadoutOffset);
        emit positionChanged(pos);
        update();
        return true;
    }
    case QEvent::MouseButtonRelease: {
        auto* me = static_cast<QMouseEvent*>(event);
        if (me->button() != Qt::LeftButton || !m_dragging)
            break;
        m_dragging = false;
        m_guides = false;
        m_readout->hide();
        update();
        break;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void TextPreviewWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // The style sheet's black background, as a plain widget would draw it.
    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);

    if (!m_guides)
        return;
    const QRect r = m_label->geometry();
    const int cx = (r.left() + r.right()) / 2;
    const int cy = (r.top() + r.bottom()) / 2;
    painter.setPen(QPen(Qt::red, 1, Qt::DashLine));
    painter.drawLine(cx, 0, cx, height());
    painter.drawLine(0, cy, width(), cy);
}
