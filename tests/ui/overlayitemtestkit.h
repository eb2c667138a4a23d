#pragma once

// What the tests of the overlay editor items share: the parts an item draws
// as children, rectangle comparison and printing, and control over the
// global thread pool on which items load their pictures.

#include <QCoreApplication>
#include <QEvent>
#include <QGraphicsItem>
#include <QGraphicsPixmapItem>
#include <QGraphicsProxyWidget>
#include <QRectF>
#include <QSemaphore>
#include <QString>
#include <QThreadPool>
#include <QtGlobal>

namespace overlaytest {

// The widget an item shows above itself (its toolbar).
inline QWidget* toolbarOf(QGraphicsItem* item)
{
    for (QGraphicsItem* child : item->childItems())
        if (auto* proxy = qgraphicsitem_cast<QGraphicsProxyWidget*>(child))
            return proxy->widget();
    return nullptr;
}

// The picture an item shows inside its box.
inline QGraphicsPixmapItem* previewOf(QGraphicsItem* item)
{
    for (QGraphicsItem* child : item->childItems())
        if (auto* pixmap = qgraphicsitem_cast<QGraphicsPixmapItem*>(child))
            return pixmap;
    return nullptr;
}

inline bool fuzzyRect(const QRectF& a, const QRectF& b)
{
    auto close = [](double x, double y) { return qAbs(x - y) < 0.01; };
    return close(a.x(), b.x()) && close(a.y(), b.y()) && close(a.width(), b.width())
        && close(a.height(), b.height());
}

inline QString show(const QRectF& r)
{
    return QStringLiteral("(%1, %2, %3 x %4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// Holds every thread of the global pool until open(), so that a load
// started meanwhile is certainly still pending.
class PoolGate {
public:
    PoolGate()
        : m_threads(QThreadPool::globalInstance()->maxThreadCount())
    {
        for (int i = 0; i < m_threads; ++i)
            QThreadPool::globalInstance()->start([this] {
                m_started.release();
                m_open.acquire();
            });
        m_started.acquire(m_threads);
    }
    ~PoolGate() { open(); }
    PoolGate(const PoolGate&) = delete;
    PoolGate& operator=(const PoolGate&) = delete;
    void open()
    {
        if (!m_opened)
            m_open.release(m_threads);
        m_opened = true;
    }

private:
    const int m_threads;
    bool m_opened = false;
    QSemaphore m_started;
    QSemaphore m_open;
};

// Lets every pending load finish and deliver, and deletes what was
// scheduled for deletion meanwhile.
inline void settleLoads()
{
    QThreadPool::globalInstance()->waitForDone();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace overlaytest
