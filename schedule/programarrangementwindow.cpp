#include "schedule/programarrangementwindow.h"

ProgramArrangementWindow::ProgramArrangementWindow(QObject* mainWindow, QWidget* parent)
    : QDialog(parent), mainWindow(mainWindow)
{
}

ProgramArrangementWindow::~ProgramArrangementWindow() = default;

void ProgramArrangementWindow::removeSceneRow(QWidget*) {}
void ProgramArrangementWindow::removeOverlayRow(QWidget*) {}
void ProgramArrangementWindow::clearSceneRows() {}
void ProgramArrangementWindow::clearOverlayRows() {}
void ProgramArrangementWindow::updateSummary() {}
ProgramArrangement ProgramArrangementWindow::buildArrangement(bool* ok)
{
    if (ok)
        *ok = false;
    return {};
}
void ProgramArrangementWindow::loadArrangement(const ProgramArrangement&) {}
void ProgramArrangementWindow::applyDialogStyle() {}
void ProgramArrangementWindow::setArrangementRunning(bool value) { running = value; }
QString ProgramArrangementWindow::localizedText(const QString& english, const QString& chinese) const
{
    return chineseUi ? chinese : english;
}
void ProgramArrangementWindow::onImportJson() {}
void ProgramArrangementWindow::onExportJson() {}
void ProgramArrangementWindow::onAddSceneRow() {}
void ProgramArrangementWindow::onAddOverlayRow() {}
void ProgramArrangementWindow::onValidateArrangement() {}
void ProgramArrangementWindow::onStartArrangement() {}
void ProgramArrangementWindow::onStopArrangement() {}
