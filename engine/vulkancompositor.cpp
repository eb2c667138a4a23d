#include "engine/vulkancompositor.h"

#include "engine/canvasgeometry.h"
#include "engine/framepool.h"
#include "engine/overlaymanager.h"

#include <QDebug>
#include <QFontMetricsF>
#include <QImage>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QOpenGLPaintDevice>
#include <QPainter>
#include <QPainterPath>
#include <QSurfaceFormat>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

// Scrolling speed: pixels per second for each step of `scrollStep`.
constexpr double kScrollPixelsPerSecondPerStep = 20.0;
constexpr int kWeightBold = 700;
constexpr int kWeightNormal = 400;

// Grows the token's buffer to at least `bytes` (never shrinks, so a pooled
// buffer is reused across frames).
void growBuffer(FrameToken& token, qsizetype bytes)
{
    if (token.data.size() < bytes)
        token.data.resize(bytes);
}

// Wraps the token's pixels without copying. Only for tokens that passed
// isValidFrameToken, so every row the image may touch lies in the buffer.
QImage wrapWritable(FrameToken& token)
{
    return QImage(reinterpret_cast<uchar*>(token.data.data()), token.width, token.height, token.bytesPerLine,
                  QImage::Format_RGBA8888);
}

constexpr quint64 kAlphaBytes = 0xff000000ff000000ULL;

// ANDs the pixels of n bytes (whole pixels) into acc; the alpha bytes of the
// result stay 0xff only if every pixel is opaque.
quint64 alphaAnd(const char* p, qsizetype n, quint64 acc)
{
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        quint64 word;
        std::memcpy(&word, p + i, 8);
        acc &= word;
    }
    if (i < n) { // the last pixel of an odd-width row
        quint32 px;
        std::memcpy(&px, p + i, 4);
        acc &= quint64(px) | 0xffffffff00000000ULL;
    }
    return acc;
}

// Hot pixel loops are also built for AVX2, picked at load time where the
// processor has it: the baseline x86-64 build moves 16 bytes at a time. Not
// under TSan: the loader runs the picking function before the sanitizer's
// runtime is up, and its instrumented code crashes the program at start.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
#define QUORB_ALSO_FOR_AVX2 __attribute__((target_clones("avx2", "default")))
#else
#define QUORB_ALSO_FOR_AVX2
#endif

// Copies n bytes (whole pixels) and ANDs them into acc on the way, as
// alphaAnd does: one pass, so the check costs no second read of the pixels.
QUORB_ALSO_FOR_AVX2 quint64 copyAlphaAnd(char* dst, const char* src, qsizetype n, quint64 acc)
{
    qsizetype i = 0;
    for (; i + 8 <= n; i += 8) {
        quint64 word;
        std::memcpy(&word, src + i, 8);
        std::memcpy(dst + i, &word, 8);
        acc &= word;
    }
    if (i < n) { // the last pixel of an odd-width row
        quint32 px;
        std::memcpy(&px, src + i, 4);
        std::memcpy(dst + i, &px, 4);
        acc &= quint64(px) | 0xffffffff00000000ULL;
    }
    return acc;
}

bool isOpaque(const FrameToken& t)
{
    quint64 acc = kAlphaBytes;
    for (int y = 0; y < t.height; ++y)
        acc = alphaAnd(t.data.constData() + qsizetype(y) * t.bytesPerLine, qsizetype(t.width) * 4, acc);
    return (acc & kAlphaBytes) == kAlphaBytes;
}

// Copies the base picture into the token (whose buffer is large enough) and
// tells whether every pixel is opaque.
bool copyAndCheckOpaque(const FrameToken& base, FrameToken& token)
{
    const char* src = base.data.constData();
    char* dst = token.data.data();
    const qsizetype rowBytes = qsizetype(base.width) * 4;
    quint64 acc = kAlphaBytes;
    if (base.bytesPerLine == rowBytes) {
        acc = copyAlphaAnd(dst, src, rowBytes * base.height, acc);
    } else {
        for (int y = 0; y < base.height; ++y) {
            const qsizetype off = qsizetype(y) * base.bytesPerLine;
            acc = copyAlphaAnd(dst + off, src + off, rowBytes, acc);
        }
    }
    return (acc & kAlphaBytes) == kAlphaBytes;
}

// Whether the straight-alpha RGBA bytes read the same as premultiplied ones:
// true when every pixel is opaque or entirely zero.
bool readsAsPremultiplied(const FrameToken& t)
{
    for (int y = 0; y < t.height; ++y) {
        const auto* row = reinterpret_cast<const quint32*>(t.data.constData() + qsizetype(y) * t.bytesPerLine);
        for (int x = 0; x < t.width; ++x)
            if (row[x] != 0 && (row[x] >> 24) != 0xff)
                return false;
    }
    return true;
}

// Back from premultiplied to the straight alpha of RGBA8888 frames.
void unpremultiplyInPlace(FrameToken& t)
{
    for (int y = 0; y < t.height; ++y) {
        auto* row = reinterpret_cast<quint32*>(t.data.data() + qsizetype(y) * t.bytesPerLine);
        for (int x = 0; x < t.width; ++x) {
            const quint32 a = row[x] >> 24;
            if (a != 0 && a != 0xff)
                row[x] = qUnpremultiply(row[x]);
        }
    }
}

template <typename T>
std::vector<const T*> sortedByZThenId(const QList<T>& items)
{
    std::vector<const T*> order;
    order.reserve(size_t(items.size()));
    for (const T& item : items)
        order.push_back(&item);
    std::stable_sort(order.begin(), order.end(), [](const T* a, const T* b) {
        return a->zIndex != b->zIndex ? a->zIndex < b->zIndex : a->id < b->id;
    });
    return order;
}

// Background, shadow, outline and text of one overlay, in this order.
void paintTextParts(QPainter& painter, const TextOverlayData& t, const QFont& font, const QRectF& box,
                    QPointF baseline, int pad, QPointF shadowOffset, int outlineWidth)
{
    if (t.backgroundEnabled)
        painter.fillRect(QRectF(box.x() - pad, box.y() - pad, box.width() + 2 * pad, box.height() + 2 * pad),
                         t.backgroundColor);
    const int flags = Qt::AlignLeft | Qt::AlignTop;
    if (t.shadow) {
        painter.setPen(t.shadowColor);
        painter.drawText(box.translated(shadowOffset), flags, t.text);
    }
    if (t.outline) {
        QPainterPath path;
        path.addText(baseline, font, t.text);
        painter.strokePath(path, QPen(t.outlineColor, outlineWidth));
    }
    painter.setPen(t.fontColor);
    painter.drawText(box, flags, t.text);
}

// The font of a text overlay at a picture H lines high.
QFont scaledFont(const TextOverlayData& t, int H)
{
    const double sy = referenceScaleY(QSize(1, H));
    QFont font = t.font;
    if (font.pixelSize() > 0)
        font.setPixelSize(std::max(1, qRound(font.pixelSize() * sy)));
    else if (font.pointSizeF() > 0)
        font.setPointSizeF(std::max(1.0, font.pointSizeF() * sy));
    font.setWeight(QFont::Weight(t.bold ? kWeightBold : kWeightNormal));
    font.setItalic(t.italic);
    font.setUnderline(t.underline);
    font.setStrikeOut(t.strikeOut);
    return font;
}

// Everything that changes how a text overlay looks (not where it is), plus
// the sub-pixel offset the sprite is rendered at.
QString spriteKey(const TextOverlayData& t, int H, QPointF subPixel)
{
    QString key;
    key.reserve(t.text.size() + 160);
    QTextStream k(&key);
    k << t.text << '\x1f' << t.font.toString() << '|' << H << '|' << t.bold << t.italic << t.underline
      << t.strikeOut << t.backgroundEnabled << t.shadow << t.outline << '|' << t.fontColor.rgba() << ','
      << t.backgroundColor.rgba() << ',' << t.shadowColor.rgba() << ',' << t.outlineColor.rgba() << '|'
      << t.opacity << ',' << t.backgroundPadding << ',' << t.shadowOffsetX << ',' << t.shadowOffsetY << ','
      << t.outlineWidth << '|' << qRound(subPixel.x() * 64) << ',' << qRound(subPixel.y() * 64);
    return key;
}

QPointF fractionalPart(QPointF p) { return QPointF(p.x() - std::floor(p.x()), p.y() - std::floor(p.y())); }

} // namespace

struct VulkanCompositor::GpuState {
    // Declared so that destruction runs framebuffer, surface, context.
    QOpenGLContext context;
    QOffscreenSurface surface;
    std::unique_ptr<QOpenGLFramebufferObject> fbo;
    int fboWidth = 0;
    int fboHeight = 0;
    bool ready = false;
};

VulkanCompositor::VulkanCompositor(FramePool* p)
    : pool(p)
{
    initGpuPath();
}

VulkanCompositor::~VulkanCompositor()
{
    if (!gpu)
        return;
    if (gpu->ready && gpu->context.makeCurrent(&gpu->surface)) {
        gpu->fbo.reset();
        gpu->context.doneCurrent();
    }
    gpu.reset();
}

bool VulkanCompositor::gpuReady() const { return gpu && gpu->ready; }

void VulkanCompositor::initGpuPath()
{
    auto state = std::make_unique<GpuState>();
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(2, 1);
    format.setDepthBufferSize(0);
    format.setStencilBufferSize(0);
    format.setSamples(0);
    state->context.setFormat(format);
    if (!state->context.create()) {
        qWarning() << "VulkanCompositor: QOpenGLContext::create failed, using CPU composition";
        return;
    }
    state->surface.setFormat(state->context.format());
    state->surface.create();
    if (!state->surface.isValid()) {
        qWarning() << "VulkanCompositor: QOffscreenSurface invalid, using CPU composition";
        return;
    }
    if (!state->context.makeCurrent(&state->surface)) {
        qWarning() << "VulkanCompositor: OpenGL makeCurrent failed, using CPU composition";
        return;
    }
    state->context.doneCurrent();
    state->ready = true;
    gpu = std::move(state);
    qInfo() << "VulkanCompositor: OpenGL offscreen GPU path ready (falls back to CPU on errors)";
}

bool VulkanCompositor::ensureFbo(int w, int h)
{
    if (!gpu || w <= 0 || h <= 0 || !gpu->ready)
        return false;
    if (gpu->fbo && gpu->fboWidth == w && gpu->fboHeight == h)
        return gpu->fbo->isValid();
    if (!gpu->context.makeCurrent(&gpu->surface))
        return false;
    gpu->fbo.reset();
    gpu->fbo = std::make_unique<QOpenGLFramebufferObject>(w, h, QOpenGLFramebufferObject::CombinedDepthStencil);
    const bool valid = gpu->fbo->isValid();
    if (valid) {
        gpu->fboWidth = w;
        gpu->fboHeight = h;
    } else {
        gpu->fbo.reset();
        gpu->fboWidth = 0;
        gpu->fboHeight = 0;
    }
    gpu->context.doneCurrent();
    return valid;
}

bool VulkanCompositor::composeGpu(OverlayManager& overlays, const FrameToken& base, FrameToken& token)
{
    const int w = base.width;
    const int h = base.height;
    // The framebuffer holds premultiplied pixels; straight-alpha frames with
    // translucent pixels are left to the CPU path, which keeps them exact.
    if (!gpu || !gpu->ready || !isValidFrameToken(base) || !isOpaque(base) || !ensureFbo(w, h)
        || !gpu->context.makeCurrent(&gpu->surface))
        return false;
    QOpenGLFunctions* gl = gpu->context.functions();
    gpu->fbo->bind();

    // The base goes straight into the framebuffer's texture, bottom row
    // first (OpenGL's rows run upwards): no texture of its own, no draw pass.
    gl->glBindTexture(GL_TEXTURE_2D, gpu->fbo->texture());
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    for (int y = 0; y < h; ++y)
        gl->glTexSubImage2D(GL_TEXTURE_2D, 0, 0, h - 1 - y, w, 1, GL_RGBA, GL_UNSIGNED_BYTE,
                            base.data.constData() + qsizetype(y) * base.bytesPerLine);
    gl->glBindTexture(GL_TEXTURE_2D, 0);

    {
        QOpenGLPaintDevice device(w, h);
        QPainter painter(&device);
        if (!painter.isActive()) {
            gpu->fbo->release();
            gpu->context.doneCurrent();
            return false;
        }
        paintOverlays(painter, w, h, overlays);
    }

    token.width = w;
    token.height = h;
    token.bytesPerLine = w * 4;
    token.pixelFormat = FrameToken::kRgba8888;
    const qsizetype rowBytes = qsizetype(w) * 4;
    growBuffer(token, rowBytes * h);
    char* dst = token.data.data();
    gl->glPixelStorei(GL_PACK_ALIGNMENT, 4);
    gl->glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, dst);
    const bool ok = gl->glGetError() == GL_NO_ERROR;
    gpu->fbo->release();
    gpu->context.doneCurrent();
    if (!ok)
        return false;
    // Rows came bottom-up: turn them top-down in place.
    std::vector<char> row(static_cast<size_t>(rowBytes));
    for (int y = 0; y < h / 2; ++y) {
        char* a = dst + rowBytes * y;
        char* b = dst + rowBytes * (h - 1 - y);
        std::memcpy(row.data(), a, size_t(rowBytes));
        std::memcpy(a, b, size_t(rowBytes));
        std::memcpy(b, row.data(), size_t(rowBytes));
    }
    return true;
}

template <typename Cache>
void VulkanCompositor::dropUnused(Cache& cache)
{
    for (auto it = cache.begin(); it != cache.end();)
        it = it.value().lastUse == paintCount ? std::next(it) : cache.erase(it);
}

const QImage& VulkanCompositor::prepared(PreparedPicture& slot, const QImage& source, QSize size, ChannelOrder order)
{
    slot.lastUse = paintCount;
    if (slot.sourceKey == source.cacheKey() && slot.size == size && slot.order == order && !slot.image.isNull())
        return slot.image;
    QImage image = source.size() == size ? source : source.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (order == ChannelOrder::Exchanged)
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied).rgbSwapped();
    slot.image = std::move(image);
    slot.sourceKey = source.cacheKey();
    slot.size = size;
    slot.order = order;
    return slot.image;
}

void VulkanCompositor::paintMediaLayer(QPainter& painter, int W, int H, OverlayManager& model, ChannelOrder order)
{
    for (const MediaOverlayData* m : sortedByZThenId(model.mediaOverlays())) {
        if (!m->visible || m->path.isEmpty())
            continue;
        const QImage* image = nullptr;
        if (m->kind == MediaOverlayData::kImage)
            image = &model.imageOverlayImage(m->id);
        else if (m->kind == MediaOverlayData::kVideo)
            image = &model.videoOverlayFrame(m->id);
        if (!image || image->isNull())
            continue;
        painter.setOpacity(std::clamp(m->opacity, 0.0, 1.0));
        const QRectF target(m->rect.x() * W, m->rect.y() * H, m->rect.width() * W, m->rect.height() * H);
        QRect drawn = target.toRect();
        if (image->width() > 0 && image->height() > 0 && target.width() > 0 && target.height() > 0) {
            const double s = std::min(target.width() / image->width(), target.height() / image->height());
            const QSizeF size(image->width() * s, image->height() * s);
            drawn = QRectF(target.x() + (target.width() - size.width()) / 2.0,
                           target.y() + (target.height() - size.height()) / 2.0, size.width(), size.height())
                        .toRect();
        }
        if (drawn.width() <= 0 || drawn.height() <= 0)
            continue;
        // Pictures load at up to the canvas size and are drawn into smaller
        // boxes: scale (and convert) each once, not on every frame.
        painter.drawImage(drawn.topLeft(), prepared(mediaPictures[m->id], *image, drawn.size(), order));
    }
    painter.setOpacity(1.0);
    dropUnused(mediaPictures);
}

VulkanCompositor::TextSprite& VulkanCompositor::textSprite(const TextOverlayData& t, int H, QPointF subPixel,
                                                            const QString& key)
{
    TextSprite& sprite = textSprites[t.id];
    sprite.lastUse = paintCount;
    if (sprite.key == key && !sprite.image.isNull())
        return sprite;

    const double sy = referenceScaleY(QSize(1, H));
    const QFont font = scaledFont(t, H);
    const int pad = std::max(0, qRound(t.backgroundPadding * sy));
    const QPointF shadowOffset(qRound(t.shadowOffsetX * sy), qRound(t.shadowOffsetY * sy));
    const int outlineWidth = std::max(1, qRound(t.outlineWidth * sy));

    // Metrics on a picture of the frames' resolution (every QImage has it).
    QImage probe(1, 1, QImage::Format_ARGB32_Premultiplied);
    const QFontMetricsF fm(font, &probe);
    const double tw = fm.horizontalAdvance(t.text);
    const double th = fm.height();
    const double ascent = fm.ascent();

    // Everything the parts may cover, relative to the text box's corner.
    const QRectF ink = fm.boundingRect(t.text).translated(0, ascent);
    QRectF area = QRectF(0, 0, tw, th).united(ink);
    if (t.outline)
        area = area.united(ink.adjusted(-outlineWidth, -outlineWidth, outlineWidth, outlineWidth));
    if (t.shadow)
        area = area.united(QRectF(0, 0, tw, th).united(ink).translated(shadowOffset));
    if (t.backgroundEnabled)
        area = area.united(QRectF(-pad, -pad, tw + 2 * pad, th + 2 * pad));
    constexpr int kMargin = 2;
    const QPoint topLeft(int(std::floor(subPixel.x() + area.left())) - kMargin,
                         int(std::floor(subPixel.y() + area.top())) - kMargin);
    const QPoint bottomRight(int(std::ceil(subPixel.x() + area.right())) + kMargin,
                             int(std::ceil(subPixel.y() + area.bottom())) + kMargin);

    sprite.key = key;
    sprite.exchanged = QImage();
    sprite.image = QImage(bottomRight.x() - topLeft.x(), bottomRight.y() - topLeft.y(),
                          QImage::Format_ARGB32_Premultiplied);
    sprite.image.fill(Qt::transparent);
    sprite.boxInSprite = subPixel - QPointF(topLeft);
    sprite.textWidth = tw;
    sprite.lineHeight = th;
    QPainter p(&sprite.image);
    p.setRenderHint(QPainter::Antialiasing, true);
    // Each part at the overlay's opacity, as if painted straight onto the
    // frame: blending the sprite at full opacity then gives the same result.
    p.setOpacity(std::clamp(t.opacity / 255.0, 0.0, 1.0));
    p.setFont(font);
    p.translate(sprite.boxInSprite);
    paintTextParts(p, t, font, QRectF(0, 0, tw, th), QPointF(0, ascent), pad, shadowOffset, outlineWidth);
    return sprite;
}

void VulkanCompositor::paintText(QPainter& painter, int W, int H, OverlayManager& model, const TextOverlayData& t,
                                 ChannelOrder order)
{
    const auto imageOf = [order](TextSprite& sprite) -> const QImage& {
        if (order == ChannelOrder::Native)
            return sprite.image;
        if (sprite.exchanged.isNull())
            sprite.exchanged = sprite.image.rgbSwapped();
        return sprite.exchanged;
    };
    const double sx = referenceScaleX(QSize(W, 1));
    const bool scrolling = t.scrolls();
    const QPointF p(t.posX * W, t.posY * H);
    if (!scrolling) {
        const QPointF subPixel = fractionalPart(p);
        TextSprite& sprite = textSprite(t, H, subPixel, spriteKey(t, H, subPixel));
        painter.drawImage((p - sprite.boxInSprite).toPoint(), imageOf(sprite));
        return;
    }

    // A scrolling text moves in whole pixels, so one sprite serves every position.
    const QPointF subPixel(0.0, p.y() - std::floor(p.y()));
    TextSprite& sprite = textSprite(t, H, subPixel, spriteKey(t, H, subPixel));
    const qint64 elapsedUs = model.textScrollElapsedUs(t.id);
    const double sy = referenceScaleY(QSize(1, H));
    const int pad = std::max(0, qRound(t.backgroundPadding * sy));
    const int step = std::max(1, qRound(t.scrollStep * sx));
    const double viewportHeight = t.scrollViewportHeight * H;
    const double tw = sprite.textWidth;
    const double th = sprite.lineHeight;

    const double vh = viewportHeight > 0 ? viewportHeight : th + (t.backgroundEnabled ? 2.0 * pad : 0.0);
    const int passes = std::max(1, t.scrollTimes);
    const double x0 = std::min(double(W), std::max(0.0, p.x()));
    const double distance = double(elapsedUs) / 1e6 * step * kScrollPixelsPerSecondPerStep;
    QRectF clip;
    double x;
    if (t.scrollDirection == TextOverlayData::kScrollRightToLeft) {
        clip = QRectF(0, p.y(), std::max(1.0, std::min(tw + x0, double(W))), vh);
        const double period = std::max(0.001, tw + x0);
        x = distance >= passes * period ? -tw : x0 - std::fmod(distance, period);
    } else {
        clip = QRectF(x0, p.y(), std::max(1.0, W - x0), vh);
        const double period = std::max(0.001, W - x0);
        x = distance >= passes * period ? double(W) : x0 + std::fmod(distance, period);
    }
    painter.save();
    painter.setClipRect(clip, Qt::ReplaceClip);
    painter.drawImage((QPointF(std::round(x), p.y()) - sprite.boxInSprite).toPoint(), imageOf(sprite));
    painter.restore();
}

FrameTokenPtr VulkanCompositor::compose(FrameTokenPtr base, OverlayManager* overlays)
{
    lastUsedGpu = false;
    if (!base || base->data.isEmpty() || !overlays || !overlays->hasVisibleOverlays() || !pool)
        return base;
    // A frame with a buffer shorter than its rows claim (or a stale size on a
    // reused token) must never be read or wrapped: it goes out untouched.
    if (!isValidFrameToken(*base))
        return base;
    FrameTokenPtr token = pool->acquire();
    if (!token)
        return base;

    bool ok = false;
    const int glRequested = qEnvironmentVariableIntValue(kGlEnvironmentVariable, &ok);
    if (ok && glRequested != 0 && gpuReady() && overlays->visibleOverlayCount() >= kMinOverlaysForGl
        && composeGpu(*overlays, *base, *token)) {
        token->ptsUs = base->ptsUs;
        lastUsedGpu = true;
        return token;
    }

    token->width = base->width;
    token->height = base->height;
    token->pixelFormat = FrameToken::kRgba8888;
    token->bytesPerLine = base->bytesPerLine;
    const qsizetype bytes = qsizetype(base->bytesPerLine) * base->height;
    growBuffer(*token, bytes);
    const bool opaque = copyAndCheckOpaque(*base, *token);
    if (!isValidFrameToken(*token))
        return base;

    if (opaque || readsAsPremultiplied(*token)) {
        // Opaque pictures (every decoded frame) and fully transparent ones
        // (the blank idle frame) read the same as premultiplied pixels.
        QImage image(reinterpret_cast<uchar*>(token->data.data()), token->width, token->height,
                     token->bytesPerLine, QImage::Format_ARGB32_Premultiplied);
        {
            QPainter painter(&image);
            paintOverlays(painter, image.width(), image.height(), *overlays, ChannelOrder::Exchanged);
        }
        if (!opaque)
            unpremultiplyInPlace(*token);
    } else {
        QImage image = wrapWritable(*token);
        QPainter painter(&image);
        paintOverlays(painter, image.width(), image.height(), *overlays);
    }
    token->ptsUs = base->ptsUs;
    return token;
}

void VulkanCompositor::paintOverlays(QPainter& painter, int W, int H, OverlayManager& model, ChannelOrder order)
{
    ++paintCount;
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);

    paintMediaLayer(painter, W, H, model, order);

    const QList<TextOverlayData>& texts = model.textOverlays();
    if (!texts.isEmpty()) {
        painter.setRenderHint(QPainter::Antialiasing, true);
        for (const TextOverlayData* t : sortedByZThenId(texts))
            if (t->enabled && !t->text.isEmpty())
                paintText(painter, W, H, model, *t, order);
    }
    dropUnused(textSprites);

    if (model.hasDoodleStrokes()) {
        const QImage& rendered = model.renderDoodle(QSize(W, H));
        if (!rendered.isNull()) {
            const QImage& layer = prepared(drawingLayer, rendered, rendered.size(), order);
            painter.save();
            painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
            painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
            painter.setOpacity(1.0);
            // Only the parts that hold strokes: blending the transparent rest
            // would cost a full-frame pass on every frame.
            for (const QRect& area : model.renderedDoodleAreas())
                painter.drawImage(area.topLeft(), layer, area);
            painter.restore();
        }
    }
}
