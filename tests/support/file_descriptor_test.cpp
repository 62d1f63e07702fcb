#include "support/file_descriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <utility>

namespace qm {
namespace {

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

// Both ends of a fresh pipe; whatever the test leaves open is closed at the end.
class FileDescriptorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::pipe(FEnds.data()), 0); }
  void TearDown() override {
    for (int fd : FEnds) {
      if (IsOpen(fd))
        ::close(fd);
    }
  }
  int Read() const { return FEnds[0]; }
  int Write() const { return FEnds[1]; }

 private:
  std::array<int, 2> FEnds{-1, -1};
};

TEST_F(FileDescriptorTest, ClosesWhereTheOwnerEnds) {
  { TFileDescriptor owner(Read()); }
  EXPECT_FALSE(IsOpen(Read()));
  EXPECT_TRUE(IsOpen(Write()));
}

TEST_F(FileDescriptorTest, MoveHandsOwnershipOverWithoutClosing) {
  TFileDescriptor target;
  {
    TFileDescriptor source(Read());
    target = std::move(source);
    EXPECT_FALSE(source.Valid());
  }
  EXPECT_TRUE(IsOpen(Read()));
  EXPECT_EQ(target.Get(), Read());
  TFileDescriptor constructed(std::move(target));
  EXPECT_FALSE(target.Valid());
  EXPECT_TRUE(IsOpen(Read()));
}

TEST_F(FileDescriptorTest, AssignmentAndResetCloseTheDescriptorReplaced) {
  TFileDescriptor owner(Read());
  owner = TFileDescriptor(Write());
  EXPECT_FALSE(IsOpen(Read()));
  EXPECT_EQ(owner.Get(), Write());
  owner.Reset();
  EXPECT_FALSE(IsOpen(Write()));
  EXPECT_FALSE(owner.Valid());
}

TEST_F(FileDescriptorTest, ReleaseLeavesTheDescriptorOpen) {
  {
    TFileDescriptor owner(Read());
    EXPECT_EQ(owner.Release(), Read());
    EXPECT_EQ(owner.Get(), -1);
  }
  EXPECT_TRUE(IsOpen(Read()));
}

TEST_F(FileDescriptorTest, CloseReportsAndClosesOnce) {
  TFileDescriptor owner(Read());
  EXPECT_EQ(owner.Close(), 0);
  EXPECT_FALSE(IsOpen(Read()));
  EXPECT_FALSE(owner.Valid());
  // The number just freed is the lowest, so the system hands it out again: a second Close
  // must not close the descriptor that now has it.
  const int reused = ::dup(Write());
  ASSERT_GE(reused, 0);
  EXPECT_EQ(owner.Close(), 0);
  EXPECT_TRUE(IsOpen(reused));
  ::close(reused);
}

}  // namespace
}  // namespace qm
