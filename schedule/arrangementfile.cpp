#include "schedule/arrangementfile.h"

#include "engine/canvasgeometry.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace {

const QString kFormatRefusal = QStringLiteral("不是有效的节目编排文件");
const QString kTooManyClips = QStringLiteral("片段过多（每类最多 1000 个）");
const QString kDefaultClipText = QStringLiteral("字幕");

// Doubles hold every whole number up to 2^53 exactly; beyond that a time
// written as a JSON number would not come back as written.
constexpr qint64 kMaxExactTimeMs = qint64(1) << 53;
// Far outside any picture, yet small enough for every pixel conversion.
constexpr double kFractionLimit = 1000.0;

// Limits of the text editors; the compositor scales these by the picture.
constexpr int kMaxFontPointSize = 200;
constexpr int kMinOutlineWidth = 1;
constexpr int kMaxOutlineWidth = 10;
constexpr int kMaxTextOpacity = 255;
constexpr int kMinScrollTimes = 1;
constexpr int kMaxScrollTimes = 100;
constexpr int kMinScrollStep = 1;
constexpr int kMaxScrollStep = 50;
constexpr int kMaxBackgroundPadding = 200;
constexpr int kMaxShadowOffset = 200;

constexpr int kCanvasWidth = 1920;
constexpr int kCanvasHeight = 1080;
constexpr int kOldDefaultWidthPx = 320;
constexpr int kOldDefaultHeightPx = 180;

QString sceneKindWord(int kind)
{
    switch (kind) {
    case SceneClipKind::ImagePlay:
        return QStringLiteral("imagePlay");
    case SceneClipKind::SceneVideo:
        return QStringLiteral("sceneVideo");
    default:
        return QStringLiteral("channel");
    }
}

QString overlayKindWord(int kind)
{
    switch (kind) {
    case OverlayClipKind::Text:
        return QStringLiteral("text");
    case OverlayClipKind::Video:
        return QStringLiteral("video");
    default:
        return QStringLiteral("image");
    }
}

// A whole number in the signed 32-bit range, or nothing.
std::optional<int> readInt32(const QJsonValue& v)
{
    if (!v.isDouble())
        return std::nullopt;
    const double d = v.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d) || d < std::numeric_limits<qint32>::min()
        || d > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return int(d);
}

int readInt(const QJsonValue& v, int fallback, int lo = std::numeric_limits<int>::min(),
            int hi = std::numeric_limits<int>::max())
{
    return std::clamp(readInt32(v).value_or(fallback), lo, hi);
}

qint64 readTime(const QJsonValue& v)
{
    if (!v.isDouble())
        return 0;
    const double d = v.toDouble();
    if (std::isnan(d))
        return 0;
    return qint64(std::trunc(std::clamp(d, -double(kMaxExactTimeMs), double(kMaxExactTimeMs))));
}

std::optional<double> readNumber(const QJsonValue& v)
{
    if (!v.isDouble() || std::isnan(v.toDouble()))
        return std::nullopt;
    return v.toDouble();
}

double clampFraction(double d)
{
    return std::clamp(d, -kFractionLimit, kFractionLimit);
}

QString readString(const QJsonValue& v)
{
    return v.isString() ? v.toString() : QString();
}

bool readBool(const QJsonValue& v, bool fallback)
{
    return v.isBool() ? v.toBool() : fallback;
}

QJsonValue timeToJson(qint64 ms)
{
    return QJsonValue(std::clamp(ms, -kMaxExactTimeMs, kMaxExactTimeMs));
}

QJsonObject sceneClipToJson(const SceneClip& c)
{
    QJsonObject o;
    o.insert("id", c.id);
    o.insert("startMs", timeToJson(c.startMs));
    o.insert("endMs", timeToJson(c.endMs));
    o.insert("kind", sceneKindWord(c.kind));
    o.insert("channel", c.channel);
    o.insert("paths", c.paths.join(QLatin1Char('|')));
    o.insert("intervalMs", c.intervalMs);
    o.insert("imageLoop", c.imageLoop);
    o.insert("sceneVideoPath", c.sceneVideoPath);
    o.insert("sceneVideoLoop", c.sceneVideoLoop);
    o.insert("imageDirectory", c.imageDirectory);
    return o;
}

QJsonObject overlayClipToJson(const OverlayClip& c)
{
    QJsonObject o;
    o.insert("id", c.id);
    o.insert("startMs", timeToJson(c.startMs));
    o.insert("endMs", timeToJson(c.endMs));
    o.insert("path", c.path);
    o.insert("imageDirectory", c.imageDirectory);
    const QString kind = overlayKindWord(c.overlayKind);
    o.insert("overlayKind", kind);
    o.insert("mediaType", kind);
    o.insert("x", c.x);
    o.insert("y", c.y);
    o.insert("w", c.w);
    o.insert("h", c.h);
    o.insert("opacity", c.opacity);
    if (c.overlayKind == OverlayClipKind::Text)
        o.insert("textData", textOverlayToJson(c.textData));
    return o;
}

SceneClip sceneClipFromJson(const QJsonObject& o)
{
    SceneClip c;
    c.id = readString(o.value("id"));
    c.startMs = readTime(o.value("startMs"));
    c.endMs = readTime(o.value("endMs"));
    const QString kind = readString(o.value("kind"));
    if (kind == QLatin1String("imagePlay") || kind == QLatin1String("imageSequence"))
        c.kind = SceneClipKind::ImagePlay;
    else if (kind == QLatin1String("sceneVideo"))
        c.kind = SceneClipKind::SceneVideo;
    else
        c.kind = SceneClipKind::Channel;
    c.channel = readInt(o.value("channel"), 0, 0, 3);
    c.paths = readString(o.value("paths")).split(QLatin1Char('|'), Qt::SkipEmptyParts);
    c.intervalMs = readInt(o.value("intervalMs"), c.intervalMs);
    c.imageLoop = readBool(o.value("imageLoop"), c.imageLoop);
    c.sceneVideoPath = readString(o.value("sceneVideoPath"));
    c.sceneVideoLoop = readBool(o.value("sceneVideoLoop"), c.sceneVideoLoop);
    c.imageDirectory = readString(o.value("imageDirectory"));
    if (c.kind == SceneClipKind::ImagePlay && c.paths.isEmpty() && !c.imageDirectory.isEmpty())
        c.paths = listImageFiles(c.imageDirectory);
    return c;
}

int overlayKindFromWord(const QString& word)
{
    if (word == QLatin1String("text"))
        return OverlayClipKind::Text;
    if (word == QLatin1String("video"))
        return OverlayClipKind::Video;
    return OverlayClipKind::Image;
}

OverlayClip overlayClipFromJson(const QJsonObject& o, int generation)
{
    OverlayClip c;
    c.id = readString(o.value("id"));
    c.startMs = readTime(o.value("startMs"));
    c.endMs = readTime(o.value("endMs"));
    c.path = readString(o.value("path"));
    c.imageDirectory = readString(o.value("imageDirectory"));

    const QString kind = readString(o.value("overlayKind"));
    c.overlayKind = overlayKindFromWord(kind.isEmpty() ? readString(o.value("mediaType")) : kind);

    const bool pixels = generation < kArrangementFileVersion;
    QRectF r(readNumber(o.value("x")).value_or(0.0), readNumber(o.value("y")).value_or(0.0),
             readNumber(o.value("w")).value_or(pixels ? kOldDefaultWidthPx : 0.5),
             readNumber(o.value("h")).value_or(pixels ? kOldDefaultHeightPx : 0.5));
    if (pixels)
        r = fromReferenceCanvasRect(r);
    c.x = clampFraction(r.x());
    c.y = clampFraction(r.y());
    c.w = clampFraction(r.width());
    c.h = clampFraction(r.height());
    c.opacity = std::clamp(readNumber(o.value("opacity")).value_or(1.0), 0.0, 1.0);

    const QJsonValue textData = o.value("textData");
    if (textData.isObject())
        c.textData = textOverlayFromJson(textData.toObject(), generation);
    if (c.overlayKind == OverlayClipKind::Text && c.textData.text.isEmpty()) {
        const QJsonValue older = o.value("overlayText");
        c.textData.text = older.isString() ? older.toString() : kDefaultClipText;
    }
    return c;
}

void fail(QString* errorText, bool* ok, const QString& message)
{
    if (errorText)
        *errorText = message;
    if (ok)
        *ok = false;
}

} // namespace

QByteArray serializeArrangement(const ProgramArrangement& arrangement)
{
    QJsonObject top;
    top.insert("format", QString::fromLatin1(kArrangementFormat));
    top.insert("version", kArrangementFileVersion);
    top.insert("coordinateSystem", QStringLiteral("normalized"));
    top.insert("canvas", QJsonObject{{"width", kCanvasWidth}, {"height", kCanvasHeight}});

    QJsonArray scenes;
    for (const SceneClip& c : arrangement.sceneClips)
        scenes.append(sceneClipToJson(c));
    top.insert("sceneClips", scenes);

    if (!arrangement.timelineZero.isEmpty())
        top.insert("timelineZero", arrangement.timelineZero);

    QJsonArray overlays;
    for (const OverlayClip& c : arrangement.overlayClips)
        overlays.append(overlayClipToJson(c));
    top.insert("overlayClips", overlays);

    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

ProgramArrangement parseArrangement(const QByteArray& bytes, QString* errorText, bool* ok)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        const QString text = parseError.errorString();
        fail(errorText, ok, text.isEmpty() ? kFormatRefusal : text);
        return {};
    }
    // The parser accepts a top-level array or scalar without complaint.
    if (!doc.isObject()) {
        fail(errorText, ok, kFormatRefusal);
        return {};
    }
    const QJsonObject top = doc.object();
    const QJsonValue format = top.value("format");
    if (!format.isString() || format.toString() != QLatin1String(kArrangementFormat)) {
        fail(errorText, ok, kFormatRefusal);
        return {};
    }

    const QJsonArray scenes = top.value("sceneClips").toArray();
    const QJsonArray overlays = top.value("overlayClips").toArray();
    if (scenes.size() > kMaxArrangementClipsPerList || overlays.size() > kMaxArrangementClipsPerList) {
        fail(errorText, ok, kTooManyClips);
        return {};
    }

    const int generation = readInt32(top.value("version")).value_or(1);

    ProgramArrangement a;
    a.timelineZero = readString(top.value("timelineZero"));
    for (const QJsonValue& v : scenes) {
        if (v.isObject())
            a.sceneClips.append(sceneClipFromJson(v.toObject()));
    }
    for (const QJsonValue& v : overlays) {
        if (v.isObject())
            a.overlayClips.append(overlayClipFromJson(v.toObject(), generation));
    }

    if (errorText)
        errorText->clear();
    if (ok)
        *ok = true;
    return a;
}

QJsonObject colorToJson(const QColor& color)
{
    return QJsonObject{{"rgba", qint32(color.rgba())}};
}

QColor colorFromJson(const QJsonValue& value)
{
    if (value.isObject()) {
        const QJsonObject o = value.toObject();
        if (o.contains("rgba")) {
            const std::optional<int> argb = readInt32(o.value("rgba"));
            return argb ? QColor::fromRgba(QRgb(quint32(*argb))) : QColor::fromRgba(0);
        }
    } else if (value.isString()) {
        return QColor::fromString(value.toString());
    }
    return QColor(Qt::white);
}

QJsonObject textOverlayToJson(const TextOverlayData& d)
{
    QJsonObject o;
    o.insert("text", d.text);
    o.insert("enabled", d.enabled);
    o.insert("fontFamily", d.font.family());
    o.insert("fontPointSize", d.font.pointSize());
    o.insert("bold", d.bold);
    o.insert("italic", d.italic);
    o.insert("underline", d.underline);
    o.insert("strikeOut", d.strikeOut);
    o.insert("posX", d.posX);
    o.insert("posY", d.posY);
    o.insert("fontColor", colorToJson(d.fontColor));
    o.insert("backgroundColor", colorToJson(d.backgroundColor));
    o.insert("shadowColor", colorToJson(d.shadowColor));
    o.insert("outlineColor", colorToJson(d.outlineColor));
    o.insert("opacity", d.opacity);
    o.insert("backgroundEnabled", d.backgroundEnabled);
    o.insert("backgroundPadding", d.backgroundPadding);
    o.insert("shadow", d.shadow);
    o.insert("shadowOffsetX", d.shadowOffsetX);
    o.insert("shadowOffsetY", d.shadowOffsetY);
    o.insert("outline", d.outline);
    o.insert("outlineWidth", d.outlineWidth);
    o.insert("scrollable", d.scrollable);
    o.insert("scrollDirection", d.scrollDirection);
    o.insert("scrollTimes", d.scrollTimes);
    o.insert("scrollStep", d.scrollStep);
    o.insert("scrollViewportWidth", d.scrollViewportWidth);
    o.insert("scrollViewportHeight", d.scrollViewportHeight);
    o.insert("zIndex", d.zIndex);
    return o;
}

TextOverlayData textOverlayFromJson(const QJsonObject& o, int generation)
{
    TextOverlayData d;
    d.text = readString(o.value("text"));
    d.enabled = readBool(o.value("enabled"), true);
    const QString family = readString(o.value("fontFamily"));
    if (!family.isEmpty())
        d.font.setFamily(family);
    const int pointSize = readInt(o.value("fontPointSize"), 0);
    if (pointSize > 0)
        d.font.setPointSize(std::min(pointSize, kMaxFontPointSize));
    d.bold = readBool(o.value("bold"), false);
    d.italic = readBool(o.value("italic"), false);
    d.underline = readBool(o.value("underline"), false);
    d.strikeOut = readBool(o.value("strikeOut"), false);

    const bool pixels = generation < kArrangementFileVersion;
    const QPointF defaultPos = pixels ? toReferenceCanvasPoint(QPointF(d.posX, d.posY)) : QPointF(d.posX, d.posY);
    QPointF pos(readNumber(o.value("posX")).value_or(defaultPos.x()),
                readNumber(o.value("posY")).value_or(defaultPos.y()));
    QPointF viewport(readNumber(o.value("scrollViewportWidth")).value_or(0.0),
                     readNumber(o.value("scrollViewportHeight")).value_or(0.0));
    if (pixels) {
        pos = fromReferenceCanvasPoint(pos);
        viewport = fromReferenceCanvasPoint(viewport);
    }
    d.posX = clampFraction(pos.x());
    d.posY = clampFraction(pos.y());
    d.scrollViewportWidth = clampFraction(viewport.x());
    d.scrollViewportHeight = clampFraction(viewport.y());

    d.fontColor = colorFromJson(o.value("fontColor"));
    d.backgroundColor = colorFromJson(o.value("backgroundColor"));
    d.shadowColor = colorFromJson(o.value("shadowColor"));
    d.outlineColor = colorFromJson(o.value("outlineColor"));
    d.opacity = readInt(o.value("opacity"), 255, 0, kMaxTextOpacity);
    d.backgroundEnabled = readBool(o.value("backgroundEnabled"), false);
    d.backgroundPadding = readInt(o.value("backgroundPadding"), 6, 0, kMaxBackgroundPadding);
    d.shadow = readBool(o.value("shadow"), false);
    d.shadowOffsetX = readInt(o.value("shadowOffsetX"), 2, -kMaxShadowOffset, kMaxShadowOffset);
    d.shadowOffsetY = readInt(o.value("shadowOffsetY"), 2, -kMaxShadowOffset, kMaxShadowOffset);
    d.outline = readBool(o.value("outline"), false);
    d.outlineWidth = readInt(o.value("outlineWidth"), 1, kMinOutlineWidth, kMaxOutlineWidth);
    d.scrollable = readBool(o.value("scrollable"), false);
    d.scrollDirection = readInt(o.value("scrollDirection"), TextOverlayData::kScrollNone,
                                TextOverlayData::kScrollNone, TextOverlayData::kScrollRightToLeft);
    d.scrollTimes = readInt(o.value("scrollTimes"), 1, kMinScrollTimes, kMaxScrollTimes);
    d.scrollStep = readInt(o.value("scrollStep"), 2, kMinScrollStep, kMaxScrollStep);
    d.zIndex = readInt(o.value("zIndex"), 0);
    return d;
}

QStringList listImageFiles(const QString& directory)
{
    QDir dir(directory);
    if (directory.isEmpty() || !dir.exists())
        return {};
    static const QStringList kPatterns{"*.png", "*.jpg", "*.jpeg", "*.bmp", "*.webp"};
    // Without QDir::CaseSensitive the name filters ignore letter case; the
    // order is sorted here because QDir's own sort may follow the locale.
    QFileInfoList entries = dir.entryInfoList(kPatterns, QDir::Files, QDir::NoSort);
    std::sort(entries.begin(), entries.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return QString::compare(a.fileName(), b.fileName(), Qt::CaseSensitive) < 0;
    });
    QStringList paths;
    paths.reserve(entries.size());
    for (const QFileInfo& fi : entries)
        paths.append(fi.absoluteFilePath());
    return paths;
}
