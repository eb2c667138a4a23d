#include "decodertestkit.h"
#include "input/capturesource.h"
#include "input/wgccaptureloader.h"
#include "support/xvfb.h"

#include <QtTest>

#include <xcb/xcb.h>

#include <cstdlib>

// Monitor and window capture through a channel decoder on a private X
// server: pictures with four known quadrant colours, read back from the
// decoder's tokens and compared with a tolerance.

namespace {

constexpr quint32 kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff, kWhite = 0xffffff, kYellow = 0xffff00;

// Paints windows on the private server from the test's own connection.
class Painter {
public:
    Painter() : c(xcb_connect(nullptr, nullptr)), screen(xcb_setup_roots_iterator(xcb_get_setup(c)).data) {}
    ~Painter() { xcb_disconnect(c); }

    // A pixmap with the four quadrants top-left, top-right, bottom-left,
    // bottom-right; it becomes the window's background, which the server
    // paints itself whenever the window needs it.
    xcb_pixmap_t quadrants(int w, int h, const std::array<quint32, 4>& colours)
    {
        const xcb_pixmap_t pixmap = xcb_generate_id(c);
        xcb_create_pixmap(c, screen->root_depth, pixmap, screen->root, w, h);
        const xcb_gcontext_t gc = xcb_generate_id(c);
        xcb_create_gc(c, gc, pixmap, 0, nullptr);
        const xcb_rectangle_t rects[4] = {{0, 0, quint16(w / 2), quint16(h / 2)},
                                          {qint16(w / 2), 0, quint16(w - w / 2), quint16(h / 2)},
                                          {0, qint16(h / 2), quint16(w / 2), quint16(h - h / 2)},
                                          {qint16(w / 2), qint16(h / 2), quint16(w - w / 2), quint16(h - h / 2)}};
        for (int i = 0; i < 4; ++i) {
            const quint32 value = colours[std::size_t(i)];
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &value);
            xcb_poly_fill_rectangle(c, pixmap, gc, 1, &rects[i]);
        }
        xcb_free_gc(c, gc);
        return pixmap;
    }
    void paintRoot(const std::array<quint32, 4>& colours)
    {
        const xcb_pixmap_t pixmap = quadrants(screen->width_in_pixels, screen->height_in_pixels, colours);
        xcb_change_window_attributes(c, screen->root, XCB_CW_BACK_PIXMAP, &pixmap);
        xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
        xcb_free_pixmap(c, pixmap);
        sync();
    }
    // A top-level window is waited for until the window manager framed it;
    // an override-redirect one stays where it is asked to be, unframed.
    xcb_window_t window(int x, int y, int w, int h, const std::array<quint32, 4>& colours,
                        xcb_window_t parent = XCB_NONE, bool overrideRedirect = false)
    {
        const xcb_window_t id = xcb_generate_id(c);
        const xcb_pixmap_t pixmap = quadrants(w, h, colours);
        const quint32 values[] = {pixmap, overrideRedirect ? 1u : 0u};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, id, parent ? parent : screen->root, qint16(x), qint16(y),
                          quint16(w), quint16(h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_free_pixmap(c, pixmap);
        xcb_map_window(c, id);
        sync();
        if (!parent && !overrideRedirect) {
            QTest::qWaitFor([&] { return parentOf(id) != screen->root; }, 5000);
            QTest::qWait(50); // the frame's first paint
        }
        return id;
    }
    xcb_window_t parentOf(xcb_window_t id)
    {
        xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, id), nullptr);
        const xcb_window_t parent = tree ? tree->parent : XCB_NONE;
        std::free(tree);
        return parent;
    }
    void destroy(xcb_window_t id)
    {
        xcb_destroy_window(c, id);
        sync();
    }
    void resize(xcb_window_t id, int w, int h, const std::array<quint32, 4>& colours)
    {
        const xcb_pixmap_t pixmap = quadrants(w, h, colours);
        xcb_change_window_attributes(c, id, XCB_CW_BACK_PIXMAP, &pixmap);
        const quint32 size[] = {quint32(w), quint32(h)};
        xcb_configure_window(c, id, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, size);
        xcb_clear_area(c, 0, id, 0, 0, 0, 0);
        xcb_free_pixmap(c, pixmap);
        sync();
    }
    void sync() { std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }

    xcb_connection_t* c;
    xcb_screen_t* screen;
};

// The token's RGB at (x, y) as 0xRRGGBB, and its alpha.
quint32 rgbAt(const FrameToken& t, int x, int y, int* alpha = nullptr)
{
    const auto* p = reinterpret_cast<const quint8*>(t.data.constData()) + std::size_t(y) * t.bytesPerLine + x * 4;
    if (alpha)
        *alpha = p[3];
    return (quint32(p[0]) << 16) | (quint32(p[1]) << 8) | p[2];
}

bool near(quint32 a, quint32 b)
{
    for (int shift : {0, 8, 16}) {
        if (std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)) > 24)
            return false;
    }
    return true;
}

// Checks the quadrant centres of the picture placed at rect inside the token.
QString quadrantMismatch(const FrameToken& t, const QRect& rect, const std::array<quint32, 4>& colours)
{
    const QPoint centres[4] = {{rect.left() + rect.width() / 4, rect.top() + rect.height() / 4},
                               {rect.left() + rect.width() * 3 / 4, rect.top() + rect.height() / 4},
                               {rect.left() + rect.width() / 4, rect.top() + rect.height() * 3 / 4},
                               {rect.left() + rect.width() * 3 / 4, rect.top() + rect.height() * 3 / 4}};
    for (int i = 0; i < 4; ++i) {
        int alpha = 0;
        const quint32 got = rgbAt(t, centres[i].x(), centres[i].y(), &alpha);
        if (!near(got, colours[std::size_t(i)]) || alpha != 255)
            return QStringLiteral("quadrant %1: %2 alpha %3, wanted %4")
                .arg(i)
                .arg(got, 6, 16, QLatin1Char('0'))
                .arg(alpha)
                .arg(colours[std::size_t(i)], 6, 16, QLatin1Char('0'));
    }
    return {};
}

// Waits for a token whose quadrants match.
QString waitForQuadrants(DecoderRig& rig, const QRect& rect, const std::array<quint32, 4>& colours, int timeoutMs = 5000)
{
    QString mismatch = QStringLiteral("no picture");
    QTest::qWaitFor(
        [&] {
            const FrameTokenPtr t = rig.pictures.last();
            if (!t)
                return false;
            mismatch = quadrantMismatch(*t, rect, colours);
            return mismatch.isEmpty();
        },
        timeoutMs);
    return mismatch;
}

const std::array<quint32, 4> kQuadrants{kRed, kGreen, kBlue, kWhite};

} // namespace

class TestScreenCapture : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void captureItems_data();
    void captureItems();
    void monitorThroughDecoder_data();
    void monitorThroughDecoder();
    void invalidMonitorIndexIsReported();
    void noDisplayIsReported();
    void playAfterPauseShowsChangedScreen();
    void windowHandles_data();
    void windowHandles();
    void coveredWindowIsCapturedWhole();
    void windowClosedDuringCaptureIsReported();
    void resizedWindowKeepsBeingCaptured();
    void fitTable_data();
    void fitTable();
    void libraryBesideProgram_data();
    void libraryBesideProgram();

private:
    testsupport::PeerProcess xvfb;
    testsupport::PeerProcess openbox;
    std::unique_ptr<Painter> painter;
};

void TestScreenCapture::initTestCase()
{
    QString error;
    const QString display = testsupport::startXvfb(xvfb, &error, "640x480x24");
    QVERIFY2(!display.isEmpty(), qPrintable("needs Xvfb (package xvfb): " + error));
    qputenv("DISPLAY", display.toUtf8());
    // Window capture meets real frames: openbox reparents every client
    // into a decorated frame, which is what gets captured.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    QVERIFY2(openbox.start("openbox", {}, 0, testsupport::PeerProcess::Wait::None, 10000, env),
             qPrintable("needs openbox: " + openbox.errorString()));
    painter = std::make_unique<Painter>();
    painter->paintRoot(kQuadrants);
    // Managed means framed: wait until openbox frames a probe window.
    const xcb_window_t probe = painter->window(0, 0, 20, 20, kQuadrants);
    QVERIFY2(painter->parentOf(probe) != painter->screen->root, "openbox never framed a window");
    painter->destroy(probe);
}

void TestScreenCapture::cleanupTestCase()
{
    painter.reset();
    qunsetenv("DISPLAY");
}

void TestScreenCapture::captureItems_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("monitor");
    QTest::addColumn<bool>("wantsLibrary");
    QTest::addColumn<quint64>("window");
    QTest::newRow("plain") << "desktop://capture?monitor=2" << 2 << false << quint64(0);
    QTest::newRow("negative monitor") << "desktop://capture?monitor=-1" << 0 << false << quint64(0);
    QTest::newRow("not a number") << "desktop://capture?monitor=abc" << 0 << false << quint64(0);
    QTest::newRow("beyond int") << "desktop://capture?monitor=99999999999" << 0 << false << quint64(0);
    QTest::newRow("wgc 1") << "desktop://capture?monitor=1&wgc=1" << 1 << true << quint64(0);
    QTest::newRow("wgc TRUE") << "desktop://capture?monitor=0&wgc=TRUE" << 0 << true << quint64(0);
    QTest::newRow("wgc yes") << "desktop://capture?monitor=0&wgc=yes" << 0 << false << quint64(0);
    QTest::newRow("hex") << "wgc://capture?hwnd=0x1a00003" << 0 << false << quint64(0x1a00003);
    QTest::newRow("hex mixed case") << "wgc://capture?hwnd=0X1A00003" << 0 << false << quint64(0x1a00003);
    QTest::newRow("decimal") << "wgc://capture?hwnd=27262979" << 0 << false << quint64(27262979);
    QTest::newRow("garbage") << "wgc://capture?hwnd=0xzz" << 0 << false << quint64(0);
    QTest::newRow("missing") << "wgc://capture" << 0 << false << quint64(0);
}

void TestScreenCapture::captureItems()
{
    QFETCH(QString, source);
    QFETCH(int, monitor);
    QFETCH(bool, wantsLibrary);
    QFETCH(quint64, window);
    QCOMPARE(captureMonitorIndexOf(source), monitor);
    QCOMPARE(captureWantsLibraryOf(source), wantsLibrary);
    QCOMPARE(captureWindowHandleOf(source), window);
}

void TestScreenCapture::monitorThroughDecoder_data()
{
    QTest::addColumn<QString>("source");
    QTest::newRow("duplicator") << "desktop://capture?monitor=0";
    QTest::newRow("unreadable index captures output 0") << "desktop://capture?monitor=x";
    QTest::newRow("through the library") << "desktop://capture?monitor=0&wgc=1";
}

void TestScreenCapture::monitorThroughDecoder()
{
    QFETCH(QString, source);
    DecoderRig rig(QSize(1280, 720));
    rig.open(source);
    // 640x480 fitted into 1280x720: 960x720 with bars of 160 columns.
    QCOMPARE(waitForQuadrants(rig, QRect(160, 0, 960, 720), kQuadrants), QString());
    const FrameTokenPtr t = rig.pictures.last();
    QCOMPARE(QSize(t->width, t->height), QSize(1280, 720));
    int alpha = 0;
    QCOMPARE(rgbAt(*t, 40, 360, &alpha), 0u);
    QCOMPARE(alpha, 255);
    QCOMPARE(rgbAt(*t, 1240, 360), 0u);
    QVERIFY(rig.recorder.errors.isEmpty());
    QTRY_COMPARE(rig.decoder.codedSourceSize(), QSize(640, 480));
}

void TestScreenCapture::invalidMonitorIndexIsReported()
{
    DecoderRig rig;
    rig.open("desktop://capture?monitor=3");
    QTRY_COMPARE(rig.recorder.errors, QStringList{"无效的显示器索引"});
    QCOMPARE(rig.pictures.count(), 0);
}

void TestScreenCapture::noDisplayIsReported()
{
    // A Wayland-only session has no X display to capture.
    const QByteArray display = qgetenv("DISPLAY");
    qunsetenv("DISPLAY");
    DecoderRig rig;
    rig.open("desktop://capture?monitor=0");
    QTRY_COMPARE(rig.recorder.errors.size(), 1);
    rig.decoder.stopWorkers();
    qputenv("DISPLAY", display);
    QVERIFY2(rig.recorder.errors.front().contains("X 显示"), qPrintable(rig.recorder.errors.front()));
    QCOMPARE(rig.pictures.count(), 0);
}

void TestScreenCapture::playAfterPauseShowsChangedScreen()
{
    painter->paintRoot(kQuadrants);
    DecoderRig rig(QSize(640, 480));
    rig.open("desktop://capture?monitor=0");
    QCOMPARE(waitForQuadrants(rig, QRect(0, 0, 640, 480), kQuadrants), QString());
    rig.decoder.setPlayback(0, false);
    QTest::qWait(100);
    const std::array<quint32, 4> changed{kYellow, kBlue, kGreen, kRed};
    painter->paintRoot(changed);
    QTest::qWait(100);
    const FrameTokenPtr paused = rig.pictures.last();
    QVERIFY(quadrantMismatch(*paused, QRect(0, 0, 640, 480), kQuadrants).isEmpty());
    rig.decoder.setPlayback(0, true);
    QCOMPARE(waitForQuadrants(rig, QRect(0, 0, 640, 480), changed), QString());
    painter->paintRoot(kQuadrants);
}

void TestScreenCapture::windowHandles_data()
{
    QTest::addColumn<QString>("pattern"); // %1: the window id
    QTest::addColumn<bool>("child");
    QTest::addColumn<bool>("captured");
    QTest::newRow("0x hex") << "wgc://capture?hwnd=0x%1" << false << true;
    QTest::newRow("0X mixed case") << "wgc://capture?hwnd=0X%1" << false << true;
    QTest::newRow("decimal") << "wgc://capture?hwnd=%1" << false << true;
    QTest::newRow("child captures its top level") << "wgc://capture?hwnd=0x%1" << true << true;
    QTest::newRow("zero") << "wgc://capture?hwnd=0" << false << false;
    QTest::newRow("garbage") << "wgc://capture?hwnd=window" << false << false;
    QTest::newRow("closed window") << "closed" << false << false;
}

void TestScreenCapture::windowHandles()
{
    QFETCH(QString, pattern);
    QFETCH(bool, child);
    QFETCH(bool, captured);
    const xcb_window_t window = painter->window(100, 80, 320, 240, kQuadrants);
    xcb_window_t named = window;
    if (child)
        named = painter->window(10, 10, 40, 30, {kYellow, kYellow, kYellow, kYellow}, window);
    QString source;
    if (pattern == "closed") {
        const xcb_window_t gone = painter->window(0, 0, 50, 50, kQuadrants);
        painter->destroy(gone);
        source = QStringLiteral("wgc://capture?hwnd=%1").arg(gone);
    } else if (pattern.contains("0X")) {
        source = pattern.arg(QString::number(named, 16).toUpper().replace(0, 1, QString::number(named, 16).left(1)));
    } else if (pattern.contains("0x")) {
        source = pattern.arg(QString::number(named, 16));
    } else {
        source = pattern.contains("%1") ? pattern.arg(named) : pattern;
    }
    DecoderRig rig(QSize(320, 240));
    rig.open(source);
    if (captured) {
        // The child's yellow corner sits inside the red quadrant's corner,
        // away from the centre that is checked.
        QCOMPARE(waitForQuadrants(rig, QRect(0, 0, 320, 240), kQuadrants), QString());
        QVERIFY(rig.recorder.errors.isEmpty());
    } else {
        QTRY_COMPARE(rig.recorder.errors, QStringList{"wgc:// 需要有效 hwnd 参数（十进制或 0x 十六进制）"});
        QCOMPARE(rig.pictures.count(), 0);
    }
    rig.decoder.stopWorkers();
    painter->destroy(window);
}

void TestScreenCapture::coveredWindowIsCapturedWhole()
{
    const xcb_window_t window = painter->window(50, 50, 320, 240, kQuadrants);
    // Over the window's left half, wherever openbox put its frame.
    xcb_get_geometry_reply_t* frame = xcb_get_geometry_reply(
        painter->c, xcb_get_geometry(painter->c, painter->parentOf(window)), nullptr);
    QVERIFY(frame);
    const xcb_window_t cover =
        painter->window(frame->x, frame->y, 170, 300, {kYellow, kYellow, kYellow, kYellow}, XCB_NONE, true);
    std::free(frame);
    DecoderRig rig(QSize(320, 240));
    rig.open(QStringLiteral("wgc://capture?hwnd=0x%1").arg(window, 0, 16));
    QCOMPARE(waitForQuadrants(rig, QRect(0, 0, 320, 240), kQuadrants), QString());
    rig.decoder.stopWorkers();
    painter->destroy(cover);
    painter->destroy(window);
}

void TestScreenCapture::windowClosedDuringCaptureIsReported()
{
    const xcb_window_t window = painter->window(50, 50, 320, 240, kQuadrants);
    DecoderRig rig(QSize(320, 240));
    rig.open(QStringLiteral("wgc://capture?hwnd=0x%1").arg(window, 0, 16));
    QCOMPARE(waitForQuadrants(rig, QRect(0, 0, 320, 240), kQuadrants), QString());
    painter->destroy(window);
    QTRY_COMPARE(rig.recorder.errors, QStringList{"wgc:// 需要有效 hwnd 参数（十进制或 0x 十六进制）"});
}

void TestScreenCapture::resizedWindowKeepsBeingCaptured()
{
    const xcb_window_t window = painter->window(0, 0, 320, 240, kQuadrants);
    DecoderRig rig(QSize(640, 480));
    rig.open(QStringLiteral("wgc://capture?hwnd=0x%1").arg(window, 0, 16));
    QCOMPARE(waitForQuadrants(rig, QRect(0, 0, 640, 480), kQuadrants), QString());
    const std::array<quint32, 4> changed{kYellow, kBlue, kGreen, kRed};
    painter->resize(window, 600, 400, changed);
    // The frame adds openbox's decoration (a few pixels, a title bar) to
    // 600x400; fitted into 640x480 it fills the width, roughly centred.
    QCOMPARE(waitForQuadrants(rig, QRect(0, 27, 640, 426), changed), QString());
    const QSize captured = rig.decoder.codedSourceSize();
    QVERIFY2(captured.width() >= 600 && captured.width() < 620 && captured.height() >= 400 && captured.height() < 440,
             qPrintable(QStringLiteral("%1x%2").arg(captured.width()).arg(captured.height())));
    rig.decoder.stopWorkers();
    painter->destroy(window);
}

void TestScreenCapture::fitTable_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<int>("stride");
    QTest::addColumn<QSize>("target");
    QTest::addColumn<QRect>("placed"); // empty: nothing delivered
    QTest::newRow("1280x1024 into 1080p: bars of 285") << QSize(1280, 1024) << 1280 * 4 << QSize(1920, 1080)
                                                        << QRect(285, 0, 1350, 1080);
    QTest::newRow("same size") << QSize(640, 360) << 640 * 4 << QSize(640, 360) << QRect(0, 0, 640, 360);
    QTest::newRow("small picture is upscaled") << QSize(160, 90) << 160 * 4 << QSize(640, 360)
                                               << QRect(0, 0, 640, 360);
    QTest::newRow("odd size, padded rows") << QSize(301, 201) << 1280 << QSize(640, 360) << QRect(50, 0, 540, 360);
    QTest::newRow("stride too short") << QSize(320, 240) << 320 * 4 - 4 << QSize(640, 360) << QRect();
    QTest::newRow("empty picture") << QSize(0, 240) << 0 << QSize(640, 360) << QRect();
}

void TestScreenCapture::fitTable()
{
    QFETCH(QSize, picture);
    QFETCH(int, stride);
    QFETCH(QSize, target);
    QFETCH(QRect, placed);
    const int w = picture.width();
    const int h = picture.height();
    // Rows overlap when the stride is too short; the last row still fits.
    std::vector<quint8> bgra(std::size_t(std::max(1, stride)) * std::max(0, h - 1) + std::size_t(w) * 4 + 4, 0);
    const quint32 bgr[4] = {0x0000ff, 0x00ff00, 0xff0000, 0xffffff}; // red, green, blue, white as B,G,R bytes
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int q = (y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0);
            quint8* p = bgra.data() + std::size_t(y) * stride + x * 4;
            p[0] = quint8(bgr[q] >> 16);
            p[1] = quint8(bgr[q] >> 8);
            p[2] = quint8(bgr[q]);
            p[3] = 255;
        }
    }
    FramePool pool(2, target.width(), target.height());
    FFmpegVideoDecoder decoder(&pool);
    PictureCollector collected;
    decoder.setFrameCallback(collected.callback());
    FFmpegVideoDecoderProbe::deliverCaptured(decoder, bgra.data(), w, h, stride, &pool, target, 4242);
    if (placed.isEmpty()) {
        QCOMPARE(collected.count(), 0);
        return;
    }
    QCOMPARE(collected.count(), 1);
    const FrameTokenPtr t = collected.last();
    QCOMPARE(QSize(t->width, t->height), target);
    QCOMPARE(t->ptsUs, 4242);
    QCOMPARE(quadrantMismatch(*t, placed, kQuadrants), QString());
    if (placed.left() > 0) {
        int alpha = 0;
        QCOMPARE(rgbAt(*t, placed.left() - 1, target.height() / 2, &alpha), 0u);
        QCOMPARE(alpha, 255);
        QCOMPARE(rgbAt(*t, placed.right() + 1, target.height() / 2), 0u);
    }
}

void TestScreenCapture::libraryBesideProgram_data()
{
    QTest::addColumn<QByteArray>("copyBody"); // empty: no library at all
    QTest::addColumn<QString>("source");       // %1: a live window id
    QTest::addColumn<bool>("pictures");
    QTest::addColumn<QString>("error");

    const QString windowTooLarge = "WGC 帧过大，请缩小窗口或提高缓冲";
    const QString monitorTooLarge = "桌面 WGC 帧过大，请降低分辨率或提高缓冲";
    const QString notFound = "未找到 libwgccapture.so（请用 CMake 构建后放到程序目录或其上一级目录）";
    QTest::newRow("no library: monitor falls back silently")
        << QByteArray() << "desktop://capture?monitor=0&wgc=1" << true << QString();
    QTest::newRow("no library: window reports it") << QByteArray() << "wgc://capture?hwnd=%1" << false << notFound;
    // A size past the buffer must be refused before anything reads it.
    QTest::newRow("window wider than the buffer")
        << QByteArray("*w = 100000; *h = 100000; return 0;") << "wgc://capture?hwnd=%1" << false << windowTooLarge;
    QTest::newRow("one byte too many")
        << QByteArray("*w = cap / 4 + 1; *h = 1; return 0;") << "wgc://capture?hwnd=%1" << false << windowTooLarge;
    QTest::newRow("product overflows int")
        << QByteArray("*w = 65536; *h = 65536; return 0;") << "wgc://capture?hwnd=%1" << false << windowTooLarge;
    QTest::newRow("negative size")
        << QByteArray("*w = -4; *h = 300; return 0;") << "wgc://capture?hwnd=%1" << false << windowTooLarge;
    QTest::newRow("monitor larger than the buffer")
        << QByteArray("*w = 100000; *h = 100000; return 0;") << "desktop://capture?monitor=0&wgc=1" << false
        << monitorTooLarge;
    QTest::newRow("library says too large")
        << QByteArray("return -4;") << "wgc://capture?hwnd=%1" << false << windowTooLarge;
    QTest::newRow("window gone") << QByteArray("return -5;") << "wgc://capture?hwnd=%1" << false
                                 << "wgc:// 需要有效 hwnd 参数（十进制或 0x 十六进制）";
}

void TestScreenCapture::libraryBesideProgram()
{
    QFETCH(QByteArray, copyBody);
    QFETCH(QString, source);
    QFETCH(bool, pictures);
    QFETCH(QString, error);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString appDir = root.path() + "/a/b";
    QVERIFY(QDir().mkpath(appDir));
    const QString helper = appDir + "/helper_capturechannel";
    QVERIFY(QFile::copy(QString(QUORB_TEST_BIN_DIR) + "/helper_capturechannel", helper));
    if (!copyBody.isEmpty()) {
        const QByteArray library =
            "#define X extern \"C\" __attribute__((visibility(\"default\")))\n"
            "X void* wgc_capture_create(unsigned long w) { return (void*)w; }\n"
            "X void* wgc_capture_create_monitor(unsigned long m) { return (void*)m; }\n"
            "X void wgc_capture_destroy(void*) {}\n"
            "X int wgc_capture_copy_bgra(void*, unsigned char*, int cap, int* w, int* h, long long* t) { " +
            copyBody + " }\n";
        QProcess compiler;
        compiler.start("g++", {"-shared", "-fPIC", "-x", "c++", "-", "-o", appDir + "/libwgccapture.so"});
        QVERIFY2(compiler.waitForStarted(), "needs g++");
        compiler.write(library);
        compiler.closeWriteChannel();
        QVERIFY(compiler.waitForFinished(60000));
        QVERIFY2(compiler.exitCode() == 0, compiler.readAllStandardError().constData());
    }
    const xcb_window_t window = painter->window(10, 10, 64, 48, kQuadrants);
    QProcess run;
    run.start(helper, {source.contains("%1") ? source.arg(window) : source, "15000"});
    QVERIFY(run.waitForFinished(60000));
    painter->destroy(window);
    const QString out = QString::fromUtf8(run.readAllStandardOutput());
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);
    const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    QStringList errors;
    int count = -1;
    for (const QString& line : lines) {
        if (line.startsWith("error "))
            errors << line.mid(6);
        else if (line.startsWith("pictures "))
            count = line.mid(9).toInt();
    }
    QCOMPARE(errors, error.isEmpty() ? QStringList{} : QStringList{error});
    QVERIFY2(pictures ? count > 0 : count == 0, qPrintable(out));
}

QUORB_TEST_MAIN(TestScreenCapture)
#include "tst_screencapture.moc"
