#include "bench_support.h"

#include <cstdlib>
#include <fstream>

namespace qm::bench {

void ReadOptions(
    int argc, char** argv, int First,
    const std::function<bool(const std::string& Name, const std::string& Value)>& Set) {
  for (int i = First; i < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "-h" || name == "--help")
      throw UsageError("");
    if (i + 1 >= argc)
      throw UsageError(name + " needs a value");
    if (!Set(name, argv[i + 1]))
      throw UsageError("unknown option " + name);
  }
}

int PositiveInt(const std::string& Name, const std::string& Text) {
  char* end = nullptr;
  const long value = std::strtol(Text.c_str(), &end, 10);
  if (Text.empty() || *end != '\0' || value < 1 || value > 100000000)
    throw UsageError(Name + " needs a positive number, not \"" + Text + "\"");
  return static_cast<int>(value);
}

std::string Env(const char* Name, const char* Default) {
  const char* value = std::getenv(Name);
  return value != nullptr ? value : Default;
}

long ProcStatus(pid_t Pid, const std::string& Key) {
  std::ifstream file("/proc/" + std::to_string(Pid) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(Key + ":", 0) == 0)
      return std::atol(line.c_str() + Key.size() + 1);
  }
  return -1;
}

}  // namespace qm::bench
