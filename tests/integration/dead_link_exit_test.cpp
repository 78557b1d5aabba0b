// Destroying a client whose robot can no longer be reached returns within about a second;
// zenoh goes on closing the session on a thread of its own. A process that exits right after
// waits a bounded time for that close and ends cleanly while it still runs: no crash, and
// (in the sanitizer builds) nothing reported as leaked or half freed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/sim.hpp"

extern char** environ;

namespace korvel::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Every packet on the fault network's link dropped, in this (the host's) namespace.
class DeadLink {
 public:
  DeadLink() { Rules("-A"); }
  ~DeadLink() { Rules("-D"); }

 private:
  static void Rules(const char* op) {
    const std::string in = std::string("iptables ") + op + " INPUT -i kqf-host -j DROP";
    const std::string out = std::string("iptables ") + op + " OUTPUT -o kqf-host -j DROP";
    EXPECT_EQ(std::system(in.c_str()), 0) << in;
    EXPECT_EQ(std::system(out.c_str()), 0) << out;
  }
};

// The child's next line that starts with `prefix` (its log lines share stdout), or "" when
// none comes within `timeout`.
std::string NextLine(int fd, const std::string& prefix, std::chrono::seconds timeout) {
  std::string line;
  const auto give_up = Clock::now() + timeout;
  char c = 0;
  while (Clock::now() < give_up) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    if (read(fd, &c, 1) != 1) return "";
    if (c != '\n') {
      line += c;
    } else if (line.rfind(prefix, 0) == 0) {
      return line;
    } else {
      line.clear();
    }
  }
  return "";
}

TEST(DeadLinkExit, TheProcessExitsCleanlyWhileZenohStillCloses) {
  const std::string serial = UniqueSerial("DEADEXIT");
  auto sim = StartSim(serial, {.layout = "one-arm", .rate = 200, .faults = {}, .ns = "kqf-robot"});

  int to_child[2];
  int from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, to_child[1]);
  posix_spawn_file_actions_addclose(&actions, from_child[0]);
  std::string program = KQ_DEAD_LINK_CLIENT;
  std::string arg = serial;
  char* argv[] = {program.data(), arg.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(to_child[0]);
  close(from_child[1]);
  struct Reap {
    pid_t pid;
    ~Reap() {
      if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } reap{pid};

  ASSERT_EQ(NextLine(from_child[0], "connected", std::chrono::seconds(30)), "connected");
  DeadLink dead;
  ASSERT_EQ(write(to_child[1], "\n", 1), 1);
  const std::string destroyed = NextLine(from_child[0], "destroyed ", std::chrono::seconds(10));
  const auto returned = Clock::now();
  ASSERT_EQ(destroyed.rfind("destroyed ", 0), 0u) << destroyed;
  EXPECT_LT(std::stod(destroyed.substr(10)), 1.5) << destroyed;

  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
         Clock::now() - returned < std::chrono::seconds(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(done, pid) << "the process did not exit within 20 s";
  reap.pid = 0;
  const double exit_s = std::chrono::duration<double>(Clock::now() - returned).count();
  // The close was still running at exit (the link is dead), so exit waited for it, boundedly.
  EXPECT_GE(exit_s, 1.9);
  EXPECT_LT(exit_s, 15.0);
  // A sanitizer report ends the process otherwise.
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace korvel::testing
