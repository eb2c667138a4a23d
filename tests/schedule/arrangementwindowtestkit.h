#pragma once

// What the tests of the arrangement editor share: its members, a recorder
// that answers every message box a call opens and keeps what it showed, and
// a stand-in for the main window's runner. A test that uses FakeRunner
// includes "moc_arrangementwindowtestkit.cpp" once.

#include "schedule/arrangementruncontrol.h"
#include "schedule/overlayrowwidget.h"
#include "schedule/programarrangement.h"
#include "schedule/programarrangementwindow.h"
#include "schedule/scenerowwidget.h"
#include "schedule/scheduledatetimewidget.h"

#include <QApplication>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <functional>

class ProgramArrangementWindowTestAccess {
public:
    explicit ProgramArrangementWindowTestAccess(ProgramArrangementWindow& window) : w(window) {}

    ScheduleDateTimeWidget* baseTimeEdit() const { return w.baseTimeEdit; }
    QGroupBox* sceneGroup() const { return w.sceneGroup; }
    QGroupBox* overlayGroup() const { return w.overlayGroup; }
    QLabel* summaryLabel() const { return w.summaryLabel; }
    QLabel* statusLabel() const { return w.statusLabel; }
    QPushButton* addSceneButton() const { return w.addSceneButton; }
    QPushButton* addOverlayButton() const { return w.addOverlayButton; }
    QPushButton* clearScenesButton() const { return w.clearScenesButton; }
    QPushButton* clearOverlaysButton() const { return w.clearOverlaysButton; }
    QPushButton* importButton() const { return w.importButton; }
    QPushButton* exportButton() const { return w.exportButton; }
    QPushButton* validateButton() const { return w.validateButton; }
    QPushButton* runButton() const { return w.runButton; }

    QList<SceneRowWidget*> sceneRows() const { return rows<SceneRowWidget>(w.sceneRowsLayout); }
    QList<OverlayRowWidget*> overlayRows() const { return rows<OverlayRowWidget>(w.overlayRowsLayout); }
    QStringList sceneIds() const { return ids(sceneRows()); }
    QStringList overlayIds() const { return ids(overlayRows()); }

private:
    template <typename Row>
    static QList<Row*> rows(QVBoxLayout* layout)
    {
        QList<Row*> out;
        for (int i = 0; layout && i < layout->count() - 1; ++i) {
            if (auto* row = dynamic_cast<Row*>(layout->itemAt(i)->widget()))
                out.append(row);
        }
        return out;
    }
    template <typename Row>
    static QStringList ids(const QList<Row*>& rows)
    {
        QStringList out;
        for (Row* row : rows)
            out.append(row->idEdit->text());
        return out;
    }

    ProgramArrangementWindow& w;
};

// One message box as the operator saw it.
struct ShownBox {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    bool hasDefaultButton = false;
};

// Answers every message box that comes up while it lives: records it and
// presses `answer` (or its first button when it has no such button). A box
// hides as soon as it is answered, so each one is seen once.
// Any other modal window (a file dialog) goes to onDialog, which must close
// it; without onDialog it is rejected.
class BoxRecorder : public QObject {
public:
    explicit BoxRecorder(QMessageBox::StandardButton answer = QMessageBox::Ok,
                         std::function<void(QWidget*)> onDialog = {})
        : m_answer(answer), m_onDialog(std::move(onDialog))
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, &BoxRecorder::poll);
        m_timer.start();
    }

    QList<ShownBox> boxes;
    int dialogs = 0;

private:
    void poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxes.append({box->icon(), box->windowTitle(), box->text(), box->defaultButton() != nullptr});
            QAbstractButton* button = box->button(m_answer);
            if (!button && !box->buttons().isEmpty())
                button = box->buttons().first();
            if (button)
                button->click();
            return;
        }
        ++dialogs;
        if (m_onDialog)
            m_onDialog(modal);
        else if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
    }

    QMessageBox::StandardButton m_answer;
    std::function<void(QWidget*)> m_onDialog;
    QTimer m_timer;
};

// Answers a file dialog with a path (accepted without the dialog's own
// overwrite question) or cancels it when the path is empty; keeps the caption.
inline std::function<void(QWidget*)> chooseFile(const QString& path, QString* caption = nullptr)
{
    return [path, caption](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (!dialog) {
            if (auto* other = qobject_cast<QDialog*>(modal))
                other->reject();
            return;
        }
        if (caption)
            *caption = dialog->windowTitle();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
    };
}

// The main window's runner as the editor sees it: counts the calls and
// reports its state through the same signal, passing false before true on a
// start as the real runner does.
class FakeRunner : public QObject, public ArrangementRunControl {
    Q_OBJECT
public:
    void startProgramArrangement(const ProgramArrangement& arrangement) override
    {
        ++starts;
        started = arrangement;
        reported.append(false);
        emit programArrangementRunningChanged(false);
        reported.append(true);
        emit programArrangementRunningChanged(true);
    }
    void stopProgramArrangement() override
    {
        ++stops;
        reported.append(false);
        emit programArrangementRunningChanged(false);
    }

    int starts = 0;
    int stops = 0;
    ProgramArrangement started;
    QList<bool> reported;

signals:
    void programArrangementRunningChanged(bool running);
};
