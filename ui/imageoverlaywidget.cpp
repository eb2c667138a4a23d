#include "ui/imageoverlaywidget.h"

#include "engine/loadimagescaled.h"
#include "ui/overlayhandle.h"

#include <QCursor>
#include <QDebug>
#include <QFutureWatcher>
#include <QGraphicsPixmapItem>
#include <QGraphicsProxyWidget>
#include <QGraphicsSceneHoverEvent>
#include <QGraphicsSceneMouseEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionGraphicsItem>
#include <QThreadPool>
#include <QWidget>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace {

constexpr int kMargin = int(overlaygeometry::kItemMargin);
constexpr double kDefaultEditorWidth = 320.0;

QString pick(bool chinese, const char* english, const char* chineseText)
{
    return chinese ? QString::fromUtf8(chineseText) : QString::fromUtf8(english);
}

} // namespace

ImageOverlayWidget::ImageOverlayWidget(QString filePath, QRectF sceneRect, QGraphicsItem* parent)
    : QGraphicsObject(parent), m_filePath(std::move(filePath)), m_sceneBounds(sceneRect)
{
    setFlags(ItemIsSelectable | ItemIsFocusable | ItemSendsGeometryChanges);
    setAcceptHoverEvents(true);
    setCacheMode(NoCache);

    // Until the picture arrives the box is 16:9 and shows a black square.
    m_editorPixmap = QPixmap(1, 1);
    m_editorPixmap.fill(Qt::black);
    m_preview = new QGraphicsPixmapItem(m_editorPixmap, this);
    // Behind this item, so the selection marks are drawn over the picture.
    m_preview->setFlag(QGraphicsItem::ItemStacksBehindParent);
    m_preview->setTransformationMode(Qt::SmoothTransformation);

    m_toolbarHolder = new QGraphicsProxyWidget(this);
    m_toolbarHolder->setWidget(buildToolbar());

    connect(m_removeButton, &QPushButton::clicked, this, &ImageOverlayWidget::removeRequested);
    connect(m_applyButton, &QPushButton::clicked, this, [this] { onApplyClicked(); });
    // The editor previews the opacity; the program gets it only on apply.
    connect(m_opacitySlider, &QSlider::valueChanged, this, [this](int v) {
        if (m_preview)
            m_preview->setOpacity(v / 100.0);
    });

    setChineseUi(false);
    relayoutChildren();
    startAsyncEditorImageLoad(m_filePath);
}

ImageOverlayWidget::~ImageOverlayWidget() = default;

QWidget* ImageOverlayWidget::buildToolbar()
{
    auto* bar = new QWidget;
    bar->setFixedHeight(kToolbarHeight);
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(4, 2, 4, 2);

    m_opacitySlider = new QSlider(Qt::Horizontal, bar);
    m_opacitySlider->setObjectName(QStringLiteral("opacitySlider"));
    m_opacitySlider->setRange(0, 100);
    m_opacitySlider->setValue(100);
    m_applyButton = new QPushButton(bar);
    m_applyButton->setObjectName(QStringLiteral("applyButton"));
    m_applyButton->setFixedHeight(kToolbarHeight - 8);
    m_applyButton->setFixedWidth(70);
    m_removeButton = new QPushButton(QStringLiteral("✕"), bar);
    m_removeButton->setObjectName(QStringLiteral("removeButton"));
    m_removeButton->setFixedSize(28, 28);

    layout->addWidget(m_opacitySlider);
    layout->addWidget(m_applyButton);
    layout->addWidget(m_removeButton);
    return bar;
}

void ImageOverlayWidget::startAsyncEditorImageLoad(const QString& path)
{
    // The watcher is a child of this item, so it and its connection die with
    // the item; the guard covers a completion already queued at that moment.
    // The task is not cancelled: it finishes on its own and its picture is
    // dropped with the future.
    auto* watcher = new QFutureWatcher<QImage>(this);
    const QPointer<ImageOverlayWidget> guard(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [guard, watcher] {
        if (!guard)
            return;
        const QFuture<QImage> future = watcher->future();
        const QImage image = future.resultCount() > 0 ? future.result() : QImage();
        watcher->deleteLater();
        guard->setEditorImage(image);
    });
    watcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [path] {
        return loadImageScaled(path, kEditorImageMaxSide, true);
    }));
}

void ImageOverlayWidget::setEditorImage(const QImage& image)
{
    // An unreadable picture keeps the 16:9 box with its black square.
    if (image.isNull())
        return;
    prepareGeometryChange();
    m_editorPixmap = QPixmap::fromImage(image);
    m_aspect = double(m_editorPixmap.width()) / std::max(1, m_editorPixmap.height());
    m_box = QRectF(0, 0, kDefaultEditorWidth, kDefaultEditorWidth / m_aspect);
    if (m_preview)
        m_preview->setPixmap(m_editorPixmap);
    relayoutChildren();
}

QRectF ImageOverlayWidget::rectInScene() const
{
    return QRectF(mapToScene(m_box.topLeft()), m_box.size());
}

double ImageOverlayWidget::opacity() const
{
    return m_opacitySlider ? m_opacitySlider->value() / 100.0 : 1.0;
}

void ImageOverlayWidget::setEditorWidth(int width)
{
    // A box of no area would reach the program as an empty or negative
    // rectangle; keep the current box instead.
    const std::optional<int> height = overlaygeometry::imageHeightForWidth(width, m_aspect);
    if (!height) {
        qWarning() << "ImageOverlayWidget: ignoring editor width" << width << "(the box would be empty)";
        return;
    }
    prepareGeometryChange();
    m_box.setWidth(width);
    m_box.setHeight(*height);
    relayoutChildren();
}

void ImageOverlayWidget::setChineseUi(bool chinese)
{
    if (m_opacitySlider)
        m_opacitySlider->setToolTip(pick(chinese, "Image overlay opacity", "图片叠加透明度"));
    if (m_applyButton) {
        m_applyButton->setText(pick(chinese, "Overlay", "叠加"));
        m_applyButton->setToolTip(pick(chinese, "Apply image overlay", "应用图片叠加"));
    }
    if (m_removeButton)
        m_removeButton->setToolTip(pick(chinese, "Remove image overlay", "移除图片叠加"));
}

QRectF ImageOverlayWidget::boundingRect() const
{
    return QRectF(m_box.x() - kMargin, m_box.y() - kMargin, m_box.width() + 2 * kMargin,
                  m_box.height() + kToolbarHeight + 3 * kMargin);
}

void ImageOverlayWidget::paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget*)
{
    if (option->state & QStyle::State_Selected)
        overlaygeometry::paintSelection(painter, m_box, false);
}

void ImageOverlayWidget::hoverMoveEvent(QGraphicsSceneHoverEvent* event)
{
    setCursorForHit(int(overlaygeometry::hitTest(m_box, event->pos())));
}

void ImageOverlayWidget::mousePressEvent(QGraphicsSceneMouseEvent* event)
{
    // The base handler is skipped on purpose: it would clear the selection
    // of the other items.
    m_activeHandle = int(overlaygeometry::hitTest(m_box, event->pos()));
    m_lastMousePos = event->pos();
    setSelected(true);
    event->accept();
}

void ImageOverlayWidget::mouseMoveEvent(QGraphicsSceneMouseEvent* event)
{
    const QPointF delta = event->pos() - m_lastMousePos;
    m_lastMousePos = event->pos();
    const auto handle = static_cast<OverlayHandle>(m_activeHandle);
    if (handle == OverlayHandle::None)
        return;
    if (handle == OverlayHandle::Body) {
        setPos(pos() + (event->scenePos() - event->lastScenePos()));
        clampToScene();
    } else {
        const QRectF box = overlaygeometry::resizeImageBox(m_box, handle, delta, m_aspect);
        prepareGeometryChange();
        m_box = box;
        relayoutChildren();
    }
    emit geometryChanged(sceneBoundingRect());
    event->accept();
}

void ImageOverlayWidget::mouseReleaseEvent(QGraphicsSceneMouseEvent* event)
{
    m_activeHandle = int(OverlayHandle::None);
    event->accept();
}

void ImageOverlayWidget::setCursorForHit(int handle)
{
    if (const auto cursor = overlaygeometry::cursorForHandle(handle))
        setCursor(*cursor);
    else
        unsetCursor();
}

void ImageOverlayWidget::clampToScene()
{
    setPos(overlaygeometry::clampToScene(pos(), m_box, m_sceneBounds, kMargin + kToolbarHeight));
}

void ImageOverlayWidget::relayoutChildren()
{
    if (!m_preview)
        return;
    // The pixmap is scaled by the item transform, never rescaled itself.
    const double scale = std::min(m_box.width() / std::max(1, m_editorPixmap.width()),
                                  m_box.height() / std::max(1, m_editorPixmap.height()));
    m_preview->setScale(scale);
    m_preview->setPos(m_box.topLeft());
    if (m_toolbarHolder) {
        m_toolbarHolder->setPos(m_box.x(), m_box.y() + m_box.height() + kMargin);
        if (QWidget* bar = m_toolbarHolder->widget())
            bar->setFixedWidth(int(m_box.width()));
    }
    update();
}

void ImageOverlayWidget::onApplyClicked()
{
    emit overlayApplyRequested(this, m_filePath, rectInScene(), opacity());
}
