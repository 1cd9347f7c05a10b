#ifndef RUNCONTROL_H
#define RUNCONTROL_H

#include <QtGlobal>

#include <atomic>

// What one packaging run shares with whoever watches it from another thread:
// how far it has come, and whether it is to stop. Every member is atomic, so
// the watcher polls and cancels without a lock (a signal handler may cancel).
class RunControl
{
public:
    void reset()
    {
        cancel = false;
        done = 0;
        total = 0;
        item = -1;
    }

    void requestCancel() { cancel = true; }
    bool isCancelRequested() const { return cancel; }

    // Bytes of item data read so far, out of bytesTotal().
    qint64 bytesDone() const { return done; }
    qint64 bytesTotal() const { return total; }
    // Index, in package order, of the item being read; -1 before the first.
    int currentItem() const { return item; }

    // The share of the work done mapped onto 0..99; 100 is left for the end.
    int percent() const
    {
        const qint64 all = total, read = done;
        if (all <= 0)
            return 0;
        return int(qMin<qint64>(99, read * 99 / all));
    }

    // Called by the run.
    void begin(qint64 bytes)
    {
        total = bytes;
        done = 0;
    }
    void advance(qint64 bytes) { done += bytes; }
    void setCurrentItem(int index) { item = index; }

private:
    std::atomic<bool> cancel {false};
    std::atomic<qint64> done {0};
    std::atomic<qint64> total {0};
    std::atomic<int> item {-1};
};

#endif // RUNCONTROL_H
