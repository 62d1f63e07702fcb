#include "support/hash_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

// An item keyed by an integer handle, as in the session registries, that records when it is
// freed.
class THandleItem : public TprmHashItem {
 public:
  THandleItem(int64_t handle, std::string tag, std::vector<std::string>* freed = nullptr)
      : handle_(handle), tag_(std::move(tag)), freed_(freed) {}
  ~THandleItem() override {
    if (freed_ != nullptr)
      freed_->push_back(tag_);
  }
  TprmHashKey Key() const override { return handle_; }
  const std::string& Tag() const { return tag_; }

 private:
  int64_t handle_;
  std::string tag_;
  std::vector<std::string>* freed_;
};

class THandleList : public TprmHashList {
 public:
  using TprmHashList::TprmHashList;
  int added = 0;

 protected:
  uint32_t KeyHash(const TprmHashKey& key) const override { return IntegerKeyHash(key); }
  void DoItemAdded(TprmHashItem*) override { ++added; }
};

class HashListTest : public ::testing::Test {
 protected:
  THandleItem* Add(int64_t handle, const std::string& tag) {
    return list.Add(std::make_unique<THandleItem>(handle, tag, &freed));
  }
  static std::vector<std::string> Tags(const TprmHashItems& items) {
    std::vector<std::string> tags;
    for (TprmHashItem* item : items)
      tags.push_back(static_cast<THandleItem*>(item)->Tag());
    return tags;
  }
  std::vector<std::string> CursorTags() {
    std::vector<std::string> tags;
    for (list.First(); !list.Eof(); list.Next())
      tags.push_back(static_cast<THandleItem*>(list.Current())->Tag());
    return tags;
  }

  std::vector<std::string> freed;
  THandleList list{7};
};

TEST(HashListCreateTest, SizeZeroRaisesAndDefaultIs1023) {
  try {
    THandleList list(0);
    FAIL() << "expected EprmException";
  } catch (const EprmException& e) {
    EXPECT_EQ("Size = 0 !", e.Message());
  }
  THandleList list;
  EXPECT_EQ(1023u, list.Size());
}

TEST_F(HashListTest, FindsByEqualKeyOfAnyIntegerWidth) {
  THandleItem* item = Add(5, "five");
  EXPECT_EQ(1, list.Count());
  EXPECT_EQ(1, list.added);
  EXPECT_EQ(item, list.Find(int32_t{5}));
  EXPECT_EQ(item, list.Find(uint32_t{5}));
  EXPECT_EQ(item, list.Find(int64_t{5}));
  EXPECT_EQ(item, list.Find("5"));
  EXPECT_TRUE(list.IsExist(uint16_t{5}));
  EXPECT_EQ(nullptr, list.Find(12));  // same bucket (12 mod 7), other key
  EXPECT_FALSE(list.IsExist(6));
}

TEST_F(HashListTest, KeyThatCannotHashRaisesAndLeavesListUnchanged) {
  Add(1, "one");
  EXPECT_THROW(list.Find("not a number"), EConvertError);
  EXPECT_THROW(list.Extract("x"), EConvertError);
  EXPECT_EQ(1, list.Count());
}

TEST_F(HashListTest, EqualKeysNewestFirstExceptWhenCacheHoldsOlder) {
  THandleItem* older = Add(3, "older");
  EXPECT_EQ(older, list.Find(3));  // cached
  THandleItem* newer = Add(3, "newer");
  // The cache answers before the chain, so the older item comes back again.
  EXPECT_EQ(older, list.Find(3));
  EXPECT_EQ(nullptr, list.Find(10));  // other key (same bucket), resets the cache to null
  EXPECT_EQ(newer, list.Find(3));
}

TEST_F(HashListTest, ExtractAbsentKeyLeavesCountAndChainAlone) {
  Add(1, "one");
  Add(8, "eight");  // same bucket as 1 and 15
  EXPECT_EQ(nullptr, list.Extract(15));
  EXPECT_EQ(2, list.Count());
  EXPECT_EQ((std::vector<std::string>{"eight", "one"}), Tags(*list.EnumItems()));
}

TEST_F(HashListTest, ExtractOfCachedItemClearsCacheAndHandsOwnership) {
  Add(1, "one");
  THandleItem* eight = Add(8, "eight");
  Add(15, "fifteen");
  ASSERT_EQ(eight, list.Find(8));
  std::unique_ptr<TprmHashItem> taken = list.Extract(8);  // middle of the chain
  EXPECT_EQ(eight, taken.get());
  EXPECT_EQ(nullptr, list.Find(8));
  EXPECT_EQ(2, list.Count());
  EXPECT_TRUE(freed.empty());
  EXPECT_EQ((std::vector<std::string>{"fifteen", "one"}), Tags(*list.EnumItems()));
  taken.reset();
  EXPECT_EQ((std::vector<std::string>{"eight"}), freed);

  EXPECT_TRUE(list.Delete(15));
  EXPECT_FALSE(list.Delete(15));
  EXPECT_EQ((std::vector<std::string>{"eight", "fifteen"}), freed);
}

TEST_F(HashListTest, IterationIsBucketOrderThenNewestFirst) {
  for (int64_t handle : {9, 1, 3, 8, 2, 0})
    Add(handle, std::to_string(handle));
  // Buckets (mod 7): 0 -> [0], 1 -> [8, 1], 2 -> [2, 9], 3 -> [3].
  const std::vector<std::string> expected{"0", "8", "1", "2", "9", "3"};
  EXPECT_EQ(expected, Tags(*list.EnumItems()));
  EXPECT_EQ(expected, CursorTags());
  std::vector<std::string> processed;
  list.Process(
      [&](TprmHashItem& item) { processed.push_back(static_cast<THandleItem&>(item).Tag()); });
  EXPECT_EQ(expected, processed);
}

TEST_F(HashListTest, NegativeAndWideKeysHashUnsigned) {
  Add(-1, "minus one");                     // 0xFFFFFFFF mod 7 = 3
  Add(int64_t{0x100000003}, "wide three");  // low 32 bits: 3
  Add(3, "three");
  EXPECT_EQ((std::vector<std::string>{"three", "wide three", "minus one"}),
            Tags(*list.EnumItems()));
  EXPECT_EQ("minus one", static_cast<THandleItem*>(list.Find(-1))->Tag());
  EXPECT_EQ("wide three", static_cast<THandleItem*>(list.Find(int64_t{0x100000003}))->Tag());
}

TEST_F(HashListTest, SnapshotSurvivesDeletingByKeyWhileWalking) {
  for (int64_t handle = 1; handle <= 20; ++handle)
    Add(handle, std::to_string(handle));
  auto snapshot = list.EnumItems();
  std::vector<int64_t> keys;
  for (TprmHashItem* item : *snapshot)
    keys.push_back(item->Key().AsInt64());
  for (int64_t key : keys) {
    if (key % 2 == 0)
      list.Delete(key);
  }
  EXPECT_EQ(10, list.Count());
  EXPECT_EQ(10u, freed.size());
  snapshot.reset();  // frees the list, not the items
  EXPECT_EQ(10u, freed.size());
  EXPECT_EQ(0, THandleList(3).EnumItems()->Count());
}

TEST_F(HashListTest, CursorContinuesAfterExtractingCurrent) {
  for (int64_t handle : {1, 8, 15, 2})
    Add(handle, std::to_string(handle));
  // Order: bucket 1 -> [15, 8, 1], bucket 2 -> [2].
  for (int64_t remove : {15, 8, 2}) {
    std::vector<std::string> seen;
    for (list.First(); !list.Eof(); list.Next()) {
      auto* item = static_cast<THandleItem*>(list.Current());
      seen.push_back(item->Tag());
      if (item->Key().AsInt64() == remove)
        list.Delete(remove);
    }
    EXPECT_EQ(static_cast<size_t>(list.Count() + 1), seen.size()) << "removing " << remove;
  }
  EXPECT_EQ((std::vector<std::string>{"1"}), CursorTags());
}

TEST_F(HashListTest, ClearFreesEverythingAndResetsCacheAndCursor) {
  Add(1, "one");
  Add(2, "two");
  list.Find(1);
  list.First();
  list.Clear();
  EXPECT_EQ(0, list.Count());
  EXPECT_EQ(2u, freed.size());
  EXPECT_TRUE(list.Eof());
  EXPECT_EQ(nullptr, list.Find(1));
  Add(1, "again");
  EXPECT_EQ((std::vector<std::string>{"again"}), CursorTags());
}

TEST(HashListDestroyTest, DestructionFreesLongChains) {
  std::vector<std::string> freed;
  {
    THandleList list(1);  // one bucket: a single long chain
    for (int64_t handle = 0; handle < 100000; ++handle)
      list.Add(std::make_unique<THandleItem>(handle, "", &freed));
  }
  EXPECT_EQ(100000u, freed.size());
}

TEST(HashKeyTest, Equality) {
  struct Case {
    TprmHashKey left, right;
    bool equal;
  };
  const Case cases[] = {
      {int8_t{-1}, int64_t{-1}, true},
      {5, "5", true},
      {"+5", 5, true},
      {5, "05", true},
      {5, "5x", false},
      {"a", "A", false},
      {"a", "a", true},
      {0, "", false},
      {uint64_t{~0ull}, -1, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.equal, c.left == c.right) << c.left.AsString() << " vs " << c.right.AsString();
  }
}

}  // namespace
}  // namespace qm
