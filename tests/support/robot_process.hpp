#pragma once
// Starts a program in the "robot" namespace of the private robot network (as the robot
// controller or its substitute) and stops it again. The program signals readiness by
// printing a line "READY"; the constructor waits for it. It is killed when the test process
// dies, so that a crashing test fails at once instead of leaving it behind for CTest to wait
// on.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace korvel::testing {

class RobotProcess {
 public:
  // `args` is the command run inside the namespace, e.g. {python, "-m", "korvel_sim", ...}.
  explicit RobotProcess(const std::vector<std::string>& args,
                        std::chrono::seconds ready_timeout = std::chrono::seconds(20),
                        const std::string& ns = "robot") {
    // setpriv sets the parent-death signal and execs; robotnet and `ip netns exec` exec in
    // turn, so the signal stays with the program itself.
    std::vector<std::string> full = {"/usr/bin/setpriv",
                                     "--pdeathsig",
                                     "KILL",
                                     std::string(KQ_SOURCE_DIR) + "/scripts/lib/robotnet",
                                     "exec",
                                     ns};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Own process group, so that stopping it reaches the program behind `ip netns exec`.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const int rc = posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      throw std::runtime_error("cannot start " + full[0]);
    }
    fd_ = out[0];
    if (!WaitForLine("READY", ready_timeout)) {
      Stop();
      throw std::runtime_error("robot process did not become ready: " + args.back());
    }
    // Whatever it prints later is read and discarded, so it never blocks on a full pipe.
    drain_ = std::thread([fd = fd_] {
      char buffer[4096];
      while (read(fd, buffer, sizeof buffer) > 0) {
      }
    });
  }

  RobotProcess(const RobotProcess&) = delete;
  RobotProcess& operator=(const RobotProcess&) = delete;
  ~RobotProcess() { Stop(); }

  // Waits for the program to end by itself; false if it is still running at the timeout.
  bool WaitForExit(std::chrono::milliseconds timeout, int* exit_status = nullptr) {
    const auto give_up = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (pid_ > 0) {
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        if (exit_status != nullptr) *exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
      }
      if (std::chrono::steady_clock::now() > give_up) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  void Stop(int signal_number = SIGTERM) {
    if (pid_ > 0) {
      kill(-pid_, signal_number);
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      int status = 0;
      while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > give_up) {
          kill(-pid_, SIGKILL);
          waitpid(pid_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      pid_ = -1;
    }
    if (drain_.joinable()) drain_.join();  // ends at EOF, once the process is gone
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
  }

 private:
  bool WaitForLine(const std::string& wanted, std::chrono::seconds timeout) {
    const auto give_up = std::chrono::steady_clock::now() + timeout;
    std::string pending;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          give_up - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char c;
      if (read(fd_, &c, 1) != 1) return false;
      if (c != '\n') {
        pending.push_back(c);
        continue;
      }
      if (!pending.empty() && pending.back() == '\r') pending.pop_back();
      if (pending == wanted) return true;
      pending.clear();
    }
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread drain_;
};

}  // namespace korvel::testing
