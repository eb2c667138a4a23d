#pragma once

#include <QGraphicsObject>
#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QString>

class OverlayManager;
class QGraphicsPixmapItem;
class QGraphicsProxyWidget;
class QPushButton;
class QSlider;
class QWidget;

// The editor item of one video overlay: a 16:9 box over the 640x360 editor
// canvas showing the newest decoded frame, eight resize handles and a control
// bar below the box (play/pause, stop, loop, position, monitor volume,
// remove, attach to program).
//
// It decodes nothing and owns no engine object: it reports the operator's
// actions through its signals and the main window feeds it frames, the
// duration and the program binding. GUI thread only.
class VideoOverlayWidget : public QGraphicsObject {
    Q_OBJECT
public:
    // Also makes qgraphicsitem_cast work on the item.
    enum { Type = QGraphicsItem::UserType + 101 };

    VideoOverlayWidget(QString filePath, QRectF sceneRect, QGraphicsItem* parent = nullptr);
    ~VideoOverlayWidget() override;

    QString filePath() const { return m_filePath; }

    // Program binding, mirrored here for the main window; the item never
    // calls the overlay model.
    void bindProgramOverlay(OverlayManager* manager, int overlayId);
    void setAttachedToProgram(bool on) { m_attachedToProgram = on; }
    bool isAttachedToProgram() const { return m_attachedToProgram; }
    // Sets the attach button without announcing an apply or detach.
    void setAttachChecked(bool checked);
    bool isAttachChecked() const { return m_attachChecked; }

    void setDurationMs(qint64 ms) { m_durationMs = ms; }
    qint64 durationMs() const { return m_durationMs; }
    bool isLoopEnabled() const;
    int localVolume() const;
    QRectF rectInScene() const;
    qint64 positionMs() const { return m_positionMs; }
    bool isPlaying() const { return m_playing; }

    void setPreviewFrame(const QImage& frame, qint64 positionMs);
    void resetPreview();
    void setPlaying(bool playing);
    void setChineseUi(bool chinese);
    // Width set from outside (the schedule); the height follows at 16:9.
    void setEditorWidth(int width);

    QRectF boundingRect() const override;
    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget* widget) override;
    int type() const override { return Type; }

signals:
    void geometryChanged(QRectF rect);
    void removeRequested();
    void overlayApplyRequested(VideoOverlayWidget* self, QString filePath, QRectF rectInScene,
                               qlonglong positionMs, bool isPlaying);
    void overlayLoopToggled(bool enabled);
    void overlayDetachFromProgramRequested();
    void overlayDecoderSyncRequested(qlonglong positionMs, bool playing);
    void overlayLocalVolumeChanged();

protected:
    void hoverMoveEvent(QGraphicsSceneHoverEvent* event) override;
    void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseMoveEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseReleaseEvent(QGraphicsSceneMouseEvent* event) override;

private:
    QWidget* buildControlBar();
    void setCursorForHit(int handle);
    void clampToScene();
    void relayoutChildren();
    void refreshPreviewPixmap();
    void updateAttachButton();
    void showPlayState();
    void onPlayClicked();
    void onStopClicked();
    void onPositionValueChanged(int value);
    void onPositionReleased();
    void onAttachToggled(bool checked);
    qint64 positionForSliderValue(int value) const;

    static constexpr int kBarHeight = 30;

    const QString m_filePath;
    QRectF m_box{0, 0, 320, 180};
    const QRectF m_sceneBounds;
    QGraphicsPixmapItem* m_preview = nullptr; // child item
    QGraphicsProxyWidget* m_barHolder = nullptr; // child item, owns the bar
    OverlayManager* m_overlayManager = nullptr; // not owned; never called
    int m_overlayId = -1;
    bool m_attachedToProgram = false;
    QSlider* m_positionSlider = nullptr;
    QSlider* m_volumeSlider = nullptr;
    QPushButton* m_playButton = nullptr;
    QPushButton* m_stopButton = nullptr;
    QPushButton* m_removeButton = nullptr;
    QPushButton* m_loopButton = nullptr;
    QPushButton* m_attachButton = nullptr;
    bool m_attachChecked = false;
    bool m_chineseUi = false;
    qint64 m_positionMs = 0;
    qint64 m_durationMs = 0; // 0 or less: unknown
    bool m_playing = false;
    int m_activeHandle = 0;
    QPointF m_lastMousePos;
    QImage m_previewImage;
};
