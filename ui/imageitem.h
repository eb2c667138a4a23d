#pragma once

#include <QGraphicsPixmapItem>
#include <QImage>
#include <QObject>
#include <QPointF>
#include <QString>

#include <atomic>
#include <memory>

// One slideshow thumbnail. Starts as a grey placeholder; its picture loads on
// the thumbnail pool and is applied on the GUI thread while the item exists.
//
// Threads: the item lives on the GUI thread. A load task shares only
// `alive` (cleared by the destructor, read by the task) and its own copy of
// the path; its result reaches the item through ThumbnailLoader, which
// checks on the GUI thread that the item still exists.
class ImageItem : public QObject, public QGraphicsPixmapItem {
    Q_OBJECT
public:
    static constexpr int kPlaceholderSide = 100;
    static constexpr int kThumbnailSide = 100;
    static constexpr int kDecodeSide = 160;

    explicit ImageItem(const QString& path, QGraphicsItem* parent = nullptr);
    ~ImageItem() override;

    QString path() const { return filePath; }
    bool isHighlighted() const { return highlighted; }
    void setHighlighted(bool on);

    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;

signals:
    void selectedChanged(ImageItem* item, bool selected, bool shiftPressed);
    void startDrag(ImageItem* item);
    void moveDrag(ImageItem* item, QPointF pos);
    void endDrag(ImageItem* item);

protected:
    void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseMoveEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseReleaseEvent(QGraphicsSceneMouseEvent* event) override;
    void hoverEnterEvent(QGraphicsSceneHoverEvent* event) override;

private slots:
    void applyThumbnail(QImage img);

private:
    friend class ThumbnailLoader;

    QString filePath;
    bool highlighted = false;
    QPointF pressPos;
    bool dragging = false;
    std::shared_ptr<std::atomic<bool>> alive;
};
