#include "entrychecks.h"

#include "entryreader.h"
#include "runcontrol.h"

EntryChecks::EntryChecks(RunControl *control)
    : control(control)
{
}

EntryChecks::~EntryChecks()
{
    stop();
}

void EntryChecks::add(std::shared_ptr<const ByteSource> source, const QString &packagePath,
                      const ZipEntry &entry)
{
    jobs.push_back({std::move(source), packagePath, entry});
}

void EntryChecks::start(int count)
{
    const size_t wanted = size_t(qBound(1, count, 64));
    for (size_t i = 0; i < qMin(wanted, jobs.size()); ++i) {
        try {
            threads.emplace_back([this] { work(); });
        } catch (const std::system_error &) {
            break; // fewer threads, or this one: the checks still all run
        }
    }
    if (threads.empty())
        work();
}

void EntryChecks::work()
{
    for (size_t at = next++; at < jobs.size() && !anyFailed; at = next++) {
        const Job &job = jobs.at(at);
        EntryReader reader(job.source, job.packagePath, job.entry);
        const PackageFailure result = drainEntry(&reader, [this](quint64 bytes) {
            control->advance(qint64(bytes));
            return !stopping && !anyFailed && !control->isCancelRequested();
        });
        if (!result.failed())
            continue;
        std::lock_guard<std::mutex> guard(lock);
        if (!anyFailed.exchange(true))
            firstFailure = result;
    }
}

PackageFailure EntryChecks::wait()
{
    for (std::thread &thread : threads)
        thread.join();
    threads.clear();
    std::lock_guard<std::mutex> guard(lock);
    return firstFailure;
}

void EntryChecks::stop()
{
    stopping = true;
    for (std::thread &thread : threads)
        thread.join();
    threads.clear();
}
