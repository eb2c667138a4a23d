// Main window: time from construction to the first paint, and the time of
// one language switch, with the application-wide translation filter in place
// and removed, in the same run. The filter converts the subtree of every
// widget that is shown or polished, so the difference is its cost.
//
//   ./build/bench/bench_mainwindow [rounds]
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.

#include "ui/mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

class PaintWatch : public QObject {
public:
    bool painted = false;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            painted = true;
        return false;
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Milliseconds from the start of construction to the first paint of the
// window; with `filter` false the window's filter is removed right after
// construction, before the event loop runs.
double constructionToFirstPaint(bool filter)
{
    QElapsedTimer timer;
    timer.start();
    auto window = std::make_unique<MainWindow>();
    if (!filter)
        qApp->removeEventFilter(window.get());
    PaintWatch watch;
    window->installEventFilter(&watch);
    while (!watch.painted && timer.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double ms = timer.nsecsElapsed() / 1e6;
    window->removeEventFilter(&watch);
    window.reset();
    QCoreApplication::processEvents();
    return ms;
}

// Milliseconds per language switch (there and back counts as two), with the
// events the switch causes delivered.
double languageSwitch(bool filter, int switches)
{
    MainWindow window;
    QCoreApplication::processEvents();
    if (!filter)
        qApp->removeEventFilter(&window);
    std::vector<double> samples;
    for (int i = 0; i < switches; ++i) {
        QElapsedTimer timer;
        timer.start();
        window.setUiLanguage(i % 2 == 0 ? MainWindow::kChinese : MainWindow::kEnglish);
        QCoreApplication::processEvents();
        samples.push_back(timer.nsecsElapsed() / 1e6);
    }
    return median(samples);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Settings and logs of the run stay out of the real home.
    QTemporaryDir home;
    for (const char* var : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qputenv(var, home.path().toLocal8Bit());
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    // One unmeasured window first: fonts, style and plugins load once.
    constructionToFirstPaint(true);

    std::vector<double> withFilter;
    std::vector<double> withoutFilter;
    for (int i = 0; i < rounds; ++i) {
        withFilter.push_back(constructionToFirstPaint(true));
        withoutFilter.push_back(constructionToFirstPaint(false));
    }
    const double paintOn = median(withFilter);
    const double paintOff = median(withoutFilter);
    const double switchOn = languageSwitch(true, rounds * 4);
    const double switchOff = languageSwitch(false, rounds * 4);

    std::printf("main window, %d rounds, median (platform %s)\n", rounds, qPrintable(QApplication::platformName()));
    std::printf("  construction to first paint: %8.1f ms with the translation filter, %8.1f ms without, ratio %.2f\n",
                paintOn, paintOff, paintOff > 0 ? paintOn / paintOff : 0.0);
    std::printf("  one language switch:         %8.2f ms with the translation filter, %8.2f ms without, ratio %.2f\n",
                switchOn, switchOff, switchOff > 0 ? switchOn / switchOff : 0.0);
    return 0;
}
