#include "ui/videooverlaywidget.h"

#include "ui/overlayhandle.h"

#include <QCursor>
#include <QDebug>
#include <QGraphicsPixmapItem>
#include <QGraphicsProxyWidget>
#include <QGraphicsSceneHoverEvent>
#include <QGraphicsSceneMouseEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionGraphicsItem>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int kMargin = int(overlaygeometry::kItemMargin);
constexpr int kDefaultLocalVolume = 20;

const QString kPlaySymbol = QStringLiteral("▶");
const QString kPauseSymbol = QStringLiteral("⏸");

const char* const kPlayButtonStyle =
    "QPushButton { background:#333; color:white; padding:0px; border-radius:4px; font-size:14px; }"
    "QPushButton:hover { background:#444; }";
const char* const kAttachButtonStyle =
    "QPushButton { background:#333; color:white; padding:2px; border-radius:4px; font-size:14px; }"
    "QPushButton:hover { background:#444; }"
    "QPushButton:checked { background:#666; }";

QString pick(bool chinese, const char* english, const char* chineseText)
{
    return chinese ? QString::fromUtf8(chineseText) : QString::fromUtf8(english);
}

// Rounded half away from zero and kept inside int, as a pixmap size needs.
int roundedSide(double v)
{
    const double r = std::round(v);
    if (!(r > 0))
        return 0;
    return r >= double(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max() : int(r);
}

} // namespace

VideoOverlayWidget::VideoOverlayWidget(QString filePath, QRectF sceneRect, QGraphicsItem* parent)
    : QGraphicsObject(parent), m_filePath(std::move(filePath)), m_sceneBounds(sceneRect)
{
    // Not movable: the item moves and resizes itself from its own handles.
    setFlags(ItemIsSelectable | ItemIsFocusable | ItemSendsGeometryChanges);
    setAcceptHoverEvents(true);
    setCacheMode(DeviceCoordinateCache);
    setAcceptedMouseButtons(Qt::LeftButton);

    m_preview = new QGraphicsPixmapItem(this);
    // Behind this item, so the selection marks are drawn over the picture.
    m_preview->setFlag(QGraphicsItem::ItemStacksBehindParent);
    m_preview->setPos(0, 0);
    refreshPreviewPixmap();

    m_barHolder = new QGraphicsProxyWidget(this);
    m_barHolder->setWidget(buildControlBar());

    connect(m_playButton, &QPushButton::clicked, this, [this] { onPlayClicked(); });
    connect(m_stopButton, &QPushButton::clicked, this, [this] { onStopClicked(); });
    connect(m_positionSlider, &QSlider::valueChanged, this, [this](int v) { onPositionValueChanged(v); });
    connect(m_positionSlider, &QSlider::sliderReleased, this, [this] { onPositionReleased(); });
    connect(m_removeButton, &QPushButton::clicked, this, &VideoOverlayWidget::removeRequested);
    connect(m_loopButton, &QPushButton::toggled, this, &VideoOverlayWidget::overlayLoopToggled);
    connect(m_volumeSlider, &QSlider::valueChanged, this, &VideoOverlayWidget::overlayLocalVolumeChanged);
    connect(m_attachButton, &QPushButton::toggled, this, [this](bool checked) { onAttachToggled(checked); });

    setChineseUi(false);
    relayoutChildren();
}

VideoOverlayWidget::~VideoOverlayWidget()
{
    m_overlayManager = nullptr;
    m_overlayId = -1;
}

QWidget* VideoOverlayWidget::buildControlBar()
{
    auto* bar = new QWidget;
    bar->setFixedHeight(kBarHeight);
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(2);

    auto button = [bar](const char* name, const QString& text, int side) {
        auto* b = new QPushButton(text, bar);
        b->setObjectName(QLatin1String(name));
        b->setFixedSize(side, side);
        return b;
    };
    m_playButton = button("playButton", kPlaySymbol, 24);
    m_playButton->setStyleSheet(QLatin1String(kPlayButtonStyle));
    m_stopButton = button("stopButton", QStringLiteral("■"), 24);
    m_loopButton = button("loopButton", QStringLiteral("↻"), 24);
    m_loopButton->setCheckable(true);

    m_positionSlider = new QSlider(Qt::Horizontal, bar);
    m_positionSlider->setObjectName(QStringLiteral("positionSlider"));
    m_positionSlider->setRange(0, 1000);
    m_positionSlider->setValue(0);
    m_volumeSlider = new QSlider(Qt::Horizontal, bar);
    m_volumeSlider->setObjectName(QStringLiteral("volumeSlider"));
    m_volumeSlider->setRange(0, 100);
    m_volumeSlider->setValue(kDefaultLocalVolume);

    m_removeButton = button("removeButton", QStringLiteral("✕"), 24);
    m_attachButton = button("attachButton", QStringLiteral("📺"), 26);
    m_attachButton->setCheckable(true);
    m_attachButton->setStyleSheet(QLatin1String(kAttachButtonStyle));

    layout->addWidget(m_playButton, 0);
    layout->addWidget(m_stopButton, 0);
    layout->addWidget(m_loopButton, 0);
    layout->addWidget(m_positionSlider, 3);
    layout->addWidget(m_volumeSlider, 1);
    layout->addWidget(m_removeButton, 0);
    layout->addWidget(m_attachButton, 0);
    return bar;
}

void VideoOverlayWidget::bindProgramOverlay(OverlayManager* manager, int overlayId)
{
    m_overlayManager = manager;
    m_overlayId = overlayId;
}

void VideoOverlayWidget::setAttachChecked(bool checked)
{
    m_attachChecked = checked;
    if (m_attachButton) {
        const QSignalBlocker block(m_attachButton);
        m_attachButton->setChecked(checked);
    }
    updateAttachButton();
}

bool VideoOverlayWidget::isLoopEnabled() const
{
    return m_loopButton ? m_loopButton->isChecked() : false;
}

int VideoOverlayWidget::localVolume() const
{
    return m_volumeSlider ? m_volumeSlider->value() : kDefaultLocalVolume;
}

QRectF VideoOverlayWidget::rectInScene() const
{
    return QRectF(mapToScene(m_box.topLeft()), m_box.size());
}

void VideoOverlayWidget::setPreviewFrame(const QImage& frame, qint64 positionMs)
{
    if (m_playing)
        m_positionMs = positionMs;
    if (!m_preview || frame.isNull())
        return;
    m_previewImage = frame;
    refreshPreviewPixmap();
    if (m_durationMs > 0 && m_positionSlider && !m_positionSlider->isSliderDown()) {
        const qint64 perMille = std::clamp<qint64>(m_positionMs * 1000 / m_durationMs, 0, 1000);
        const QSignalBlocker block(m_positionSlider);
        m_positionSlider->setValue(int(perMille));
    }
}

void VideoOverlayWidget::resetPreview()
{
    m_playing = false;
    m_positionMs = 0;
    showPlayState();
    if (m_positionSlider) {
        const QSignalBlocker block(m_positionSlider);
        m_positionSlider->setValue(0);
    }
    m_previewImage = QImage();
    refreshPreviewPixmap();
}

void VideoOverlayWidget::setPlaying(bool playing)
{
    m_playing = playing;
    showPlayState();
}

void VideoOverlayWidget::setChineseUi(bool chinese)
{
    m_chineseUi = chinese;
    if (m_playButton)
        m_playButton->setToolTip(pick(chinese, "Play / Pause", "播放 / 暂停"));
    if (m_stopButton)
        m_stopButton->setToolTip(pick(chinese, "Stop", "停止"));
    if (m_positionSlider)
        m_positionSlider->setToolTip(pick(chinese, "Playback position", "播放进度"));
    if (m_volumeSlider)
        m_volumeSlider->setToolTip(pick(chinese, "Overlay monitor volume", "叠加监听音量"));
    if (m_removeButton)
        m_removeButton->setToolTip(pick(chinese, "Remove overlay", "移除叠加"));
    if (m_loopButton)
        m_loopButton->setToolTip(pick(chinese, "Loop overlay playback", "循环播放叠加"));
    updateAttachButton();
}

void VideoOverlayWidget::setEditorWidth(int width)
{
    // A box of no area would reach the program as an empty or negative
    // rectangle; keep the current box instead.
    const std::optional<int> height = overlaygeometry::videoHeightForWidth(width);
    if (!height) {
        qWarning() << "VideoOverlayWidget: ignoring editor width" << width << "(the box would be empty)";
        return;
    }
    prepareGeometryChange();
    m_box.setWidth(width);
    m_box.setHeight(*height);
    relayoutChildren();
}

QRectF VideoOverlayWidget::boundingRect() const
{
    return QRectF(m_box.x() - kMargin, m_box.y() - kMargin, m_box.width() + 2 * kMargin,
                  m_box.height() + kBarHeight + 3 * kMargin);
}

void VideoOverlayWidget::paint(QPainter* painter, const QStyleOptionGraphicsItem* option, QWidget*)
{
    // The preview and the bar are child items and draw themselves.
    if (option->state & QStyle::State_Selected)
        overlaygeometry::paintSelection(painter, m_box, true);
}

void VideoOverlayWidget::hoverMoveEvent(QGraphicsSceneHoverEvent* event)
{
    setCursorForHit(int(overlaygeometry::hitTest(m_box, event->pos())));
}

void VideoOverlayWidget::mousePressEvent(QGraphicsSceneMouseEvent* event)
{
    // The base handler is skipped on purpose: it would clear the selection
    // of the other items.
    m_activeHandle = int(overlaygeometry::hitTest(m_box, event->pos()));
    m_lastMousePos = event->pos();
    setSelected(true);
    event->accept();
}

void VideoOverlayWidget::mouseMoveEvent(QGraphicsSceneMouseEvent* event)
{
    const QPointF delta = event->pos() - m_lastMousePos;
    m_lastMousePos = event->pos();
    prepareGeometryChange();
    const auto handle = static_cast<OverlayHandle>(m_activeHandle);
    if (handle == OverlayHandle::Body) {
        setPos(pos() + (event->scenePos() - event->lastScenePos()));
        clampToScene();
    } else {
        m_box = overlaygeometry::resizeVideoBox(m_box, handle, delta);
        relayoutChildren();
    }
    emit geometryChanged(sceneBoundingRect());
    event->accept();
}

void VideoOverlayWidget::mouseReleaseEvent(QGraphicsSceneMouseEvent* event)
{
    m_activeHandle = int(OverlayHandle::None);
    event->accept();
}

void VideoOverlayWidget::setCursorForHit(int handle)
{
    if (const auto cursor = overlaygeometry::cursorForHandle(handle))
        setCursor(*cursor);
    else
        unsetCursor();
}

void VideoOverlayWidget::clampToScene()
{
    setPos(overlaygeometry::clampToScene(pos(), m_box, m_sceneBounds, kMargin + kBarHeight));
}

void VideoOverlayWidget::relayoutChildren()
{
    refreshPreviewPixmap();
    if (m_barHolder) {
        m_barHolder->setPos(m_box.x(), m_box.y() + m_box.height() + kMargin);
        if (QWidget* bar = m_barHolder->widget())
            bar->setFixedWidth(int(m_box.width()));
    }
    update();
}

void VideoOverlayWidget::refreshPreviewPixmap()
{
    if (!m_preview)
        return;
    const QSize target(roundedSide(m_box.width()), roundedSide(m_box.height()));
    if (target.width() < 1 || target.height() < 1)
        return;
    QPixmap pixmap;
    if (m_previewImage.isNull()) {
        pixmap = QPixmap(target);
        pixmap.fill(Qt::black);
    } else {
        pixmap = QPixmap::fromImage(
            m_previewImage.scaled(target, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    }
    m_preview->setPixmap(pixmap);
    m_preview->setPos(m_box.topLeft());
}

void VideoOverlayWidget::updateAttachButton()
{
    if (!m_attachButton)
        return;
    m_attachButton->setToolTip(m_attachButton->isChecked()
                                   ? pick(m_chineseUi, "Detach from program output", "取消叠加")
                                   : pick(m_chineseUi, "Add to program output", "叠加到节目输出"));
}

void VideoOverlayWidget::showPlayState()
{
    if (m_playButton)
        m_playButton->setText(m_playing ? kPauseSymbol : kPlaySymbol);
}

void VideoOverlayWidget::onPlayClicked()
{
    m_playing = !m_playing;
    showPlayState();
    emit overlayDecoderSyncRequested(m_positionMs, m_playing);
}

void VideoOverlayWidget::onStopClicked()
{
    m_playing = false;
    m_positionMs = 0;
    m_previewImage = QImage();
    showPlayState();
    {
        const QSignalBlocker block(m_positionSlider);
        m_positionSlider->setValue(0);
    }
    refreshPreviewPixmap();
    emit overlayDecoderSyncRequested(0, false);
}

qint64 VideoOverlayWidget::positionForSliderValue(int value) const
{
    // Per-mille of the duration; an unknown duration keeps the position.
    return m_durationMs > 0 ? qint64(value) * m_durationMs / 1000 : m_positionMs;
}

void VideoOverlayWidget::onPositionValueChanged(int value)
{
    // Only the operator's own drag seeks; keys and page steps wait for the
    // next frame to put the slider back.
    if (!m_positionSlider->isSliderDown())
        return;
    m_positionMs = positionForSliderValue(value);
    emit overlayDecoderSyncRequested(m_positionMs, m_playing);
}

void VideoOverlayWidget::onPositionReleased()
{
    m_positionMs = positionForSliderValue(m_positionSlider->value());
    emit overlayDecoderSyncRequested(m_positionMs, m_playing);
}

void VideoOverlayWidget::onAttachToggled(bool checked)
{
    if (!checked) {
        emit overlayDetachFromProgramRequested();
        return;
    }
    // An overlay goes on program playing; the apply carries that state, so
    // no separate decoder request is sent.
    if (!m_playing) {
        m_playing = true;
        showPlayState();
    }
    emit overlayApplyRequested(this, m_filePath, rectInScene(), m_positionMs, m_playing);
}
