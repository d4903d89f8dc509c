// The sampler's thread pool: every chunk of every job runs exactly once and
// its writes are seen by the caller, on any number of threads and over many
// short jobs back to back; a body's exception reaches the caller once no
// body runs; the workers are gone once the pool is resized or destroyed.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <dirent.h>
#include <stdexcept>
#include <string>
#include <vector>

#include "thread_pool.h"

using mcar_engine::ThreadPool;

namespace {

// Threads of this process, from /proc/self/task; -1 where there is none.
int process_threads() {
  DIR *dir = opendir("/proc/self/task");
  if (!dir)
    return -1;
  int count = 0;
  while (dirent *e = readdir(dir))
    if (e->d_name[0] != '.')
      count++;
  closedir(dir);
  return count;
}

// The same once it equals `expected`, or after 2 s: a joined thread can
// stay listed for a moment after join() returns (the kernel wakes the
// joiner before it removes the thread).
int settled_threads(int expected) {
  int now = process_threads();
  for (int i = 0; i < 200 && now != expected; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = process_threads();
  }
  return now;
}

} // namespace

TEST(ThreadPool, EveryChunkRunsOnceAndItsWritesAreSeen) {
  for (int threads : {1, 2, 3, 5}) {
    ThreadPool pool(threads);
    EXPECT_EQ(pool.threads(), threads);
    for (int chunks : {0, 1, 2, 3, 7, 64, 1000}) {
      // Plain writes, one slot a chunk, read after run() returns: the
      // pool's hand-over must make them visible.
      std::vector<int> value(chunks, -1);
      std::vector<std::atomic<int>> hits(chunks);
      for (auto &h : hits)
        h.store(0);
      pool.run(chunks, [&](int c) {
        hits[c].fetch_add(1);
        value[c] = 3 * c + 1;
      });
      for (int c = 0; c < chunks; c++) {
        EXPECT_EQ(hits[c].load(), 1) << threads << " threads, chunk " << c << " of " << chunks;
        EXPECT_EQ(value[c], 3 * c + 1) << threads << " threads, chunk " << c;
      }
    }
  }
}

// Short jobs one after the other, as in a sweep: a worker that wakes late
// for one job must neither run a chunk of the next with the old body nor
// take a chunk from it without running it.
TEST(ThreadPool, ShortJobsBackToBackEachRunEveryChunkOnce) {
  for (int threads : {2, 4}) {
    ThreadPool pool(threads);
    std::vector<long> slot(5);
    long expected = 0, total = 0;
    for (int job = 0; job < 20000; job++) {
      const int chunks = 2 + job % 4;
      pool.run(chunks, [&, job](int c) { slot[c] = (long)job * 10 + c; });
      for (int c = 0; c < chunks; c++) {
        total += slot[c];
        expected += (long)job * 10 + c;
        slot[c] = 0;
      }
    }
    EXPECT_EQ(total, expected) << threads << " threads";
  }
}

// A body's exception reaches the caller only once no body of that run is
// still running (they use the caller's stack); no chunk runs twice.
TEST(ThreadPool, ABodysExceptionReachesTheCallerOnceNoBodyRuns) {
  for (int threads : {1, 3}) {
    ThreadPool pool(threads);
    std::vector<std::atomic<int>> hits(50);
    for (auto &h : hits)
      h.store(0);
    std::atomic<int> running{0};
    struct Leave {
      std::atomic<int> &r;
      ~Leave() { r.fetch_sub(1); }
    };
    try {
      pool.run(50, [&](int c) {
        running.fetch_add(1);
        Leave leave{running};
        hits[c].fetch_add(1);
        volatile double x = 0;
        for (int k = 0; k < 20000; k++)
          x = x + k;
        if (c == 5 || c == 30)
          throw std::runtime_error("chunk " + std::to_string(c));
      });
      ADD_FAILURE() << threads << " threads: no exception";
    } catch (const std::runtime_error &e) {
      EXPECT_EQ(running.load(), 0) << threads << " threads";
      EXPECT_TRUE(std::string(e.what()) == "chunk 5" || std::string(e.what()) == "chunk 30")
          << e.what();
    }
    for (int c = 0; c < 50; c++)
      EXPECT_LE(hits[c].load(), 1) << threads << " threads, chunk " << c;
    // The pool goes on working, with no exception left over.
    std::atomic<int> ran{0};
    pool.run(10, [&](int) { ran.fetch_add(1); });
    EXPECT_EQ(ran.load(), 10);
  }
}

TEST(ThreadPool, WorkersStartWhenUsedAndAreJoinedOnResizeAndDestruction) {
  const int before = process_threads();
  if (before < 0)
    GTEST_SKIP() << "no /proc/self/task";
  {
    ThreadPool pool(4);
    pool.run(1, [](int) {}); // one chunk: no worker needed
    EXPECT_EQ(settled_threads(before), before);
    pool.run(8, [](int) {});
    EXPECT_EQ(settled_threads(before + 3), before + 3);
    pool.resize(2);
    EXPECT_EQ(settled_threads(before), before);
    pool.run(8, [](int) {});
    EXPECT_EQ(settled_threads(before + 1), before + 1);
    pool.resize(1);
    pool.run(8, [](int) {});
    EXPECT_EQ(settled_threads(before), before);
    pool.resize(3);
    pool.run(8, [](int) {});
    EXPECT_EQ(settled_threads(before + 2), before + 2);
  }
  EXPECT_EQ(settled_threads(before), before);
}

// The first job of a fresh pool is shared with the workers it starts, even
// when they first look after the job is out: chunk 0 waits (up to 5 s) for
// chunk 1 to start, which only another thread can do while chunk 0 runs on
// the caller.  Repeated on fresh pools, each worker made just before the
// job is published.
TEST(ThreadPool, TheFirstJobOfAFreshPoolIsSharedWithItsWorkers) {
  for (int rep = 0; rep < 20; rep++) {
    ThreadPool pool(2);
    std::atomic<bool> second{false}, waited_out{false};
    pool.run(2, [&](int c) {
      if (c == 1) {
        second.store(true);
        return;
      }
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!second.load()) {
        if (std::chrono::steady_clock::now() > until) {
          waited_out.store(true);
          return;
        }
        std::this_thread::yield();
      }
    });
    EXPECT_FALSE(waited_out.load()) << "repetition " << rep
                                    << ": the worker did not take the first job";
  }
}
