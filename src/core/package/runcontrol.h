#ifndef RUNCONTROL_H
#define RUNCONTROL_H

#include "workmeter.h"

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <thread>

// What one packaging run shares with whoever watches it from another thread:
// beside the meter (how far it has come, whether it is to stop), which item
// it reads, and, just before the archive is put in place, whether it may go
// on. Every member is atomic, so the watcher polls and cancels without a lock
// (a signal handler may cancel), and the run waits by polling.
class RunControl : public WorkMeter
{
public:
    void reset()
    {
        resetMeter();
        item = -1;
        held = false;
        question = false;
        answer = false;
    }

    // Index, in package order, of the item being read; -1 before the first.
    int currentItem() const { return item; }
    void setCurrentItem(int index) { item = index; }

    // The watcher holds the run before it puts its archive in place while it
    // asks the user something whose answer decides that (whether to cancel).
    void setHeld(bool hold) { held = hold; }
    // The run, when its archive is complete: waits while it is held; false
    // when it was cancelled meanwhile.
    bool waitWhileHeld() const
    {
        while (held && !isCancelRequested())
            std::this_thread::sleep_for(pollInterval);
        return !isCancelRequested();
    }

    // Another file came to the archive's path during the run. The run asks
    // its watcher whether to replace it and waits for the answer: true to
    // replace, false for no or a cancel.
    bool askToReplaceOther()
    {
        answer = false;
        question = true;
        while (question && !isCancelRequested())
            std::this_thread::sleep_for(pollInterval);
        question = false;
        return answer && !isCancelRequested();
    }
    bool replaceQuestionPending() const { return question; }
    void answerReplaceQuestion(bool replace)
    {
        answer = replace;
        question = false;
    }

private:
    static constexpr std::chrono::milliseconds pollInterval {10};

    std::atomic<int> item {-1};
    std::atomic<bool> held {false};
    std::atomic<bool> question {false};
    std::atomic<bool> answer {false};
};

#endif // RUNCONTROL_H
