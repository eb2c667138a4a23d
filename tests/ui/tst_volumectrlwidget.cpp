#include "support/testsupport.h"
#include "ui/ledslider.h"
#include "ui/volumectrlwidget.h"

#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>

namespace {

void sendMouse(QWidget* w, QEvent::Type type, QPointF pos, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent e(type, pos, w->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

void press(QWidget* w, QPointF pos, Qt::MouseButton button = Qt::LeftButton)
{
    sendMouse(w, QEvent::MouseButtonPress, pos, button, button);
    sendMouse(w, QEvent::MouseButtonRelease, pos, button, Qt::NoButton);
}

LedSlider* sliderWithToolTip(VolumeCtrlWidget& panel, const QString& tip)
{
    for (LedSlider* s : panel.findChildren<LedSlider*>()) {
        if (s->toolTip() == tip)
            return s;
    }
    return nullptr;
}

QLabel* labelWithText(VolumeCtrlWidget& panel, const QString& text, QWidget* near)
{
    // The value label sits in the slider's own column, just above it.
    QLabel* best = nullptr;
    for (QLabel* l : panel.findChildren<QLabel*>()) {
        if (l->text() != text || l->parentWidget() != near->parentWidget())
            continue;
        if (!best || qAbs(l->geometry().center().x() - near->geometry().center().x())
                         < qAbs(best->geometry().center().x() - near->geometry().center().x()))
            best = l;
    }
    return best;
}

} // namespace

class TestVolumeCtrlWidget : public QObject {
    Q_OBJECT
private slots:
    void valueAt_data();
    void valueAt();
    void pressSetsValue_data();
    void pressSetsValue();
    void movesNeedTheLeftButton();
    void setValueEmitsNothing();
    void zeroHeightIgnoresPointer();
    void segmentsByPixel_data();
    void segmentsByPixel();
    void panelStartsAndAnswers();
    void panelForwardsSliders();
    void panelTexts_data();
    void panelTexts();
};

void TestVolumeCtrlWidget::valueAt_data()
{
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("value");
    QTest::newRow("top") << 0 << 200 << 100;
    QTest::newRow("y 10") << 10 << 200 << 95;
    QTest::newRow("y 11 truncates twice") << 11 << 200 << 90;
    QTest::newRow("last row") << 199 << 200 << 0;
    QTest::newRow("above") << -40 << 200 << 100;
    QTest::newRow("below") << 260 << 200 << 0;
    QTest::newRow("odd height") << 33 << 77 << 55;
    QTest::newRow("no height") << 0 << 0 << -1;
    QTest::newRow("negative height") << 5 << -10 << -1;
}

void TestVolumeCtrlWidget::valueAt()
{
    QFETCH(int, y);
    QFETCH(int, height);
    QFETCH(int, value);
    const std::optional<int> v = ledSliderValueAt(y, height);
    QCOMPARE(v.value_or(-1), value);
}

void TestVolumeCtrlWidget::pressSetsValue_data()
{
    QTest::addColumn<qreal>("y");
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("value");
    QTest::newRow("y 0") << 0.0 << int(Qt::LeftButton) << 100;
    QTest::newRow("y 10") << 10.0 << int(Qt::LeftButton) << 95;
    QTest::newRow("y 10.4 rounds down") << 10.4 << int(Qt::LeftButton) << 95;
    QTest::newRow("y 10.5 rounds up") << 10.5 << int(Qt::LeftButton) << 90;
    QTest::newRow("y 11") << 11.0 << int(Qt::LeftButton) << 90;
    QTest::newRow("y 199") << 199.0 << int(Qt::LeftButton) << 0;
    QTest::newRow("above") << -20.0 << int(Qt::LeftButton) << 100;
    QTest::newRow("below") << 230.0 << int(Qt::LeftButton) << 0;
    QTest::newRow("right button") << 100.0 << int(Qt::RightButton) << 50;
}

void TestVolumeCtrlWidget::pressSetsValue()
{
    QFETCH(qreal, y);
    QFETCH(int, button);
    QFETCH(int, value);
    LedSlider slider;
    slider.resize(25, 200);
    QCOMPARE(slider.height(), 200);
    QSignalSpy changed(&slider, &LedSlider::valueChanged);
    press(&slider, QPointF(12, y), Qt::MouseButton(button));
    QCOMPARE(slider.value(), value);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toInt(), value);
}

void TestVolumeCtrlWidget::movesNeedTheLeftButton()
{
    LedSlider slider;
    slider.resize(25, 200);
    QSignalSpy changed(&slider, &LedSlider::valueChanged);
    sendMouse(&slider, QEvent::MouseMove, QPointF(12, 20), Qt::NoButton, Qt::NoButton);
    sendMouse(&slider, QEvent::MouseMove, QPointF(12, 20), Qt::NoButton, Qt::RightButton);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(slider.value(), 50);

    sendMouse(&slider, QEvent::MouseButtonPress, QPointF(12, 100), Qt::LeftButton, Qt::LeftButton);
    sendMouse(&slider, QEvent::MouseMove, QPointF(12, -50), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(slider.value(), 100);
    sendMouse(&slider, QEvent::MouseMove, QPointF(30, 400), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(slider.value(), 0);
    sendMouse(&slider, QEvent::MouseMove, QPointF(12, 400), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(slider.value(), 0);
    QList<int> values;
    for (const QList<QVariant>& args : changed)
        values << args.at(0).toInt();
    // Every left-button move emits, also when the value stays.
    QCOMPARE(values, (QList<int>{50, 100, 0, 0}));
}

void TestVolumeCtrlWidget::setValueEmitsNothing()
{
    LedSlider slider;
    QSignalSpy changed(&slider, &LedSlider::valueChanged);
    slider.setValue(85);
    slider.setValue(85);
    QCOMPARE(slider.value(), 85);
    QCOMPARE(changed.count(), 0);
}

void TestVolumeCtrlWidget::zeroHeightIgnoresPointer()
{
    LedSlider slider;
    slider.setMinimumHeight(0);
    slider.setFixedHeight(0);
    QCOMPARE(slider.height(), 0);
    QSignalSpy changed(&slider, &LedSlider::valueChanged);
    press(&slider, QPointF(12, 0));
    sendMouse(&slider, QEvent::MouseMove, QPointF(12, 5), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(slider.value(), 50);
    slider.grab(); // paints without dividing by the height
}

void TestVolumeCtrlWidget::segmentsByPixel_data()
{
    // One letter per segment from the bottom: G green, Y yellow, R red, . unlit.
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("segments");
    QTest::newRow("20") << 20 << "GGGG................";
    QTest::newRow("57: eleven, all green") << 57 << "GGGGGGGGGGG.........";
    QTest::newRow("60: the twelfth is yellow") << 60 << "GGGGGGGGGGGY........";
    QTest::newRow("100") << 100 << "GGGGGGGGGGGYYYYYRRRR";
    QTest::newRow("0") << 0 << "....................";
}

void TestVolumeCtrlWidget::segmentsByPixel()
{
    QFETCH(int, value);
    QFETCH(QString, segments);
    LedSlider slider;
    slider.resize(25, 200);
    slider.setValue(value);
    const QImage shot = slider.grab().toImage();
    QCOMPARE(shot.size(), QSize(25, 200));
    const QHash<QChar, QColor> colours{{'G', QColor(0, 255, 0)},
                                       {'Y', QColor(255, 255, 0)},
                                       {'R', QColor(255, 0, 0)},
                                       {'.', QColor(50, 50, 50)}};
    const QColor gap(10, 10, 10);
    for (int i = 0; i < 20; ++i) {
        // Segment i spans rows 190 - 10i .. 198 - 10i; the row below is a gap.
        const int top = 190 - 10 * i;
        for (int y : {top, top + 8}) {
            for (int x : {0, 24})
                QCOMPARE(shot.pixelColor(x, y), colours.value(segments.at(i)));
        }
        QCOMPARE(shot.pixelColor(12, top + 9), gap);
    }
}

void TestVolumeCtrlWidget::panelStartsAndAnswers()
{
    VolumeCtrlWidget panel;
    QCOMPARE(panel.objectName(), QString("audioMixerPanel"));
    QCOMPARE(panel.previewVolume(), 50);
    for (int c = 0; c < 4; ++c)
        QCOMPARE(panel.inputVolume(c), 20);
    QCOMPARE(panel.inputVolume(4), 100);
    QCOMPARE(panel.inputVolume(-1), 100);
    QCOMPARE(panel.findChildren<LedSlider*>().size(), 5);
    QCOMPARE(panel.findChildren<QLabel*>().size(), 10);
    int twenty = 0, fifty = 0;
    for (const QLabel* l : panel.findChildren<QLabel*>()) {
        twenty += l->text() == "20%";
        fifty += l->text() == "50%";
    }
    QCOMPARE(twenty, 4);
    QCOMPARE(fifty, 1);
}

void TestVolumeCtrlWidget::panelForwardsSliders()
{
    VolumeCtrlWidget panel;
    panel.resize(600, 320);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QSignalSpy inputs(&panel, &VolumeCtrlWidget::inputVolumeChanged);
    QSignalSpy monitor(&panel, &VolumeCtrlWidget::previewVolumeChanged);

    LedSlider* third = sliderWithToolTip(panel, "Overlay 3 program volume");
    QVERIFY(third);
    QLabel* thirdValue = labelWithText(panel, "20%", third);
    QVERIFY(thirdValue);
    const int h = third->height();
    const QPointF threeQuarters(12, h / 4.0);
    press(third, threeQuarters);
    press(third, threeQuarters);
    QCOMPARE(inputs.count(), 2);
    const int v = *ledSliderValueAt(int(std::lround(h / 4.0)), h);
    for (const QList<QVariant>& args : inputs) {
        QCOMPARE(args.at(0).toInt(), 2);
        QCOMPARE(args.at(1).toInt(), v);
    }
    QCOMPARE(panel.inputVolume(2), v);
    QCOMPARE(thirdValue->text(), QString("%1%").arg(v));
    QCOMPARE(panel.inputVolume(1), 20);
    QCOMPARE(monitor.count(), 0);

    LedSlider* out = sliderWithToolTip(panel, "Program output monitor volume");
    QVERIFY(out);
    QLabel* outValue = labelWithText(panel, "50%", out);
    QVERIFY(outValue);
    press(out, QPointF(12, 0));
    QCOMPARE(monitor.count(), 1);
    QCOMPARE(monitor.at(0).at(0).toInt(), 100);
    QCOMPARE(panel.previewVolume(), 100);
    QCOMPARE(outValue->text(), QString("100%"));
    QCOMPARE(inputs.count(), 2);
}

void TestVolumeCtrlWidget::panelTexts_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QStringList>("groups");
    QTest::addColumn<QString>("groupTip");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QStringList>("sliderTips");
    QTest::newRow("English") << false << QStringList{"Overlay", "Output"}
                             << "Volume of the four overlay video audio tracks in the program mix. Local overlay "
                                "monitoring is adjusted on each overlay strip."
                             << QStringList{"OL 1", "OL 2", "OL 3", "OL 4", "Output"}
                             << QStringList{"Overlay 1 program volume", "Overlay 2 program volume",
                                            "Overlay 3 program volume", "Overlay 4 program volume",
                                            "Program output monitor volume"};
    QTest::newRow("Chinese") << true << QStringList{"叠加", "输出"}
                             << "四路叠加视频解码音进入节目合成时的音量；各叠加本地监听请在叠加条上调节。"
                             << QStringList{"叠 1", "叠 2", "叠 3", "叠 4", "输出"}
                             << QStringList{"叠加 1 节目音量", "叠加 2 节目音量", "叠加 3 节目音量", "叠加 4 节目音量",
                                            "节目输出监听音量"};
}

void TestVolumeCtrlWidget::panelTexts()
{
    QFETCH(bool, chinese);
    QFETCH(QStringList, groups);
    QFETCH(QString, groupTip);
    QFETCH(QStringList, titles);
    QFETCH(QStringList, sliderTips);
    VolumeCtrlWidget panel;
    panel.setChineseUi(!chinese);
    panel.setChineseUi(chinese);
    QStringList groupTitles;
    for (const QGroupBox* g : panel.findChildren<QGroupBox*>())
        groupTitles << g->title();
    QCOMPARE(groupTitles, groups);
    QCOMPARE(panel.findChildren<QGroupBox*>().at(0)->toolTip(), groupTip);
    QStringList labels;
    for (const QLabel* l : panel.findChildren<QLabel*>()) {
        if (!l->text().endsWith('%'))
            labels << l->text();
    }
    QCOMPARE(labels, titles);
    QStringList tips;
    for (const LedSlider* s : panel.findChildren<LedSlider*>())
        tips << s->toolTip();
    QCOMPARE(tips, sliderTips);
}

QUORB_TEST_MAIN(TestVolumeCtrlWidget)
#include "tst_volumectrlwidget.moc"
