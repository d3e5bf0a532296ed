#include "common/temp_files.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

namespace vm {
namespace {

// A handler may only unlink and exit: the paths live in fixed buffers, and
// a slot's flag is set after its path is complete and cleared before the
// slot is used again.
constexpr int kSlots = 32;
constexpr size_t kPathBytes = 4096;
char paths[kSlots][kPathBytes];
std::atomic<bool> used[kSlots];

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void remove_and_exit(int signal) {
  for (int slot = 0; slot < kSlots; ++slot) {
    if (used[slot].load(std::memory_order_acquire)) ::unlink(paths[slot]);
  }
  ::_exit(128 + signal);
}

sigset_t run_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kSignals) sigaddset(&set, s);
  return set;
}

// Claiming a slot must not race with another thread claiming it.
std::atomic<bool> claimed[kSlots];

}  // namespace

int remember_temporary(const char* path) {
  const size_t length = std::strlen(path);
  if (length >= kPathBytes) return -1;
  for (int slot = 0; slot < kSlots; ++slot) {
    if (claimed[slot].exchange(true)) continue;
    std::memcpy(paths[slot], path, length + 1);
    used[slot].store(true, std::memory_order_release);
    return slot;
  }
  return -1;
}

void forget_temporary(int slot) {
  if (slot < 0 || slot >= kSlots) return;
  used[slot].store(false, std::memory_order_release);
  claimed[slot].store(false);
}

void remove_temporaries_on_signals() {
  for (int s : kSignals) {
    struct sigaction old {};
    if (::sigaction(s, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_and_exit;
    sigfillset(&action.sa_mask);
    ::sigaction(s, &action, nullptr);
  }
}

SignalsHeld::SignalsHeld() {
  const sigset_t set = run_signals();
  ::pthread_sigmask(SIG_BLOCK, &set, &saved_);
}

SignalsHeld::~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

}  // namespace vm
