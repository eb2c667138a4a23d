// The arrangement editor's commands: import and export of arrangement files,
// the check, and start and stop on the runner of the main window.

#include "schedule/arrangementfile.h"
#include "schedule/arrangementruncontrol.h"
#include "schedule/programarrangementwindow.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMetaMethod>
#include <QSaveFile>

namespace {

// Far beyond any arrangement an operator edits (the reader takes at most
// 1000 clips per list); one byte more is read to tell a larger file apart.
constexpr qint64 kMaxImportBytes = 16 * 1024 * 1024;

const char* const kRunnerStateSignal = "programArrangementRunningChanged(bool)";

} // namespace

ArrangementRunControl* ProgramArrangementWindow::runControl() const
{
    return dynamic_cast<ArrangementRunControl*>(mainWindow.data());
}

void ProgramArrangementWindow::connectRunnerState()
{
    // By name, so that this folder needs nothing of the main window's class.
    if (!mainWindow)
        return;
    const QMetaObject* meta = mainWindow->metaObject();
    const int index = meta->indexOfSignal(QMetaObject::normalizedSignature(kRunnerStateSignal).constData());
    if (index < 0)
        return;
    const QMetaMethod slot = metaObject()->method(metaObject()->indexOfSlot("followRunnerState(bool)"));
    connect(mainWindow.data(), meta->method(index), this, slot);
}

void ProgramArrangementWindow::followRunnerState(bool value)
{
    setArrangementRunning(value);
}

void ProgramArrangementWindow::toggleRun()
{
    if (!running) {
        onStartArrangement();
        return;
    }
    onStopArrangement();
}

void ProgramArrangementWindow::onStartArrangement()
{
    ArrangementRunControl* runner = runControl();
    if (!runner) {
        warn(QStringLiteral("Program Schedule"), QStringLiteral("编排"), QStringLiteral("The main window is unavailable."),
             QStringLiteral("主窗口不可用"));
        return;
    }
    bool ok = false;
    const ProgramArrangement arrangement = buildArrangement(&ok);
    if (!ok)
        return;
    if (arrangement.sceneClips.isEmpty()) {
        warn(QStringLiteral("Program Schedule"), QStringLiteral("编排"), QStringLiteral("Add at least one valid base clip."),
             QStringLiteral("请至少添加一个有效基底片段。"));
        return;
    }
    runner->startProgramArrangement(arrangement);
    setArrangementRunning(true);
}

void ProgramArrangementWindow::onStopArrangement()
{
    // With the main window gone the window keeps showing the run.
    ArrangementRunControl* runner = runControl();
    if (!runner)
        return;
    runner->stopProgramArrangement();
    setArrangementRunning(false);
}

void ProgramArrangementWindow::onValidateArrangement()
{
    bool ok = false;
    const ProgramArrangement arrangement = buildArrangement(&ok);
    if (!ok)
        return;
    if (arrangement.sceneClips.isEmpty()) {
        warn(QStringLiteral("Schedule Check"), QStringLiteral("检查编排"), QStringLiteral("Add at least one valid base clip."),
             QStringLiteral("请至少添加一个有效基底片段。"));
        return;
    }
    QMessageBox::information(
        this, localizedText(QStringLiteral("Schedule Check"), QStringLiteral("检查编排")),
        localizedText(QStringLiteral("Schedule check passed: %1 base clip(s), %2 overlay clip(s)."),
                      QStringLiteral("编排检查通过：%1 个基底片段，%2 个叠加片段。"))
            .arg(arrangement.sceneClips.size())
            .arg(arrangement.overlayClips.size()));
}

void ProgramArrangementWindow::onImportJson()
{
    const QString path = QFileDialog::getOpenFileName(
        this, localizedText(QStringLiteral("Import Program Schedule"), QStringLiteral("导入节目编排")), QString(),
        localizedText(QStringLiteral("JSON (*.json);;All files (*)"), QStringLiteral("JSON (*.json);;所有文件 (*)")));
    if (path.isEmpty())
        return;

    auto cannotOpen = [this] {
        warn(QStringLiteral("Import"), QStringLiteral("导入"), QStringLiteral("Unable to open the file."),
             QStringLiteral("无法打开文件"));
    };
    // Only a regular file: a FIFO would block in open and a device such as
    // /dev/zero never ends. The type is checked before opening, and the
    // opened file must not be sequential either, in case the path was
    // replaced in between.
    if (!QFileInfo(path).isFile()) {
        cannotOpen();
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.isSequential()) {
        cannotOpen();
        return;
    }
    const QByteArray bytes = file.read(kMaxImportBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        cannotOpen();
        return;
    }
    file.close();
    if (bytes.size() > kMaxImportBytes) {
        warn(QStringLiteral("Import"), QStringLiteral("导入"), QStringLiteral("The file is too large (over 16 MiB)."),
             QStringLiteral("文件过大（超过 16 MiB）"));
        return;
    }

    QString errorText;
    bool parsed = false;
    const ProgramArrangement arrangement = parseArrangement(bytes, &errorText, &parsed);
    if (!parsed) {
        QMessageBox::warning(this, localizedText(QStringLiteral("Import"), QStringLiteral("导入")), errorText);
        return;
    }
    loadArrangement(arrangement);
}

void ProgramArrangementWindow::onExportJson()
{
    const QString path = QFileDialog::getSaveFileName(
        this, localizedText(QStringLiteral("Export Program Schedule"), QStringLiteral("导出节目编排")),
        QStringLiteral("program_arrangement.json"), QStringLiteral("JSON (*.json)"));
    if (path.isEmpty())
        return;

    bool ok = false;
    const ProgramArrangement arrangement = buildArrangement(&ok);
    if (!ok)
        return;
    if (arrangement.sceneClips.isEmpty() && arrangement.overlayClips.isEmpty()) {
        warn(QStringLiteral("Export"), QStringLiteral("导出"),
             QStringLiteral("There are no valid clips to export. Check the validation messages."),
             QStringLiteral("没有可导出的片段（请检查校验错误提示）。"));
        return;
    }

    // Written beside the target and renamed over it only when complete, so a
    // full disk or a failed write leaves the old file whole. Unbuffered: on
    // Qt 6.4 a buffered write that fails only when commit() flushes it is not
    // noticed, and the cut file replaces the old one.
    const QByteArray bytes = serializeArrangement(arrangement);
    QSaveFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(bytes) == bytes.size()
        && file.commit();
    if (!written) {
        file.cancelWriting();
        warn(QStringLiteral("Export"), QStringLiteral("导出"), QStringLiteral("Unable to write the file."),
             QStringLiteral("无法写入文件"));
    }
}
