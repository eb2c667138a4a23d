#pragma once

#include <QGraphicsObject>
#include <QImage>
#include <QPixmap>
#include <QPointF>
#include <QRectF>
#include <QString>

class QGraphicsPixmapItem;
class QGraphicsProxyWidget;
class QPushButton;
class QSlider;
class QWidget;

// The editor item of one image overlay: the picture in a box at its own
// aspect ratio, eight resize handles and a toolbar below the box (opacity,
// apply, remove).
//
// Threads: the editor picture is read, already scaled down, on the global
// thread pool; the task touches only its copy of the path and hands back a
// QImage through a future watcher owned by this item. Everything else,
// including the completion, runs on the GUI thread.
class ImageOverlayWidget : public QGraphicsObject {
    Q_OBJECT
public:
    // Also makes qgraphicsitem_cast work on the item.
    enum { Type = QGraphicsItem::UserType + 102 };
    // Longer side of the picture shown in the editor.
    static constexpr int kEditorImageMaxSide = 1536;

    ImageOverlayWidget(QString filePath, QRectF sceneRect, QGraphicsItem* parent = nullptr);
    ~ImageOverlayWidget() override;

    QString filePath() const { return m_filePath; }
    QRectF rectInScene() const;
    double opacity() const;
    // Width set from outside (the schedule); the height follows the aspect.
    void setEditorWidth(int width);
    void setChineseUi(bool chinese);

    QRectF boundingRect() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;
    int type() const override { return Type; }

signals:
    void geometryChanged(QRectF rect);
    void removeRequested();
    void overlayApplyRequested(ImageOverlayWidget* self, QString filePath, QRectF rectInScene,
                               double opacity);

protected:
    void hoverMoveEvent(QGraphicsSceneHoverEvent* event) override;
    void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseMoveEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseReleaseEvent(QGraphicsSceneMouseEvent* event) override;

private:
    QWidget* buildToolbar();
    void startAsyncEditorImageLoad(const QString& path);
    void setEditorImage(const QImage& image);
    void setCursorForHit(int handle);
    void clampToScene();
    void relayoutChildren();
    void onApplyClicked();

    static constexpr int kToolbarHeight = 32;

    const QString m_filePath;
    QRectF m_box{0, 0, 320, 180};
    const QRectF m_sceneBounds;
    QPixmap m_editorPixmap;
    QGraphicsPixmapItem* m_preview = nullptr; // child item
    QGraphicsProxyWidget* m_toolbarHolder = nullptr; // child item, owns the toolbar
    QPushButton* m_removeButton = nullptr;
    QPushButton* m_applyButton = nullptr;
    QSlider* m_opacitySlider = nullptr;
    int m_activeHandle = 0;
    QPointF m_lastMousePos;
    double m_aspect = 16.0 / 9.0;
};
