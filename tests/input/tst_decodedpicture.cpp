// The display size of a decoded picture: sample aspect (the picture's own
// ratio first, the stream's as fallback) and quarter turns.

#include "input/decodedpicture.h"
#include "support/testsupport.h"

#include <climits>

class TestDecodedPicture : public QObject {
    Q_OBJECT
private slots:
    void displaySize_data();
    void displaySize();
};

void TestDecodedPicture::displaySize_data()
{
    QTest::addColumn<QSize>("coded");
    QTest::addColumn<int>("pictureNum");
    QTest::addColumn<int>("pictureDen");
    QTest::addColumn<int>("streamNum");
    QTest::addColumn<int>("streamDen");
    QTest::addColumn<int>("quarterTurns");
    QTest::addColumn<QSize>("expected");

    QTest::newRow("square pixels") << QSize(640, 480) << 1 << 1 << 0 << 1 << 0 << QSize(640, 480);
    QTest::newRow("unset ratios are square") << QSize(640, 480) << 0 << 1 << 0 << 0 << 0 << QSize(640, 480);
    QTest::newRow("anamorphic DVD") << QSize(720, 576) << 64 << 45 << 0 << 1 << 0 << QSize(1024, 576);
    QTest::newRow("rounds to nearest") << QSize(720, 480) << 10 << 11 << 0 << 1 << 0 << QSize(655, 480);
    QTest::newRow("stream ratio as fallback") << QSize(720, 576) << 0 << 1 << 16 << 15 << 0 << QSize(768, 576);
    QTest::newRow("picture ratio wins") << QSize(720, 576) << 64 << 45 << 16 << 15 << 0 << QSize(1024, 576);
    QTest::newRow("negative picture ratio falls back")
        << QSize(720, 576) << -4 << 3 << 16 << 15 << 0 << QSize(768, 576);
    QTest::newRow("narrowing never below one") << QSize(2, 2) << 1 << 1000 << 0 << 1 << 0 << QSize(1, 2);
    QTest::newRow("hostile ratio clamps the width")
        << QSize(4096, 2) << INT_MAX << 1 << 0 << 1 << 0 << QSize(INT_MAX, 2);
    QTest::newRow("quarter turn swaps sides") << QSize(1920, 1080) << 1 << 1 << 0 << 1 << 1 << QSize(1080, 1920);
    QTest::newRow("half turn keeps sides") << QSize(1920, 1080) << 1 << 1 << 0 << 1 << 2 << QSize(1920, 1080);
    QTest::newRow("three quarters swap") << QSize(1920, 1080) << 1 << 1 << 0 << 1 << 3 << QSize(1080, 1920);
    QTest::newRow("aspect stretches before the turn")
        << QSize(720, 576) << 64 << 45 << 0 << 1 << 1 << QSize(576, 1024);
    QTest::newRow("empty width") << QSize(0, 480) << 1 << 1 << 0 << 1 << 0 << QSize(-1, -1);
    QTest::newRow("empty height") << QSize(640, 0) << 1 << 1 << 0 << 1 << 1 << QSize(-1, -1);
}

void TestDecodedPicture::displaySize()
{
    QFETCH(QSize, coded);
    QFETCH(int, pictureNum);
    QFETCH(int, pictureDen);
    QFETCH(int, streamNum);
    QFETCH(int, streamDen);
    QFETCH(int, quarterTurns);
    QFETCH(QSize, expected);
    QCOMPARE(decodedpicture::displaySize(coded.width(), coded.height(), AVRational{pictureNum, pictureDen},
                                         AVRational{streamNum, streamDen}, quarterTurns),
             expected);
}

QUORB_TEST_MAIN(TestDecodedPicture)
#include "tst_decodedpicture.moc"
