#pragma once

#include "schedule/programarrangement.h"

#include <QDateTime>
#include <QFrame>
#include <QString>
#include <QStringList>

class ProgramArrangementWindow;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QSplitter;
class ScheduleDateTimeWidget;

// One base clip of the arrangement editor: when it starts and ends (or that
// it runs until stopped) and what feeds the program meanwhile, a channel with
// an optional video file or a folder of images played as a slideshow. The
// state lives in the widgets and three values until the window reads it
// through toClip; the row emits nothing and never reaches the engine. The
// window reads and writes the widgets directly. GUI thread only.
class SceneRowWidget : public QFrame {
    Q_OBJECT
public:
    // Item data of kindCombo: 0..3 are the channels, this one the slideshow.
    static constexpr int kImageKind = 4;

    // window may be null: the delete button then does nothing.
    SceneRowWidget(ProgramArrangementWindow* window, QWidget* parent);

    SceneClip toClip(const QDateTime& base) const;
    // Takes the clip as it is: nothing the other kind holds is dropped here,
    // toClip leaves it out.
    void loadClip(const SceneClip& clip, const QDateTime& base);

    void updateKindVisibility();
    void updateImageCount();

public slots:
    // The kind comes from the current item's data; index is not used.
    void onKindUserChanged(int index);
    void onBrowseDirectory();
    void onBrowseSceneVideo();

public:
    ProgramArrangementWindow* window = nullptr; // not owned; outlives the row
    QSplitter* splitter = nullptr;
    QWidget* idSection = nullptr;
    QWidget* timeSection = nullptr;
    QWidget* kindSection = nullptr;
    QWidget* intervalSection = nullptr;
    QWidget* mediaSection = nullptr;
    QWidget* deleteSection = nullptr;
    QLineEdit* idEdit = nullptr;
    ScheduleDateTimeWidget* startEdit = nullptr;
    ScheduleDateTimeWidget* endEdit = nullptr;
    QCheckBox* untilStoppedCheck = nullptr;
    QComboBox* kindCombo = nullptr;
    QLabel* intervalLabel = nullptr;
    QSpinBox* intervalSpin = nullptr;
    QCheckBox* loopCheck = nullptr;
    QLineEdit* pathEdit = nullptr;
    QPushButton* directoryButton = nullptr;
    QPushButton* videoButton = nullptr;
    QStringList paths;
    QString imageDirectory;
    QString sceneVideoPath;
    QPushButton* deleteButton = nullptr;

private:
    int currentKind() const;
};
