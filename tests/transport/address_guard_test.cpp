#include "transport/address_guard.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

constexpr const char* kGuesser = "192.0.2.7";
constexpr std::uint64_t kStart = 1000000;

// Takes the address's free guesses, all wrong, at Now.
void Exhaust(TAddressGuard& Guard, std::uint64_t Now) {
  for (int i = 0; i < TAddressGuard::kFreeGuesses; ++i) {
    ASSERT_TRUE(Guard.TryGuess(kGuesser, Now));
    Guard.Guessed(kGuesser, false, true, Now);
  }
}

TEST(AddressGuardTest, GuessesInFlightCountBeforeTheirOutcome) {
  TAddressGuard guard;
  // Many connections at once: only the free guesses are compared, the rest refused unchecked.
  int granted = 0;
  for (int i = 0; i < 50; ++i)
    granted += guard.TryGuess(kGuesser, kStart) ? 1 : 0;
  EXPECT_EQ(granted, TAddressGuard::kFreeGuesses);
  EXPECT_TRUE(guard.Blocked(kGuesser, kStart));
  EXPECT_FALSE(guard.Blocked("192.0.2.8", kStart));  // other addresses are not touched
  // Their outcomes: the first wrong one blocks, the others do not lengthen that block.
  for (int i = 0; i < granted; ++i)
    guard.Guessed(kGuesser, false, true, kStart + i);
  EXPECT_EQ(guard.BlockedFor(kGuesser, kStart), TAddressGuard::kFirstBlockMs);
}

TEST(AddressGuardTest, EachWrongGuessAfterABlockDoublesTheNext) {
  TAddressGuard guard;
  Exhaust(guard, kStart);
  std::uint64_t now = kStart;
  std::uint64_t block = TAddressGuard::kFirstBlockMs;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(guard.BlockedFor(kGuesser, now), block);
    EXPECT_FALSE(guard.TryGuess(kGuesser, now + block - 1));
    now += block;
    // One guess when the block ends, then blocked again for twice as long (up to the longest).
    ASSERT_TRUE(guard.TryGuess(kGuesser, now));
    EXPECT_FALSE(guard.TryGuess(kGuesser, now));
    guard.Guessed(kGuesser, false, true, now);
    block = std::min(block * 2, TAddressGuard::kLongestBlockMs);
  }
  EXPECT_EQ(guard.BlockedFor(kGuesser, now), TAddressGuard::kLongestBlockMs);
}

TEST(AddressGuardTest, TheRightPasswordOrALongQuietStartsAfresh) {
  struct Case {
    const char* name;
    bool right;           // the guess after the block is the right password
    std::uint64_t quiet;  // or this long passes without a guess
  };
  const Case cases[] = {
      {"right password", true, TAddressGuard::kFirstBlockMs},
      {"quiet for the forget time", false, TAddressGuard::kFirstBlockMs + TAddressGuard::kForgetMs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TAddressGuard guard;
    Exhaust(guard, kStart);
    const std::uint64_t later = kStart + c.quiet;
    ASSERT_TRUE(guard.TryGuess(kGuesser, later));
    if (c.right)
      guard.Guessed(kGuesser, true, true, later);
    else
      guard.Guessed(kGuesser, false, true, later);
    // Fresh: all free guesses again (a wrong one above took one of them).
    int granted = 0;
    while (guard.TryGuess(kGuesser, later))
      ++granted;
    EXPECT_EQ(granted, TAddressGuard::kFreeGuesses - (c.right ? 0 : 1));
  }
}

TEST(AddressGuardTest, OneLogLinePerAddressAMinuteCountingTheRest) {
  TAddressGuard guard;
  int skipped = -1;
  EXPECT_TRUE(guard.TakeLogTurn(kGuesser, kStart, skipped));
  EXPECT_EQ(skipped, 0);
  for (int i = 1; i <= 3; ++i)
    EXPECT_FALSE(guard.TakeLogTurn(kGuesser, kStart + i * 1000, skipped));
  EXPECT_TRUE(guard.TakeLogTurn("192.0.2.8", kStart + 1, skipped));  // its own turn
  EXPECT_TRUE(guard.TakeLogTurn(kGuesser, kStart + TAddressGuard::kLogIntervalMs, skipped));
  EXPECT_EQ(skipped, 3);
}

TEST(AddressGuardTest, ManyAddressesAreForgottenBeforeTheBlockedOnes) {
  TAddressGuard guard;
  Exhaust(guard, kStart);
  // A flood of addresses, each with one log line: past the bound, the guard forgets the ones
  // that matter least and keeps the block.
  for (std::size_t i = 0; i < TAddressGuard::kMaxAddresses + 10; ++i) {
    int skipped = 0;
    guard.TakeLogTurn("10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) +
                          "." + std::to_string(i % 256),
                      kStart + 1, skipped);
  }
  EXPECT_TRUE(guard.Blocked(kGuesser, kStart + 2));
}

}  // namespace
}  // namespace qm
