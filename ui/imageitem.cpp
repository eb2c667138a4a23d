#include "ui/imageitem.h"

#include "engine/loadimagescaled.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGraphicsSceneMouseEvent>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QPointer>
#include <QThreadPool>

namespace {
constexpr int kThumbnailThreads = 2;
constexpr int kThumbnailThreadExpiryMs = 5000;
const QColor kPlaceholderColour(32, 32, 32);
const QColor kHighlightColour(Qt::blue);
constexpr int kHighlightWidth = 3;
} // namespace

// Owns the thumbnail pool and receives the finished thumbnails on the GUI
// thread. It lives under the application object, so it outlives every item;
// its destructor and the application's aboutToQuit drop queued loads and wait
// for running ones, so no task runs once the application is gone.
class ThumbnailLoader : public QObject {
public:
    // GUI thread.
    static ThumbnailLoader* instance()
    {
        QPointer<ThumbnailLoader>& loader = slot();
        if (!loader) {
            QCoreApplication* app = QCoreApplication::instance();
            loader = new ThumbnailLoader(app);
            if (app) {
                connect(app, &QCoreApplication::aboutToQuit, loader, &ThumbnailLoader::shutDown);
                // A program may also end without the event loop's aboutToQuit:
                // post routines run first thing in the application's destructor.
                qAddPostRoutine([] {
                    if (ThumbnailLoader* l = current())
                        l->shutDown();
                });
            }
        }
        return loader;
    }

    // GUI thread.
    void load(ImageItem* item)
    {
        QPointer<ImageItem> guard(item);
        std::shared_ptr<std::atomic<bool>> alive = item->alive;
        const QString path = item->filePath;
        pool.start([this, guard, alive, path] {
            if (!alive->load(std::memory_order_acquire))
                return;
            QImage img = loadImageScaled(path, ImageItem::kDecodeSide, true);
            if (!alive->load(std::memory_order_acquire))
                return;
            // The guard is read only on the GUI thread, where items are deleted.
            QMetaObject::invokeMethod(
                this,
                [guard, img = std::move(img)] {
                    if (guard)
                        guard->applyThumbnail(img);
                },
                Qt::QueuedConnection);
        });
    }

private:
    static QPointer<ThumbnailLoader>& slot()
    {
        static QPointer<ThumbnailLoader> loader;
        return loader;
    }
    static ThumbnailLoader* current() { return slot().data(); }

    explicit ThumbnailLoader(QObject* parent) : QObject(parent)
    {
        pool.setMaxThreadCount(kThumbnailThreads);
        pool.setExpiryTimeout(kThumbnailThreadExpiryMs);
    }

    ~ThumbnailLoader() override { shutDown(); }

    void shutDown()
    {
        pool.clear();
        pool.waitForDone();
    }

    QThreadPool pool;
};

ImageItem::ImageItem(const QString& path, QGraphicsItem* parent)
    : QGraphicsPixmapItem(parent), filePath(path), alive(std::make_shared<std::atomic<bool>>(true))
{
    QPixmap placeholder(kPlaceholderSide, kPlaceholderSide);
    placeholder.fill(kPlaceholderColour);
    setPixmap(placeholder);
    setToolTip(QFileInfo(path).fileName());
    setFlag(QGraphicsItem::ItemIsSelectable);
    setFlag(QGraphicsItem::ItemSendsScenePositionChanges);
    setAcceptHoverEvents(true);
    ThumbnailLoader::instance()->load(this);
}

ImageItem::~ImageItem()
{
    alive->store(false, std::memory_order_release);
}

void ImageItem::setHighlighted(bool on)
{
    highlighted = on;
    update();
}

void ImageItem::applyThumbnail(QImage img)
{
    if (img.isNull())
        return;
    setPixmap(QPixmap::fromImage(
        img.scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void ImageItem::paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget)
{
    QGraphicsPixmapItem::paint(painter, option, widget);
    if (!highlighted)
        return;
    painter->save();
    painter->setPen(QPen(kHighlightColour, kHighlightWidth, Qt::SolidLine));
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(boundingRect());
    painter->restore();
}

void ImageItem::mousePressEvent(QGraphicsSceneMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        pressPos = event->pos();
        dragging = true;
        emit selectedChanged(this, !highlighted, event->modifiers() & Qt::ShiftModifier);
    }
    QGraphicsPixmapItem::mousePressEvent(event);
}

void ImageItem::mouseMoveEvent(QGraphicsSceneMouseEvent* event)
{
    if (dragging) {
        // Keeps the grabbed point under the pointer.
        const QPointF delta = event->scenePos() - mapToScene(pressPos);
        setPos(pos() + delta);
        emit moveDrag(this, pos());
    }
    QGraphicsPixmapItem::mouseMoveEvent(event);
}

void ImageItem::mouseReleaseEvent(QGraphicsSceneMouseEvent* event)
{
    if (dragging) {
        dragging = false;
        emit endDrag(this);
    }
    QGraphicsPixmapItem::mouseReleaseEvent(event);
}

void ImageItem::hoverEnterEvent(QGraphicsSceneHoverEvent* event)
{
    setToolTip(QFileInfo(filePath).fileName());
    QGraphicsPixmapItem::hoverEnterEvent(event);
}
