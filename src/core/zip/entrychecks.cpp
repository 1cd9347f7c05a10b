#include "entrychecks.h"

#include "entryreader.h"
#include "workmeter.h"

EntryChecks::EntryChecks(WorkMeter *meter)
    : meter(meter)
{
}

EntryChecks::~EntryChecks()
{
    stop();
}

int EntryChecks::add(std::shared_ptr<const ByteSource> source, const ZipEntry &entry)
{
    jobs.push_back({std::move(source), entry});
    return int(jobs.size() - 1);
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
        EntryReader reader(job.source, job.entry);
        const ZipProblem result = drainEntry(&reader, [this](quint64 bytes) {
            meter->advance(qint64(bytes));
            return !stopping && !anyFailed && !meter->isCancelRequested();
        });
        if (!result.failed())
            continue;
        std::lock_guard<std::mutex> guard(lock);
        if (!anyFailed.exchange(true)) {
            firstFailure = result;
            failedCheck = int(at);
        }
    }
}

ZipProblem EntryChecks::wait(int *check)
{
    for (std::thread &thread : threads)
        thread.join();
    threads.clear();
    std::lock_guard<std::mutex> guard(lock);
    if (check)
        *check = failedCheck;
    return firstFailure;
}

void EntryChecks::stop()
{
    stopping = true;
    for (std::thread &thread : threads)
        thread.join();
    threads.clear();
}
