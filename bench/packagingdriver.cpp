// Drives the tool's packaging path headless and reports what a user would
// feel: how long a run takes, how much memory the process needs, how long the
// GUI thread is ever unresponsive, and how quickly the window appears.
//
//   packagingdriver package --folder DIR --name NAME --item INDEX:PATH... [--timeout S]
//       Creates the real MainWindow, fills the form, presses "开始打包" and
//       waits for the result box. Exit code 0 only for "打包成功" with the
//       archive in place.
//   packagingdriver extract --archive PATH --folder DIR
//       Times the library's extractPackage() alone.
//
// Each prints one JSON object on its last line of standard output.

#include "appversion.h"
#include "mainwindow.h"
#include "packageextractor.h"
#include "upgradeitemwidget.h"

#include <QApplication>
#include <QComboBox>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int heartbeatMs = 10;

// A field of /proc/self/status ("VmRSS", "VmHWM") in MiB.
double procStatusMiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

// Lowers the process's recorded peak RSS to its current RSS, so that the
// peak read afterwards belongs to what ran in between.
void resetPeakRss()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

// CPU time of the whole process (every thread) so far.
double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

double seconds(const QElapsedTimer &clock)
{
    return clock.nsecsElapsed() / 1e9;
}

void printJson(const QJsonObject &object)
{
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

QString argValue(const QStringList &args, const QString &name)
{
    const int at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : QString();
}

class PaintWatcher : public QObject
{
public:
    bool painted = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            painted = true;
        return QObject::eventFilter(watched, event);
    }
};

// Everything the run is watched for, sampled on the GUI thread every 10 ms.
// The largest gaps between two samples are the longest stalls of that thread;
// the thread's own CPU time over a gap tells whether it was busy (work on the
// GUI thread) or waiting (another process had the core, or a blocking wait).
class RunProbe : public QObject
{
public:
    QString archivePath;
    QString manifestPath;
    double archiveSeenS = -1;
    double manifestSeenS = -1;
    double boxS = -1;
    struct Stall
    {
        double seconds;
        double startedAt;
        double busySeconds;
        bool operator>(const Stall &other) const { return seconds > other.seconds; }
    };
    QVector<Stall> stalls; // the longest, longest first
    QString boxTitle;
    QString boxText;

    void start()
    {
        clock.start();
        lastTickNs = 0;
        lastThreadCpu = threadCpuSeconds();
        connect(&heartbeat, &QTimer::timeout, this, [this] { tick(); });
        heartbeat.setTimerType(Qt::PreciseTimer);
        heartbeat.start(heartbeatMs);
    }
    double elapsed() const { return seconds(clock); }

private:
    void tick()
    {
        const qint64 now = clock.nsecsElapsed();
        const double threadCpu = threadCpuSeconds();
        stalls.append({(now - lastTickNs) / 1e9, lastTickNs / 1e9, threadCpu - lastThreadCpu});
        lastThreadCpu = threadCpu;
        std::sort(stalls.begin(), stalls.end(), std::greater<>());
        stalls.resize(std::min(stalls.size(), 3));
        lastTickNs = now;
        const double at = now / 1e9;
        if (manifestSeenS < 0 && QFileInfo::exists(manifestPath))
            manifestSeenS = at;
        if (archiveSeenS < 0 && QFileInfo::exists(archivePath))
            archiveSeenS = at;
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || boxS >= 0)
            return;
        boxS = at;
        boxTitle = box->windowTitle();
        boxText = box->text();
        heartbeat.stop();
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->reject();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }

    QElapsedTimer clock;
    QTimer heartbeat;
    qint64 lastTickNs = 0;
    double lastThreadCpu = 0;
};

bool fillForm(MainWindow &window, const QString &folder, const QString &name,
              const QStringList &items)
{
    auto *central = window.findChild<QWidget *>(QStringLiteral("centralwidget"));
    auto *list = window.findChild<QListWidget *>(QStringLiteral("listWgtUpgrade"));
    if (!central || !list)
        return false;
    auto *folderEdit = central->findChild<QLineEdit *>(QStringLiteral("lineEditPath"),
                                                       Qt::FindDirectChildrenOnly);
    auto *nameEdit = central->findChild<QLineEdit *>(QStringLiteral("lineEditName"),
                                                     Qt::FindDirectChildrenOnly);
    if (!folderEdit || !nameEdit)
        return false;
    folderEdit->setText(folder);
    nameEdit->setText(name);

    // The window starts with one item row above the row holding the add button.
    while (list->count() - 1 < items.size()) {
        QWidget *addRow = list->itemWidget(list->item(list->count() - 1));
        auto *add = addRow ? addRow->findChild<QPushButton *>() : nullptr;
        if (!add)
            return false;
        add->click();
    }
    for (int i = 0; i < items.size(); ++i) {
        auto *row = qobject_cast<UpgradeItemWidget *>(list->itemWidget(list->item(i)));
        const int colon = items.at(i).indexOf(QLatin1Char(':'));
        if (!row || colon < 0)
            return false;
        auto *type = row->findChild<QComboBox *>(QStringLiteral("cmbType"));
        auto *path = row->findChild<QLineEdit *>(QStringLiteral("lineEditPath"));
        if (!type || !path)
            return false;
        type->setCurrentIndex(items.at(i).left(colon).toInt());
        path->setText(items.at(i).mid(colon + 1));
    }
    return true;
}

int runPackaging(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QElapsedTimer appClock;
    appClock.start();
    QApplication app(argc, argv);
    const double appInitS = seconds(appClock);

    const QStringList args = app.arguments();
    const QString folder = argValue(args, QStringLiteral("--folder"));
    const QString name = argValue(args, QStringLiteral("--name"));
    const double timeoutS = argValue(args, QStringLiteral("--timeout")).toDouble();
    QStringList items;
    for (int i = 0; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--item"))
            items.append(args.at(i + 1));
    }

    QJsonObject report {{"mode", "package"}, {"app_init_s", appInitS}};
    QElapsedTimer windowClock;
    windowClock.start();
    MainWindow window;
    report["construct_s"] = seconds(windowClock);
    window.setWindowTitle(applicationTitle());
    PaintWatcher paint;
    window.installEventFilter(&paint);
    window.show();
    app.processEvents();
    report["show_returned_s"] = seconds(windowClock);
    while (!paint.painted && windowClock.elapsed() < 5000) {
        app.processEvents();
        if (!paint.painted)
            QThread::usleep(200);
    }
    report["first_paint_s"] = paint.painted ? seconds(windowClock) : -1.0;

    if (!fillForm(window, folder, name, items)) {
        report["error"] = "form not found or bad --item";
        printJson(report);
        return 2;
    }
    app.processEvents();

    RunProbe probe;
    probe.archivePath = folder + QLatin1Char('/') + name + QStringLiteral(".zip");
    probe.manifestPath = folder + QStringLiteral("/upgrade_package_config.json");
    QFile::remove(probe.archivePath);
    report["baseline_rss_mib"] = procStatusMiB("VmRSS");
    report["startup_peak_rss_mib"] = procStatusMiB("VmHWM");
    resetPeakRss();

    auto *start = window.findChild<QPushButton *>(QStringLiteral("btnStartPackaging"));
    double cpuAtClick = 0;
    QTimer::singleShot(0, &window, [&] {
        cpuAtClick = cpuSeconds();
        probe.start();
        start->click();
    });
    if (timeoutS > 0) {
        // A watchdog of its own, since a blocked GUI thread would run no timer.
        std::thread([timeoutS] {
            std::this_thread::sleep_for(std::chrono::duration<double>(timeoutS));
            printJson({{"mode", "package"}, {"ok", false}, {"error", "timed out"}});
            ::_exit(3);
        }).detach();
    }
    app.exec();

    const double runPeak = procStatusMiB("VmHWM");
    report["run_peak_rss_mib"] = runPeak;
    report["peak_rss_mib"] = qMax(runPeak, report["startup_peak_rss_mib"].toDouble());
    report["box_s"] = probe.boxS;
    report["archive_s"] = probe.archiveSeenS;
    report["manifest_s"] = probe.manifestSeenS;
    report["run_cpu_s"] = cpuSeconds() - cpuAtClick;
    QJsonArray stalls;
    for (const auto &stall : probe.stalls)
        stalls.append(QJsonArray {stall.seconds, stall.startedAt, stall.busySeconds});
    report["stalls"] = stalls; // [seconds, started at, GUI thread CPU seconds]
    report["max_stall_s"] = probe.stalls.value(0).seconds;
    report["max_stall_at_s"] = probe.stalls.value(0).startedAt;
    report["box_title"] = probe.boxTitle;
    report["box_text"] = probe.boxText;
    const bool archived = QFileInfo(probe.archivePath).isFile();
    report["archive_bytes"] = archived ? double(QFileInfo(probe.archivePath).size()) : -1.0;
    const bool ok = probe.boxTitle == QStringLiteral("打包成功") && archived;
    report["ok"] = ok;
    printJson(report);
    return ok ? 0 : 1;
}

int runExtraction(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString archive = argValue(args, QStringLiteral("--archive"));
    const QString folder = argValue(args, QStringLiteral("--folder"));

    const double baseline = procStatusMiB("VmRSS");
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = cpuSeconds();
    const bool ok = extractPackage(archive, folder);
    const double elapsed = seconds(clock);
    const double cpu = cpuSeconds() - cpuBefore;

    qint64 bytes = 0;
    int files = 0;
    for (QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); ++files)
        bytes += QFileInfo(it.next()).size();
    printJson({{"mode", "extract"},
               {"ok", ok},
               {"seconds", elapsed},
               {"cpu_s", cpu},
               {"files", files},
               {"bytes", double(bytes)},
               {"baseline_rss_mib", baseline},
               {"peak_rss_mib", procStatusMiB("VmHWM")}});
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("package"))
        return runPackaging(argc, argv);
    if (mode == QLatin1String("extract"))
        return runExtraction(argc, argv);
    std::fprintf(stderr,
                 "usage: %s package --folder DIR --name NAME --item INDEX:PATH... [--timeout S]\n"
                 "       %s extract --archive PATH --folder DIR\n",
                 argv[0], argv[0]);
    return 64;
}
