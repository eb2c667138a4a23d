#include "schedule/arrangementfile.h"
#include "support/testsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRandomGenerator>
#include <QTemporaryDir>

namespace {

const QString kFormatRefusal = QStringLiteral("不是有效的节目编排文件");
const QString kTooManyClips = QStringLiteral("片段过多（每类最多 1000 个）");
constexpr qint64 kTwoTo53 = qint64(1) << 53;

QByteArray fileWith(const QByteArray& topKeys)
{
    return R"({"format":"quorbel_program_arrangement")" + (topKeys.isEmpty() ? QByteArray() : "," + topKeys) + "}";
}

QByteArray sceneFile(const QByteArray& clip)
{
    return fileWith(R"("version":3,"sceneClips":[)" + clip + "]");
}

QByteArray overlayFile(const QByteArray& clip, int version = 3)
{
    const QByteArray v = version > 0 ? R"("version":)" + QByteArray::number(version) + "," : QByteArray();
    return fileWith(v + R"("overlayClips":[)" + clip + "]");
}

QByteArray textFile(const QByteArray& textData, int version = 3)
{
    return overlayFile(R"({"overlayKind":"text","textData":{)" + textData + "}}", version);
}

// The value a row of the reader table looks at, named as "scene.channel",
// "overlay.x", "text.fontColor" (the first clip of each list).
QVariant fieldValue(const ProgramArrangement& a, const QString& name)
{
    if (name == "sceneCount")
        return int(a.sceneClips.size());
    if (name == "overlayCount")
        return int(a.overlayClips.size());
    if (name == "version")
        return a.version;
    if (name == "timelineZero")
        return a.timelineZero;
    if (name.startsWith("scene.")) {
        if (a.sceneClips.isEmpty())
            return QStringLiteral("<no scene clip>");
        const SceneClip& c = a.sceneClips.first();
        const QString f = name.mid(6);
        if (f == "id") return c.id;
        if (f == "startMs") return c.startMs;
        if (f == "endMs") return c.endMs;
        if (f == "kind") return c.kind;
        if (f == "channel") return c.channel;
        if (f == "paths") return c.paths;
        if (f == "intervalMs") return c.intervalMs;
        if (f == "imageLoop") return c.imageLoop;
        if (f == "sceneVideoLoop") return c.sceneVideoLoop;
    }
    if (name.startsWith("overlay.")) {
        if (a.overlayClips.isEmpty())
            return QStringLiteral("<no overlay clip>");
        const OverlayClip& c = a.overlayClips.first();
        const QString f = name.mid(8);
        if (f == "kind") return c.overlayKind;
        if (f == "startMs") return c.startMs;
        if (f == "rect") return QRectF(c.x, c.y, c.w, c.h);
        if (f == "x") return c.x;
        if (f == "opacity") return c.opacity;
        if (f == "text") return c.textData.text;
    }
    if (name.startsWith("text.")) {
        if (a.overlayClips.isEmpty())
            return QStringLiteral("<no overlay clip>");
        const TextOverlayData& d = a.overlayClips.first().textData;
        const QString f = name.mid(5);
        if (f == "id") return d.id;
        if (f == "fontFamily") return d.font.family();
        if (f == "fontPointSize") return d.font.pointSize();
        if (f == "pos") return QPointF(d.posX, d.posY);
        if (f == "viewport") return QPointF(d.scrollViewportWidth, d.scrollViewportHeight);
        if (f == "fontColor") return d.fontColor.rgba();
        if (f == "fontColorValid") return d.fontColor.isValid();
        if (f == "backgroundColor") return d.backgroundColor.rgba();
        if (f == "opacity") return d.opacity;
        if (f == "outlineWidth") return d.outlineWidth;
        if (f == "scrollTimes") return d.scrollTimes;
        if (f == "scrollStep") return d.scrollStep;
        if (f == "scrollDirection") return d.scrollDirection;
        if (f == "backgroundPadding") return d.backgroundPadding;
        if (f == "shadowOffsetX") return d.shadowOffsetX;
        if (f == "enabled") return d.enabled;
    }
    return QStringLiteral("<unknown field %1>").arg(name);
}

bool sameText(const TextOverlayData& a, const TextOverlayData& b)
{
    return a.enabled == b.enabled && a.text == b.text && a.font.family() == b.font.family()
        && a.font.pointSize() == b.font.pointSize() && a.posX == b.posX && a.posY == b.posY
        && a.fontColor == b.fontColor && a.backgroundColor == b.backgroundColor && a.shadowColor == b.shadowColor
        && a.outlineColor == b.outlineColor && a.opacity == b.opacity && a.bold == b.bold && a.italic == b.italic
        && a.underline == b.underline && a.strikeOut == b.strikeOut && a.backgroundEnabled == b.backgroundEnabled
        && a.backgroundPadding == b.backgroundPadding && a.shadow == b.shadow && a.shadowOffsetX == b.shadowOffsetX
        && a.shadowOffsetY == b.shadowOffsetY && a.outline == b.outline && a.outlineWidth == b.outlineWidth
        && a.scrollable == b.scrollable && a.scrollDirection == b.scrollDirection && a.scrollTimes == b.scrollTimes
        && a.scrollStep == b.scrollStep && a.scrollViewportWidth == b.scrollViewportWidth
        && a.scrollViewportHeight == b.scrollViewportHeight && a.zIndex == b.zIndex;
}

// Every number the reader hands on lies in the range the rest of the
// program can convert without overflow.
void verifyInRange(const ProgramArrangement& a)
{
    for (const SceneClip& c : a.sceneClips) {
        QVERIFY(qAbs(c.startMs) <= kTwoTo53 && qAbs(c.endMs) <= kTwoTo53);
        QVERIFY(c.channel >= 0 && c.channel <= 3);
        QVERIFY(c.kind >= 0 && c.kind <= 2);
    }
    for (const OverlayClip& c : a.overlayClips) {
        QVERIFY(qAbs(c.startMs) <= kTwoTo53 && qAbs(c.endMs) <= kTwoTo53);
        for (double f : {c.x, c.y, c.w, c.h, c.textData.posX, c.textData.posY, c.textData.scrollViewportWidth,
                         c.textData.scrollViewportHeight})
            QVERIFY2(f >= -1000 && f <= 1000, qPrintable(QString::number(f)));
        QVERIFY(c.opacity >= 0 && c.opacity <= 1);
        const TextOverlayData& d = c.textData;
        QVERIFY(d.font.pointSize() <= 200);
        QVERIFY(d.outlineWidth >= 1 && d.outlineWidth <= 10);
        QVERIFY(d.opacity >= 0 && d.opacity <= 255);
        QVERIFY(d.scrollTimes >= 1 && d.scrollTimes <= 100);
        QVERIFY(d.scrollStep >= 1 && d.scrollStep <= 50);
        QVERIFY(d.scrollDirection >= 0 && d.scrollDirection <= 2);
        QVERIFY(d.backgroundPadding >= 0 && d.backgroundPadding <= 200);
        QVERIFY(qAbs(d.shadowOffsetX) <= 200 && qAbs(d.shadowOffsetY) <= 200);
    }
}

QByteArray manyClips(const char* list, int count)
{
    QByteArray clips;
    for (int i = 0; i < count; ++i)
        clips += (i ? ",{}" : "{}");
    return fileWith(QByteArray("\"") + list + "\":[" + clips + "]");
}

} // namespace

class TestArrangementFile : public QObject {
    Q_OBJECT
private slots:
    void recordDefaults();
    void reader_data();
    void reader();
    void refusals_data();
    void refusals();
    void successClearsEarlierError();
    void roundTrip();
    void writtenFileIsStable();
    void writerLayout();
    void listImageFiles_();
    void slideshowDirectoryFillsPaths();
    void mutatedFilesNeverCrash();
};

void TestArrangementFile::recordDefaults()
{
    const OverlayClip o;
    QCOMPARE(o.overlayKind, int(OverlayClipKind::Image));
    QCOMPARE(o.opacity, 1.0);
    QVERIFY(o.path.isEmpty());
    QCOMPARE(QRectF(o.x, o.y, o.w, o.h), QRectF());
    const SceneClip s;
    QCOMPARE(s.kind, int(SceneClipKind::Channel));
    QCOMPARE(s.channel, 0);
    QCOMPARE(s.intervalMs, 2000);
    QVERIFY(s.imageLoop);
    QCOMPARE(ProgramArrangement().version, 3);

    ProgramArrangement a;
    a.sceneClips.append(s);
    ProgramArrangement copy = a;
    copy.sceneClips.first().id = "changed";
    copy.overlayClips.append(o);
    QVERIFY(a.sceneClips.first().id.isEmpty());
    QVERIFY(a.overlayClips.isEmpty());
}

void TestArrangementFile::reader_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");

    auto row = [](const char* name, const QByteArray& json, const char* f, const QVariant& v) {
        QTest::newRow(name) << json << QString(f) << v;
    };

    // Top level
    row("only format: no clips", fileWith({}), "sceneCount", 0);
    row("only format: version 3", fileWith({}), "version", 3);
    row("timelineZero read", fileWith(R"("timelineZero":"2026-01-02 03:04:05")"), "timelineZero",
        QString("2026-01-02 03:04:05"));
    row("sceneClips not an array", fileWith(R"("sceneClips":{"id":"a"})"), "sceneCount", 0);
    row("non-objects skipped", fileWith(R"("sceneClips":[1,"x",{"id":"a"},null])"), "scene.id", QString("a"));
    row("1000 clips accepted", manyClips("overlayClips", 1000), "overlayCount", 1000);

    // Base clips
    row("channel 7 -> 3", sceneFile(R"({"channel":7})"), "scene.channel", 3);
    row("channel -2 -> 0", sceneFile(R"({"channel":-2})"), "scene.channel", 0);
    row("channel 1.5 not integer", sceneFile(R"({"channel":1.5})"), "scene.channel", 0);
    row("channel as string", sceneFile(R"({"channel":"2"})"), "scene.channel", 0);
    row("paths drop empty pieces", sceneFile(R"({"paths":"a.png||b.png|"})"), "scene.paths",
        QStringList{"a.png", "b.png"});
    row("startMs truncated", sceneFile(R"({"startMs":1500.9})"), "scene.startMs", qint64(1500));
    row("negative startMs truncated to zero", sceneFile(R"({"startMs":-1500.9})"), "scene.startMs", qint64(-1500));
    row("startMs as string", sceneFile(R"({"startMs":"5000"})"), "scene.startMs", qint64(0));
    row("startMs beyond int64", sceneFile(R"({"startMs":1e300})"), "scene.startMs", kTwoTo53);
    row("endMs below int64", sceneFile(R"({"endMs":-1e300})"), "scene.endMs", -kTwoTo53);
    row("kind imageSequence", sceneFile(R"({"kind":"imageSequence"})"), "scene.kind", 1);
    row("kind imagePlay", sceneFile(R"({"kind":"imagePlay"})"), "scene.kind", 1);
    row("kind is case-sensitive", sceneFile(R"({"kind":"ImagePlay"})"), "scene.kind", 0);
    row("kind sceneVideo", sceneFile(R"({"kind":"sceneVideo"})"), "scene.kind", 2);
    row("intervalMs not whole", sceneFile(R"({"intervalMs":2.5})"), "scene.intervalMs", 2000);
    row("intervalMs beyond int32", sceneFile(R"({"intervalMs":3000000000})"), "scene.intervalMs", 2000);
    row("imageLoop as string", sceneFile(R"({"imageLoop":"false"})"), "scene.imageLoop", true);
    row("sceneVideoLoop", sceneFile(R"({"sceneVideoLoop":true})"), "scene.sceneVideoLoop", true);

    // Overlay kinds and text
    row("overlayKind empty, mediaType text", overlayFile(R"({"overlayKind":"","mediaType":"text"})"),
        "overlay.kind", 0);
    row("neither kind key", overlayFile("{}"), "overlay.kind", 2);
    row("overlayKind wins over mediaType", overlayFile(R"({"overlayKind":"video","mediaType":"text"})"),
        "overlay.kind", 1);
    row("overlayKind not a string", overlayFile(R"({"overlayKind":0,"mediaType":"video"})"), "overlay.kind", 1);
    row("unknown word is image", overlayFile(R"({"overlayKind":"TEXT"})"), "overlay.kind", 2);
    row("empty text takes overlayText",
        overlayFile(R"({"overlayKind":"text","overlayText":"hello","textData":{"text":""}})"), "overlay.text",
        QString("hello"));
    row("no text anywhere", overlayFile(R"({"mediaType":"text"})"), "overlay.text", QString("字幕"));
    row("overlayText not a string", overlayFile(R"({"mediaType":"text","overlayText":5})"), "overlay.text",
        QString("字幕"));
    row("own text kept", textFile(R"("text":"mine")"), "overlay.text", QString("mine"));
    row("image clips get no caption", overlayFile(R"({"overlayText":"x"})"), "overlay.text", QString());

    // Geometry by generation
    row("gen 2 pixels without w and h", overlayFile(R"({"x":320,"y":180})", 2), "overlay.rect",
        QRectF(0.5, 0.5, 0.5, 0.5));
    row("gen 3 without geometry", overlayFile("{}"), "overlay.rect", QRectF(0, 0, 0.5, 0.5));
    row("no version means pixels", overlayFile(R"({"x":64,"y":36,"w":640,"h":360})", 0), "overlay.rect",
        QRectF(0.1, 0.1, 1, 1));
    row("version as string means gen 1", fileWith(R"("version":"3","overlayClips":[{"x":64}])"), "overlay.x", 0.1);
    row("version 3.5 means gen 1", fileWith(R"("version":3.5,"overlayClips":[{"x":64}])"), "overlay.x", 0.1);
    row("gen 3 fractions as written", overlayFile(R"({"x":0.25,"y":0.5,"w":0.125,"h":0.75})"), "overlay.rect",
        QRectF(0.25, 0.5, 0.125, 0.75));
    row("x clamped", overlayFile(R"({"x":1e300})"), "overlay.x", 1000.0);
    row("gen 1 x clamped after conversion", overlayFile(R"({"x":1e300})", 1), "overlay.x", 1000.0);
    row("opacity above 1", overlayFile(R"({"opacity":5})"), "overlay.opacity", 1.0);
    row("opacity below 0", overlayFile(R"({"opacity":-1})"), "overlay.opacity", 0.0);
    row("opacity kept", overlayFile(R"({"opacity":0.25})"), "overlay.opacity", 0.25);

    // Text overlay object
    row("text id never read", textFile(R"("id":7)"), "text.id", -1);
    row("missing colour is white", textFile(""), "text.fontColor", QVariant(QRgb(0xffffffff)));
    row("rgba -65536 is red", textFile(R"("fontColor":{"rgba":-65536})"), "text.fontColor",
        QVariant(QRgb(0xffff0000)));
    row("unsigned rgba is transparent black", textFile(R"("fontColor":{"rgba":4294901760})"), "text.fontColor",
        QVariant(QRgb(0)));
    row("colour name", textFile(R"("fontColor":"blue")"), "text.fontColor", QVariant(QRgb(0xff0000ff)));
    row("hex colour text", textFile(R"("fontColor":"#80102030")"), "text.fontColor", QVariant(QRgb(0x80102030)));
    row("unknown colour text is invalid", textFile(R"("fontColor":"nonsense")"), "text.fontColorValid", false);
    row("colour as number is white", textFile(R"("backgroundColor":255)"), "text.backgroundColor",
        QVariant(QRgb(0xffffffff)));
    row("colour object without rgba is white", textFile(R"("backgroundColor":{"argb":0})"),
        "text.backgroundColor", QVariant(QRgb(0xffffffff)));
    row("empty family keeps Arial", textFile(R"("fontFamily":"")"), "text.fontFamily", QString("Arial"));
    row("family read", textFile(R"("fontFamily":"DejaVu Sans")"), "text.fontFamily", QString("DejaVu Sans"));
    row("point size 0 keeps 28", textFile(R"("fontPointSize":0)"), "text.fontPointSize", 28);
    row("point size read", textFile(R"("fontPointSize":40)"), "text.fontPointSize", 40);
    row("point size clamped", textFile(R"("fontPointSize":5000)"), "text.fontPointSize", 200);
    row("viewport defaults to 0", textFile(""), "text.viewport", QPointF(0, 0));
    row("gen 3 default position", textFile(""), "text.pos", QPointF(12.0 / 640, 12.0 / 360));
    row("gen 1 default position", textFile("", 1), "text.pos", QPointF(12.0 / 640, 12.0 / 360));
    row("gen 2 position in pixels", textFile(R"("posX":64,"posY":36)", 2), "text.pos", QPointF(0.1, 0.1));
    row("gen 2 viewport in pixels", textFile(R"("scrollViewportWidth":320,"scrollViewportHeight":90)", 2),
        "text.viewport", QPointF(0.5, 0.25));
    row("position clamped", textFile(R"("posX":-1e300,"posY":1e300)"), "text.pos", QPointF(-1000, 1000));
    row("viewport clamped", textFile(R"("scrollViewportWidth":1e9)"), "text.viewport", QPointF(1000, 0));
    row("enabled false read", textFile(R"("enabled":false)"), "text.enabled", false);
    row("text opacity clamped", textFile(R"("opacity":300)"), "text.opacity", 255);
    row("text opacity below 0", textFile(R"("opacity":-3)"), "text.opacity", 0);
    row("outline width 0", textFile(R"("outlineWidth":0)"), "text.outlineWidth", 1);
    row("outline width 50", textFile(R"("outlineWidth":50)"), "text.outlineWidth", 10);
    row("passes 0", textFile(R"("scrollTimes":0)"), "text.scrollTimes", 1);
    row("passes 1000", textFile(R"("scrollTimes":1000)"), "text.scrollTimes", 100);
    row("speed 99", textFile(R"("scrollStep":99)"), "text.scrollStep", 50);
    row("direction 7", textFile(R"("scrollDirection":7)"), "text.scrollDirection", 2);
    row("direction -1", textFile(R"("scrollDirection":-1)"), "text.scrollDirection", 0);
    row("padding 999", textFile(R"("backgroundPadding":999)"), "text.backgroundPadding", 200);
    row("padding -5", textFile(R"("backgroundPadding":-5)"), "text.backgroundPadding", 0);
    row("shadow offset -999", textFile(R"("shadowOffsetX":-999)"), "text.shadowOffsetX", -200);
}

void TestArrangementFile::reader()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);
    QString error = "stale";
    bool ok = false;
    const ProgramArrangement a = parseArrangement(json, &error, &ok);
    QVERIFY2(ok, qPrintable(error));
    QVERIFY(error.isEmpty());
    QCOMPARE(a.version, 3);
    const QVariant got = fieldValue(a, field);
    if (expected.typeId() == QMetaType::Double)
        QCOMPARE(got.toDouble(), expected.toDouble());
    else
        QCOMPARE(got, expected);
}

void TestArrangementFile::refusals_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expectedError");

    auto parserText = [](const QByteArray& bytes) {
        QJsonParseError e;
        QJsonDocument::fromJson(bytes, &e);
        return e.errorString();
    };
    const QByteArray written = serializeArrangement(ProgramArrangement());
    QByteArray deep = fileWith(R"("sceneClips":)");
    deep.chop(1);
    deep += QByteArray(2000, '[') + QByteArray(2000, ']') + "}";

    QTest::newRow("not JSON") << QByteArray("hello") << parserText("hello");
    QTest::newRow("empty") << QByteArray() << parserText(QByteArray());
    QTest::newRow("truncated") << written.left(written.size() / 2) << parserText(written.left(written.size() / 2));
    QTest::newRow("2000-deep nesting") << deep << parserText(deep);
    QTest::newRow("top-level array") << QByteArray(R"([{"format":"quorbel_program_arrangement"}])")
                                     << kFormatRefusal;
    QTest::newRow("top-level scalar") << QByteArray("42") << parserText("42");
    QTest::newRow("format missing") << QByteArray(R"({"version":3})") << kFormatRefusal;
    QTest::newRow("format in other case") << QByteArray(R"({"format":"Quorbel_program_arrangement"})")
                                          << kFormatRefusal;
    QTest::newRow("format with a blank") << QByteArray(R"({"format":"quorbel_program_arrangement "})")
                                         << kFormatRefusal;
    QTest::newRow("format not a string") << QByteArray(R"({"format":1})") << kFormatRefusal;
    QTest::newRow("1001 base clips") << manyClips("sceneClips", 1001) << kTooManyClips;
    QTest::newRow("1001 overlay clips") << manyClips("overlayClips", 1001) << kTooManyClips;
}

void TestArrangementFile::refusals()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expectedError);
    QVERIFY(!expectedError.isEmpty());

    QString error;
    bool ok = true;
    const ProgramArrangement a = parseArrangement(bytes, &error, &ok);
    QVERIFY(!ok);
    QCOMPARE(error, expectedError);
    QCOMPARE(a.version, 3);
    QVERIFY(a.timelineZero.isEmpty() && a.sceneClips.isEmpty() && a.overlayClips.isEmpty());

    // Without an error text the flag alone tells a refusal from an empty file.
    ok = true;
    parseArrangement(bytes, nullptr, &ok);
    QVERIFY(!ok);
}

void TestArrangementFile::successClearsEarlierError()
{
    QString error;
    parseArrangement("[]", &error);
    QVERIFY(!error.isEmpty());
    parseArrangement(fileWith({}), &error);
    QVERIFY(error.isEmpty());
    // No pointers at all is allowed.
    QCOMPARE(parseArrangement(fileWith({}), nullptr).version, 3);
}

namespace {

ProgramArrangement richArrangement()
{
    ProgramArrangement a;
    a.version = 7; // the file is always the current generation
    a.timelineZero = "2026-12-10 19:00:00";

    SceneClip ch;
    ch.id = "通道一";
    ch.startMs = -2500;
    ch.endMs = 60000;
    ch.kind = SceneClipKind::SceneVideo;
    ch.channel = 2;
    ch.sceneVideoPath = "/media/a clip.mp4";
    ch.sceneVideoLoop = true;
    ch.intervalMs = 3100;
    ch.imageLoop = false;
    a.sceneClips.append(ch);

    SceneClip slides;
    slides.id = "slides";
    slides.startMs = 60000;
    slides.kind = SceneClipKind::ImagePlay;
    slides.paths = QStringList{"/p/one.png", "/p/two.jpg"};
    slides.imageDirectory = "/p";
    a.sceneClips.append(slides);

    SceneClip far;
    far.id = "far";
    far.startMs = kTwoTo53 - 1;
    far.kind = 9; // comes back as Channel
    far.channel = 6; // comes back as 3
    a.sceneClips.append(far);

    OverlayClip text;
    text.id = "caption";
    text.startMs = 1000;
    text.endMs = 3000;
    text.overlayKind = OverlayClipKind::Text;
    text.x = 0.1;
    text.w = 0.3;
    text.textData.id = 12; // comes back as -1
    text.textData.text = "直播 ✓";
    text.textData.font = QFont("DejaVu Sans", 36);
    text.textData.posX = 0.3;
    text.textData.posY = 0.7;
    text.textData.fontColor = QColor(10, 20, 30, 40);
    text.textData.backgroundColor = Qt::yellow;
    text.textData.shadowColor = Qt::blue;
    text.textData.outlineColor = Qt::green;
    text.textData.opacity = 128;
    text.textData.bold = text.textData.italic = text.textData.underline = text.textData.strikeOut = true;
    text.textData.backgroundEnabled = true;
    text.textData.backgroundPadding = 11;
    text.textData.shadow = true;
    text.textData.shadowOffsetX = -3;
    text.textData.shadowOffsetY = 4;
    text.textData.outline = true;
    text.textData.outlineWidth = 5;
    text.textData.scrollable = true;
    text.textData.scrollDirection = TextOverlayData::kScrollRightToLeft;
    text.textData.scrollTimes = 3;
    text.textData.scrollStep = 7;
    text.textData.scrollViewportWidth = 0.6;
    text.textData.scrollViewportHeight = 0.2;
    text.textData.zIndex = -4;
    text.textData.enabled = false;
    a.overlayClips.append(text);

    OverlayClip video;
    video.id = "video";
    video.startMs = 500;
    video.overlayKind = OverlayClipKind::Video;
    video.path = "/m/v.mp4";
    video.x = 0.125;
    video.y = 1.0 / 3.0;
    video.w = 0.5;
    video.h = 0.5;
    video.textData.text = "dropped"; // only Text clips keep textData
    a.overlayClips.append(video);

    OverlayClip image;
    image.id = "img|bar";
    image.overlayKind = 5; // comes back as Image
    image.path = "/m/a|b.png";
    image.imageDirectory = "/m";
    image.opacity = 0.35;
    image.x = -0.2;
    image.y = 0.9;
    image.w = 0.25;
    image.h = 0.1;
    a.overlayClips.append(image);
    return a;
}

} // namespace

void TestArrangementFile::roundTrip()
{
    const ProgramArrangement a = richArrangement();
    bool ok = false;
    QString error;
    const ProgramArrangement b = parseArrangement(serializeArrangement(a), &error, &ok);
    QVERIFY2(ok, qPrintable(error));

    QCOMPARE(b.version, 3);
    QCOMPARE(b.timelineZero, a.timelineZero);
    QCOMPARE(b.sceneClips.size(), a.sceneClips.size());
    for (int i = 0; i < a.sceneClips.size(); ++i) {
        const SceneClip &x = a.sceneClips[i], &y = b.sceneClips[i];
        QCOMPARE(y.id, x.id);
        QCOMPARE(y.startMs, x.startMs);
        QCOMPARE(y.endMs, x.endMs);
        QCOMPARE(y.kind, x.kind <= 2 ? x.kind : int(SceneClipKind::Channel));
        QCOMPARE(y.channel, qBound(0, x.channel, 3));
        QCOMPARE(y.paths, x.paths);
        QCOMPARE(y.intervalMs, x.intervalMs);
        QCOMPARE(y.imageLoop, x.imageLoop);
        QCOMPARE(y.sceneVideoPath, x.sceneVideoPath);
        QCOMPARE(y.sceneVideoLoop, x.sceneVideoLoop);
        QCOMPARE(y.imageDirectory, x.imageDirectory);
    }
    QCOMPARE(b.overlayClips.size(), a.overlayClips.size());
    for (int i = 0; i < a.overlayClips.size(); ++i) {
        const OverlayClip &x = a.overlayClips[i], &y = b.overlayClips[i];
        QCOMPARE(y.id, x.id);
        QCOMPARE(y.startMs, x.startMs);
        QCOMPARE(y.endMs, x.endMs);
        QCOMPARE(y.overlayKind, x.overlayKind <= 1 ? x.overlayKind : int(OverlayClipKind::Image));
        QCOMPARE(y.path, x.path);
        QCOMPARE(y.imageDirectory, x.imageDirectory);
        QCOMPARE(QRectF(y.x, y.y, y.w, y.h), QRectF(x.x, x.y, x.w, x.h));
        QCOMPARE(y.opacity, x.opacity);
        TextOverlayData expected = x.overlayKind == OverlayClipKind::Text ? x.textData : TextOverlayData();
        expected.id = -1;
        QCOMPARE(y.textData.id, -1);
        QVERIFY2(sameText(y.textData, expected), qPrintable(y.id));
    }
}

void TestArrangementFile::writtenFileIsStable()
{
    ProgramArrangement a = richArrangement();
    // The one value the writer keeps as held and the reader limits.
    a.sceneClips[2].channel = 3;
    const QByteArray first = serializeArrangement(a);
    const QByteArray second = serializeArrangement(parseArrangement(first, nullptr));
    QCOMPARE(second, first);
}

void TestArrangementFile::writerLayout()
{
    ProgramArrangement a;
    a.overlayClips.append(OverlayClip());
    OverlayClip text;
    text.overlayKind = OverlayClipKind::Text;
    text.textData.fontColor = Qt::red;
    a.overlayClips.append(text);
    SceneClip s;
    s.paths = QStringList{"a", "b", "c"};
    a.sceneClips.append(s);

    const QByteArray bytes = serializeArrangement(a);
    QVERIFY(bytes.contains("\n    \"")); // the indented form
    const QJsonObject top = QJsonDocument::fromJson(bytes).object();
    QCOMPARE(top.value("format").toString(), QString("quorbel_program_arrangement"));
    QCOMPARE(top.value("version").toInt(), 3);
    QCOMPARE(top.value("coordinateSystem").toString(), QString("normalized"));
    QCOMPARE(top.value("canvas").toObject(), (QJsonObject{{"width", 1920}, {"height", 1080}}));
    QVERIFY(!top.contains("timelineZero"));
    QCOMPARE(top.value("sceneClips")[0].toObject().value("paths").toString(), QString("a|b|c"));
    QCOMPARE(top.value("sceneClips")[0].toObject().size(), 11);

    const QJsonObject image = top.value("overlayClips")[0].toObject();
    QCOMPARE(image.value("overlayKind").toString(), QString("image"));
    QCOMPARE(image.value("mediaType").toString(), QString("image"));
    QVERIFY(!image.contains("textData"));
    const QJsonObject textData = top.value("overlayClips")[1].toObject().value("textData").toObject();
    QCOMPARE(textData.size(), 29);
    QVERIFY(!textData.contains("id"));
    QCOMPARE(textData.value("fontColor").toObject(), (QJsonObject{{"rgba", -65536}}));
    QCOMPARE(colorToJson(Qt::black).value("rgba").toInt(), -16777216);
    QCOMPARE(colorToJson(Qt::white).value("rgba").toInt(), -1);
}

void TestArrangementFile::listImageFiles_()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char* name : {"b.png", "A.JPG", "a.jpeg", "c.WebP", "d.bmp", ".hidden.png", "notes.txt", "e.gif",
                             "png"}) {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QVERIFY(QDir(dir.path()).mkdir("x.png"));

    const QString d = QDir(dir.path()).absolutePath() + "/";
    // Upper case sorts before lower case: the comparison is by character.
    const QStringList expected{d + "A.JPG", d + "a.jpeg", d + "b.png", d + "c.WebP", d + "d.bmp"};
    QCOMPARE(listImageFiles(dir.path()), expected);
    QVERIFY(listImageFiles(dir.filePath("missing")).isEmpty());
}

void TestArrangementFile::slideshowDirectoryFillsPaths()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char* name : {"2.png", "1.png"}) {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    const QString d = QDir(dir.path()).absolutePath();
    const QByteArray dirJson = QJsonDocument(QJsonArray{d}).toJson(QJsonDocument::Compact).mid(1).chopped(1);

    auto firstPaths = [](const QByteArray& clip) {
        bool ok = false;
        const ProgramArrangement a = parseArrangement(sceneFile(clip), nullptr, &ok);
        return ok && !a.sceneClips.isEmpty() ? a.sceneClips.first().paths : QStringList{"<refused>"};
    };
    QCOMPARE(firstPaths(R"({"kind":"imageSequence","imageDirectory":)" + dirJson + "}"),
             (QStringList{d + "/1.png", d + "/2.png"}));
    // Given paths win, and only slideshows look at the directory.
    QCOMPARE(firstPaths(R"({"kind":"imagePlay","paths":"x.png","imageDirectory":)" + dirJson + "}"),
             QStringList{"x.png"});
    QCOMPARE(firstPaths(R"({"kind":"channel","imageDirectory":)" + dirJson + "}"), QStringList{});
    QCOMPARE(firstPaths(R"({"kind":"imagePlay","imageDirectory":"/no/such/dir"})"), QStringList{});
}

void TestArrangementFile::mutatedFilesNeverCrash()
{
    ProgramArrangement a = richArrangement();
    // Old-generation keys give the mutations more to work on.
    const QByteArray base = serializeArrangement(a).replace("\"version\": 3", "\"version\": 2");
    QRandomGenerator rng(20261210);
    static const char kBytes[] = "{}[]\",:0123456789.-+eE \ntfnul\\";
    for (int i = 0; i < 4000; ++i) {
        QByteArray bytes = base;
        const int edits = 1 + int(rng.bounded(4));
        for (int e = 0; e < edits; ++e) {
            const int at = int(rng.bounded(bytes.size()));
            switch (rng.bounded(4)) {
            case 0:
                bytes[at] = kBytes[rng.bounded(int(sizeof(kBytes) - 1))];
                break;
            case 1:
                bytes[at] = char(rng.bounded(256));
                break;
            case 2:
                bytes.remove(at, 1 + int(rng.bounded(8)));
                break;
            default:
                bytes.insert(at, "1e300");
                break;
            }
        }
        QString error;
        bool ok = false;
        const ProgramArrangement parsed = parseArrangement(bytes, &error, &ok);
        QCOMPARE(ok, error.isEmpty());
        if (!ok)
            QVERIFY(parsed.sceneClips.isEmpty() && parsed.overlayClips.isEmpty());
        verifyInRange(parsed);
        if (QTest::currentTestFailed())
            qFatal("mutation %d failed:\n%s", i, bytes.constData());
    }
}

QUORB_TEST_MAIN(TestArrangementFile)
#include "tst_arrangementfile.moc"
