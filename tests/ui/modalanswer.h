#pragma once

// Answers the next modal window (message box, dialog, colour chooser) that a
// call under test opens with exec(), so the test neither blocks nor clicks
// through a real event queue. Create it before the call; it polls until the
// window is shown and then hands it to the action once.

#include <QApplication>
#include <QObject>
#include <QTimer>
#include <QWidget>

#include <functional>

class ModalAnswer : public QObject {
public:
    explicit ModalAnswer(std::function<void(QWidget*)> action)
        : m_action(std::move(action))
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible())
                return;
            m_timer.stop();
            m_answered = true;
            m_action(modal);
        });
        m_timer.start();
    }

    bool answered() const { return m_answered; }

private:
    std::function<void(QWidget*)> m_action;
    QTimer m_timer;
    bool m_answered = false;
};
