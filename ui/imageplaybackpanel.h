#pragma once

#include <QList>
#include <QPointF>
#include <QStringList>
#include <QWidget>

class ImageItem;
class QGraphicsScene;
class QGraphicsView;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QToolButton;

// Picture files of a folder that the slideshow takes: plain files (no
// folders, no hidden files) named *.png, *.jpg, *.jpeg, *.bmp or *.gif in any
// letter case, as absolute paths sorted by name without regard to case.
QStringList slideshowImagesInFolder(const QString& folder);

// Scene position of grid cell `index`.
QPointF slideshowCellPosition(int index);

// Grid index an item dropped with its centre at `centre` moves to, among
// `count` items: a drop right of the last column counts into the next row;
// the result is limited to 0..count - 1.
int slideshowDropIndex(QPointF centre, int count);

// Gathers still pictures into a grid of thumbnails, ordered by dragging, and
// asks the main window to start or stop the slideshow. Plays nothing itself.
// GUI thread only; thumbnails load on a private pool (see ImageItem).
class ImagePlaybackPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kColumns = 5;
    static constexpr int kCellSize = 120;
    static constexpr int kMinIntervalMs = 200;
    static constexpr int kMaxIntervalMs = 10000;
    static constexpr int kDefaultIntervalMs = 2000;

    explicit ImagePlaybackPanel(QWidget* parent = nullptr);
    ~ImagePlaybackPanel() override;

    // Mirrors the main window's slideshow state; emits nothing.
    void setPlaying(bool playing);
    void setChineseUi(bool chinese);

signals:
    void imagePlayRequested(QStringList paths, int intervalMs, bool imageLoop);
    void imagePlayStopRequested();

private slots:
    void addImagesFromDirectory();
    void removeSelectedImages();
    void onItemReleased(ImageItem* item);

private:
    friend class ImagePlaybackPanelTestAccess;

    void addImages(const QString& folder);
    void onItemSelectedChanged(ImageItem* item, bool selected, bool shiftPressed);
    void onPlayClicked();
    void relayoutItems();
    QList<ImageItem*> selectedItems() const;
    void updateLoopToolTip();
    void updatePlayButton();

    QLineEdit* folderEdit = nullptr;
    QPushButton* browseButton = nullptr;
    QLabel* intervalLabel = nullptr;
    QSpinBox* intervalSpin = nullptr;
    QToolButton* loopButton = nullptr;
    QPushButton* playButton = nullptr;
    bool playing = false;
    bool chineseUi = false;
    QGraphicsView* view = nullptr;
    QGraphicsScene* scene = nullptr;
    QList<ImageItem*> items; // grid order; the scene owns them
};
