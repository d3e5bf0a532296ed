// The whole program, run as a process in a scratch folder: parameters,
// dialogue, file errors, data safety.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "program_files.h"

namespace {

namespace fs = std::filesystem;
using velmora_test::kBanner;
using velmora_test::read_file;
using velmora_test::write_file;


struct Result {
  int status = -1;
  std::string out, err;
};

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velmora_driver_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs velmora in the scratch folder with `args` (already quoted) and
  // standard input from `input`.
  Result run(const std::string& args, const std::string& input = "") {
    write_file(dir_ / "stdin.txt", input);
    std::string cmd = "cd '" + dir_.string() + "' && '" + VELMORA_BINARY + "' " + args +
                      " <stdin.txt >stdout.txt 2>stderr.txt";
    int raw = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = read_file(dir_ / "stdout.txt");
    r.err = read_file(dir_ / "stderr.txt");
    return r;
  }
  fs::path path(const std::string& name) const { return dir_ / name; }
  void write(const std::string& name, const std::string& text) const { write_file(dir_ / name, text); }
  bool exists(const std::string& name) const { return fs::exists(dir_ / name); }
  std::string read(const std::string& name) const { return read_file(dir_ / name); }

  static std::string pedigree() {
    std::string text;
    for (int k = 1; k <= 6; ++k) text += "F" + std::to_string(k) + " 0 0 " + (k <= 3 ? "PA" : "PB") + " Y1\n";
    text += "A1 F1 F2 PA Y2\nA2 F1 F3 PA Y2\nB1 F4 F5 PB Y2\nB2 F4 F6 PB Y2\n";
    return text;
  }
  static std::string params(const std::string& ped, const std::string& out, const std::string& log,
                            const std::string& numbers = "1\n2\n3\n4\n5\n") {
    return ped + "\n" + numbers + out + "\n" + log + "\n";
  }

  fs::path dir_;
};

TEST_F(Program, FinishedRunFromParameterFile) {
  write("ped.txt", pedigree());
  write("params.txt", params("ped.txt", "out.txt", "log.txt"));
  Result r = run("params.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, std::string(kBanner).size()), kBanner);
  EXPECT_EQ(r.out.substr(r.out.size() - 10), "Finished.\n");
  EXPECT_EQ(r.err, "");
  EXPECT_NE(read("out.txt").find(" Pair of populations :PB & PA"), std::string::npos);
  EXPECT_EQ(read("log.txt").substr(0, 49), "  Number of fields in pedigree file            5\n");
}

TEST_F(Program, DialogueAsksEightQuestions) {
  write("ped.txt", pedigree());
  Result r = run("", params("ped.txt", "out.txt", "log.txt"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(std::string(kBanner).size(), 200),
            std::string("  Enter the name of the pedigree file \n"
                        "  Enter field number of Animal \n"
                        "  Enter field number of Sire \n"
                        "  Enter field number of Dam \n"
                        "  Enter field number of population \n"
                        "  Enter field number of period of comparing populations \n"
                        "  Enter the name of the output file \n"
                        "  Enter the name of the log file \n")
                .substr(0, 200));
  EXPECT_TRUE(exists("out.txt"));
}

TEST_F(Program, DialogueInputEndsEarly) {
  Result r = run("", "ped.txt\n1\n2\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("standard input"), std::string::npos);
}

TEST_F(Program, BlankNamesStopWithTheirError) {
  write("ped.txt", pedigree());
  write("p1.txt", params("ped.txt", "out.txt", "   "));
  Result r = run("p1.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(kBanner) + "  ERROR: No log file selected \nProgram has terminated\n");

  write("p2.txt", params("", "out.txt", "log.txt"));
  r = run("p2.txt");
  EXPECT_EQ(r.out, std::string(kBanner) + "  ERROR: No pedigree file selected \nProgram has terminated\n");
  EXPECT_EQ(read("log.txt"), "  ERROR: No pedigree file selected \n");

  write("p3.txt", params("ped.txt", "", "log.txt"));
  r = run("p3.txt");
  EXPECT_EQ(read("log.txt"), "  Number of fields in pedigree file            5\n  ERROR: No output file selected \n");
  EXPECT_FALSE(exists("out.txt"));
}

TEST_F(Program, FieldNumbersOutsideTheRecord) {
  write("ped.txt", pedigree());
  for (const char* numbers : {"1\n0\n3\n4\n5\n", "1\n2\n-1\n4\n5\n", "1\n2\n3\n4\n6\n"}) {
    write("params.txt", params("ped.txt", "out.txt", "log.txt", numbers));
    Result r = run("params.txt");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("  ERROR: Field number outside the fields of the pedigree file: "), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 23), "Program has terminated\n");
    EXPECT_FALSE(exists("out.txt"));
  }
}

TEST_F(Program, UnreadableParametersAreFileErrors) {
  write("ped.txt", pedigree());
  write("short.txt", "ped.txt\n1\n2\n");
  Result r = run("short.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("\"short.txt\""), std::string::npos);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

  write("text.txt", params("ped.txt", "out.txt", "log.txt", "1\nsire\n3\n4\n5\n"));
  r = run("text.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("\"text.txt\""), std::string::npos);

  r = run("missing.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("\"missing.txt\""), std::string::npos);

  fs::create_directories(path("folder"));
  r = run("folder");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("\"folder\""), std::string::npos);
}

TEST_F(Program, PedigreeThatIsAFolderOrMissing) {
  fs::create_directories(path("pedfolder"));
  write("params.txt", params("pedfolder", "out.txt", "log.txt"));
  Result r = run("params.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("\"pedfolder\""), std::string::npos);
  EXPECT_FALSE(exists("out.txt"));

  write("params.txt", params("nosuch.txt", "out.txt", "log.txt"));
  r = run("params.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("\"nosuch.txt\""), std::string::npos);
}

TEST_F(Program, NeverOverwritesAnInput) {
  write("ped.txt", pedigree());
  const std::string before = read("ped.txt");
  for (const char* p : {"ped.txt\n1\n2\n3\n4\n5\nped.txt\nlog.txt\n", "ped.txt\n1\n2\n3\n4\n5\nout.txt\nped.txt\n",
                        "ped.txt\n1\n2\n3\n4\n5\nout.txt\nparams.txt\n", "ped.txt\n1\n2\n3\n4\n5\nsame.txt\nsame.txt\n"}) {
    write("params.txt", p);
    Result r = run("params.txt");
    EXPECT_EQ(r.status, 2) << p;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_EQ(read("ped.txt"), before);
    EXPECT_FALSE(exists("log.txt"));
    EXPECT_FALSE(exists("same.txt"));
  }
  // The same file through a link.
  fs::create_symlink("ped.txt", path("link.txt"));
  write("params.txt", params("ped.txt", "link.txt", "log.txt"));
  EXPECT_EQ(run("params.txt").status, 2);
  EXPECT_EQ(read("ped.txt"), before);
}

TEST_F(Program, FailedWritesAreNotSuccess) {
  write("ped.txt", pedigree());
  write("params.txt", params("ped.txt", "/dev/full", "log.txt"));
  Result r = run("params.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out.find("Finished."), std::string::npos);
  EXPECT_NE(r.err.find("/dev/full"), std::string::npos);

  write("params.txt", params("ped.txt", "out.txt", "nofolder/log.txt"));
  r = run("params.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("nofolder/log.txt"), std::string::npos);
}

}  // namespace
