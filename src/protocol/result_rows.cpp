#include "protocol/result_rows.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include <sys/mman.h>

namespace qm {

using result_rows_detail::AllocateBlock;
using result_rows_detail::TBlock;

namespace result_rows_detail {

namespace {
constexpr std::size_t kHugePage = 2 * 1024 * 1024;
// Shared chunks double from the first size to the last; a value above a quarter of the last
// gets a chunk of its own, so the tail a chunk change leaves unused stays small.
constexpr std::size_t kFirstChunk = 4 * 1024;
constexpr std::size_t kLastChunk = 2 * kHugePage;
constexpr std::size_t kOwnChunk = kLastChunk / 4;
}  // namespace

void TFreeBlock::operator()(void* Block) const noexcept {
  std::free(Block);
}

void* AllocateBlock(std::size_t Size) {
  void* block = nullptr;
  if (Size > kHugePage / 2) {
    // Rounded up to whole huge pages: the kernel only gives them for whole aligned ones, and a
    // block above half of one (pages of entries are between half and a whole) is worth it.
    const std::size_t rounded = (Size + kHugePage - 1) / kHugePage * kHugePage;
    block = std::aligned_alloc(kHugePage, rounded);
    // Only a hint: without huge pages the block works the same.
    if (block != nullptr)
      madvise(block, rounded, MADV_HUGEPAGE);
  } else {
    block = std::malloc(Size == 0 ? 1 : Size);
  }
  if (block == nullptr)
    throw std::bad_alloc();
  return block;
}

TTextArena::TTextArena(TTextArena&& Other) noexcept
    : FChunks(std::move(Other.FChunks)),
      FNext(std::exchange(Other.FNext, nullptr)),
      FLeft(std::exchange(Other.FLeft, 0)),
      FNextChunk(std::exchange(Other.FNextChunk, 0)) {}

TTextArena& TTextArena::operator=(TTextArena&& Other) noexcept {
  FChunks = std::move(Other.FChunks);
  Other.FChunks.clear();
  FNext = std::exchange(Other.FNext, nullptr);
  FLeft = std::exchange(Other.FLeft, 0);
  FNextChunk = std::exchange(Other.FNextChunk, 0);
  return *this;
}

char* TTextArena::AllocateSlow(std::size_t Size) {
  if (Size > kOwnChunk) {
    // The shared chunk stays current: its free space still serves the values after this one.
    FChunks.emplace_back(static_cast<char*>(AllocateBlock(Size)));
    return FChunks.back().get();
  }
  FNextChunk = FNextChunk == 0 ? kFirstChunk : FNextChunk;
  const std::size_t size = std::max(FNextChunk, Size);
  FChunks.emplace_back(static_cast<char*>(AllocateBlock(size)));
  FNextChunk = std::min(FNextChunk * 2, kLastChunk);
  char* room = FChunks.back().get();
  FNext = room + Size;
  FLeft = size - Size;
  return room;
}

void TTextArena::Shrink(char* Room, std::size_t Allocated, std::size_t Used) {
  // Only the latest room in a shared chunk can give bytes back.
  if (Room + Allocated == FNext) {
    FNext -= Allocated - Used;
    FLeft += Allocated - Used;
  }
}

}  // namespace result_rows_detail

// --- TqmRowView ---

TqmRow TqmRowView::ToRow() const {
  TqmRow row;
  row.reserve(FCount);
  for (const TqmValueView& value : *this)
    row.push_back(value ? TqmValue(std::string(*value)) : std::nullopt);
  return row;
}

bool operator==(const TqmRowView& Left, const TqmRowView& Right) {
  return std::equal(Left.begin(), Left.end(), Right.begin(), Right.end());
}

bool operator==(const TqmRowView& Left, const TqmRow& Right) {
  return std::equal(Left.begin(), Left.end(), Right.begin(), Right.end(),
                    [](const TqmValueView& a, const TqmValue& b) { return a == b; });
}

// --- TqmRows ---

namespace {
// Entries per page (a huge page of them): whole rows, so a row's entries are side by side, and a
// power of two of rows, so finding a row's page is a shift.
constexpr std::size_t kPageEntries = 2 * 1024 * 1024 / sizeof(result_rows_detail::TEntry);
// The first page starts with room for this many rows and doubles: a result of a row or two
// allocates little.
constexpr std::size_t kFirstPageRows = 16;
}  // namespace

TqmRows::TqmRows(std::size_t ColumnCount) : FColumnCount(ColumnCount) {
  const std::size_t rows = std::bit_floor(
      std::max<std::size_t>(1, kPageEntries / std::max<std::size_t>(1, ColumnCount)));
  FPageShift = static_cast<std::size_t>(std::countr_zero(rows));
  FPageMask = rows - 1;
}

TqmRows::TqmRows(std::initializer_list<TqmRow> Rows)
    : TqmRows(Rows.size() == 0 ? 0 : Rows.begin()->size()) {
  AppendOwnedRows(Rows.begin(), Rows.end());
}

TqmRows::TqmRows(const std::vector<TqmRow>& Rows)
    : TqmRows(Rows.empty() ? 0 : Rows.front().size()) {
  AppendOwnedRows(Rows.data(), Rows.data() + Rows.size());
}

TqmRows::TqmRows(const TqmRows& Other) : TqmRows(Other.FColumnCount) {
  AppendRows(Other);
}

TqmRows& TqmRows::operator=(const TqmRows& Other) {
  if (this != &Other) {
    TqmRows copy(Other);
    *this = std::move(copy);
  }
  return *this;
}

TqmRows::TqmRows(TqmRows&& Other) noexcept
    : FColumnCount(Other.FColumnCount),
      FPageShift(Other.FPageShift),
      FPageMask(Other.FPageMask),
      FRowCount(std::exchange(Other.FRowCount, 0)),
      FRowValues(std::exchange(Other.FRowValues, 0)),
      FPages(std::move(Other.FPages)),
      FText(std::move(Other.FText)) {
  Other.FPages.clear();
}

TqmRows& TqmRows::operator=(TqmRows&& Other) noexcept {
  FColumnCount = Other.FColumnCount;
  FPageShift = Other.FPageShift;
  FPageMask = Other.FPageMask;
  FRowCount = std::exchange(Other.FRowCount, 0);
  FRowValues = std::exchange(Other.FRowValues, 0);
  FPages = std::move(Other.FPages);
  Other.FPages.clear();
  FText = std::move(Other.FText);
  return *this;
}

void TqmRows::AppendRows(const TqmRows& Other) {
  for (const TqmRowView& row : Other) {
    for (const TqmValueView& value : row)
      Add(value);
    EndRow();
  }
}

void TqmRows::AppendOwnedRows(const TqmRow* First, const TqmRow* Last) {
  for (; First != Last; ++First) {
    if (First->size() != FColumnCount)
      throw std::invalid_argument("Rows differ in the number of values");
    for (const TqmValue& value : *First)
      Add(ViewOf(value));
    EndRow();
  }
}

std::vector<TqmRow> TqmRows::ToVector() const {
  std::vector<TqmRow> rows;
  rows.reserve(FRowCount);
  for (const TqmRowView& row : *this)
    rows.push_back(row.ToRow());
  return rows;
}

void TqmRows::AddText(std::string_view Text) {
  char* room = FText.Allocate(Text.size());
  if (!Text.empty())
    std::memcpy(room, Text.data(), Text.size());
  AddEntry({room, Text.size()});
}

void TqmRows::StartValue() {
  if (FRowValues >= FColumnCount)
    throw std::logic_error("A row gets more values than the result has columns");
  if (!FPages.empty() && FPages.back().Size + FColumnCount <= FPages.back().Capacity)
    return;
  const std::size_t page_entries = (FPageMask + 1) * FColumnCount;
  if (FPages.size() == 1 && FPages.front().Capacity < page_entries) {
    // The first page grows by doubling until it is whole; its rows move along.
    TPage& page = FPages.front();
    const std::size_t capacity = std::min(page.Capacity * 2, page_entries);
    TBlock<TEntry> entries(static_cast<TEntry*>(AllocateBlock(capacity * sizeof(TEntry))));
    std::copy_n(page.Entries.get(), page.Size, entries.get());
    page.Entries = std::move(entries);
    page.Capacity = capacity;
    return;
  }
  const std::size_t capacity =
      FPages.empty() ? std::min(page_entries, kFirstPageRows * FColumnCount) : page_entries;
  FPages.push_back({TBlock<TEntry>(static_cast<TEntry*>(AllocateBlock(capacity * sizeof(TEntry)))),
                    capacity, 0});
}

void TqmRows::EndRow() {
  if (FRowValues != FColumnCount)
    throw std::logic_error("A row gets fewer values than the result has columns");
  FRowValues = 0;
  ++FRowCount;
}

bool operator==(const TqmRows& Left, const TqmRows& Right) {
  return Left.ColumnCount() == Right.ColumnCount() &&
         std::equal(Left.begin(), Left.end(), Right.begin(), Right.end());
}

bool operator==(const TqmRows& Left, const std::vector<TqmRow>& Right) {
  return std::equal(Left.begin(), Left.end(), Right.begin(), Right.end(),
                    [](const TqmRowView& a, const TqmRow& b) { return a == b; });
}

}  // namespace qm
