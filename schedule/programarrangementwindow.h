#pragma once

#include "schedule/programarrangement.h"

#include <QDialog>
#include <QPointer>
#include <QString>

class ArrangementRunControl;
class QGroupBox;
class QLabel;
class QPushButton;
class QVBoxLayout;
class ScheduleDateTimeWidget;

// The editor of one program arrangement: a base time, a list of base clip
// rows and a list of overlay clip rows, turned into a checked arrangement,
// filled from one, written to and read from arrangement files, and started or
// stopped on the main window's runner. Closing only hides it; the main window
// owns it. GUI thread only; no timer, no worker.
class ProgramArrangementWindow : public QDialog {
    Q_OBJECT
public:
    // mainWindow runs the arrangements (an ArrangementRunControl that emits
    // programArrangementRunningChanged(bool)); guarded, may go away first.
    ProgramArrangementWindow(QObject* mainWindow, QWidget* parent);
    ~ProgramArrangementWindow() override;

    // Take one row out of its list at once; the event loop deletes it.
    void removeSceneRow(QWidget* row);
    void removeOverlayRow(QWidget* row);
    // Take every row of one list out, without asking.
    void clearSceneRows();
    void clearOverlayRows();

    void updateSummary();
    // The rows as a checked arrangement; the first failing check shows one
    // warning and gives the default arrangement with *ok false.
    ProgramArrangement buildArrangement(bool* ok);
    // Replaces the base time and all rows, without checking anything.
    void loadArrangement(const ProgramArrangement& arrangement);
    void applyDialogStyle();
    // Shows the run state: locks the editing controls while running.
    void setArrangementRunning(bool running);
    QString localizedText(const QString& english, const QString& chinese) const;

    // Written by the main window (true for Chinese); read by it.
    bool chineseUi = false;
    bool running = false;

public slots:
    void onImportJson();
    void onExportJson();
    void onAddSceneRow();
    void onAddOverlayRow();
    void onValidateArrangement();
    void onStartArrangement();
    void onStopArrangement();

private slots:
    // The runner's programArrangementRunningChanged(bool), connected by name.
    void followRunnerState(bool running);

private:
    friend class ProgramArrangementWindowTestAccess;

    // The main window as the runner's control; null once it is gone.
    ArrangementRunControl* runControl() const;
    void connectRunnerState();
    // The run button: starts when idle, stops when running.
    void toggleRun();
    // Yes / No question without a default button; true for Yes.
    bool confirmClear(const QString& title, const QString& text);
    // Warning box with OK, title and text in the window's language.
    void warn(const QString& englishTitle, const QString& chineseTitle, const QString& englishText,
              const QString& chineseText);

    QPointer<QObject> mainWindow;
    ScheduleDateTimeWidget* baseTimeEdit = nullptr;
    QVBoxLayout* sceneRowsLayout = nullptr;
    QVBoxLayout* overlayRowsLayout = nullptr;
    QGroupBox* sceneGroup = nullptr;
    QGroupBox* overlayGroup = nullptr;
    QLabel* summaryLabel = nullptr;
    QLabel* statusLabel = nullptr;
    QPushButton* addSceneButton = nullptr;
    QPushButton* addOverlayButton = nullptr;
    QPushButton* clearScenesButton = nullptr;
    QPushButton* clearOverlaysButton = nullptr;
    QPushButton* importButton = nullptr;
    QPushButton* exportButton = nullptr;
    QPushButton* validateButton = nullptr;
    QPushButton* runButton = nullptr;
};
