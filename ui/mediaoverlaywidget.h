#pragma once

// Complete item types, so the signals' item pointers are known to the
// meta-type system (queued connections, signal spies).
#include "ui/imageoverlaywidget.h"
#include "ui/videooverlaywidget.h"

#include <QPointF>
#include <QRectF>
#include <QSize>
#include <QString>
#include <QWidget>

class QDockWidget;
class QGraphicsItem;
class QGraphicsScene;
class QGraphicsView;
class QPushButton;
class QScrollArea;

// The overlay editor: a 640x360 scene (the reference canvas of overlay
// geometry) holding up to four video and four image editor items, with the
// buttons that add, apply and clear them. It owns no engine object: items'
// requests leave as the panel's signals, which the main window connects.
//
// The panel keeps no list of its items; it finds them in the scene by their
// item type. GUI thread only.
class MediaOverlayWidget : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxVideoOverlays = 4;
    static constexpr int kMaxImageOverlays = 4;

    explicit MediaOverlayWidget(QWidget* parent = nullptr);
    ~MediaOverlayWidget() override;

    // Null when the limit is reached (logged) or the path is empty.
    VideoOverlayWidget* addVideoOverlay(const QString& path, const QPointF& pos);
    ImageOverlayWidget* addImageOverlay(const QString& path, const QPointF& pos);

    void setChineseUi(bool chinese);
    // Floating: the view fits the whole canvas into the dock window.
    // Docked: the canvas at scale 1 with scroll bars as needed.
    void onDockFloatingChanged(bool floating);
    void fitViewToWindow();

signals:
    void videoOverlayAdded(VideoOverlayWidget* video);
    void imageOverlayAdded(ImageOverlayWidget* image);
    void videoOverlayApplyRequested(VideoOverlayWidget* widget, QString filePath, QRectF rectInScene,
                                    qlonglong positionMs, bool isPlaying);
    void imageOverlayApplyRequested(ImageOverlayWidget* widget, QString filePath, QRectF rectInScene,
                                    double opacity);
    void videoOverlayLoopChanged(VideoOverlayWidget* widget, bool loop);
    void videoOverlayDetachRequested(VideoOverlayWidget* widget);
    void videoOverlayRemoveRequested(VideoOverlayWidget* widget);

private:
    void onAddVideoClicked();
    void chooseVideoFile();
    void onAddImageClicked();
    void chooseImageFile();
    void applyAllOverlays();
    void clearAllOverlays();
    void updateButtonsEnabled();
    void removeVideoItem(VideoOverlayWidget* item);
    void removeImageItem(ImageOverlayWidget* item);
    void showLimitBox(bool video);
    void applyTexts();

    const QSize m_referenceSize{640, 360};
    QPushButton* m_addVideoButton = nullptr;
    QPushButton* m_addImageButton = nullptr;
    QPushButton* m_applyAllButton = nullptr;
    QPushButton* m_clearAllButton = nullptr;
    QGraphicsScene* m_scene = nullptr; // child of the panel
    QGraphicsView* m_view = nullptr;
    QScrollArea* m_scrollArea = nullptr;
    QDockWidget* m_dock = nullptr; // not owned; the enclosing dock, when there is one
    int m_videoPlacementOffset = 0;
    int m_imagePlacementOffset = 0;
    int m_videoCount = 0;
    int m_imageCount = 0;
    bool m_chineseUi = false;
};
