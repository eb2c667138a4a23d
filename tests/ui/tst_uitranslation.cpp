// The two-way conversion of static UI texts and how the stored language
// value reads.

#include "support/testsupport.h"
#include "ui/uitranslation.h"

class TestUiTranslation : public QObject {
    Q_OBJECT
private slots:
    void convertsText_data();
    void convertsText();
    void everyRowConvertsBothWaysToItsFirstPair();
    void conversionIsIdempotent();
    void storedLanguage_data();
    void storedLanguage();
};

void TestUiTranslation::convertsText_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    // Channel names.
    QTest::newRow("channel to Chinese") << true << "Channel 3" << "通道3";
    QTest::newRow("channel number trimmed") << true << "Channel  3 " << "通道3";
    QTest::newRow("channel leading zeros dropped") << true << "Channel 07" << "通道7";
    QTest::newRow("channel not a number") << true << "Channel x" << "Channel x";
    QTest::newRow("channel beyond int") << true << "Channel 99999999999" << "Channel 99999999999";
    QTest::newRow("channel prefix is case-sensitive") << true << "channel 3" << "channel 3";
    QTest::newRow("channel to English") << false << "通道2" << "Channel 2";
    QTest::newRow("channel with blank to English") << false << "通道 12" << "Channel 12";
    QTest::newRow("Chinese channel left alone in Chinese mode") << true << "通道2" << "通道2";
    QTest::newRow("English channel left alone in English mode") << false << "Channel 2" << "Channel 2";

    // Image counts, folders with counts, legacy folders.
    QTest::newRow("image count to Chinese") << true << "(12 images)" << "（12 张图片）";
    QTest::newRow("image count to English") << false << "（ 12 张图片）" << "(12 images)";
    QTest::newRow("folder count to Chinese") << true << "Intro (12 images)" << "Intro（12 张）";
    QTest::newRow("folder count to English, blanks inside") << false << "Intro（ 12 张）" << "Intro (12 images)";
    QTest::newRow("folder name takes all it can") << true << "A (1 images) (2 images)" << "A (1 images)（2 张）";
    QTest::newRow("legacy folder to Chinese") << true << "Old (legacy folder, no available image)"
                                              << "Old（旧版目录，无可用图片）";
    QTest::newRow("legacy folder to English") << false << "Old（旧版目录，无可用图片）"
                                              << "Old (legacy folder, no available image)";

    // Table rows: exact, case-sensitive, first row wins.
    QTest::newRow("Clear takes the earlier row") << true << "Clear" << "清除";
    QTest::newRow("清空 becomes Clear") << false << "清空" << "Clear";
    QTest::newRow("清除 becomes Clear") << false << "清除" << "Clear";
    QTest::newRow("drawing tip to English") << false << "颜色选择" << "Pick Color";
    QTest::newRow("drawing tip to Chinese") << true << "Pen" << "画笔";
    QTest::newRow("template row converts only verbatim") << true << "%1 (%2 images)" << "%1（%2 张）";
    QTest::newRow("filter text") << true << "JSON (*.json);;All Files (*)" << "JSON (*.json);;所有文件 (*)";
    QTest::newRow("leading blank matches nothing") << true << " Save" << " Save";
    QTest::newRow("lower case matches nothing") << true << "save" << "save";
    QTest::newRow("text with a row inside is not a row") << true << "Save file" << "Save file";
    QTest::newRow("unknown Chinese stays") << false << "未知文字" << "未知文字";

    // Nothing to convert.
    QTest::newRow("empty") << true << "" << "";
    QTest::newRow("blanks") << false << "   " << "   ";
    QTest::newRow("tab and newline") << true << "\t\n" << "\t\n";
}

void TestUiTranslation::convertsText()
{
    QFETCH(bool, chinese);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(uitranslation::translateUiText(text, chinese), expected);
}

void TestUiTranslation::everyRowConvertsBothWaysToItsFirstPair()
{
    const QList<uitranslation::UiTextPair>& table = uitranslation::uiTextTable();
    QCOMPARE(table.size(), 129);
    for (int i = 0; i < table.size(); ++i) {
        const uitranslation::UiTextPair& row = table[i];
        QString firstChinese;
        QString firstEnglish;
        for (const auto& other : table) {
            if (firstChinese.isNull() && other.english == row.english)
                firstChinese = other.chinese;
            if (firstEnglish.isNull() && other.chinese == row.chinese)
                firstEnglish = other.english;
        }
        // Rows whose text a pattern rule takes first are not reached verbatim.
        if (row.english.startsWith("Channel ") || row.english.contains(" images)")
            || row.english.contains("(legacy folder"))
            continue;
        QVERIFY2(uitranslation::translateUiText(row.english, true) == firstChinese, qPrintable(row.english));
        QVERIFY2(uitranslation::translateUiText(row.chinese, false) == firstEnglish, qPrintable(row.chinese));
    }
}

void TestUiTranslation::conversionIsIdempotent()
{
    // Widgets are converted on every Show and Polish: a second pass over a
    // converted text must not change it again.
    QStringList texts{"Channel 3", "通道4", "(3 images)", "（3 张图片）", "Intro (2 images)", "Intro（2 张）",
                      "X (legacy folder, no available image)", "Clear", "清空", "Plain text"};
    for (const auto& row : uitranslation::uiTextTable())
        texts << row.english << row.chinese;
    for (bool chinese : {true, false}) {
        for (const QString& text : texts) {
            const QString once = uitranslation::translateUiText(text, chinese);
            QVERIFY2(uitranslation::translateUiText(once, chinese) == once, qPrintable(text));
        }
    }
}

void TestUiTranslation::storedLanguage_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<bool>("chinese");
    QTest::newRow("zh") << "zh" << true;
    QTest::newRow("ZH") << "ZH" << true;
    QTest::newRow("Zh_CN") << "Zh_CN" << true;
    QTest::newRow("zh_cn") << "zh_cn" << true;
    QTest::newRow("en") << "en" << false;
    QTest::newRow("EN") << "EN" << false;
    QTest::newRow("fr") << "fr" << false;
    QTest::newRow("hyphen") << "zh-cn" << false;
    QTest::newRow("leading blank") << " zh" << false;
    QTest::newRow("empty") << "" << false;
}

void TestUiTranslation::storedLanguage()
{
    QFETCH(QString, stored);
    QFETCH(bool, chinese);
    QCOMPARE(uitranslation::storedLanguageIsChinese(stored), chinese);
}

QUORB_TEST_MAIN(TestUiTranslation)
#include "tst_uitranslation.moc"
