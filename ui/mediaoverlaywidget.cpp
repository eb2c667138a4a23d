#include "ui/mediaoverlaywidget.h"

#include "ui/imageoverlaywidget.h"
#include "ui/uitheme.h"
#include "ui/videooverlaywidget.h"

#include <QDebug>
#include <QDockWidget>
#include <QFileDialog>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QHBoxLayout>
#include <QList>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// New items land on a diagonal that grows with every add from the buttons.
constexpr int kPlacementStep = 30;
constexpr int kVideoPlacementStart = 10;
constexpr int kImagePlacementStart = 20;
constexpr int kButtonHeight = 28;
const QSize kDockedDockSize(680, 420);

const char* const kScrollHandleHover = "#5a606d";
const char* const kClearButtonStyle =
    "QPushButton { color:#d6a0a0;border:1px solid #574040; }"
    "QPushButton:hover { color:#f0c0c0;background:#493131; }";

QString pick(bool chinese, const char* english, const char* chineseText)
{
    return chinese ? QString::fromUtf8(chineseText) : QString::fromUtf8(english);
}

QString confirmationStyleSheet()
{
    return QStringLiteral("QMessageBox { background:%1; }"
                          "QLabel#qt_msgbox_label { color:%2; min-width:320px; }"
                          "QPushButton { min-width:84px; min-height:28px; background:%3; color:%2; "
                          "border:1px solid %4; border-radius:4px; padding:4px 10px; }"
                          "QPushButton:hover { background:%5; }"
                          "QPushButton:default { border:1px solid %6; }")
        .arg(QLatin1String(uitheme::kBgDeepest), QLatin1String(uitheme::kGold),
             QLatin1String(uitheme::kBgControl), QLatin1String(uitheme::kBorder),
             QLatin1String(uitheme::kBgPressed), QLatin1String(uitheme::kGoldMuted));
}

QString scrollAreaStyleSheet()
{
    return QStringLiteral("QScrollArea { background:%1; border:1px solid %2; }"
                          "QScrollArea > QWidget > QWidget { background:%1; }"
                          "QScrollBar:horizontal { height:12px; background:%1; border-top:1px solid %3; }"
                          "QScrollBar:vertical { width:12px; background:%1; border-left:1px solid %3; }"
                          "QScrollBar::handle { background:%4; border-radius:4px; margin:2px; }"
                          "QScrollBar::handle:hover { background:%5; }"
                          "QScrollBar::handle:horizontal { min-width:28px; }"
                          "QScrollBar::handle:vertical { min-height:28px; }"
                          "QScrollBar::add-line, QScrollBar::sub-line { width:0px; height:0px; border:none; background:none; }"
                          "QScrollBar::add-page, QScrollBar::sub-page { background:transparent; }"
                          "QAbstractScrollArea::corner { background:%1; }")
        .arg(QLatin1String(uitheme::kBgDeepest), QLatin1String(uitheme::kGoldMuted),
             QLatin1String(uitheme::kBgHover), QLatin1String(uitheme::kBorder),
             QLatin1String(kScrollHandleHover));
}

} // namespace

MediaOverlayWidget::MediaOverlayWidget(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("mediaOverlayPanel"));
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QStringLiteral("#mediaOverlayPanel { background-color:%1; }")
                      .arg(QLatin1String(uitheme::kBgDeepest)));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(6);
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    m_addVideoButton = new QPushButton(this);
    m_addImageButton = new QPushButton(this);
    m_applyAllButton = new QPushButton(this);
    m_clearAllButton = new QPushButton(this);
    m_addVideoButton->setObjectName(QStringLiteral("addVideoButton"));
    m_addImageButton->setObjectName(QStringLiteral("addImageButton"));
    m_applyAllButton->setObjectName(QStringLiteral("applyAllButton"));
    m_clearAllButton->setObjectName(QStringLiteral("clearAllButton"));
    for (QPushButton* b : {m_addVideoButton, m_addImageButton, m_applyAllButton, m_clearAllButton})
        b->setFixedHeight(kButtonHeight);
    m_clearAllButton->setStyleSheet(QLatin1String(kClearButtonStyle));
    row->addWidget(m_addVideoButton);
    row->addWidget(m_addImageButton);
    row->addStretch();
    row->addWidget(m_applyAllButton);
    row->addWidget(m_clearAllButton);
    layout->addLayout(row);

    m_scene = new QGraphicsScene(QRectF(QPointF(0, 0), QSizeF(m_referenceSize)), this);
    m_view = new QGraphicsView(m_scene);
    m_view->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_view->setMinimumSize(m_referenceSize);
    m_view->setStyleSheet(QStringLiteral("QGraphicsView { border:none; background:%1; }")
                              .arg(QLatin1String(uitheme::kBgDeepest)));
    m_scrollArea = new QScrollArea(this);
    m_scrollArea->setWidgetResizable(false);
    m_scrollArea->setWidget(m_view);
    m_scrollArea->setStyleSheet(scrollAreaStyleSheet());
    layout->addWidget(m_scrollArea);

    connect(m_addVideoButton, &QPushButton::clicked, this, [this] { onAddVideoClicked(); });
    connect(m_addImageButton, &QPushButton::clicked, this, [this] { onAddImageClicked(); });
    connect(m_applyAllButton, &QPushButton::clicked, this, [this] { applyAllOverlays(); });
    connect(m_clearAllButton, &QPushButton::clicked, this, [this] { clearAllOverlays(); });

    applyTexts();
    updateButtonsEnabled();
}

MediaOverlayWidget::~MediaOverlayWidget() = default;

void MediaOverlayWidget::applyTexts()
{
    m_addVideoButton->setText(pick(m_chineseUi, "Add Video", "添加视频"));
    m_addImageButton->setText(pick(m_chineseUi, "Add Image", "添加图片"));
    m_applyAllButton->setText(pick(m_chineseUi, "Apply All", "全部叠加"));
    m_clearAllButton->setText(pick(m_chineseUi, "Clear All", "清除全部"));
}

void MediaOverlayWidget::setChineseUi(bool chinese)
{
    m_chineseUi = chinese;
    applyTexts();
    if (!m_scene)
        return;
    for (QGraphicsItem* item : m_scene->items()) {
        if (auto* video = qgraphicsitem_cast<VideoOverlayWidget*>(item))
            video->setChineseUi(chinese);
        else if (auto* image = qgraphicsitem_cast<ImageOverlayWidget*>(item))
            image->setChineseUi(chinese);
    }
}

void MediaOverlayWidget::showLimitBox(bool video)
{
    const QString text = video ? pick(m_chineseUi, "Video overlay limit reached max %1.", "最多叠加 %1 路视频。")
                               : pick(m_chineseUi, "Image overlay limit reached max %1.", "最多叠加 %1 路图片。");
    QMessageBox::information(this, pick(m_chineseUi, "Overlay Limit", "叠加上限"),
                             text.arg(video ? kMaxVideoOverlays : kMaxImageOverlays));
}

void MediaOverlayWidget::onAddVideoClicked()
{
    if (m_videoCount >= kMaxVideoOverlays) {
        showLimitBox(true);
        return;
    }
    // The dialog opens after the click handler has returned.
    QTimer::singleShot(0, this, [this] { chooseVideoFile(); });
}

void MediaOverlayWidget::chooseVideoFile()
{
    const QString path = QFileDialog::getOpenFileName(
        this, pick(m_chineseUi, "Select Video", "选择视频"), QString(),
        pick(m_chineseUi, "Video (*.mp4 *.avi *.mov)", "视频 (*.mp4 *.avi *.mov)"));
    if (path.isEmpty())
        return;
    QTimer::singleShot(0, this, [this, path] {
        const QPointF pos(m_videoPlacementOffset + kVideoPlacementStart,
                          m_videoPlacementOffset + kVideoPlacementStart);
        if (addVideoOverlay(path, pos))
            m_videoPlacementOffset += kPlacementStep;
        else // the limit was reached while the dialog was open (a schedule run)
            showLimitBox(true);
    });
}

void MediaOverlayWidget::onAddImageClicked()
{
    if (m_imageCount >= kMaxImageOverlays) {
        showLimitBox(false);
        return;
    }
    QTimer::singleShot(0, this, [this] { chooseImageFile(); });
}

void MediaOverlayWidget::chooseImageFile()
{
    const QString path = QFileDialog::getOpenFileName(
        this, pick(m_chineseUi, "Select Image", "选择图片"), QString(),
        pick(m_chineseUi, "Image (*.png *.jpg *.bmp)", "图片 (*.png *.jpg *.bmp)"));
    if (path.isEmpty())
        return;
    QTimer::singleShot(0, this, [this, path] {
        const QPointF pos(m_imagePlacementOffset + kImagePlacementStart,
                          m_imagePlacementOffset + kImagePlacementStart);
        if (addImageOverlay(path, pos))
            m_imagePlacementOffset += kPlacementStep;
        else
            showLimitBox(false);
    });
}

VideoOverlayWidget* MediaOverlayWidget::addVideoOverlay(const QString& path, const QPointF& pos)
{
    if (path.isEmpty())
        return nullptr;
    if (m_videoCount >= kMaxVideoOverlays || !m_scene) {
        qWarning() << "MediaOverlayWidget: video overlay limit reached (max" << kMaxVideoOverlays << ")";
        return nullptr;
    }
    auto* item = new VideoOverlayWidget(path, m_scene->sceneRect());
    item->setChineseUi(m_chineseUi);
    m_scene->addItem(item);
    item->setPos(pos);

    connect(item, &VideoOverlayWidget::removeRequested, this, [this, item] { removeVideoItem(item); });
    connect(item, &VideoOverlayWidget::overlayApplyRequested, this,
            &MediaOverlayWidget::videoOverlayApplyRequested);
    connect(item, &VideoOverlayWidget::overlayLoopToggled, this,
            [this, item](bool enabled) { emit videoOverlayLoopChanged(item, enabled); });
    connect(item, &VideoOverlayWidget::overlayDetachFromProgramRequested, this,
            [this, item] { emit videoOverlayDetachRequested(item); });

    ++m_videoCount;
    emit videoOverlayAdded(item);
    updateButtonsEnabled();
    return item;
}

ImageOverlayWidget* MediaOverlayWidget::addImageOverlay(const QString& path, const QPointF& pos)
{
    if (path.isEmpty())
        return nullptr;
    if (m_imageCount >= kMaxImageOverlays || !m_scene) {
        qWarning() << "MediaOverlayWidget: image overlay limit reached (max" << kMaxImageOverlays << ")";
        return nullptr;
    }
    auto* item = new ImageOverlayWidget(path, m_scene->sceneRect());
    item->setChineseUi(m_chineseUi);
    m_scene->addItem(item);
    item->setPos(pos);

    connect(item, &ImageOverlayWidget::removeRequested, this, [this, item] { removeImageItem(item); });
    connect(item, &ImageOverlayWidget::overlayApplyRequested, this,
            &MediaOverlayWidget::imageOverlayApplyRequested);

    ++m_imageCount;
    emit imageOverlayAdded(item);
    updateButtonsEnabled();
    return item;
}

void MediaOverlayWidget::removeVideoItem(VideoOverlayWidget* item)
{
    // A second request for an item already taken out must neither announce
    // it again nor lower the count for an item that is gone.
    if (!item || !m_scene || item->scene() != m_scene)
        return;
    // Announced first, so the main window can release the program binding
    // while the item still exists.
    emit videoOverlayRemoveRequested(item);
    if (item->scene() != m_scene)
        return;
    m_scene->removeItem(item);
    item->deleteLater();
    m_videoCount = std::max(0, m_videoCount - 1);
    updateButtonsEnabled();
}

void MediaOverlayWidget::removeImageItem(ImageOverlayWidget* item)
{
    if (!item || !m_scene || item->scene() != m_scene)
        return;
    m_scene->removeItem(item);
    item->deleteLater();
    m_imageCount = std::max(0, m_imageCount - 1);
    updateButtonsEnabled();
}

void MediaOverlayWidget::applyAllOverlays()
{
    if (!m_scene)
        return;
    // Bottom-most first: with every item at z 0 that is the order of adding.
    for (QGraphicsItem* item : m_scene->items(Qt::AscendingOrder)) {
        if (auto* video = qgraphicsitem_cast<VideoOverlayWidget*>(item)) {
            video->setPlaying(true);
            emit videoOverlayApplyRequested(video, video->filePath(), video->rectInScene(),
                                            video->positionMs(), video->isPlaying());
        } else if (auto* image = qgraphicsitem_cast<ImageOverlayWidget*>(item)) {
            emit imageOverlayApplyRequested(image, image->filePath(), image->rectInScene(),
                                            image->opacity());
        }
    }
}

void MediaOverlayWidget::clearAllOverlays()
{
    if (!m_scene || m_videoCount + m_imageCount < 1)
        return;
    QMessageBox box(this);
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(pick(m_chineseUi, "Clear all overlays", "清除全部叠加"));
    box.setText(pick(m_chineseUi, "Remove all overlay videos and images?", "确定移除全部叠加视频和图片吗？"));
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setStyleSheet(confirmationStyleSheet());
    if (box.exec() != QMessageBox::Yes)
        return;
    // A snapshot: removals take items out of the scene while we walk it, but
    // deletion waits for the event loop, so the pointers stay valid.
    const QList<QGraphicsItem*> items = m_scene->items(Qt::DescendingOrder);
    for (QGraphicsItem* item : items) {
        if (auto* video = qgraphicsitem_cast<VideoOverlayWidget*>(item))
            emit video->removeRequested();
        else if (auto* image = qgraphicsitem_cast<ImageOverlayWidget*>(item))
            emit image->removeRequested();
    }
}

void MediaOverlayWidget::updateButtonsEnabled()
{
    // Adding stays enabled at the limit: the limit box explains the refusal.
    const bool any = m_videoCount + m_imageCount > 0;
    m_applyAllButton->setEnabled(any);
    m_clearAllButton->setEnabled(any);
}

void MediaOverlayWidget::onDockFloatingChanged(bool floating)
{
    if (floating) {
        m_dock = qobject_cast<QDockWidget*>(parentWidget());
        m_scrollArea->setWidgetResizable(true);
        for (QAbstractScrollArea* area : {static_cast<QAbstractScrollArea*>(m_scrollArea),
                                          static_cast<QAbstractScrollArea*>(m_view)}) {
            area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        }
        // The floating window has its final size only after this event.
        QTimer::singleShot(0, this, [this] { fitViewToWindow(); });
        return;
    }
    m_view->resetTransform();
    m_view->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    for (QAbstractScrollArea* area : {static_cast<QAbstractScrollArea*>(m_view),
                                      static_cast<QAbstractScrollArea*>(m_scrollArea)}) {
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    }
    m_scrollArea->setWidgetResizable(false);
    if (m_dock)
        m_dock->resize(kDockedDockSize);
}

void MediaOverlayWidget::fitViewToWindow()
{
    m_dock = qobject_cast<QDockWidget*>(parentWidget());
    if (!m_dock || !m_dock->isFloating())
        return;
    m_scrollArea->setWidgetResizable(true);
    m_scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setAlignment(Qt::AlignCenter);
    m_view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_view->setFrameShape(QFrame::NoFrame);
    m_view->setRenderHints(m_view->renderHints() | QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    m_view->setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
    m_view->resetTransform();
    m_view->fitInView(m_scene->sceneRect(), Qt::KeepAspectRatio);
}
