#pragma once

#include <QDialog>
#include <QFileDialog>
#include <QString>
#include <QWidget>

namespace testsupport {

// Picks `path` in an open file dialog and accepts it. selectFile() leaves the
// name field alone while that field holds the keyboard focus (the user may be
// typing there), and the field takes the focus once the dialog's window is
// activated, which comes a moment after the dialog shows: a dialog answered
// after that accepted an empty name, did nothing and stayed open. The focus is
// taken off first, so the choice lands whenever the dialog is answered.
inline void chooseInFileDialog(QFileDialog* dialog, const QString& path)
{
    if (QWidget* focused = dialog->focusWidget())
        focused->clearFocus();
    dialog->selectFile(path);
    static_cast<QDialog*>(dialog)->accept(); // QFileDialog hides accept(); it is still virtual
}

} // namespace testsupport
