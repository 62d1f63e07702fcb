#pragma once

// TFileDescriptor: owns a POSIX file descriptor (a file, a socket) and closes it where the
// owner ends. Move-only.
//
// Thread-safety: the number is atomic, so another thread may read it (to test it, or to shut
// a socket down) while the owning thread closes it; closing belongs to the owner alone.

#include <atomic>

namespace qm {

class TFileDescriptor {
 public:
  TFileDescriptor() = default;
  explicit TFileDescriptor(int fd) : FFd(fd) {}
  TFileDescriptor(TFileDescriptor&& other) noexcept : FFd(other.Release()) {}
  TFileDescriptor& operator=(TFileDescriptor&& other) noexcept;
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  ~TFileDescriptor() { Reset(); }

  // -1 when none is held.
  int Get() const { return FFd.load(); }
  bool Valid() const { return Get() >= 0; }
  // Gives the descriptor up without closing it.
  int Release() { return FFd.exchange(-1); }
  // Closes the descriptor held, if any, and takes `fd`.
  void Reset(int fd = -1);
  // Closes the descriptor held: close's result (0, or -1 with errno set); 0 when none is held.
  int Close();

 private:
  std::atomic<int> FFd{-1};
};

}  // namespace qm
