#ifndef ENTRYCHECKS_H
#define ENTRYCHECKS_H

#include "bytesource.h"
#include "packagefailure.h"
#include "zipcontainer.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class RunControl;

// Checks entries of combined packages beside their copying: each entry is
// read from the package on its own (as `inspect` reads it), on a pool of
// threads, one entry per thread at a time, while libzip copies the stored
// bytes as they are. A package is put in place only once every check has
// passed; the first failure stops the others.
class EntryChecks
{
public:
    explicit EntryChecks(RunControl *control);
    ~EntryChecks(); // stops the checks and waits for them
    EntryChecks(const EntryChecks &) = delete;
    EntryChecks &operator=(const EntryChecks &) = delete;

    void add(std::shared_ptr<const ByteSource> source, const QString &packagePath,
             const ZipEntry &entry);
    bool isEmpty() const { return jobs.empty(); }
    // Starts the checks on up to threads threads (at least one).
    void start(int threads);
    // True once a check has failed (or was stopped).
    bool failed() const { return anyFailed; }
    // Waits for every check; the first failure, if any.
    PackageFailure wait();
    // Stops the checks under way, which then count as cancelled.
    void stop();

private:
    struct Job
    {
        std::shared_ptr<const ByteSource> source;
        QString packagePath;
        ZipEntry entry;
    };
    void work();

    RunControl *control;
    std::vector<Job> jobs;
    std::vector<std::thread> threads;
    std::atomic<size_t> next {0};
    std::atomic<bool> anyFailed {false};
    std::atomic<bool> stopping {false};
    std::mutex lock;
    PackageFailure firstFailure;
};

#endif // ENTRYCHECKS_H
