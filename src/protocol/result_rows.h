#pragma once

// The rows of a result held flat: every value's text in a few large chunks, one entry (where the
// text is, how long, or null) per value, and the entries in pages of whole rows. Reading a
// million rows so costs a few dozen allocations instead of millions, and the rows read back as
// light views: Rows[r][c] is a std::optional<std::string_view> (std::nullopt is SQL null).
//
// Views point into the rows: they stay valid while the rows live (also when the rows are
// moved) and no longer; a view taken before the last row was added may be left behind when the
// first page grows.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm {

// One value as read from rows; std::nullopt is SQL null.
using TqmValueView = std::optional<std::string_view>;

// One value and one row that own their text: rows built by hand, and the expected rows of tests.
using TqmValue = std::optional<std::string>;
using TqmRow = std::vector<TqmValue>;

inline TqmValueView ViewOf(const TqmValue& Value) {
  return Value ? TqmValueView(*Value) : std::nullopt;
}

namespace result_rows_detail {

// Where a value's text lies; Size kNull marks SQL null.
struct TEntry {
  const char* Data;
  std::size_t Size;
};
inline constexpr std::size_t kNull = static_cast<std::size_t>(-1);

inline TqmValueView ViewOf(const TEntry& Entry) {
  if (Entry.Size == kNull)
    return std::nullopt;
  return std::string_view(Entry.Data, Entry.Size);
}

// Memory from AllocateBlock, freed with std::free.
struct TFreeBlock {
  void operator()(void* Block) const noexcept;
};
template <typename T>
using TBlock = std::unique_ptr<T[], TFreeBlock>;

// Uninitialised room for Size bytes. Blocks above half a huge page are aligned to huge pages
// and ask the kernel for them: a fresh large block then faults in a few times instead of once
// per small page, and the faults cost more than filling the rows.
void* AllocateBlock(std::size_t Size);

// Text that never moves once written: chunks grow from small (a small result stays small) to a
// fixed size, and a value too large for a chunk gets one of its own. Nothing is copied on growth.
class TTextArena {
 public:
  TTextArena() = default;
  TTextArena(TTextArena&& Other) noexcept;
  TTextArena& operator=(TTextArena&& Other) noexcept;

  // Room for Size bytes; Shrink gives back the unused end of the latest room.
  char* Allocate(std::size_t Size) {
    if (Size > FLeft)
      return AllocateSlow(Size);
    char* room = FNext;
    FNext += Size;
    FLeft -= Size;
    return room;
  }
  void Shrink(char* Room, std::size_t Allocated, std::size_t Used);

 private:
  char* AllocateSlow(std::size_t Size);

  std::vector<TBlock<char>> FChunks;
  char* FNext = nullptr;
  std::size_t FLeft = 0;
  std::size_t FNextChunk = 0;  // size of the next shared chunk
};

// Walks Source[0], Source[1], ... handing out what Source's operator[] gives (a view) by value.
// Source is held by value: a view, or a small reference to what owns the items.
template <typename TSource>
class TIndexIterator {
 public:
  using value_type = decltype(std::declval<const TSource&>()[0]);
  using iterator_category = std::forward_iterator_tag;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = value_type;

  TIndexIterator() = default;
  TIndexIterator(const TSource& Source, std::size_t Index) : FSource(Source), FIndex(Index) {}
  value_type operator*() const { return FSource[FIndex]; }
  TIndexIterator& operator++() {
    ++FIndex;
    return *this;
  }
  TIndexIterator operator++(int) { return TIndexIterator(FSource, FIndex++); }
  // Only iterators of the same source are compared.
  bool operator==(const TIndexIterator& Other) const { return FIndex == Other.FIndex; }

 private:
  TSource FSource{};
  std::size_t FIndex = 0;
};

}  // namespace result_rows_detail

// The values of one row.
class TqmRowView {
  using TEntry = result_rows_detail::TEntry;

 public:
  using const_iterator = result_rows_detail::TIndexIterator<TqmRowView>;
  using iterator = const_iterator;
  using value_type = TqmValueView;

  TqmRowView() = default;
  TqmRowView(const TEntry* Entries, std::size_t Count) : FEntries(Entries), FCount(Count) {}

  std::size_t size() const { return FCount; }
  bool empty() const { return FCount == 0; }
  TqmValueView operator[](std::size_t Column) const {
    return result_rows_detail::ViewOf(FEntries[Column]);
  }
  const_iterator begin() const { return const_iterator(*this, 0); }
  const_iterator end() const { return const_iterator(*this, FCount); }

  TqmRow ToRow() const;

 private:
  const TEntry* FEntries = nullptr;
  std::size_t FCount = 0;
};

bool operator==(const TqmRowView& Left, const TqmRowView& Right);
bool operator==(const TqmRowView& Left, const TqmRow& Right);

// Rows of a fixed number of columns, built row by row (AddNull/AddText/AddInPlace for each value,
// then EndRow) and read by index or range-for.
class TqmRows {
  using TEntry = result_rows_detail::TEntry;

 public:
  // What the iterator holds: the rows are not copied.
  struct TRef {
    const TqmRows* Rows;
    TqmRowView operator[](std::size_t Row) const { return (*Rows)[Row]; }
  };
  using const_iterator = result_rows_detail::TIndexIterator<TRef>;
  using iterator = const_iterator;
  using value_type = TqmRowView;

  TqmRows() : TqmRows(0) {}
  explicit TqmRows(std::size_t ColumnCount);
  // Rows built by hand; the column count is the first row's. Raises std::invalid_argument when
  // the rows differ in length.
  TqmRows(std::initializer_list<TqmRow> Rows);
  explicit TqmRows(const std::vector<TqmRow>& Rows);
  TqmRows(const TqmRows& Other);
  TqmRows& operator=(const TqmRows& Other);
  TqmRows(TqmRows&& Other) noexcept;
  TqmRows& operator=(TqmRows&& Other) noexcept;
  ~TqmRows() = default;

  std::size_t ColumnCount() const { return FColumnCount; }
  std::size_t size() const { return FRowCount; }
  bool empty() const { return FRowCount == 0; }
  TqmRowView operator[](std::size_t Row) const {
    if (FColumnCount == 0)
      return TqmRowView(nullptr, 0);
    return TqmRowView(FPages[Row >> FPageShift].Entries.get() + (Row & FPageMask) * FColumnCount,
                      FColumnCount);
  }
  const_iterator begin() const { return const_iterator(TRef{this}, 0); }
  const_iterator end() const { return const_iterator(TRef{this}, FRowCount); }

  std::vector<TqmRow> ToVector() const;

  // Building. Raises std::logic_error when a row gets more or fewer values than the columns.
  void AddNull() { AddEntry({nullptr, result_rows_detail::kNull}); }
  void AddText(std::string_view Text);
  void Add(const TqmValueView& Value) {
    if (Value)
      AddText(*Value);
    else
      AddNull();
  }
  // A value written in place: Write(char* Room) puts at most MaxSize bytes there and returns how
  // many it wrote.
  template <typename TWrite>
  void AddInPlace(std::size_t MaxSize, TWrite&& Write) {
    char* room = FText.Allocate(MaxSize);
    const std::size_t used = Write(room);
    FText.Shrink(room, MaxSize, used);
    AddEntry({room, used});
  }
  void EndRow();

 private:
  void AddEntry(const TEntry& Entry) {
    if (FRowValues == 0 || FRowValues >= FColumnCount)
      StartValue();
    TPage& page = FPages.back();
    page.Entries[page.Size++] = Entry;
    ++FRowValues;
  }
  // The checks and page changes of a row's first value (and of a value too many).
  void StartValue();
  void AppendRows(const TqmRows& Other);
  void AppendOwnedRows(const TqmRow* First, const TqmRow* Last);

  std::size_t FColumnCount;
  std::size_t FPageShift;  // a page holds 1 << FPageShift rows
  std::size_t FPageMask;
  std::size_t FRowCount = 0;
  std::size_t FRowValues = 0;  // values of the row being built
  struct TPage {
    result_rows_detail::TBlock<TEntry> Entries;
    std::size_t Capacity = 0;
    std::size_t Size = 0;
  };
  std::vector<TPage> FPages;
  result_rows_detail::TTextArena FText;
};

bool operator==(const TqmRows& Left, const TqmRows& Right);
bool operator==(const TqmRows& Left, const std::vector<TqmRow>& Right);

}  // namespace qm
