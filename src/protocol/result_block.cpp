#include "protocol/result_block.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <iterator>
#include <thread>
#include <utility>

#include "support/thread_annotations.h"
#include "support/utf16.h"

namespace qm {

// --- TqmdZCompressor ---

namespace {
// Output gathers in pieces that grow from the first size to the last: a small result takes a
// small piece, a large one few allocations.
constexpr std::size_t kFirstPiece = 4 * 1024;
constexpr std::size_t kLastPiece = 256 * 1024;
// Input gathers up to this size before it is deflated, in the stream's own scratch buffer.
constexpr std::size_t kStage = 32 * 1024;
static_assert(kStage <= TZStreamLease::kScratchSize && kStage <= TIgzipStreamLease::kScratchSize);
// Stages deflated on the caller's thread before deflating moves to a thread of its own: a small
// result is done before a thread would have started.
constexpr std::size_t kInlineStages = 8;
// Stages the background thread works through: one it deflates, the rest waiting or being
// filled. More would only hold more input while zlib is the slower side.
constexpr std::size_t kBackgroundStages = 4;
}  // namespace

// The thread that deflates full stages while the caller fills the next. Stages travel as
// pointers: the lease's scratch buffer and buffers of its own, all kStage long.
class TqmdZCompressor::TBackground {
 public:
  // The caller's stage is the first: it comes back through Pass once deflated.
  explicit TBackground(TqmdZCompressor& Owner) : FOwner(Owner) {
    TLockGuard guard(FLock);
    for (std::size_t i = 1; i < kBackgroundStages; ++i) {
      FBuffers.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(kStage));
      FEmpty.push_back(FBuffers.back().get());
    }
    FThread = std::thread([this] { Run(); });
  }

  TBackground(const TBackground&) = delete;
  TBackground& operator=(const TBackground&) = delete;

  // A compressor given up half-way: what waits is dropped.
  ~TBackground() {
    if (!FThread.joinable())
      return;
    {
      TLockGuard guard(FLock);
      FClosing = true;
      FAbandoned = true;
    }
    FChanged.notify_all();
    FThread.join();
  }

  // Queues Count bytes of Stage and returns an empty stage, waiting while every stage is
  // queued. Raises what deflating raised.
  std::uint8_t* Pass(std::uint8_t* Stage, std::size_t Count) {
    TUniqueLock lock(FLock);
    RaiseFailure();
    FQueued.push_back({Stage, Count});
    FChanged.notify_all();
    FChanged.wait(lock.Standard(), [this]() NO_THREAD_SAFETY_ANALYSIS {
      return !FEmpty.empty() || FFailure != nullptr;
    });
    RaiseFailure();
    std::uint8_t* empty = FEmpty.back();
    FEmpty.pop_back();
    return empty;
  }

  // Waits until every queued stage is deflated and the thread has ended. Raises what deflating
  // raised.
  void Drain() {
    {
      TLockGuard guard(FLock);
      FClosing = true;
    }
    FChanged.notify_all();
    FThread.join();
    TLockGuard guard(FLock);
    RaiseFailure();
  }

 private:
  void RaiseFailure() REQUIRES(FLock) {
    if (FFailure != nullptr)
      std::rethrow_exception(FFailure);
  }

  void Run() {
    for (;;) {
      std::pair<std::uint8_t*, std::size_t> stage;
      {
        TUniqueLock lock(FLock);
        FChanged.wait(lock.Standard(),
                      [this]() NO_THREAD_SAFETY_ANALYSIS { return !FQueued.empty() || FClosing; });
        if (FAbandoned || FQueued.empty())
          return;
        stage = FQueued.front();
        FQueued.pop_front();
      }
      try {
        FOwner.Deflate(stage.first, stage.second, false);
      } catch (...) {
        TLockGuard guard(FLock);
        FFailure = std::current_exception();
        FChanged.notify_all();
        return;
      }
      {
        TLockGuard guard(FLock);
        FEmpty.push_back(stage.first);
      }
      FChanged.notify_all();
    }
  }

  TqmdZCompressor& FOwner;
  std::vector<std::unique_ptr<std::uint8_t[]>> FBuffers;
  TMutex FLock;
  std::condition_variable FChanged;
  std::deque<std::pair<std::uint8_t*, std::size_t>> FQueued GUARDED_BY(FLock);
  std::vector<std::uint8_t*> FEmpty GUARDED_BY(FLock);
  bool FClosing GUARDED_BY(FLock) = false;
  bool FAbandoned GUARDED_BY(FLock) = false;
  std::exception_ptr FFailure GUARDED_BY(FLock);
  std::thread FThread;  // last: starts once the rest is made
};

TqmdZCompressor::TqmdZCompressor(int Level) : FLevel(Level) {}

void TqmdZCompressor::TakeStream() {
  std::uint8_t* scratch = nullptr;
  if (FLevel == kResultBlockDefaultLevel) {
    FIgzip.emplace(TIgzipStreamLease::Deflater(kResultBlockIgzipLevel));
    scratch = FIgzip->Scratch();
  } else {
    FLease.emplace(TZStreamLease::Deflater(FLevel, TZStreamLease::kZlibWindowBits));
    scratch = FLease->Scratch();
  }
  std::memcpy(scratch, FSmallStage, FStaged);
  FStage = scratch;
  FStageSize = kStage;
}

// Out of line: TBackground is complete only here.
TqmdZCompressor::~TqmdZCompressor() = default;

void TqmdZCompressor::FlushStage() {
  if (FStaged == 0)
    return;
  if (!FLease && !FIgzip)
    TakeStream();
  const std::size_t count = FStaged;
  FStaged = 0;
  if (FBackground != nullptr || FFlushedStages >= kInlineStages) {
    PassStage(count);
    return;
  }
  ++FFlushedStages;
  Deflate(FStage, count, false);
}

void TqmdZCompressor::PassStage(std::size_t Count) {
  if (FBackground == nullptr)
    FBackground = std::make_unique<TBackground>(*this);
  FStage = FBackground->Pass(FStage, Count);
}

// While the background thread runs, only it calls these: the pieces and counts are its own
// until Drain has joined it.
void TqmdZCompressor::Deflate(const std::uint8_t* data, std::size_t count, bool Finish) {
  if (FIgzip)
    DeflateIgzip(data, count, Finish);
  else
    DeflateZlib(data, count, Finish);
}

std::pair<std::uint8_t*, std::size_t> TqmdZCompressor::OutputRoom() {
  if (FPieces.empty() || FLastUsed == FPieces.back().Size) {
    const std::size_t size =
        FPieces.empty() ? kFirstPiece : std::min(FPieces.back().Size * 2, kLastPiece);
    FPieces.push_back({std::make_unique_for_overwrite<std::uint8_t[]>(size), size});
    FLastUsed = 0;
  }
  TPiece& piece = FPieces.back();
  return {piece.Data.get() + FLastUsed, piece.Size - FLastUsed};
}

void TqmdZCompressor::Produced(std::size_t Count) {
  FLastUsed += Count;
  FTotal += Count;
  if (FLimit != 0 && FTotal > FLimit)
    throw EResultTooLarge("Result too large: the compressed result passed MaxResultSize (" +
                          std::to_string(FLimit) + " bytes)");
}

void TqmdZCompressor::DeflateZlib(const std::uint8_t* data, std::size_t count, bool Finish) {
  z_stream& stream = FLease->Stream();
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(count);
  const int flush = Finish ? Z_FINISH : Z_NO_FLUSH;
  for (;;) {
    const auto [room, size] = OutputRoom();
    stream.next_out = room;
    stream.avail_out = static_cast<uInt>(size);
    const int result = deflate(&stream, flush);
    if (result == Z_STREAM_ERROR)
      throw EprmException("deflate failed");
    Produced(size - stream.avail_out);
    if (Finish ? result == Z_STREAM_END : stream.avail_in == 0 && stream.avail_out != 0)
      break;
  }
}

void TqmdZCompressor::DeflateIgzip(const std::uint8_t* data, std::size_t count, bool Finish) {
  isal_zstream& stream = FIgzip->Deflate();
  stream.next_in = const_cast<std::uint8_t*>(data);
  stream.avail_in = static_cast<std::uint32_t>(count);
  stream.end_of_stream = Finish ? 1 : 0;
  for (;;) {
    const auto [room, size] = OutputRoom();
    stream.next_out = room;
    stream.avail_out = static_cast<std::uint32_t>(size);
    const int result = isal_deflate(&stream);
    if (result != COMP_OK)
      throw EprmException("deflate failed");
    Produced(size - stream.avail_out);
    if (Finish ? stream.internal_state.state == ZSTATE_END
               : stream.avail_in == 0 && stream.avail_out != 0)
      break;
  }
}

void TqmdZCompressor::Write(std::string_view bytes) {
  if (FFinished)
    throw EprmException("deflate failed");
  FInput += bytes.size();
  // Large values pass through the stage too: the background thread may deflate a stage only
  // after this call has returned.
  while (!bytes.empty()) {
    if (FStaged == FStageSize) {
      if (FLease || FIgzip)
        FlushStage();
      else
        TakeStream();
    }
    const std::size_t n = std::min(bytes.size(), FStageSize - FStaged);
    std::memcpy(FStage + FStaged, bytes.data(), n);
    FStaged += n;
    bytes.remove_prefix(n);
  }
}

std::vector<std::uint8_t> TqmdZCompressor::Finish() {
  if (FFinished)
    throw EprmException("deflate failed");
  if (!FLease && !FIgzip) {
    // The whole input is in the small stage.
    struct TLastSmallBlock {
      int Level = 0;
      std::string Input;
      std::vector<std::uint8_t> Block;
      bool Kept = false;
    };
    thread_local TLastSmallBlock last;
    const std::string_view input(reinterpret_cast<const char*>(FSmallStage), FStaged);
    if (last.Kept && last.Level == FLevel && last.Input == input) {
      FFinished = true;
      FTotal = 0;
      Produced(last.Block.size());  // the limit holds for a kept block too
      return last.Block;
    }
    TakeStream();
    std::vector<std::uint8_t> block = Finish();
    last.Kept = false;  // cleared first: a copy that fails leaves nothing half kept
    last.Level = FLevel;
    last.Input.assign(input);
    last.Block = block;
    last.Kept = true;
    return block;
  }
  FlushStage();
  FFinished = true;
  if (FBackground != nullptr) {
    FBackground->Drain();
    FBackground.reset();
  }
  Deflate(nullptr, 0, true);
  // One block for the reply; each piece is freed as soon as it is copied, so the peak stays
  // near one block.
  std::vector<std::uint8_t> block;
  block.reserve(FTotal);
  for (std::size_t i = 0; i < FPieces.size(); ++i) {
    const std::size_t used = i + 1 == FPieces.size() ? FLastUsed : FPieces[i].Size;
    block.insert(block.end(), FPieces[i].Data.get(), FPieces[i].Data.get() + used);
    FPieces[i].Data.reset();
  }
  FPieces.clear();
  return block;
}

// --- TResultBlockWriter ---

TResultBlockWriter::TResultBlockWriter(TqmdZCompressor& Compressor, TqmdResultEncoding Encoding)
    : FCompressor(Compressor), FEncoding(Encoding) {
  if (FEncoding == TqmdResultEncoding::UTF16) {
    FNull = Utf8ToUtf16Le(kResultNullMarker);
    FSeparator = Utf8ToUtf16Le(kResultFieldSeparator);
    FTerminator = Utf8ToUtf16Le(kResultRowTerminator);
  } else {
    FNull = kResultNullMarker;
    FSeparator = kResultFieldSeparator;
    FTerminator = kResultRowTerminator;
  }
}

void TResultBlockWriter::Value(std::string_view utf8) {
  if (FEncoding == TqmdResultEncoding::UTF16)
    FCompressor.Write(Utf8ToUtf16Le(utf8));
  else
    FCompressor.Write(utf8);
}

void TResultBlockWriter::Bytes(std::string_view bytes) {
  Value(ResultTextOfBytes(bytes));
}

EqmUncarriableValue::EqmUncarriableValue(std::string_view Column, std::uint64_t Row)
    : EprmException("value cannot be carried in a result block: column \"" + std::string(Column) +
                    "\", row " + std::to_string(Row)) {}

std::string ResultTextOfBytes(std::string_view bytes) {
  return Latin1ToUtf8(bytes);
}

std::string ResultBytesOfText(std::string_view utf8) {
  return Utf8ToLatin1(utf8);
}

// --- decoding ---

namespace {

// Both markers start with the same byte, which no other marker byte equals: one scan for it
// finds every value end and row end in order, and a marker found is one wherever the scan began.
static_assert(kResultFieldSeparator.size() == 3 && kResultRowTerminator.size() == 3 &&
              kResultFieldSeparator.substr(0, 2) == kResultRowTerminator.substr(0, 2));
constexpr char kMarkerLead = kResultRowTerminator[0];

enum class TMarker { None, Separator, Terminator };

TMarker MarkerAt(const char* Text) {
  if (Text[1] != kResultRowTerminator[1])
    return TMarker::None;
  if (Text[2] == kResultFieldSeparator[2])
    return TMarker::Separator;
  return Text[2] == kResultRowTerminator[2] ? TMarker::Terminator : TMarker::None;
}

// The first whole marker at or after Pos, or None with the place where a later scan resumes: a
// lead byte too close to the end to tell, or Size.
struct TFound {
  std::size_t Pos;
  TMarker Marker;
};

TFound FindMarker(const char* Text, std::size_t Pos, std::size_t Size) {
  while (Pos < Size) {
    const void* found = std::memchr(Text + Pos, kMarkerLead, Size - Pos);
    if (found == nullptr)
      break;
    Pos = static_cast<std::size_t>(static_cast<const char*>(found) - Text);
    if (Pos + 3 > Size)
      return {Pos, TMarker::None};  // the marker, if it is one, ends in the next piece
    const TMarker marker = MarkerAt(Text + Pos);
    if (marker != TMarker::None)
      return {Pos, marker};
    ++Pos;
  }
  return {Size, TMarker::None};
}

// The end of the first row terminator that lies whole in Text, or Text.size().
std::size_t EndOfFirstTerminator(std::string_view Text) {
  std::size_t pos = 0;
  for (;;) {
    const TFound found = FindMarker(Text.data(), pos, Text.size());
    if (found.Marker == TMarker::None)
      return Text.size();
    if (found.Marker == TMarker::Terminator)
      return found.Pos + 3;
    pos = found.Pos + 3;
  }
}

}  // namespace

TqmRows DecodeResultBlock(std::string_view Block, std::size_t ColumnCount,
                          const std::vector<std::size_t>& ByteColumns) {
  TResultBlockDecoder decoder(ColumnCount, ByteColumns);
  decoder.Feed(Block);
  return decoder.Finish();
}

TResultBlockDecoder::TResultBlockDecoder(std::size_t ColumnCount,
                                         const std::vector<std::size_t>& ByteColumns)
    : FColumnCount(ColumnCount),
      FByteColumn(ColumnCount, 0),
      FRows(ColumnCount),
      FSpans(ColumnCount) {
  for (std::size_t column : ByteColumns) {
    if (column < ColumnCount)
      FByteColumn[column] = 1;
  }
}

void TResultBlockDecoder::Feed(std::string_view Piece) {
  if (!FCarry.empty()) {
    // Only the rest of the unfinished row joins it; the rows after it are read in place.
    const std::size_t rest = EndOfFirstTerminator(Piece);
    FCarry.append(Piece.substr(0, rest));
    Piece.remove_prefix(rest);
    FCarry.erase(0, DecodeRows(FCarry, FScanned));
    if (!FCarry.empty())
      return;  // the row goes on in the next piece (Piece is empty)
  }
  const std::size_t used = DecodeRows(Piece, 0);
  FCarry.assign(Piece.substr(used));
}

TqmRows TResultBlockDecoder::Finish() {
  if (!FCarry.empty())
    throw EqmResultError("Result block ends inside row " + std::to_string(FRows.size() + 1));
  return std::move(FRows);
}

std::size_t TResultBlockDecoder::DecodeRows(std::string_view Text, std::size_t From) {
  const char* const text = Text.data();
  std::size_t row = 0;  // start of the current row
  std::size_t pos = From;
  for (;;) {
    const TFound found = FindMarker(text, pos, Text.size());
    pos = found.Pos;
    if (found.Marker == TMarker::None)
      break;
    const std::size_t end = pos - row;
    if (FValueCount < FColumnCount)
      FSpans[FValueCount] = {FValueStart, end};
    else if (FColumnCount == 0)
      FStrayValues = FStrayValues || found.Marker == TMarker::Separator || end != FValueStart;
    ++FValueCount;
    pos += 3;
    FValueStart = pos - row;
    if (found.Marker == TMarker::Terminator) {
      EndRow(text + row);
      row = pos;
      FValueStart = 0;
    }
  }
  FScanned = pos - row;
  return row;
}

void TResultBlockDecoder::EndRow(const char* Row) {
  if (FColumnCount == 0) {
    if (FStrayValues) {
      throw EqmResultError("Result row " + std::to_string(FRows.size() + 1) +
                           " has values but the result has no columns");
    }
  } else if (FValueCount != FColumnCount) {
    throw EqmResultError("Result row " + std::to_string(FRows.size() + 1) + " has " +
                         std::to_string(FValueCount) + " values, expected " +
                         std::to_string(FColumnCount));
  }
  for (std::size_t column = 0; column < FColumnCount; ++column) {
    const std::string_view value(Row + FSpans[column].Begin,
                                 FSpans[column].End - FSpans[column].Begin);
    if (value == kResultNullMarker) {
      FRows.AddNull();
    } else if (FByteColumn[column]) {
      FRows.AddInPlace(value.size(), [value](char* Room) { return Utf8ToLatin1(value, Room); });
    } else {
      FRows.AddText(value);
    }
  }
  FRows.EndRow();
  FValueCount = 0;
}

}  // namespace qm
