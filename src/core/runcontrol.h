#ifndef RUNCONTROL_H
#define RUNCONTROL_H

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <thread>

// What one packaging run shares with whoever watches it from another thread:
// how far it has come, whether it is to stop, and, just before the archive
// is put in place, whether it may go on. Every member is atomic, so the
// watcher polls and cancels without a lock (a signal handler may cancel), and
// the run waits by polling.
class RunControl
{
public:
    void reset()
    {
        cancel = false;
        done = 0;
        total = 0;
        item = -1;
        held = false;
        question = false;
        answer = false;
    }

    void requestCancel() { cancel = true; }
    bool isCancelRequested() const { return cancel; }

    // The watcher holds the run before it puts its archive in place while it
    // asks the user something whose answer decides that (whether to cancel).
    void setHeld(bool hold) { held = hold; }
    // The run, when its archive is complete: waits while it is held; false
    // when it was cancelled meanwhile.
    bool waitWhileHeld() const
    {
        while (held && !cancel)
            std::this_thread::sleep_for(pollInterval);
        return !cancel;
    }

    // Another file came to the archive's path during the run. The run asks
    // its watcher whether to replace it and waits for the answer: true to
    // replace, false for no or a cancel.
    bool askToReplaceOther()
    {
        answer = false;
        question = true;
        while (question && !cancel)
            std::this_thread::sleep_for(pollInterval);
        question = false;
        return answer && !cancel;
    }
    bool replaceQuestionPending() const { return question; }
    void answerReplaceQuestion(bool replace)
    {
        answer = replace;
        question = false;
    }

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
    static constexpr std::chrono::milliseconds pollInterval {10};

    std::atomic<bool> cancel {false};
    std::atomic<bool> held {false};
    std::atomic<bool> question {false};
    std::atomic<bool> answer {false};
    std::atomic<qint64> done {0};
    std::atomic<qint64> total {0};
    std::atomic<int> item {-1};
};

#endif // RUNCONTROL_H
