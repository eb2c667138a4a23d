#pragma once

#include <QObject>

class QPushButton;
class QWidget;

// Keeps a group box's float button in the box's top-right corner (2 px in)
// whenever the box is resized. Installed on the host, child of the host.
class FloatButtonEventFilter : public QObject {
    Q_OBJECT
public:
    FloatButtonEventFilter(QPushButton* button, QWidget* host, QObject* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPushButton* button; // not owned: a child of host
    QWidget* host;       // not owned: also the parent
};
