#include "support/object_list.h"
#include "support/object_list_json.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

// An item that records its own destruction, so tests can tell freeing from extracting.
class TTrackedItem : public TmnNameValueObject {
 public:
  TTrackedItem(std::string name, std::string value, std::vector<std::string>* freed = nullptr)
      : TmnNameValueObject(std::move(name), std::move(value)), freed_(freed) {}
  ~TTrackedItem() override {
    if (freed_ != nullptr)
      freed_->push_back(Name());
  }
  nlohmann::json ToJson() const { return {{"name", Name()}, {"value", Value()}}; }

 private:
  std::vector<std::string>* freed_;
};

// Records the hooks in the order they run.
class TRecordingList : public TprmObjectList<TTrackedItem> {
 public:
  using TprmObjectList::TprmObjectList;
  std::vector<std::string> events;

 protected:
  void DoAdded(TTrackedItem* item) override { events.push_back("added " + item->Name()); }
  void DoRemoving(TTrackedItem* item, TmnListAction action) override {
    events.push_back((action == TmnListAction::Extracted ? "extracted " : "deleted ") +
                     item->Name());
  }
  void DoCleared() override { events.push_back("cleared"); }
};

std::vector<std::string> NamesOf(const TmnObjectList<TTrackedItem>& list) {
  std::vector<std::string> names;
  for (TTrackedItem* item : list)
    names.push_back(item->Name());
  return names;
}

class ObjectListTest : public ::testing::Test {
 protected:
  std::unique_ptr<TTrackedItem> Item(const std::string& name, const std::string& value = "") {
    return std::make_unique<TTrackedItem>(name, value, &freed);
  }
  std::vector<std::string> freed;
};

TEST_F(ObjectListTest, OwningListFreesOnDeleteRemoveClearAndDestructionButNotOnExtract) {
  {
    TRecordingList list;
    list.Add(Item("a"));
    TTrackedItem* b = list.Add(Item("b"));
    list.Add(Item("c"));
    TTrackedItem* d = list.Add(Item("d"));
    list.Add(Item("e"));

    std::unique_ptr<TTrackedItem> extracted(list.Extract(b));
    ASSERT_EQ(extracted.get(), b);
    EXPECT_TRUE(freed.empty());
    EXPECT_EQ(list.Extract(b), nullptr);  // no longer there

    list.Delete(0);                                    // a
    EXPECT_EQ(list.Remove(d), 1);                      // d
    list.Delete(static_cast<TTrackedItem*>(nullptr));  // absent: nothing
    EXPECT_EQ((std::vector<std::string>{"a", "d"}), freed);
    EXPECT_EQ((std::vector<std::string>{"c", "e"}), NamesOf(list));
    EXPECT_EQ((std::vector<std::string>{"added a", "added b", "added c", "added d", "added e",
                                        "extracted b", "deleted a", "deleted d"}),
              list.events);
    list.Clear();
    EXPECT_EQ("cleared", list.events.back());
    EXPECT_EQ((std::vector<std::string>{"a", "d", "c", "e"}), freed);
    list.Add(Item("f"));
  }
  // The extracted item was the caller's: freed by its own pointer, first.
  EXPECT_EQ((std::vector<std::string>{"a", "d", "c", "e", "b", "f"}), freed);
}

TEST_F(ObjectListTest, NonOwningListNeverFrees) {
  auto a = Item("a");
  auto b = Item("b");
  {
    TprmObjectList<TTrackedItem> list(false);
    list.Add(a.get());
    list.Add(b.get());
    list.Delete(0);
    list.Clear();
    list.Add(b.get());
    // Handing ownership to a list that does not own would leak or double-free: refused.
    EXPECT_THROW(list.Add(Item("c")), EmnException);
  }
  EXPECT_EQ((std::vector<std::string>{"c"}), freed);
}

TEST_F(ObjectListTest, IndexedAccessPeekFirstLast) {
  TmnObjectList<TTrackedItem> list;
  EXPECT_EQ(nullptr, list.First());
  EXPECT_EQ(nullptr, list.Last());
  EXPECT_EQ(nullptr, list.Peek(0));
  TTrackedItem* a = list.Add(Item("a"));
  TTrackedItem* c = list.Add(Item("c"));
  TTrackedItem* b = list.Insert(1, Item("b"));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), NamesOf(list));
  EXPECT_EQ(a, list.First());
  EXPECT_EQ(c, list.Last());
  EXPECT_EQ(b, list[1]);
  EXPECT_EQ(nullptr, list.Peek(3));
  EXPECT_EQ(nullptr, list.Peek(-1));
  for (int bad : {-1, 3}) {
    EXPECT_THROW(list.Items(bad), EArgumentOutOfRangeException) << bad;
    EXPECT_THROW(list.Delete(bad), EArgumentOutOfRangeException) << bad;
  }
  EXPECT_THROW(list.Insert(4, Item("x")), EArgumentOutOfRangeException);
  EXPECT_EQ(3, list.Count());
  EXPECT_EQ(2, list.IndexOfObject(c));
  TmnNameValueObject stranger("s", "");
  EXPECT_EQ(-1, list.IndexOfObject(static_cast<TmnObject*>(&stranger)));
  EXPECT_EQ(1, list.IndexOfObject(static_cast<TmnObject*>(b)));
  list.Move(0, 2);
  EXPECT_EQ((std::vector<std::string>{"b", "c", "a"}), NamesOf(list));
}

TEST_F(ObjectListTest, QuickSortWithoutCompareNamesTheClass) {
  TRecordingList list;
  list.Add(Item("a"));
  list.Add(Item("b"));
  try {
    list.QuickSort();
    FAIL() << "expected ENotImplemented";
  } catch (const ENotImplemented& e) {
    EXPECT_EQ("TRecordingList.Compare", e.Message());
  }
}

TEST_F(ObjectListTest, SortExchangeRemoveItemsAndJson) {
  TprmObjectList<TTrackedItem> list;
  for (const char* name : {"d", "b", "a", "c", "b2"})
    list.Add(Item(name, name));
  list.QuickSort([](TTrackedItem* l, TTrackedItem* r) { return l->Name().compare(r->Name()); });
  EXPECT_EQ((std::vector<std::string>{"a", "b", "b2", "c", "d"}), NamesOf(list));

  list.ExchangeItems(0, 4);
  list.ExchangeItems(1, 1);  // same index: nothing
  list.ExchangeItems(1, 9);  // outside: nothing
  list.ExchangeItems(list[1], list[2]);
  EXPECT_EQ((std::vector<std::string>{"d", "b2", "b", "c", "a"}), NamesOf(list));

  std::vector<std::string> asked;
  list.RemoveItems([&asked](TTrackedItem* item) {
    asked.push_back(item->Name());
    return item->Name()[0] == 'b';
  });
  EXPECT_EQ((std::vector<std::string>{"a", "c", "b", "b2", "d"}), asked);  // last to first
  EXPECT_EQ((std::vector<std::string>{"b", "b2"}), freed);
  EXPECT_EQ(nlohmann::json::parse(R"([{"name":"d","value":"d"},{"name":"c","value":"c"},
                                      {"name":"a","value":"a"}])"),
            AsJsonArray(list));
}

// Lookup by name, with and without the dictionary.
class NamedObjectListTest : public ObjectListTest, public ::testing::WithParamInterface<int> {};

TEST_P(NamedObjectListTest, FindIgnoresCaseAndEmptyFindsNothing) {
  TmnNamedObjectList<TTrackedItem> list(GetParam());
  TTrackedItem* abc = list.Add(Item("abc"));
  TTrackedItem* other = list.Add(Item("Other"));
  EXPECT_EQ(abc, list.Find("ABC"));
  EXPECT_EQ(other, list.Find("oTHER"));
  EXPECT_EQ(1, list.IndexOfName("other"));
  EXPECT_EQ(-1, list.IndexOfName("missing"));
  EXPECT_EQ(nullptr, list.Find(""));
  list.Remove(abc);
  EXPECT_EQ(nullptr, list.Find("abc"));
}

INSTANTIATE_TEST_SUITE_P(DictionaryOrNot, NamedObjectListTest, ::testing::Values(0, 16));

TEST_F(ObjectListTest, DuplicateNamesWithoutDictionaryFindTheFirstWithDictionaryTheLatest) {
  TmnNamedObjectList<TTrackedItem> plain;
  TmnNamedObjectList<TTrackedItem> indexed(8);
  TTrackedItem* plain_first = plain.Add(Item("x", "1"));
  plain.Add(Item("X", "2"));
  indexed.Add(Item("x", "1"));
  TTrackedItem* indexed_second = indexed.Add(Item("X", "2"));
  EXPECT_EQ(plain_first, plain.Find("x"));
  EXPECT_EQ(indexed_second, indexed.Find("x"));
  // Removing the newest leaves the older one findable rather than nothing.
  indexed.Remove(indexed_second);
  ASSERT_NE(nullptr, indexed.Find("x"));
  EXPECT_EQ("1", indexed.Find("x")->Value());
}

TEST_F(ObjectListTest, DictionaryIsNotUpdatedByRenameButForgetsRenamedItemOnRemoval) {
  TmnNamedObjectList<TTrackedItem> list(8);
  TTrackedItem* item = list.Add(Item("abc"));
  EXPECT_EQ(item, list.Find("ABC"));
  item->SetName("xyz");
  EXPECT_EQ(nullptr, list.Find("xyz"));
  EXPECT_EQ(item, list.Find("abc"));
  // The renamed item leaves under its old entry: no freed item is handed out afterwards.
  list.Remove(item);
  EXPECT_EQ(nullptr, list.Find("abc"));
}

TEST_F(ObjectListTest, NameValueListAddsAndAutoRemoves) {
  TmnNameValueObjectList<TmnNameValueObject> list;
  list.Add("s", "text");
  list.Add("i", int32_t{-42});
  list.Add("t", true);
  list.Add("f", false);
  EXPECT_EQ(nullptr, list.AddIf("empty", ""));
  EXPECT_EQ(nullptr, list.AddIf(false, "no", "value"));
  EXPECT_NE(nullptr, list.AddIf("full", "v"));
  EXPECT_EQ("text", list.Values("S"));
  EXPECT_EQ("-42", list.Values("i"));
  EXPECT_EQ("-1", list.Values("t"));
  EXPECT_EQ("0", list.Values("f"));
  EXPECT_EQ("", list.Values("empty"));
  EXPECT_EQ(5, list.Count());

  list.SetValues("s", "changed");
  list.SetValues("new", "n");
  EXPECT_EQ("changed", list.Values("s"));
  EXPECT_EQ(6, list.Count());
  list.SetValues("s", "");  // without auto-remove an empty value is kept
  EXPECT_EQ(6, list.Count());
  list.FAutoRemove = true;
  list.SetValues("s", "");
  list.SetValues("absent", "");
  EXPECT_EQ(5, list.Count());
  EXPECT_EQ(nullptr, list.Find("s"));
}

class TCountingObject : public TmnNameValueObject {
 public:
  int created = 0;

 protected:
  void Created() override { ++created; }
};

TEST(NameValueObjectTest, AssignCreateFromAndCreatedHook) {
  TmnNameValueObject source("n", "v");
  auto copy = TmnNameValueObject::CreateFrom<TCountingObject>(source);
  EXPECT_EQ("n", copy->Name());
  EXPECT_EQ("v", copy->Value());
  EXPECT_EQ(1, copy->created);

  TmnNamedObject named("only a name");
  try {
    copy->Assign(named);
    FAIL() << "expected EmnException";
  } catch (const EmnException& e) {
    EXPECT_EQ("Invalide assign class", e.Message());
  }
}

}  // namespace
}  // namespace qm
