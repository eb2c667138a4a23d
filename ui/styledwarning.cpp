#include "ui/styledwarning.h"

#include "ui/uitheme.h"

#include <QLabel>
#include <QMessageBox>
#include <QPalette>

namespace {

constexpr int kMessageWidth = 560;
const char* const kWarningText = "#f2f2f2";

QString warningStyleSheet()
{
    return QStringLiteral(
               "QMessageBox { background-color: %1; color: %2; }"
               "QMessageBox QLabel { color: %2; background: transparent; }"
               "QMessageBox QLabel#qt_msgbox_label { min-width: 360px; max-width: 560px; }"
               "QMessageBox QPushButton { min-width: 84px; min-height: 32px; background-color: %3; color: %4;"
               " border: 1px solid %5; border-radius: 6px; padding: 4px 14px; font-weight: 600; }"
               "QMessageBox QPushButton:hover { background-color: %6; }"
               "QMessageBox QPushButton:pressed { background-color: #24262c; }")
        .arg(QLatin1String(uitheme::kBgPanel), QLatin1String(kWarningText), QLatin1String(uitheme::kBgControl),
             QLatin1String(uitheme::kGold), QLatin1String(uitheme::kGoldMuted), QLatin1String(uitheme::kBgPressed));
}

} // namespace

void showStyledWarning(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setStyleSheet(warningStyleSheet());

    QPalette palette = box.palette();
    palette.setColor(QPalette::Window, QColor(QLatin1String(uitheme::kBgPanel)));
    palette.setColor(QPalette::WindowText, QColor(QLatin1String(kWarningText)));
    palette.setColor(QPalette::Text, QColor(QLatin1String(kWarningText)));
    palette.setColor(QPalette::ButtonText, QColor(QLatin1String(uitheme::kGold)));
    box.setPalette(palette);
    box.setAutoFillBackground(true);

    // Long texts wrap at a fixed width instead of stretching the box.
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        label->setWordWrap(true);
        label->setFixedWidth(kMessageWidth);
        label->setMinimumHeight(label->heightForWidth(kMessageWidth));
        label->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    }
    box.adjustSize();
    box.exec();
}
