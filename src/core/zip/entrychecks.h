#ifndef ENTRYCHECKS_H
#define ENTRYCHECKS_H

#include "bytesource.h"
#include "zipcontainer.h"
#include "zipproblem.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class WorkMeter;

// Checks entries of other archives beside their copying: each entry is read
// from its archive on its own (as EntryReader reads it), on a pool of
// threads, one entry per thread at a time, while libzip copies the stored
// bytes as they are. The first failure stops the others. Progress and cancel
// go through meter.
class EntryChecks
{
public:
    explicit EntryChecks(WorkMeter *meter);
    ~EntryChecks(); // stops the checks and waits for them
    EntryChecks(const EntryChecks &) = delete;
    EntryChecks &operator=(const EntryChecks &) = delete;

    // An entry to check; returns its number, from 0 in the order added.
    int add(std::shared_ptr<const ByteSource> source, const ZipEntry &entry);
    bool isEmpty() const { return jobs.empty(); }
    // Starts the checks on up to threads threads (at least one).
    void start(int threads);
    // True once a check has failed (or was stopped).
    bool failed() const { return anyFailed; }
    // Waits for every check; the first failure, if any, and *check, when
    // given, the number of the check that met it.
    ZipProblem wait(int *check = nullptr);
    // Stops the checks under way, which then count as cancelled.
    void stop();

private:
    struct Job
    {
        std::shared_ptr<const ByteSource> source;
        ZipEntry entry;
    };
    void work();

    WorkMeter *meter;
    std::vector<Job> jobs;
    std::vector<std::thread> threads;
    std::atomic<size_t> next {0};
    std::atomic<bool> anyFailed {false};
    std::atomic<bool> stopping {false};
    std::mutex lock;
    ZipProblem firstFailure;
    int failedCheck = -1;
};

#endif // ENTRYCHECKS_H
