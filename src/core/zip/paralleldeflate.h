#ifndef PARALLELDEFLATE_H
#define PARALLELDEFLATE_H

#include <QtGlobal>

#include <functional>
#include <memory>

class WorkMeter;

// Deflates one byte stream on several threads into one raw deflate stream (no
// zlib or gzip wrapper, as a ZIP entry holds it), which any inflater reads as
// usual.
//
// The input is cut into blocks. Each block is deflated on its own with the
// 32 KiB of input before it as its dictionary and ends on a byte boundary (a
// sync flush); the last block ends the stream. So the result is within a
// fraction of a per cent of one zlib stream's size, and the same bytes
// whatever the number of threads.
//
// Three sides overlap: a reader thread of the deflater's own pulls the input
// through the ReadFunction, a pool of threads deflates the blocks, and the
// caller of read() (libzip's writer, on its own thread) takes the result in
// order. At most maxBlocksInFlight() blocks exist at once, each about
// blockSize * 2 + 32 KiB, so memory stays flat whatever the input's size.
// The threads start at the first read().
class ParallelDeflate
{
public:
    static constexpr int defaultBlockSize = 128 * 1024;
    // A block costs a dictionary of up to 32 KiB to set up, so tiny blocks
    // would spend the time on dictionaries; smaller sizes are raised to this.
    static constexpr int minimumBlockSize = 1024;
    static constexpr int maximumBlockSize = 64 * 1024 * 1024;
    static constexpr int maximumThreads = 64;

    // Fills buf with up to max bytes of the input and returns their count, 0
    // at the input's end, -1 on failure. Called on the deflater's reader
    // thread, one call at a time.
    using ReadFunction = std::function<qint64(char *buf, qint64 max)>;

    enum class State {
        Running, // read() has more to give
        Finished, // read() returned 0: crc() and the sizes are final
        ReadFailed, // the ReadFunction returned -1 (or more than asked for)
        Failed, // out of memory, a zlib error, no thread could be started, or
                // the ReadFunction threw
        Cancelled, // cancel() was called, or control's cancel was requested
    };

    // threads <= 0 means QThread::idealThreadCount(); level is zlib's (-1 to
    // 9); blockSize is kept within minimumBlockSize..maximumBlockSize. When
    // control is given, its cancel request stops the pipeline as cancel()
    // does; the deflater polls it, at least every 50 ms while read() waits.
    explicit ParallelDeflate(ReadFunction read, int threads = 0, int level = 6,
                             int blockSize = defaultBlockSize, const WorkMeter *control = nullptr);
    // Stops the pipeline and joins every thread; a ReadFunction call under
    // way is waited for.
    ~ParallelDeflate();
    ParallelDeflate(const ParallelDeflate &) = delete;
    ParallelDeflate &operator=(const ParallelDeflate &) = delete;

    // Copies the next bytes of the compressed stream into out, in order, and
    // returns their count (at most max, and more than 0 while the stream goes
    // on); 0 at its end; -1 once state() is ReadFailed, Failed or Cancelled.
    // Waits for the pipeline when nothing is ready. One thread at a time; max
    // must be above 0 (else nothing happens and 0 is returned).
    qint64 read(char *out, qint64 max);
    // Stops the pipeline from any thread: a waiting read() returns -1 at once,
    // and the threads stop after the block each is working on. No effect
    // once the stream has ended.
    void cancel();

    State state() const;
    quint32 crc() const; // CRC-32 of the input; final once read() returned 0
    quint64 inputSize() const; // bytes of input handed out compressed so far
    quint64 outputSize() const; // bytes read() has handed out so far

    int threadCount() const;
    int blockSize() const;
    int maxBlocksInFlight() const;
    // For tests: blocks taken from the pool and not yet handed out by read(),
    // now and at most since the start.
    int blocksInFlight() const;
    int peakBlocksInFlight() const;

private:
    struct Pipeline;
    std::unique_ptr<Pipeline> d;
};

#endif // PARALLELDEFLATE_H
