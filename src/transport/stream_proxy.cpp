#include "transport/stream_proxy.h"

#include "support/exception.h"

namespace qm {

void TmnStreamProxy::CloseRead() {
  ProxyCloseRead();
  if (FOver) {
    FOver->CloseRead();
  }
}

void TmnStreamProxy::CloseWrite() {
  ProxyCloseWrite();
  if (FOver) {
    FOver->CloseWrite();
  }
}

void TmnStreamProxy::Flush() {
  if (FEnabled) {
    ProxyFlush();
  }
  if (FOver) {
    FOver->Flush();
  }
}

bool TmnStreamProxy::Read(void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                          std::int64_t& RealCount) {
  if (FEnabled) {
    return ProxyRead(Buffer, Count, ResultCount, RealCount);
  }
  return TmnStreamProxy::ProxyRead(Buffer, Count, ResultCount, RealCount);
}

bool TmnStreamProxy::Write(const void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                           std::int64_t& RealCount) {
  if (FEnabled) {
    return ProxyWrite(Buffer, Count, ResultCount, RealCount);
  }
  return TmnStreamProxy::ProxyWrite(Buffer, Count, ResultCount, RealCount);
}

bool TmnStreamProxy::ProxyRead(void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                               std::int64_t& RealCount) {
  ResultCount = 0;
  RealCount = 0;
  return FOver ? FOver->Read(Buffer, Count, ResultCount, RealCount) : false;
}

bool TmnStreamProxy::ProxyWrite(const void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                                std::int64_t& RealCount) {
  ResultCount = 0;
  RealCount = 0;
  return FOver ? FOver->Write(Buffer, Count, ResultCount, RealCount) : false;
}

void TmnStreamProxy::EndFragment() {
  if (FOver) {
    FOver->EndFragment();
  }
}

void TmnStreamProxy::EndTransmission() {
  if (FOver) {
    FOver->EndTransmission();
  }
}

void TmnStreamProxy::SetEnabled(bool Value) {
  if (FEnabled == Value) {
    return;
  }
  if (!Value) {
    ProxyCloseRead();
    ProxyCloseWrite();
  }
  FEnabled = Value;
}

void TmnStreamProxy::Enable(TmnStreamProxy* Proxy) {
  if (Proxy == nullptr) {
    throw EmnStreamException("No Stream exists yet");
  }
  Proxy->SetEnabled(true);
}

void TmnStreamProxy::Disable(TmnStreamProxy* Proxy) {
  if (Proxy != nullptr) {
    Proxy->SetEnabled(false);
  }
}

// --- TmnInitialStreamProxy ---

void TmnInitialStreamProxy::Flush() {
  FStream.DoFlush();
}

bool TmnInitialStreamProxy::Read(void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                                 std::int64_t& RealCount) {
  ResultCount = FStream.ReadThroughBuffer(Buffer, Count);
  RealCount = ResultCount;
  return ResultCount > 0;
}

bool TmnInitialStreamProxy::Write(const void* Buffer, std::int64_t Count, std::int64_t& ResultCount,
                                  std::int64_t& RealCount) {
  ResultCount = FStream.WriteThroughBuffer(Buffer, Count);
  RealCount = ResultCount;
  return ResultCount > 0;
}

void TmnInitialStreamProxy::EndFragment() {
  FStream.EndFragment();
}

void TmnInitialStreamProxy::EndTransmission() {
  FStream.EndTransmission();
}

void TmnInitialStreamProxy::ProxyCloseRead() {
  FStream.DoCloseRead();
}

void TmnInitialStreamProxy::ProxyCloseWrite() {
  FStream.DoCloseWrite();
}

// --- TmnBufferStream::AddProxy (the chain is built here) ---

void TmnBufferStream::AddProxy(std::unique_ptr<TmnStreamProxy> Proxy) {
  if (!Proxy) {
    return;
  }
  std::unique_ptr<ImnStreamProxy> chain = TakeProxy();
  if (!chain) {
    chain = std::make_unique<TmnInitialStreamProxy>(*this);
  }
  auto* link = dynamic_cast<TmnStreamProxy*>(chain.get());
  if (link == nullptr) {
    SetProxy(std::move(chain));
    throw EmnStreamException("Proxy chain is not made of stream proxies");
  }
  chain.release();
  Proxy->FOver.reset(link);
  SetProxy(std::move(Proxy));
}

}  // namespace qm
