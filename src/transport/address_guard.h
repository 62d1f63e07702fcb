#pragma once

// What a listener remembers about each client address: wrong passwords, with a block that grows
// with every further one, and when it last wrote a log line about that address.
//
// Thread-safe: the listener thread asks at accept, the connection threads report their password
// checks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "support/thread_annotations.h"

namespace qm {

class TAddressGuard {
 public:
  // Wrong passwords an address may try before it is blocked.
  static constexpr int kFreeGuesses = 5;
  // The first block; each further wrong password doubles it, up to kLongestBlockMs.
  static constexpr std::uint64_t kFirstBlockMs = 2000;
  static constexpr std::uint64_t kLongestBlockMs = 15 * 60 * 1000;
  // An address without a wrong password for this long starts afresh.
  static constexpr std::uint64_t kForgetMs = 10 * 60 * 1000;
  // At most one log line per address in this time.
  static constexpr std::uint64_t kLogIntervalMs = 60 * 1000;
  // Addresses remembered at most; past it, those that matter least are forgotten first.
  static constexpr std::size_t kMaxAddresses = 10000;

  // Whether connections from Address are refused now: it is blocked, or the guesses it may
  // make are all being checked.
  bool Blocked(const std::string& Address, std::uint64_t Now);
  // Takes one guess for Address before its password is compared; false (nothing compared) when
  // it has none left now.
  bool TryGuess(const std::string& Address, std::uint64_t Now);
  // The outcome of a compared password. A wrong one with no guesses left blocks the address
  // (the block starts at Now); TookGuess is false for a comparison TryGuess did not grant.
  void Guessed(const std::string& Address, bool Right, bool TookGuess, std::uint64_t Now);
  // How long Address stays blocked from Now (ms; 0 when it is not).
  std::uint64_t BlockedFor(const std::string& Address, std::uint64_t Now);
  // True when a log line about Address may be written now; Skipped is then the number of lines
  // held back since the last one. False counts one more held-back line.
  bool TakeLogTurn(const std::string& Address, std::uint64_t Now, int& Skipped);

 private:
  struct TRecord {
    int Left = kFreeGuesses;
    int Level = 0;
    std::uint64_t BlockedUntil = 0;
    std::uint64_t LastFailure = 0;
    std::uint64_t LastLog = 0;
    bool Logged = false;
    int Skipped = 0;
  };

  TRecord& Find(const std::string& Address, std::uint64_t Now) REQUIRES(FLock);
  void Prune(std::uint64_t Now) REQUIRES(FLock);

  TMutex FLock;
  std::unordered_map<std::string, TRecord> FRecords GUARDED_BY(FLock);
};

}  // namespace qm
