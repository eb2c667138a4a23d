#pragma once

// What the tests of the arrangement editor's clip rows share: tiny image
// fixtures and an answer for the next file or folder dialog.

#include "support/filechoice.h"
#include "ui/modalanswer.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QString>
#include <QStringList>

#include <memory>

// Writes a 2x2 PNG into folder and returns its absolute path.
inline QString writeTinyPng(const QString& folder, const QString& name)
{
    QImage image(2, 2, QImage::Format_RGB32);
    image.fill(QColor(10, 200, 30));
    const QString path = QDir(folder).absoluteFilePath(name);
    return image.save(path, "PNG") ? path : QString();
}

// Creates an empty file; the dialogs only accept files that exist.
inline bool writeEmptyFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

// What a file dialog showed before it was answered.
struct FileDialogSeen {
    bool seen = false;
    QString title;
    QString startFolder;
    QStringList filters;
    bool foldersOnly = false;
};

// Answers the next file dialog with `choice` (a file, or a folder in a folder
// dialog), or cancels it when `choice` is empty. Keep the result alive until
// the call under test returns.
inline std::unique_ptr<ModalAnswer> answerFileDialog(const QString& choice, FileDialogSeen* seen)
{
    return std::make_unique<ModalAnswer>([choice, seen](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (!dialog) {
            modal->close();
            return;
        }
        seen->seen = true;
        seen->title = dialog->windowTitle();
        seen->startFolder = dialog->directory().absolutePath();
        seen->filters = dialog->nameFilters();
        seen->foldersOnly = dialog->fileMode() == QFileDialog::Directory && dialog->testOption(QFileDialog::ShowDirsOnly);
        if (choice.isEmpty()) {
            dialog->reject();
            return;
        }
        if (dialog->fileMode() == QFileDialog::Directory) {
            dialog->setDirectory(choice);
            static_cast<QDialog*>(dialog)->accept(); // QFileDialog hides accept(); it is still virtual
        } else {
            testsupport::chooseInFileDialog(dialog, choice);
        }
    });
}
