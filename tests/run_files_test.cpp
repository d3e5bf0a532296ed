// A run's files are all new or all old: whatever stream, device, folder,
// signal or limit the run meets, the files of an earlier run stay whole
// until every new file is ready, and no temporary file stays behind.
// Each case runs the program as a process in a scratch folder.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "program_files.h"

namespace {

namespace fs = std::filesystem;
using velmora_test::read_file;
using velmora_test::without_warnings;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool ends_with_finished(const velmora_test::Result& r) {
  return r.out.size() >= 10 && r.out.compare(r.out.size() - 10, 10, "Finished.\n") == 0;
}

const std::string kExample = std::string(VELMORA_SOURCE_DIR) + "/examples/example.ped";

// Another user for the cases that need one: a root run drops to it.
const char* const kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";

class RunFiles : public velmora_test::ProgramRun {
 protected:
  void SetUp() override {
    ProgramRun::SetUp();
    fs::copy_file(kExample, path("herd.ped"));
    // The scratch folder is reached by another user too.
    fs::permissions(dir_, fs::perms::all);
  }
  // Every file of the scratch folder with the size and a digest of its
  // bytes (a failed comparison shows the names, not megabytes).
  std::map<std::string, std::string> folder() const {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir_)) {
      if (!e.is_regular_file()) continue;
      const std::string bytes = read_file(e.path());
      files[fs::relative(e.path(), dir_).string()] =
          std::to_string(bytes.size()) + " bytes, digest " + std::to_string(std::hash<std::string>{}(bytes));
    }
    return files;
  }
  // A shell command in the scratch folder, `V` naming the program.
  int shell(const std::string& command) const {
    const std::string cmd = "cd '" + dir_.string() + "' && V='" + VELMORA_BINARY + "' && " + command;
    const int raw = std::system(cmd.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  // The files of a finished run with every result file: herd.out,
  // herd.log, r.csv, r.tsv, r.html.
  void good_run() {
    const velmora_test::Result r = run("--pedigree herd.ped --csv r.csv --inbreeding r.tsv --report r.html");
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

// A file named after the run's own standard output or error is written
// through that stream: the earlier content of an appended file, every
// screen line and the whole file, in order.
TEST_F(RunFiles, FileThatIsTheRunsOwnStreamGoesThroughIt) {
  good_run();
  const std::string log = read("herd.log");
  const std::map<std::string, std::string> reference{
      {"--output", read("herd.out")}, {"--csv", read("r.csv")}, {"--inbreeding", read("r.tsv")}};
  const std::string screen = run("--pedigree herd.ped").out;
  struct Case {
    const char* option;
    const char* name;
    bool to_errors;
  };
  for (const Case& c : {Case{"--output", "/dev/stdout", false}, Case{"--output", "/dev/fd/1", false},
                        Case{"--csv", "/proc/self/fd/1", false}, Case{"--csv", "screen.txt", false},
                        Case{"--inbreeding", "/dev/stderr", true}}) {
    SCOPED_TRACE(std::string(c.option) + " " + c.name);
    write("screen.txt", "earlier\n");
    const bool output = std::string(c.option) == "--output";
    const std::string args = std::string("--pedigree herd.ped --log o.log ") + (output ? "" : "--output o.out ") +
                             c.option + " " + c.name;
    ASSERT_EQ(shell("$V " + args + (c.to_errors ? " >/dev/null 2>>screen.txt" : " >>screen.txt")), 0);
    if (!c.to_errors) {
      // The screen with the file's bytes among its lines.
      std::string got = read("screen.txt");
      const size_t at = got.find(reference.at(c.option));
      ASSERT_NE(at, std::string::npos);
      EXPECT_EQ(got.substr(0, 8), "earlier\n");
      got.erase(at, reference.at(c.option).size());
      EXPECT_EQ(got, "earlier\n" + screen);
    } else {
      EXPECT_EQ(without_warnings(read("screen.txt")), "earlier\n" + reference.at(c.option));
    }
  }
  // The log through standard output of a quiet run, and from a classic
  // parameter file: the log, then the final line.
  ASSERT_EQ(shell("$V --pedigree herd.ped --log /dev/stdout --quiet >a.txt"), 0);
  EXPECT_EQ(read("a.txt"), log + "Finished.\n");
  write("params.txt", "herd.ped\n1\n2\n3\n4\n5\n/dev/stdout\nc.log\n");
  ASSERT_EQ(shell("$V params.txt >all.txt"), 0);
  std::string all = read("all.txt");
  const size_t table = all.find(reference.at("--output"));
  ASSERT_NE(table, std::string::npos);
  EXPECT_EQ(all.substr(table + reference.at("--output").size()), "Finished.\n");
}

// A pedigree name with a typo, or a folder: the previous log stays whole,
// and an option run creates nothing. A classic run still leaves the empty
// log it opens first where none existed.
TEST_F(RunFiles, PedigreeThatCannotBeOpenedKeepsThePreviousLog) {
  good_run();
  fs::create_directory(path("herd.pdf"));
  const auto before = folder();
  for (const std::string name : {"herd.pde", "herd.pdf"}) {
    write("params.txt", name + "\n1\n2\n3\n4\n5\nherd.out\nherd.log\n");
    for (const std::string& args : {"--pedigree " + name + " --log herd.log --output herd.out", std::string("params.txt")}) {
      SCOPED_TRACE(args);
      const velmora_test::Result r = run(args);
      EXPECT_EQ(r.status, 2);
      EXPECT_TRUE(contains(r.err, "cannot open pedigree file")) << r.err;
      auto now = folder();
      now.erase("params.txt");
      auto was = before;
      was.erase("params.txt");
      EXPECT_EQ(now, was);
    }
  }
  EXPECT_EQ(run("--pedigree nosuch.ped").status, 2);
  EXPECT_FALSE(exists("nosuch.log"));
  EXPECT_FALSE(exists("nosuch.out"));
  write("params.txt", "herd.pde\n1\n2\n3\n4\n5\nnew.out\nnew.log\n");
  EXPECT_EQ(run("params.txt").status, 2);
  EXPECT_TRUE(exists("new.log"));
  EXPECT_EQ(read("new.log"), "");
  EXPECT_FALSE(exists("new.out"));
}

// One failing file fails them all: the files of the earlier run stay byte
// for byte, and nothing else is left in the folder.
TEST_F(RunFiles, FailureOfOneFileChangesNoneOfThem) {
  good_run();
  const auto before = folder();
  for (const char* args : {"--csv r.csv --inbreeding r.tsv --report /dev/full", "--csv /dev/full --inbreeding r.tsv",
                           "--csv r.csv --inbreeding r.tsv --report r.html --output /dev/full",
                           "--csv r.csv --inbreeding r.tsv --report r.html --log /dev/full"}) {
    SCOPED_TRACE(args);
    const velmora_test::Result r = run(std::string("--pedigree herd.ped ") + args);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "\"/dev/full\"")) << r.err;
    EXPECT_EQ(folder(), before);
  }
  // A file-size limit that the inbreeding file meets.
  const int status = shell("ulimit -f 100 && $V --pedigree herd.ped --csv r.csv --inbreeding r.tsv --report r.html "
                           "--output herd.out >/dev/null 2>err.txt");
  EXPECT_EQ(status, 2);
  EXPECT_TRUE(contains(read("err.txt"), "\"r.tsv\"")) << read("err.txt");
  fs::remove(path("err.txt"));
  EXPECT_EQ(folder(), before);
}

// Existing, writable files in a folder that takes no new file: written in
// place once every other file is ready, with a note, and left whole by a
// run that stops.
TEST_F(RunFiles, FolderWithoutWritePermission) {
  good_run();
  fs::create_directory(path("locked"));
  for (const char* name : {"herd.out", "herd.log"}) {
    fs::copy_file(path(name), path(std::string("locked/") + name));
    fs::permissions(path(std::string("locked/") + name), fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
    velmora_test::write_file(path(std::string("locked/") + name), "old\n");
  }
  fs::permissions(path("locked"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const std::string as = ::geteuid() == 0 ? kAsNobody : "";
  velmora_test::Result r = run("--pedigree herd.ped --output locked/herd.out --log locked/herd.log", "", {}, as);
  fs::permissions(path("locked"), fs::perms::all);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "velmora: warning: the output file \"locked/herd.out\"")) << r.err;
  EXPECT_EQ(read("locked/herd.out"), read("herd.out"));
  EXPECT_EQ(read("locked/herd.log"), read("herd.log"));
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(path("locked"))) ++entries;
  EXPECT_EQ(entries, 2u);

  // A new file there cannot be made: the run ends before anything changes.
  fs::permissions(path("locked"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  velmora_test::write_file(path("locked.before"), read("locked/herd.out"));
  r = run("--pedigree herd.ped --output locked/herd.out --log locked/herd.log --csv locked/r.csv", "", {}, as);
  fs::permissions(path("locked"), fs::perms::all);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "cannot create the CSV file \"locked/r.csv\"")) << r.err;
  EXPECT_EQ(read("locked/herd.out"), read("locked.before"));
}

// Names up to the longest the folder takes: the temporary name is cut, not
// the target refused.
TEST_F(RunFiles, NamesOfTheLongestLegalLength) {
  for (const size_t length : {200u, 254u, 255u}) {
    const std::string out(length - 4, 'o'), csv(length - 4, 'c'), log(length - 4, 'l');
    const velmora_test::Result r = run("--pedigree herd.ped --output " + out + ".out --log " + log + ".log --csv " + csv + ".csv");
    EXPECT_EQ(r.status, 0) << length << r.err;
    for (const std::string& name : {out + ".out", log + ".log", csv + ".csv"}) EXPECT_GT(read(name).size(), 0u) << length;
    for (const fs::directory_entry& e : fs::directory_iterator(dir_)) EXPECT_NE(e.path().filename().string()[0], '.');
  }
  const velmora_test::Result r = run("--pedigree herd.ped --output " + std::string(256, 'x'));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "File name too long")) << r.err;
}

// A replaced file keeps its owner, group and mode; a read-only result file
// is refused like a read-only output.
TEST_F(RunFiles, OwnerModeAndReadOnlyFiles) {
  good_run();
  for (const char* name : {"herd.out", "herd.log", "r.csv"}) ::chmod(path(name).c_str(), 0640);
  const bool root = ::geteuid() == 0;
  if (root) {
    for (const char* name : {"herd.out", "herd.log", "r.csv"}) ASSERT_EQ(::chown(path(name).c_str(), 65534, 65534), 0);
  }
  velmora_test::write_file(path("r.csv"), "old\n");
  ASSERT_EQ(run("--pedigree herd.ped --csv r.csv").status, 0);
  for (const char* name : {"herd.out", "herd.log", "r.csv"}) {
    struct stat st {};
    ASSERT_EQ(::stat(path(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    if (root) {
      EXPECT_EQ(st.st_uid, 65534u) << name;
      EXPECT_EQ(st.st_gid, 65534u) << name;
    }
  }
  EXPECT_NE(read("r.csv"), "old\n");

  // Another user's writable file, which this process cannot give back to
  // its owner: written in place, owner and mode kept, with a note.
  if (root) {
    velmora_test::write_file(path("theirs.csv"), "old\n");
    ::chmod(path("theirs.csv").c_str(), 0666);
    const velmora_test::Result r = run("--pedigree herd.ped --output n.out --log n.log --csv theirs.csv", "", {}, kAsNobody);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "velmora: warning: the CSV file \"theirs.csv\"")) << r.err;
    EXPECT_EQ(read("theirs.csv"), read("r.csv"));
    struct stat st {};
    ASSERT_EQ(::stat(path("theirs.csv").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
  }

  const std::string as = root ? kAsNobody : "";
  for (const char* option : {"--csv", "--inbreeding", "--report", "--output"}) {
    velmora_test::write_file(path("ro.txt"), "old\n");
    ::chmod(path("ro.txt").c_str(), 0444);
    const velmora_test::Result r = run(std::string("--pedigree herd.ped --log ro.log ") + option + " ro.txt", "", {}, as);
    EXPECT_EQ(r.status, 2) << option;
    EXPECT_TRUE(contains(r.err, "\"ro.txt\": Permission denied")) << r.err;
    EXPECT_EQ(read("ro.txt"), "old\n");
    fs::remove(path("ro.txt"));
  }
}

// A final link is followed by the kernel, under its rules: the file it
// leads to is replaced, a link to a file still to be made gets that file
// only from a run that finishes, and a loop of links is refused.
TEST_F(RunFiles, LinksAreFollowedByTheKernel) {
  fs::create_directory(path("elsewhere"));
  fs::create_symlink("elsewhere/t.csv", path("link.csv"));
  // A run that stops (two records are too few) leaves no file there.
  velmora_test::write_file(path("two.ped"), "A1 A2 0 P Y1\nA2 A1 0 P Y1\n");  // a loop
  EXPECT_FALSE(ends_with_finished(run("--pedigree two.ped --csv link.csv")));
  EXPECT_FALSE(fs::exists(path("elsewhere/t.csv")));
  ASSERT_EQ(run("--pedigree herd.ped --csv link.csv").status, 0);
  EXPECT_TRUE(fs::is_symlink(path("link.csv")));
  EXPECT_GT(read("elsewhere/t.csv").size(), 0u);
  fs::create_symlink("loop.csv", path("loop.csv"));
  const velmora_test::Result r = run("--pedigree herd.ped --csv loop.csv");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "\"loop.csv\"")) << r.err;
}

// A link in a shared sticky folder that another user made: with the
// kernel's protection on, the run may not follow it.
TEST_F(RunFiles, LinkOfAnotherUserInASharedFolder) {
  if (read_file("/proc/sys/fs/protected_symlinks") != "1\n" || ::geteuid() != 0) GTEST_SKIP() << "needs root and fs.protected_symlinks";
  fs::create_directory(path("shared"));
  fs::permissions(path("shared"), fs::perms::all | fs::perms::sticky_bit);
  velmora_test::write_file(path("victim.csv"), "precious\n");
  fs::create_symlink(path("victim.csv"), path("shared/r.csv"));
  ASSERT_EQ(::lchown(path("shared/r.csv").c_str(), 65534, 65534), 0);
  EXPECT_EQ(run("--pedigree herd.ped --csv shared/r.csv").status, 2);
  EXPECT_EQ(read("victim.csv"), "precious\n");
}

// A pedigree big enough for a run of a few tenths of a second or more.
std::string big_pedigree(int records) {
  std::string text;
  for (int a = 1; a <= records; ++a) {
    const long long sire = a > 100 ? (a * 7919LL) % (a - 1) + 1 : 0, dam = a > 100 ? (a * 104729LL) % (a - 1) + 1 : 0;
    text += "A" + std::to_string(a) + " " + (sire ? "A" + std::to_string(sire) : "0") + " " +
            (dam ? "A" + std::to_string(dam) : "0") + " P" + std::to_string(a % 7) + " Y" + std::to_string(a * 12 / records) + "\n";
  }
  return text;
}

// SIGINT, SIGTERM, SIGHUP and SIGPIPE at several points of a run: exit
// status 128 + the signal, every temporary file removed, the earlier
// files as they were.
TEST_F(RunFiles, SignalsRemoveTheTemporaryFiles) {
  velmora_test::write_file(path("big.ped"), big_pedigree(300000));
  const char* const args[] = {VELMORA_BINARY, "--pedigree", "big.ped", "--csv", "big.csv", "--inbreeding", "big.tsv",
                              "--report", "big.html", nullptr};
  auto start = [&] {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::chdir(dir_.c_str()) != 0) ::_exit(126);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0), ::dup2(null, 1), ::dup2(null, 2);
      ::execv(VELMORA_BINARY, const_cast<char* const*>(args));
      ::_exit(127);
    }
    return child;
  };
  auto temporary_shows = [&](pid_t child) {
    for (int raw = 0; ::waitpid(child, &raw, WNOHANG) == 0;) {
      for (const fs::directory_entry& e : fs::directory_iterator(dir_)) {
        if (e.path().filename().string()[0] == '.') return true;
      }
    }
    return false;
  };
  // The points: as soon as the run's first temporary file shows (the log,
  // made once the pedigree is open), then a third and two thirds of the
  // way from there to the end of a whole run, on a machine of any speed.
  std::chrono::steady_clock::duration whole{};
  {
    const pid_t child = start();
    ASSERT_TRUE(temporary_shows(child));
    const auto shown = std::chrono::steady_clock::now();
    int raw = 0;
    ::waitpid(child, &raw, 0);
    whole = std::chrono::steady_clock::now() - shown;
    ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
  }
  auto before = folder();
  int ended_by_signal = 0;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    for (const int thirds : {0, 1, 2}) {
      SCOPED_TRACE(std::to_string(sig) + ", " + std::to_string(thirds) + " thirds of a run after the first temporary file");
      const pid_t child = start();
      ASSERT_TRUE(temporary_shows(child));
      std::this_thread::sleep_for(whole * thirds / 3);
      ::kill(child, sig);
      int raw = 0;
      ::waitpid(child, &raw, 0);
      ASSERT_TRUE(WIFEXITED(raw));
      // A run that finished before the signal came ends with 0, and its
      // files are the new "before" (the report holds the run's time).
      if (WEXITSTATUS(raw) != 0) {
        EXPECT_EQ(WEXITSTATUS(raw), 128 + sig);
        ++ended_by_signal;
        // A signal that came while the files were put in place ends the
        // run after the last rename: then every file is the new one (the
        // report's time aside, the same bytes), the report whole.
        auto now = folder();
        if (now != before) {
          EXPECT_TRUE(read("big.html").ends_with("</html>\n"));
          now.erase("big.html");
          auto was = before;
          was.erase("big.html");
          EXPECT_EQ(now, was);
          before = folder();
        }
      } else {
        before = folder();
      }
      for (const fs::directory_entry& e : fs::directory_iterator(dir_)) EXPECT_NE(e.path().filename().string()[0], '.');
    }
  }
  EXPECT_GT(ended_by_signal, 4);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // the sanitizer's shadow memory does not fit under ulimit -v
#else
constexpr bool kSanitized = false;
#endif

// The report's page counts in the memory guard: under an address-space
// limit a report that cannot fit is refused before the computation, and
// the same run without it finishes.
TEST_F(RunFiles, ReportCountsInTheMemoryGuard) {
  if (kSanitized) GTEST_SKIP() << "ulimit -v under the address sanitizer";
  std::string text;
  for (int q = 0; q < 1000; ++q) {
    for (int k = 0; k < 3; ++k) text += "A" + std::to_string(q) + "_" + std::to_string(k) + " 0 0 Farm" + std::to_string(q) + " 2000\n";
  }
  velmora_test::write_file(path("pops.ped"), text);
  EXPECT_EQ(shell("ulimit -v 600000 && $V --pedigree pops.ped --quiet --report pops.html >/dev/null 2>err.txt"), 2);
  EXPECT_TRUE(contains(read("err.txt"), "1000 populations and 1 periods need")) << read("err.txt");
  EXPECT_TRUE(contains(read("err.txt"), "leave out --report")) << read("err.txt");
  for (const char* name : {"pops.html", "pops.out", "pops.log"}) EXPECT_FALSE(exists(name)) << name;
  EXPECT_EQ(shell("ulimit -v 600000 && $V --pedigree pops.ped --quiet >/dev/null 2>err.txt"), 0) << read("err.txt");
}

// More threads than CPUs: capped, with a note, and the same bytes.
TEST_F(RunFiles, ThreadsAboveTheUsableCpusAreCapped) {
  ASSERT_EQ(run("--pedigree herd.ped --output one.out --log one.log --threads 1").status, 0);
  const velmora_test::Result r = run("--pedigree herd.ped --output many.out --log many.log --threads 1024", "", {}, "taskset -c 0");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.err, "velmora: warning: --threads 1024 is more than the 1 CPUs this run may use")) << r.err;
  EXPECT_EQ(read("many.out"), read("one.out"));
  EXPECT_EQ(read("many.log"), read("one.log"));
}

}  // namespace
