#pragma once

#include "engine/textoverlaydata.h"
#include "schedule/programarrangement.h"

#include <QDateTime>
#include <QFrame>
#include <QString>

class ProgramArrangementWindow;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class ScheduleDateTimeWidget;

// One overlay clip of the arrangement editor: when it is shown and hidden (or
// that it stays until stopped) and what it is, a styled text, a video file or
// a single image file. Positions and sizes are whole pixels of the 640x360
// reference canvas here and fractions of the program picture in the clip. The
// state lives in the widgets, the text record and the media path until the
// window reads it through toClip; the row emits nothing and never reaches the
// engine. The window reads and writes the widgets directly. GUI thread only.
class OverlayRowWidget : public QFrame {
public:
    // window may be null: the delete button then does nothing.
    OverlayRowWidget(ProgramArrangementWindow* window, QWidget* parent);

    OverlayClip toClip(const QDateTime& base) const;
    void loadClip(const OverlayClip& clip, const QDateTime& base);

    // Shows the widgets of the current kind and drops the media state that
    // kind does not use.
    void updateKindVisibility();

    void onBrowseOverlayVideo();
    void onBrowseOverlayImage();
    void onEditTextEffects();

    ProgramArrangementWindow* window = nullptr; // not owned; outlives the row
    QLineEdit* idEdit = nullptr;
    ScheduleDateTimeWidget* startEdit = nullptr;
    ScheduleDateTimeWidget* endEdit = nullptr;
    QCheckBox* untilStoppedCheck = nullptr;
    QComboBox* kindCombo = nullptr;
    QLineEdit* textEdit = nullptr;
    QPushButton* effectsButton = nullptr;
    QWidget* scrollPanel = nullptr;
    QCheckBox* scrollCheck = nullptr;
    QComboBox* directionCombo = nullptr;
    // The style of a text clip; its text, position and scrolling are taken
    // from the widgets whenever it is used.
    TextOverlayData textData;
    QLineEdit* pathEdit = nullptr;
    QString path;
    // The folder of a loaded older image clip; never written back.
    QString imageDirectory;
    QSpinBox* xSpin = nullptr;
    QSpinBox* ySpin = nullptr;
    QSpinBox* wSpin = nullptr;
    QSpinBox* hSpin = nullptr;
    QLabel* wLabel = nullptr;
    QLabel* hLabel = nullptr;
    QDoubleSpinBox* opacitySpin = nullptr;
    QPushButton* videoButton = nullptr;
    QPushButton* imageButton = nullptr;
    QPushButton* deleteButton = nullptr;

private:
    int currentKind() const;
    void showWidgetsForKind();
    // textData with the text, position and scrolling the widgets show.
    TextOverlayData textDataFromWidgets() const;
    // Shows a text record's text, position, opacity and scrolling.
    void showTextData(const TextOverlayData& data);
    void browseMediaFile(const QString& title, const QString& filter);
};
