// Drives the tool's packaging path headless and reports what a user would
// feel: how long a run takes, how much memory the process needs, how long the
// GUI thread is ever unresponsive, and how quickly the window appears.
//
//   packagingdriver package --folder DIR --name NAME --item INDEX:PATH... [--timeout S]
//                           [--cancel-after S]
//       Creates the real MainWindow, fills the form, presses "开始打包" and
//       waits for the result box. Exit code 0 only for "打包成功" with the
//       archive in place.
//       With --cancel-after, presses the progress dialog's "取消" S seconds
//       after the start, answers "是" and waits until the form is unlocked:
//       the run has ended. Exit code 0 only when it ended with no archive and
//       nothing left in DIR; cancel_s is the time from "是" to the unlock.
//       The progress dialog is watched as the user sees it: the window
//       updates it from the worker's byte count every 100 ms.
//   packagingdriver merge --archive PACKAGE --output PATH
//       The core alone, no window: screens PACKAGE as a combined package,
//       merges its items and writes them to PATH, timing screening and
//       writing apart.
//
// Each prints one JSON object on its last line of standard output.

#include "appversion.h"
#include "combinedpackage.h"
#include "mainwindow.h"
#include "packagewriter.h"
#include "packagingrun.h"
#include "runcontrol.h"
#include "upgradeitemwidget.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
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

// Seconds the calling thread has spent runnable but waiting for a core, from
// the scheduler's statistics (0 where the kernel keeps none).
double threadQueuedSeconds()
{
    const int fd = ::open("/proc/thread-self/schedstat", O_RDONLY);
    if (fd < 0)
        return 0;
    char text[96] = {};
    const ssize_t got = ::read(fd, text, sizeof(text) - 1);
    ::close(fd);
    unsigned long long onCpu = 0, queued = 0;
    if (got <= 0 || std::sscanf(text, "%llu %llu", &onCpu, &queued) != 2)
        return 0;
    return queued / 1e9;
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
// GUI thread) or waiting, and the scheduler's run-queue time how much of the
// wait was for a core that other threads or processes had.
// The progress dialog's value and label are sampled too, which shows that
// the stalls were measured with progress reporting running.
class RunProbe : public QObject
{
public:
    QString archivePath;
    QProgressDialog *progress = nullptr;
    double archiveSeenS = -1;
    double firstItemS = -1; // the label first names an item: writing has begun
    double boxS = -1;
    struct Stall
    {
        double seconds;
        double startedAt;
        double busySeconds;
        double queuedSeconds;
        bool operator>(const Stall &other) const { return seconds > other.seconds; }
    };
    QVector<Stall> stalls; // the longest, longest first
    Stall longestUnqueued {0, 0, 0, 0}; // the longest less its wait for a core
    int progressChanges = 0; // times the value was seen to change
    int progressLast = 0; // the value last seen before the result box
    bool progressWentBack = false;
    int labelChanges = 0;
    QString boxTitle;
    QString boxText;
    QString boxInformative;
    QStringList boxButtons;
    // Cancel mode: the run is cancelled, and the time until it has ended taken.
    bool cancelRun = false;
    QWidget *form = nullptr; // locked while a run is active
    double cancelPressedS = -1; // "取消" on the progress dialog
    double cancelConfirmedS = -1; // "是" in the question that follows
    double stoppedS = -1; // the form unlocked again

    void start()
    {
        clock.start();
        lastTickNs = 0;
        lastThreadCpu = threadCpuSeconds();
        lastQueued = threadQueuedSeconds();
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
        const double queued = threadQueuedSeconds();
        const Stall stall {(now - lastTickNs) / 1e9, lastTickNs / 1e9, threadCpu - lastThreadCpu,
                           queued - lastQueued};
        stalls.append(stall);
        if (stall.seconds - stall.queuedSeconds
            > longestUnqueued.seconds - longestUnqueued.queuedSeconds)
            longestUnqueued = stall;
        lastThreadCpu = threadCpu;
        lastQueued = queued;
        std::sort(stalls.begin(), stalls.end(), std::greater<>());
        stalls.resize(std::min(stalls.size(), 3));
        lastTickNs = now;
        const double at = now / 1e9;
        if (archiveSeenS < 0 && QFileInfo::exists(archivePath))
            archiveSeenS = at;
        sampleProgress(at);
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (cancelConfirmedS >= 0 && stoppedS < 0 && !box && form->isEnabled()) {
            stoppedS = at;
            heartbeat.stop();
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
            return;
        }
        if (!box || boxS >= 0)
            return;
        if (cancelRun && cancelConfirmedS < 0 && box->button(QMessageBox::Yes)) {
            cancelConfirmedS = at;
            box->button(QMessageBox::Yes)->click();
            return;
        }
        boxS = at;
        boxTitle = box->windowTitle();
        boxText = box->text();
        boxInformative = box->informativeText();
        for (QAbstractButton *button : box->buttons())
            boxButtons.append(button->text());
        heartbeat.stop();
        // OK only: the success box also offers to open the folder, which
        // must not start a file manager here. A question gets its "no".
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else if (QAbstractButton *no = box->button(QMessageBox::No))
            no->click();
        else
            box->reject();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }

    void sampleProgress(double at)
    {
        if (!progress || !progress->isVisible())
            return;
        const int value = progress->value();
        if (value >= 0 && value != progressLast) {
            progressWentBack = progressWentBack || value < progressLast;
            progressLast = value;
            ++progressChanges;
        }
        const QString label = progress->labelText();
        if (label != lastLabel) {
            lastLabel = label;
            ++labelChanges;
        }
        if (firstItemS < 0 && label.contains(QLatin1Char('\n')))
            firstItemS = at;
    }

    QElapsedTimer clock;
    QTimer heartbeat;
    qint64 lastTickNs = 0;
    double lastThreadCpu = 0;
    double lastQueued = 0;
    QString lastLabel;
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
        auto *add
            = addRow ? addRow->findChild<QPushButton *>(QStringLiteral("btnAddItem")) : nullptr;
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
    // What the window remembers between launches goes to a folder of this
    // run's own, not into the user's settings.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QElapsedTimer appClock;
    appClock.start();
    QApplication app(argc, argv);
    const double appInitS = seconds(appClock);

    const QStringList args = app.arguments();
    const QString folder = argValue(args, QStringLiteral("--folder"));
    const QString name = argValue(args, QStringLiteral("--name"));
    const double timeoutS = argValue(args, QStringLiteral("--timeout")).toDouble();
    const QString cancelAfter = argValue(args, QStringLiteral("--cancel-after"));
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
    probe.progress = window.findChild<QProgressDialog *>();
    if (!probe.progress) {
        report["error"] = "progress dialog not found";
        printJson(report);
        return 2;
    }
    QFile::remove(probe.archivePath);
    probe.cancelRun = !cancelAfter.isEmpty();
    probe.form = window.centralWidget();
    report["baseline_rss_mib"] = procStatusMiB("VmRSS");
    report["startup_peak_rss_mib"] = procStatusMiB("VmHWM");
    resetPeakRss();

    auto *start = window.findChild<QPushButton *>(QStringLiteral("btnStartPackaging"));
    double cpuAtClick = 0;
    QTimer::singleShot(0, &window, [&] {
        cpuAtClick = cpuSeconds();
        probe.start();
        start->click();
        if (!probe.cancelRun)
            return;
        QTimer::singleShot(int(cancelAfter.toDouble() * 1000), &window, [&] {
            auto *cancel = probe.progress->findChild<QPushButton *>();
            if (probe.boxS >= 0 || !cancel || !probe.progress->isVisible())
                return; // the run ended first
            probe.cancelPressedS = probe.elapsed();
            cancel->click(); // asks "确定要取消打包吗？" in a box of its own
        });
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
    report["first_item_s"] = probe.firstItemS;
    report["progress_changes"] = probe.progressChanges;
    report["progress_last"] = probe.progressLast;
    report["progress_went_back"] = probe.progressWentBack;
    report["label_changes"] = probe.labelChanges;
    report["run_cpu_s"] = cpuSeconds() - cpuAtClick;
    QJsonArray stalls;
    for (const auto &stall : probe.stalls)
        stalls.append(
            QJsonArray {stall.seconds, stall.startedAt, stall.busySeconds, stall.queuedSeconds});
    // [seconds, started at, GUI thread CPU seconds, seconds queued for a core]
    report["stalls"] = stalls;
    const RunProbe::Stall &unqueued = probe.longestUnqueued;
    report["longest_unqueued_stall"] = QJsonArray {unqueued.seconds, unqueued.startedAt,
                                                   unqueued.busySeconds, unqueued.queuedSeconds};
    report["max_stall_s"] = probe.stalls.value(0).seconds;
    report["max_stall_at_s"] = probe.stalls.value(0).startedAt;
    report["box_title"] = probe.boxTitle;
    report["box_text"] = probe.boxText;
    report["box_informative"] = probe.boxInformative;
    report["box_buttons"] = QJsonArray::fromStringList(probe.boxButtons);
    const bool archived = QFileInfo(probe.archivePath).isFile();
    report["archive_bytes"] = archived ? double(QFileInfo(probe.archivePath).size()) : -1.0;
    bool ok = probe.boxTitle == QStringLiteral("打包成功") && archived;
    if (probe.cancelRun) {
        // Nothing of the cancelled run stays: no archive, no temporary file.
        const QStringList left = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot
                                                        | QDir::Hidden | QDir::System);
        report["cancel_pressed_s"] = probe.cancelPressedS;
        report["cancel_confirmed_s"] = probe.cancelConfirmedS;
        report["cancel_stopped_s"] = probe.stoppedS;
        report["cancel_s"] = probe.stoppedS >= 0 ? probe.stoppedS - probe.cancelConfirmedS : -1.0;
        report["cancel_left"] = QJsonArray::fromStringList(left);
        // The run ended before the cancel took effect: the window then keeps
        // the complete package and reports success.
        report["cancel_too_late"]
            = probe.cancelPressedS < 0 || probe.boxTitle == QStringLiteral("打包成功");
        ok = probe.stoppedS >= 0 && left.isEmpty();
    }
    report["ok"] = ok;
    printJson(report);
    return ok ? 0 : 1;
}

int runMerge(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString package = argValue(args, QStringLiteral("--archive"));
    const QString output = argValue(args, QStringLiteral("--output"));

    QJsonObject report {{"mode", "merge"}, {"baseline_rss_mib", procStatusMiB("VmRSS")}};
    resetPeakRss();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const PackageScreening screening = screenCombinedPackage(package);
    PackageFailure failure = firstProblem(screening);
    PackageItems items;
    if (!failure.failed())
        failure = mergeCombinedPackage(screening.package, &items);
    const double screenS = seconds(clock);
    RunControl control;
    // The writer writes into a folder that exists, as the window's checks
    // make sure of.
    QDir().mkpath(QFileInfo(output).absolutePath());
    // A package of an earlier round is replaced, as the user agreed to.
    WriteOptions options;
    options.replaceable = FileIdentity::at(output);
    if (!failure.failed())
        failure = writePackage(output, items, &control, options);
    const double totalS = seconds(clock);

    report["ok"] = !failure.failed();
    report["failure_kind"] = int(failure.kind);
    report["failure_reason"] = int(failure.reason);
    report["failure_path"] = failure.path;
    report["failure_detail"] = failure.detail;
    report["items"] = items.size();
    report["screen_s"] = screenS;
    report["write_s"] = totalS - screenS;
    report["seconds"] = totalS;
    report["cpu_s"] = cpuSeconds() - cpuBefore;
    report["bytes_done"] = double(control.bytesDone());
    report["bytes_total"] = double(control.bytesTotal());
    report["peak_rss_mib"] = procStatusMiB("VmHWM");
    printJson(report);
    return failure.failed() ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("package"))
        return runPackaging(argc, argv);
    if (mode == QLatin1String("merge"))
        return runMerge(argc, argv);
    std::fprintf(stderr,
                 "usage: %s package --folder DIR --name NAME --item INDEX:PATH... [--timeout S]\n"
                 "                  [--cancel-after S]\n"
                 "       %s merge --archive PACKAGE --output PATH\n",
                 argv[0], argv[0]);
    return 64;
}
