// A small pool of worker threads for the sampler's loops over the map.
//
// run(chunks, body) calls body(c) once for every c in [0, chunks), on the
// calling thread and the pool's workers, and returns when every call has
// returned.  The chunks are claimed one at a time from a shared counter, so
// which thread runs a chunk varies from run to run: a body must write only
// outputs of its own chunk (a block's partial sum, a unit's effects), and
// then the results are the same, to the bit, on any number of threads.  The
// calling thread claims chunks too, so a run never waits for a worker that
// has not been scheduled yet; it waits only for chunks a worker has started.
//
// Idle workers sleep on a condition variable, after a spin of a few
// microseconds that catches the next loop of a sweep without a wake-up; a
// thread waiting for the others' chunks does the same.  No thread spins
// for long, so threads cost little when other processes keep the cores
// busy.
//
// The workers start at the first run with more than one chunk and are
// joined when the pool is destroyed or resized.  A body must not call R:
// it runs on threads R does not know.  An exception thrown by a body (the
// first one) is rethrown by run() once no body of the run is running; the
// chunks not started by then may or may not have run.

#ifndef MCAR_THREAD_POOL_H
#define MCAR_THREAD_POOL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace mcar_engine {

class ThreadPool {
public:
  // A pool of `threads` threads, the caller's included (threads - 1
  // workers).
  explicit ThreadPool(int threads = 1) : threads_(threads < 1 ? 1 : threads) {}
  ThreadPool(const ThreadPool &) = delete;
  ThreadPool &operator=(const ThreadPool &) = delete;
  ~ThreadPool() { stop(); }

  int threads() const { return threads_; }

  // Sets the number of threads, joining the workers when it changes (they
  // start again at the next run).
  void resize(int threads) {
    if (threads < 1)
      threads = 1;
    if (threads == threads_)
      return;
    stop();
    threads_ = threads;
  }

  // body(c) for c in [0, chunks); see above.  Not reentrant: a body must
  // not call run() of the same pool.
  template <class Body> void run(int chunks, const Body &body) {
    if (threads_ <= 1 || chunks <= 1) {
      for (int c = 0; c < chunks; c++)
        body(c);
      return;
    }
    start();
    Job job;
    job.fn = [](const void *ctx, int c) { (*static_cast<const Body *>(ctx))(c); };
    job.ctx = &body;
    job.chunks = (uint32_t)chunks;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      id_++;
      job_ = job;
      error_ = nullptr;
      done_.store(0, std::memory_order_relaxed);
      // The job's number in the high word: a worker still holding an
      // earlier job cannot claim a chunk of this one.
      ticket_.store((uint64_t)(uint32_t)id_ << 32, std::memory_order_release);
      published_.store(id_, std::memory_order_release);
    }
    wake_.notify_all();
    work(id_, job);
    // Wait for the chunks the workers claimed.
    if (!spin([&] { return done_.load(std::memory_order_acquire) == job.chunks; })) {
      std::unique_lock<std::mutex> lock(mutex_);
      finished_.wait(lock, [&] {
        return done_.load(std::memory_order_acquire) == job.chunks;
      });
    }
    std::exception_ptr error;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      error = error_;
      error_ = nullptr;
    }
    if (error)
      std::rethrow_exception(error);
  }

private:
  struct Job {
    void (*fn)(const void *, int) = nullptr;
    const void *ctx = nullptr;
    uint32_t chunks = 0;
  };

  // How long a thread looks for work (or for the others to finish) before
  // it sleeps.
  static constexpr std::chrono::microseconds SPIN_TIME{20};

  // Spins until ready() or SPIN_TIME has passed; ready()'s last value.
  template <class Ready> static bool spin(const Ready &ready) {
    const auto until = std::chrono::steady_clock::now() + SPIN_TIME;
    for (;;) {
      for (int k = 0; k < 64; k++) {
        if (ready())
          return true;
#if defined(__x86_64__) || defined(__i386__)
        _mm_pause();
#endif
      }
      if (std::chrono::steady_clock::now() >= until)
        return ready();
    }
  }

  void start() {
    if ((int)workers_.size() == threads_ - 1)
      return;
    stopping_.store(false, std::memory_order_relaxed);
    // A worker starts from the last job published before it was made, so
    // that it takes part in the job run() is about to publish even when it
    // first looks after that job is out.
    const uint64_t before = published_.load(std::memory_order_acquire);
    for (int t = (int)workers_.size(); t < threads_ - 1; t++)
      workers_.emplace_back([this, before] { worker(before); });
  }

  void stop() {
    if (workers_.empty())
      return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_.store(true, std::memory_order_release);
    }
    wake_.notify_all();
    for (std::thread &t : workers_)
      t.join();
    workers_.clear();
  }

  // Claims and runs chunks of job `id` until none is left.
  void work(uint64_t id, const Job &job) {
    const uint64_t mine = (uint64_t)(uint32_t)id << 32;
    uint64_t t = ticket_.load(std::memory_order_acquire);
    for (;;) {
      if ((t & ~(uint64_t)0xffffffffu) != mine || (uint32_t)t >= job.chunks)
        return;
      if (!ticket_.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel,
                                         std::memory_order_acquire))
        continue;
      try {
        job.fn(job.ctx, (int)(uint32_t)t);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!error_)
          error_ = std::current_exception();
      }
      if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == job.chunks) {
        // Under the lock, so that the caller cannot miss the wake-up
        // between its test and its wait.
        std::lock_guard<std::mutex> lock(mutex_);
        finished_.notify_one();
      }
      t = ticket_.load(std::memory_order_acquire);
    }
  }

  void worker(uint64_t seen) {
    for (;;) {
      spin([&] {
        return published_.load(std::memory_order_acquire) != seen ||
               stopping_.load(std::memory_order_acquire);
      });
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] {
          return id_ != seen || stopping_.load(std::memory_order_relaxed);
        });
        if (stopping_.load(std::memory_order_relaxed))
          return;
        seen = id_;
        job = job_;
      }
      work(seen, job);
    }
  }

  int threads_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;     // a job was published, or stop
  std::condition_variable finished_; // the last chunk of a job finished
  // Under mutex_: the current job, its number and the first exception.
  uint64_t id_ = 0;
  Job job_;
  std::exception_ptr error_;
  // The current job's number, read by spinning workers.
  std::atomic<uint64_t> published_{0};
  std::atomic<bool> stopping_{false};
  // The current job's number (high word) and next unclaimed chunk (low).
  std::atomic<uint64_t> ticket_{0};
  std::atomic<uint32_t> done_{0}; // the current job's finished chunks
};

} // namespace mcar_engine

#endif
