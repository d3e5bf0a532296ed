// Temporary files that a signal must not leave behind: the run's files are
// prepared beside their targets, and an interrupted run removes them
// before it ends.
#pragma once

#include <signal.h>

namespace vm {

// Remembers `path` (a temporary file just made) until forget_temporary()
// of the returned slot; -1 when every slot is taken or the path is too
// long to keep, in which case a signal may leave the file behind.
int remember_temporary(const char* path);
void forget_temporary(int slot);

// SIGINT, SIGTERM, SIGHUP and SIGPIPE remove every remembered temporary
// file and end the process with status 128 + the signal. A signal the
// process was started with ignored (nohup, a background job) stays ignored.
void remove_temporaries_on_signals();

// Holds those signals back while the run puts its files in place, so that
// a signal ends it either before the first rename or after the last.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace vm
