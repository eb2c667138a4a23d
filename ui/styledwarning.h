#pragma once

class QString;
class QWidget;

// The modal dark warning box for every warning the main window shows the
// operator: warning icon, plain text wrapped at 560 px, one OK button.
void showStyledWarning(QWidget* parent, const QString& title, const QString& text);
