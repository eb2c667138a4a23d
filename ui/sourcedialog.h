#pragma once

// The modal chooser of what one input channel plays: a local file, a network
// URL, a camera (with an optional microphone), a whole monitor or a single
// window. Its only product is one source text, read after OK; the capture
// forms are URLs it builds itself ("dshow", "desktop", "wgc" with the host
// "capture"), which the channel decoders open.
//
// Threads: GUI thread only; the device, monitor and window lists are read
// synchronously in the constructor and the refresh slots.

#include "platform/toplevelwindows.h"

#include <QDialog>
#include <QList>
#include <QString>

class QComboBox;
class QLineEdit;
class QPushButton;
class QWidget;

// One capture device as a picker row: the text shown and the name written
// into the source text. Both are the device's description (its id as UTF-8
// when the description is empty).
struct MediaDeviceEntry {
    QString name;
    QString label;
};

// Cameras in the order Qt Multimedia reports them, then the registered fake
// cameras.
QList<MediaDeviceEntry> listVideoInputDevices();
// Microphones in the order Qt Multimedia reports them, then the registered
// fake microphones.
QList<MediaDeviceEntry> listAudioInputDevices();

// english or chinese by the stored "ui_language", read anew on every call.
QString uiText(const QString& english, const QString& chinese);

// "scheme://capture?<item>=<value>[&audioSource=dshow://capture?audio=<mic>]",
// fully encoded. A device name or microphone comes back exact through the
// decoder's parsing, whatever characters it holds. An empty microphone
// (after trimming) writes no "audioSource" item.
QString buildCaptureSourceText(const QString& scheme, const QString& item, const QString& value,
                               const QString& microphone);

// The title a window is offered under, at most 383 characters; empty when
// the window is not worth offering (gone, hidden, minimised, on another
// desktop, owned by another window, or untitled).
QString windowPickerTitle(const TopLevelWindowInfo& window);
// The window list's row text: "<title>  [0x<handle in lower-case hex>]".
QString windowPickerRowText(const QString& title, quint64 handle);

class SourceDialog : public QDialog {
    Q_OBJECT

public:
    // Row index of the source-type list.
    enum SourceType { LocalFile = 0, NetworkUrl = 1, Camera = 2, Desktop = 3, Window = 4 };

    explicit SourceDialog(QWidget* parent = nullptr);

    // The source text for the current source type; empty when there is
    // nothing to open. Never opened, tested or validated here.
    QString selectedSource() const;

private slots:
    void browseFile();
    void sourceTypeChanged(int index);
    void refreshCaptureDevices();
    void refreshDxgiMonitors();
    void refreshWindowList();

private:
    QString buildCameraSourceUrl() const;
    QString buildDesktopSourceUrl() const;
    QString buildWindowSourceUrl() const;
    void fillMicrophoneCombo(const int* preferredIndex, QComboBox* list);
    QString microphoneOf(const QComboBox* list) const;

    QComboBox* sourceTypeList_ = nullptr;
    QWidget* filePage_ = nullptr;
    QLineEdit* filePathEdit_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QWidget* urlPage_ = nullptr;
    QLineEdit* urlEdit_ = nullptr;
    QWidget* cameraPage_ = nullptr;
    QComboBox* cameraList_ = nullptr;
    QComboBox* cameraMicrophoneList_ = nullptr;
    QPushButton* refreshDevicesButton_ = nullptr;
    QWidget* desktopPage_ = nullptr;
    QComboBox* displayList_ = nullptr;
    QPushButton* refreshDisplaysButton_ = nullptr;
    QComboBox* desktopMicrophoneList_ = nullptr;
    QWidget* windowPage_ = nullptr;
    QComboBox* windowList_ = nullptr;
    QPushButton* refreshWindowsButton_ = nullptr;
    QComboBox* windowMicrophoneList_ = nullptr;

    friend class SourceDialogTestAccess;
};
