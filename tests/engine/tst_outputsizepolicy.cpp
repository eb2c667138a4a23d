#include "engine/outputsizepolicy.h"
#include "support/testsupport.h"

class TestOutputSizePolicy : public QObject {
    Q_OBJECT
private slots:
    void fit_data();
    void fit();
    void sixteenByNine_data();
    void sixteenByNine();
    void resolve_data();
    void resolve();
    void recommend_data();
    void recommend();
    void effectiveOutputKeepsDefaultWhenInvalid();
};

void TestOutputSizePolicy::fit_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("bounds");
    QTest::addColumn<bool>("upscale");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("downscale") << QSize(1920, 1080) << QSize(1280, 720) << false << QSize(1280, 720);
    QTest::newRow("no upscale") << QSize(1280, 720) << QSize(1920, 1080) << false << QSize(1280, 720);
    QTest::newRow("upscale") << QSize(1280, 720) << QSize(1920, 1080) << true << QSize(1920, 1080);
    QTest::newRow("height floors to 2") << QSize(1000, 1) << QSize(640, 360) << false << QSize(640, 2);
    QTest::newRow("odd result made even") << QSize(1001, 1001) << QSize(2000, 2000) << false << QSize(1000, 1000);
    QTest::newRow("zero source") << QSize(0, 1080) << QSize(640, 360) << false << QSize(-1, -1);
    QTest::newRow("negative bounds") << QSize(640, 360) << QSize(640, -1) << true << QSize(-1, -1);
}

void TestOutputSizePolicy::fit()
{
    QFETCH(QSize, source);
    QFETCH(QSize, bounds);
    QFETCH(bool, upscale);
    QFETCH(QSize, expected);
    QCOMPARE(fitEvenSize(source, bounds, upscale), expected);
}

void TestOutputSizePolicy::sixteenByNine_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("result");
    QTest::newRow("1920x1080") << QSize(1920, 1080) << true;
    QTest::newRow("1366x768") << QSize(1366, 768) << true;
    QTest::newRow("1440x1080") << QSize(1440, 1080) << false;
    QTest::newRow("1080x1920") << QSize(1080, 1920) << false;
}

void TestOutputSizePolicy::sixteenByNine()
{
    QFETCH(QSize, size);
    QFETCH(bool, result);
    QCOMPARE(isSixteenByNine(size), result);
}

void TestOutputSizePolicy::resolve_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QSize>("custom");
    QTest::addColumn<QSize>("fallback");
    QTest::addColumn<QSize>("effective");
    QTest::addColumn<QSize>("basis");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<bool>("usedFallback");
    QTest::addColumn<bool>("valid");
    const QSize none(-1, -1);
    const QSize fb(1920, 1080);
    QTest::newRow("auto 1080p") << QSize(1920, 1080) << 0 << none << fb << QSize(1920, 1080) << QSize(1920, 1080) << false << false << true;
    QTest::newRow("auto 4096x2160 to preset") << QSize(4096, 2160) << 0 << none << fb << QSize(3840, 2160) << QSize(4096, 2160) << true << false << true;
    QTest::newRow("auto 10240x5760 to limit") << QSize(10240, 5760) << 0 << none << fb << QSize(7680, 4320) << QSize(10240, 5760) << true << false << true;
    QTest::newRow("auto 1440x1080") << QSize(1440, 1080) << 0 << none << fb << QSize(1280, 720) << QSize(1440, 1080) << true << false << true;
    QTest::newRow("auto portrait 1080x1920") << QSize(1080, 1920) << 0 << none << fb << QSize(1920, 1080) << QSize(1080, 1920) << true << false << true;
    QTest::newRow("auto 600x400") << QSize(600, 400) << 0 << none << fb << QSize(640, 360) << QSize(600, 400) << true << false << true;
    QTest::newRow("auto odd source") << QSize(1281, 721) << 0 << none << fb << QSize(1280, 720) << QSize(1280, 720) << false << false << true;
    QTest::newRow("auto no source, fallback") << QSize(-1, -1) << 0 << none << fb << QSize(1920, 1080) << QSize(1920, 1080) << false << true << true;
    QTest::newRow("auto no source, no fallback") << QSize(0, 0) << 0 << none << QSize(0, 0) << none << none << false << true << false;
    QTest::newRow("custom 720p") << QSize(4096, 2160) << 1 << QSize(1280, 720) << fb << QSize(1280, 720) << QSize(4096, 2160) << false << false << true;
    QTest::newRow("custom without source") << QSize(-1, -1) << 1 << QSize(1280, 720) << fb << QSize(1280, 720) << none << false << false << true;
    QTest::newRow("custom 4:3") << QSize(1920, 1080) << 1 << QSize(1024, 768) << fb << none << none << false << false << false;
    QTest::newRow("custom portrait") << QSize(1920, 1080) << 1 << QSize(720, 1280) << fb << none << none << false << false << false;
    QTest::newRow("custom wider than limit") << QSize(1920, 1080) << 1 << QSize(7682, 4320) << fb << none << none << false << false << false;
    QTest::newRow("custom odd made even") << QSize(1920, 1080) << 1 << QSize(1281, 721) << fb << QSize(1280, 720) << QSize(1920, 1080) << false << false << true;
    QTest::newRow("custom missing") << QSize(1920, 1080) << 1 << QSize(-1, -1) << fb << none << none << false << false << false;
}

void TestOutputSizePolicy::resolve()
{
    QFETCH(QSize, source);
    QFETCH(int, mode);
    QFETCH(QSize, custom);
    QFETCH(QSize, fallback);
    QFETCH(QSize, effective);
    QFETCH(QSize, basis);
    QFETCH(bool, changed);
    QFETCH(bool, usedFallback);
    QFETCH(bool, valid);
    OutputResolutionSelection sel{mode, custom.width(), custom.height()};
    const OutputResolution r = resolveOutputResolution(source, sel, defaultOutputSizeLimit(), fallback);
    QCOMPARE(r.effective, effective);
    QCOMPARE(r.basis, basis);
    QCOMPARE(r.changed, changed);
    QCOMPARE(r.usedFallback, usedFallback);
    QCOMPARE(r.valid, valid);
}

void TestOutputSizePolicy::recommend_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<double>("fps");
    QTest::addColumn<int>("kbps");
    QTest::addColumn<double>("usedFps");
    QTest::addColumn<QSize>("usedSize");
    QTest::addColumn<bool>("over4096");
    QTest::newRow("1080p60") << QSize(1920, 1080) << 60.0 << 12000 << 60.0 << QSize(1920, 1080) << false;
    QTest::newRow("1080p30") << QSize(1920, 1080) << 30.0 << 7500 << 30.0 << QSize(1920, 1080) << false;
    QTest::newRow("1080p58.9") << QSize(1920, 1080) << 58.9 << 7500 << 58.9 << QSize(1920, 1080) << false;
    QTest::newRow("1080p no fps") << QSize(1920, 1080) << 0.0 << 7500 << 30.0 << QSize(1920, 1080) << false;
    QTest::newRow("1440p60") << QSize(2560, 1440) << 60.0 << 24000 << 60.0 << QSize(2560, 1440) << false;
    QTest::newRow("4320p60") << QSize(7680, 4320) << 60.0 << 180000 << 60.0 << QSize(7680, 4320) << true;
    QTest::newRow("4320p30") << QSize(7680, 4320) << 30.0 << 120000 << 30.0 << QSize(7680, 4320) << true;
    QTest::newRow("2160p60") << QSize(3840, 2160) << 60.0 << 51000 << 60.0 << QSize(3840, 2160) << false;
    QTest::newRow("4096x2160p30") << QSize(4096, 2160) << 30.0 << 30000 << 30.0 << QSize(4096, 2160) << false;
    QTest::newRow("1919x1080 made even") << QSize(1919, 1080) << 30.0 << 4500 << 30.0 << QSize(1918, 1080) << false;
    QTest::newRow("720p30") << QSize(1280, 720) << 30.0 << 4500 << 30.0 << QSize(1280, 720) << false;
    QTest::newRow("540p60") << QSize(960, 540) << 60.0 << 4500 << 60.0 << QSize(960, 540) << false;
    QTest::newRow("360p30") << QSize(640, 360) << 30.0 << 1800 << 30.0 << QSize(640, 360) << false;
    QTest::newRow("360p60") << QSize(640, 360) << 60.0 << 2500 << 60.0 << QSize(640, 360) << false;
    QTest::newRow("invalid size 60") << QSize(0, 1080) << 60.0 << 12000 << 60.0 << QSize(-1, -1) << false;
    QTest::newRow("invalid size 25") << QSize(-1, -1) << 25.0 << 7500 << 25.0 << QSize(-1, -1) << false;
    QTest::newRow("tall 4098") << QSize(2000, 4098) << 30.0 << 16000 << 30.0 << QSize(2000, 4098) << true;
}

void TestOutputSizePolicy::recommend()
{
    QFETCH(QSize, size);
    QFETCH(double, fps);
    QFETCH(int, kbps);
    QFETCH(double, usedFps);
    QFETCH(QSize, usedSize);
    QFETCH(bool, over4096);
    const EncodingRecommendation r = recommendEncodingSettings(size, fps);
    QCOMPARE(r.kbps, kbps);
    QCOMPARE(r.fps, usedFps);
    QCOMPARE(r.size, usedSize);
    QCOMPARE(r.over4096, over4096);
}

void TestOutputSizePolicy::effectiveOutputKeepsDefaultWhenInvalid()
{
    const EffectiveOutput bad = resolveEffectiveOutput(QSize(1920, 1080), {1, 1024, 768}, defaultOutputSizeLimit(), 60, QSize(1920, 1080));
    QVERIFY(!bad.resolution.valid);
    QCOMPARE(bad.recommendation.kbps, 7500);
    QCOMPARE(bad.recommendation.size, QSize(-1, -1));
    const EffectiveOutput good = resolveEffectiveOutput(QSize(3840, 2160), {}, defaultOutputSizeLimit(), 60, QSize(1920, 1080));
    QCOMPARE(good.resolution.effective, QSize(3840, 2160));
    QCOMPARE(good.recommendation.kbps, 51000);
}

QUORB_TEST_MAIN(TestOutputSizePolicy)
#include "tst_outputsizepolicy.moc"
