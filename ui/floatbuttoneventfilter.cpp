#include "ui/floatbuttoneventfilter.h"

#include <QEvent>
#include <QPushButton>

namespace {
constexpr int kCornerMargin = 2;
}

FloatButtonEventFilter::FloatButtonEventFilter(QPushButton* button, QWidget* host, QObject* parent)
    : QObject(parent), button(button), host(host)
{
}

bool FloatButtonEventFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize && button && host)
        button->move(host->width() - button->width() - kCornerMargin, kCornerMargin);
    return false;
}
