#include "transport/address_guard.h"

#include <algorithm>

namespace qm {

TAddressGuard::TRecord& TAddressGuard::Find(const std::string& Address, std::uint64_t Now) {
  auto it = FRecords.find(Address);
  if (it == FRecords.end()) {
    if (FRecords.size() >= kMaxAddresses)
      Prune(Now);
    it = FRecords.emplace(Address, TRecord{}).first;
  }
  TRecord& record = it->second;
  // Long quiet after its last block: the address starts afresh (its log turn stays).
  if (record.LastFailure != 0 && Now >= record.BlockedUntil + kForgetMs &&
      Now - record.LastFailure >= kForgetMs) {
    record.Left = kFreeGuesses;
    record.Level = 0;
    record.BlockedUntil = 0;
    record.LastFailure = 0;
  }
  return record;
}

void TAddressGuard::Prune(std::uint64_t Now) {
  // First what no longer matters; when that is not enough (many addresses at once), everything
  // but the blocked ones.
  std::erase_if(FRecords, [Now](const auto& item) {
    const TRecord& r = item.second;
    return Now >= r.BlockedUntil && Now - r.LastFailure >= kForgetMs &&
           Now - r.LastLog >= kLogIntervalMs;
  });
  if (FRecords.size() >= kMaxAddresses)
    std::erase_if(FRecords, [Now](const auto& item) { return Now >= item.second.BlockedUntil; });
  if (FRecords.size() >= kMaxAddresses)
    FRecords.clear();
}

bool TAddressGuard::Blocked(const std::string& Address, std::uint64_t Now) {
  TLockGuard lock(FLock);
  const auto it = FRecords.find(Address);
  if (it == FRecords.end())
    return false;
  const TRecord& record = Find(Address, Now);
  return Now < record.BlockedUntil || record.Left <= 0;
}

bool TAddressGuard::TryGuess(const std::string& Address, std::uint64_t Now) {
  TLockGuard lock(FLock);
  TRecord& record = Find(Address, Now);
  if (Now < record.BlockedUntil || record.Left <= 0)
    return false;
  --record.Left;
  return true;
}

void TAddressGuard::Guessed(const std::string& Address, bool Right, bool TookGuess,
                            std::uint64_t Now) {
  TLockGuard lock(FLock);
  TRecord& record = Find(Address, Now);
  if (Right) {
    // The address knows the password: it was not guessing.
    record.Left = kFreeGuesses;
    record.Level = 0;
    return;
  }
  record.LastFailure = Now;
  if (!TookGuess)
    record.Left = std::max(0, record.Left - 1);
  // Wrong passwords that were already being checked when the block began do not lengthen it.
  if (record.Left > 0 || Now < record.BlockedUntil)
    return;
  const int shift = std::min(record.Level, 20);
  record.BlockedUntil = Now + std::min(kFirstBlockMs << shift, kLongestBlockMs);
  ++record.Level;
  // One guess when the block ends; a wrong one blocks again, twice as long.
  record.Left = 1;
}

std::uint64_t TAddressGuard::BlockedFor(const std::string& Address, std::uint64_t Now) {
  TLockGuard lock(FLock);
  const auto it = FRecords.find(Address);
  return it == FRecords.end() || Now >= it->second.BlockedUntil ? 0 : it->second.BlockedUntil - Now;
}

bool TAddressGuard::TakeLogTurn(const std::string& Address, std::uint64_t Now, int& Skipped) {
  TLockGuard lock(FLock);
  TRecord& record = Find(Address, Now);
  if (record.Logged && Now - record.LastLog < kLogIntervalMs) {
    ++record.Skipped;
    Skipped = record.Skipped;
    return false;
  }
  Skipped = record.Skipped;
  record.Skipped = 0;
  record.Logged = true;
  record.LastLog = Now;
  return true;
}

}  // namespace qm
