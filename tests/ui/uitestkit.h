#pragma once

// What the widget tests of the chooser and the strip share: the chooser's
// widgets, reached without clicking through its layout, and a way to answer
// a modal box from inside its event loop.

#include "ui/sourcedialog.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <functional>

class SourceDialogTestAccess {
public:
    explicit SourceDialogTestAccess(SourceDialog& d) : d(d) {}
    QComboBox* sourceType() const { return d.sourceTypeList_; }
    QLineEdit* filePath() const { return d.filePathEdit_; }
    QLineEdit* url() const { return d.urlEdit_; }
    QComboBox* cameras() const { return d.cameraList_; }
    QComboBox* cameraMic() const { return d.cameraMicrophoneList_; }
    QComboBox* displays() const { return d.displayList_; }
    QComboBox* desktopMic() const { return d.desktopMicrophoneList_; }
    QComboBox* windows() const { return d.windowList_; }
    QComboBox* windowMic() const { return d.windowMicrophoneList_; }
    QPushButton* browse() const { return d.browseButton_; }
    QPushButton* refreshDevices() const { return d.refreshDevicesButton_; }
    QList<QWidget*> pages() const { return {d.filePage_, d.urlPage_, d.cameraPage_, d.desktopPage_, d.windowPage_}; }

private:
    SourceDialog& d;
};

// Runs fn on the next modal widget of type T once it is shown.
template <typename T>
void whenModal(std::function<void(T*)> fn)
{
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, fn] {
        if (auto* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            fn(w);
        }
    });
    timer->start();
}
