// Work spread over threads: one helper that hands out the items of an
// index range, and one rule for how many workers the memory allows. The
// caller decides how many workers it wants (by default usable_cpus(),
// common/cpus.h), which also says how much memory there is.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/cpus.h"

namespace vm {

// The bytes a computation's workers may hold together: its fixed budget, or
// a third of the memory available when that is more, so that on a large
// machine a large pedigree still keeps every core busy while leaving room
// for the rest of the run; never more than is available, so that under a
// limit (ulimit -v, a container's memory.max) fewer workers run instead of
// the run failing. `available` 0: not known.
inline double memory_budget(double fixed, double available) {
  const double budget = std::max(fixed, available / 3);
  return available > 0 ? std::min(budget, available / 2) : budget;
}
inline double memory_budget(double fixed) { return memory_budget(fixed, available_memory()); }

// At most `wanted` workers, as many as fit in `budget` bytes when each
// holds `bytes_per_worker`, and always at least one.
inline unsigned workers_within_budget(unsigned wanted, double bytes_per_worker, double budget) {
  const double fit = bytes_per_worker > 0 ? budget / bytes_per_worker : static_cast<double>(wanted);
  if (fit < wanted) return static_cast<unsigned>(std::max(1.0, fit));
  return std::max(1u, wanted);
}

// Calls body(item, worker) for every item of 0..count-1 on `workers`
// threads, the calling thread being worker 0; items are handed out in
// increasing order, one at a time, so a worker's own storage (indexed by
// `worker`) is never shared. One worker, or one item, runs on the calling
// thread alone. The first exception stops the handing out and is raised
// again here once every worker has finished.
template <class Body>
void parallel_for(size_t count, unsigned workers, Body&& body) {
  workers = static_cast<unsigned>(std::min<size_t>(std::max(workers, 1u), std::max<size_t>(count, 1)));
  if (workers == 1) {
    for (size_t item = 0; item < count; ++item) body(item, 0u);
    return;
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  auto work = [&](unsigned worker) {
    try {
      for (size_t item = next++; item < count && !failed; item = next++) body(item, worker);
    } catch (...) {
      std::lock_guard lock(error_mutex);
      if (!error) error = std::current_exception();
      failed = true;
    }
  };
  {
    std::vector<std::jthread> pool;
    pool.reserve(workers - 1);
    for (unsigned w = 1; w < workers; ++w) pool.emplace_back(work, w);
    work(0);
  }
  if (error) std::rethrow_exception(error);
}

// Items made on a helper thread and used on the calling thread, in order,
// through a ring of `slots` buffers: make(slot) fills buffer `slot` with
// the next item and says whether it made one (false: there are no more);
// use(slot) takes it. The maker runs at most `slots` items ahead; once
// the ring is full it waits until half of it is free, and the user, once
// it has caught up, until half of it is made again. With
// fewer than two workers both run on the calling thread, one item at a
// time. An exception of `use` stops the maker and is raised again here;
// one of `make` is raised here once every item made before it is used.
template <class Make, class Use>
void make_alongside(unsigned workers, size_t slots, Make&& make, Use&& use) {
  slots = std::max<size_t>(slots, 1);
  if (workers < 2) {
    for (size_t item = 0; make(item % slots); ++item) use(item % slots);
    return;
  }
  std::mutex mutex;
  std::condition_variable changed;
  size_t made = 0, used = 0;
  bool finished = false, stopped = false;
  // Whoever waits says so, so that the other side wakes it only then, and
  // only once half the ring has turned over: a wake-up is a system call,
  // and items come by the hundred thousand.
  bool maker_waits = false, user_waits = false;
  size_t user_wants = 0;  // while the user waits: the items it waits for
  std::exception_ptr error;
  auto maker = [&] {
    try {
      for (size_t item = 0;; ++item) {
        {
          std::unique_lock lock(mutex);
          if (item - used >= slots) {  // the ring is full: on when half of it is free
            maker_waits = true;
            changed.wait(lock, [&] { return stopped || item - used <= slots / 2; });
            maker_waits = false;
          }
          if (stopped) return;
        }
        const bool more = make(item % slots);
        bool wake;
        {
          std::lock_guard lock(mutex);
          if (more) {
            ++made;
          } else {
            finished = true;
          }
          wake = user_waits && (finished || made >= user_wants);
        }
        if (wake) changed.notify_all();
        if (!more) return;
      }
    } catch (...) {
      std::lock_guard lock(mutex);
      error = std::current_exception();
      finished = true;
    }
    changed.notify_all();
  };
  std::jthread helper(maker);
  try {
    for (size_t item = 0;; ++item) {
      {
        std::unique_lock lock(mutex);
        if (item >= made && !finished) {
          user_waits = true;
          user_wants = item + std::max<size_t>(slots / 2, 1);
          changed.wait(lock, [&] { return made >= user_wants || finished; });
          user_waits = false;
        }
        if (item >= made) break;
      }
      use(item % slots);
      bool wake;
      {
        std::lock_guard lock(mutex);
        ++used;
        wake = maker_waits && made - used <= slots / 2;
      }
      if (wake) changed.notify_all();
    }
  } catch (...) {
    {
      std::lock_guard lock(mutex);
      stopped = true;
    }
    changed.notify_all();
    throw;  // the helper is joined on the way out
  }
  helper.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace vm
