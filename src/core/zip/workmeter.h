#ifndef WORKMETER_H
#define WORKMETER_H

#include <QtGlobal>

#include <atomic>

// How far a piece of work has come, and whether it is to stop, shared with
// whoever watches it from another thread. Every member is atomic, so the
// watcher polls and cancels without a lock (a signal handler may cancel).
class WorkMeter
{
public:
    void requestCancel() { cancel = true; }
    bool isCancelRequested() const { return cancel; }

    // Bytes read so far, out of bytesTotal().
    qint64 bytesDone() const { return done; }
    qint64 bytesTotal() const { return total; }

    // The share of the work done mapped onto 0..99; 100 is left for the end.
    int percent() const
    {
        const qint64 all = total, read = done;
        if (all <= 0)
            return 0;
        return int(qMin<qint64>(99, read * 99 / all));
    }

    // Called by the work.
    void begin(qint64 bytes)
    {
        total = bytes;
        done = 0;
    }
    void advance(qint64 bytes) { done += bytes; }

protected:
    void resetMeter()
    {
        cancel = false;
        done = 0;
        total = 0;
    }

private:
    std::atomic<bool> cancel {false};
    std::atomic<qint64> done {0};
    std::atomic<qint64> total {0};
};

#endif // WORKMETER_H
