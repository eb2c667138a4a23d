#include "app/loglimits.h"
#include "support/testsupport.h"

class TestLogLimits : public QObject {
    Q_OBJECT
private slots:
    void limits_data();
    void limits();
    void ffmpegLevel_data();
    void ffmpegLevel();
};

void TestLogLimits::limits_data()
{
    QTest::addColumn<QByteArray>("maxBytes");
    QTest::addColumn<QByteArray>("maxFiles");
    QTest::addColumn<QByteArray>("queueMax");
    QTest::addColumn<qint64>("expectedBytes");
    QTest::addColumn<int>("expectedFiles");
    QTest::addColumn<qint64>("expectedQueue");

    const qint64 db = LogLimits::kDefaultMaxBytes;
    const int df = LogLimits::kDefaultMaxFiles;
    const qint64 dq = LogLimits::kDefaultQueueMax;
    QTest::newRow("unset") << QByteArray() << QByteArray() << QByteArray() << db << df << dq;
    QTest::newRow("smallest accepted") << QByteArray("1") << QByteArray("1") << QByteArray("1000") << qint64(1) << 1
                                       << qint64(1000);
    QTest::newRow("largest accepted") << QByteArray("9223372036854775807") << QByteArray("32")
                                      << QByteArray("2147483647") << qint64(9223372036854775807LL) << 32
                                      << qint64(2147483647);
    QTest::newRow("zero") << QByteArray("0") << QByteArray("0") << QByteArray("0") << db << df << dq;
    QTest::newRow("negative") << QByteArray("-1000") << QByteArray("-3") << QByteArray("-5000") << db << df << dq;
    QTest::newRow("just out of range") << QByteArray("0") << QByteArray("33") << QByteArray("999") << db << df << dq;
    QTest::newRow("queue 500 keeps default") << QByteArray() << QByteArray() << QByteArray("500") << db << df << dq;
    QTest::newRow("beyond 32 bits") << QByteArray("4294967296") << QByteArray("4294967297")
                                    << QByteArray("2147483648") << qint64(4294967296LL) << df << dq;
    QTest::newRow("beyond 64 bits") << QByteArray("9223372036854775808") << QByteArray() << QByteArray() << db << df
                                    << dq;
    QTest::newRow("garbage") << QByteArray("big") << QByteArray("five") << QByteArray("lots") << db << df << dq;
    QTest::newRow("trailing garbage") << QByteArray("1000k") << QByteArray("3x") << QByteArray("2000 lines") << db
                                      << df << dq;
    QTest::newRow("hexadecimal") << QByteArray("0x400") << QByteArray("0x3") << QByteArray("0x1000") << db << df
                                 << dq;
    QTest::newRow("fraction") << QByteArray("1.5") << QByteArray("2.0") << QByteArray("1e4") << db << df << dq;
    QTest::newRow("surrounding blanks") << QByteArray(" 4096 ") << QByteArray(" 7") << QByteArray("3000 ")
                                        << qint64(4096) << 7 << qint64(3000);
}

void TestLogLimits::limits()
{
    QFETCH(QByteArray, maxBytes);
    QFETCH(QByteArray, maxFiles);
    QFETCH(QByteArray, queueMax);
    const LogLimits l = LogLimits::fromValues(maxBytes, maxFiles, queueMax);
    QTEST(l.maxBytes, "expectedBytes");
    QTEST(l.maxFiles, "expectedFiles");
    QTEST(l.queueMax, "expectedQueue");
}

void TestLogLimits::ffmpegLevel_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("expected");

    QTest::newRow("unset") << QByteArray() << 24;
    QTest::newRow("quiet") << QByteArray("-8") << -8;
    QTest::newRow("debug") << QByteArray("48") << 48;
    QTest::newRow("any int") << QByteArray("1000") << 1000;
    QTest::newRow("garbage") << QByteArray("verbose") << 24;
    QTest::newRow("trailing garbage") << QByteArray("32 ") << 32;
    QTest::newRow("beyond int") << QByteArray("2147483648") << 24;
}

void TestLogLimits::ffmpegLevel()
{
    QFETCH(QByteArray, value);
    QTEST(LogLimits::ffmpegLogLevelFromValue(value), "expected");
}

QUORB_TEST_MAIN(TestLogLimits)
#include "tst_loglimits.moc"
