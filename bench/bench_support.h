#pragma once

// What the bench programs share: their "--name value" options, the environment, and the
// figures of a running process that /proc gives.

#include <sys/types.h>

#include <functional>
#include <stdexcept>
#include <string>

namespace qm::bench {

// A command line the program cannot run with; an empty message asks for the usage alone.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads argv[First], argv[First + 1], ... as "--name value" pairs and hands each to Set, which
// returns false for a name it does not know. Raises UsageError for "-h" or "--help" (with an
// empty message), a name without a value and an unknown name; what Set raises passes through.
void ReadOptions(int argc, char** argv, int First,
                 const std::function<bool(const std::string& Name, const std::string& Value)>& Set);

// Text as a number from 1 to 100,000,000; raises UsageError naming the option otherwise.
int PositiveInt(const std::string& Name, const std::string& Text);

// The environment variable, or Default when it is not set.
std::string Env(const char* Name, const char* Default = "");

// The number on the line "Key:" of /proc/PID/status (kB for the "Vm..." lines, a count for
// "Threads"); -1 when the process or the line is gone.
long ProcStatus(pid_t Pid, const std::string& Key);

}  // namespace qm::bench
