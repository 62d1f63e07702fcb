#pragma once

#include <cstdint>
#include <memory>

#include "transport/buffer_stream.h"

namespace qm {

// One link of a buffered stream's proxy chain. Each link owns the next one toward the device
// (`FOver`); the stream owns the first. The last added link sees written data first and read
// data last. A chain belongs to one stream and is used by that stream's thread only.
class TmnStreamProxy : public ImnStreamProxy {
 public:
  TmnStreamProxy() = default;
  TmnStreamProxy(const TmnStreamProxy&) = delete;
  TmnStreamProxy& operator=(const TmnStreamProxy&) = delete;
  ~TmnStreamProxy() override = default;

  // Chain operations: each link does its own part, then passes the call on.
  void CloseRead() override;
  void CloseWrite() override;
  void Flush() override;
  bool Read(void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
            std::int64_t& RealCount) override;
  bool Write(const void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
             std::int64_t& RealCount) override;
  virtual void EndFragment();
  virtual void EndTransmission();

  bool Enabled() const { return FEnabled; }
  // Disabling lets the link finish its output (its own read and write close) and from then on
  // pass reads and writes straight to the next link. Setting the current value does nothing.
  void SetEnabled(bool Value);
  // On a null proxy: Enable raises EmnStreamException "No Stream exists yet", Disable does nothing.
  static void Enable(TmnStreamProxy* Proxy);
  static void Disable(TmnStreamProxy* Proxy);

  TmnStreamProxy* Over() const { return FOver.get(); }

 protected:
  // Transforming hooks of an enabled link. By default read from / write to the next link.
  virtual bool ProxyRead(void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                         std::int64_t& RealCount);
  virtual bool ProxyWrite(const void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                          std::int64_t& RealCount);
  virtual void ProxyFlush() {}
  virtual void ProxyCloseRead() {}
  virtual void ProxyCloseWrite() {}

  std::unique_ptr<TmnStreamProxy> FOver;  // the next link toward the device, owned
  bool FEnabled = true;

 private:
  friend class TmnBufferStream;
};

// The base for proxies that a user adds; created enabled.
class TmnStreamOverProxy : public TmnStreamProxy {};

// The last link of every chain: reads and writes through the stream's own buffers.
class TmnInitialStreamProxy : public TmnStreamProxy {
 public:
  // `Stream` owns the chain, so it outlives this link.
  explicit TmnInitialStreamProxy(TmnBufferStream& Stream) : FStream(Stream) {}

  void CloseRead() override { ProxyCloseRead(); }
  void CloseWrite() override { ProxyCloseWrite(); }
  void Flush() override;
  bool Read(void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
            std::int64_t& RealCount) override;
  bool Write(const void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
             std::int64_t& RealCount) override;
  void EndFragment() override;
  void EndTransmission() override;

 protected:
  void ProxyCloseRead() override;
  void ProxyCloseWrite() override;

 private:
  TmnBufferStream& FStream;
};

}  // namespace qm
