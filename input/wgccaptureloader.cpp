#include "input/wgccaptureloader.h"

#include <QCoreApplication>
#include <QFileInfo>

WgcCaptureLoader::WgcCaptureLoader(const QString& applicationDir) : applicationDir(applicationDir) {}

QStringList WgcCaptureLoader::candidates(const QString& applicationDir)
{
    const QString name = QString::fromLatin1(kWgcCaptureFileName);
    return {applicationDir + QLatin1Char('/') + name, applicationDir + QStringLiteral("/../") + name};
}

bool WgcCaptureLoader::load()
{
    if (library.isLoaded() && fns.create)
        return true;
    for (const QString& candidate : candidates(applicationDir)) {
        if (!QFileInfo::exists(candidate))
            continue;
        library.setFileName(QFileInfo(candidate).absoluteFilePath());
        if (!library.load()) {
            loadError = library.errorString();
            continue;
        }
        WgcCaptureFunctions found;
        found.create = reinterpret_cast<WgcCreateFn>(library.resolve("wgc_capture_create"));
        found.createMonitor = reinterpret_cast<WgcCreateMonitorFn>(library.resolve("wgc_capture_create_monitor"));
        found.destroy = reinterpret_cast<WgcDestroyFn>(library.resolve("wgc_capture_destroy"));
        found.copyBgra = reinterpret_cast<WgcCopyBgraFn>(library.resolve("wgc_capture_copy_bgra"));
        if (found.create && found.destroy && found.copyBgra) {
            fns = found;
            loadError.clear();
            return true;
        }
        loadError = QStringLiteral("%1 导出符号不完整").arg(QLatin1String(kWgcCaptureFileName));
        library.unload();
        fns = {};
        return false;
    }
    if (loadError.isEmpty()) {
        loadError = QStringLiteral("未找到 %1（请用 CMake 构建后放到程序目录或其上一级目录）")
                        .arg(QLatin1String(kWgcCaptureFileName));
    }
    return false;
}

bool WgcCaptureLoader::ensureLoaded(QString* error)
{
    std::lock_guard lock(mutex);
    if (loadAttempted && library.isLoaded() && fns.create) {
        if (error)
            error->clear();
        return true;
    }
    loadAttempted = true;
    loadError.clear();
    if (load())
        return true;
    if (error)
        *error = loadError;
    return false;
}

WgcCaptureFunctions WgcCaptureLoader::functions() const
{
    std::lock_guard lock(mutex);
    return fns;
}

WgcCaptureLoader& wgcCaptureLoader()
{
    // Never destroyed: the library stays loaded while capture threads may
    // still run at exit.
    static WgcCaptureLoader* loader = new WgcCaptureLoader(QCoreApplication::applicationDirPath());
    return *loader;
}

bool ensureWgcCaptureLoaded(QString* error)
{
    return wgcCaptureLoader().ensureLoaded(error);
}
