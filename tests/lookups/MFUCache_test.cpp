#include "lookups/MFUCache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "lookups/StaticCache.h"

namespace {

// A value that counts its live copies per id, so a test can tell which
// entries an eviction, a dropped insertion or the destructor destroyed: once
// the test's own temporaries are gone, an id with one live copy is held by
// the cache, and one with none was destroyed.
class Tracked {
 public:
  static std::map<int, int>& live() {
    static std::map<int, int> counts;
    return counts;
  }
  static int Live(int id) { return live().count(id) ? live()[id] : 0; }

  explicit Tracked(int id = 0) : id_(id) { ++live()[id_]; }
  Tracked(const Tracked& other) : id_(other.id_) { ++live()[id_]; }
  Tracked& operator=(const Tracked& other) {
    --live()[id_];
    id_ = other.id_;
    ++live()[id_];
    return *this;
  }
  ~Tracked() { --live()[id_]; }
  int id() const { return id_; }

 private:
  int id_;
};

using TrackedCache = MFU_Cache<Tracked>;
using TrackedNode = MFU_Node_Type<Tracked>;

class MFUCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { Tracked::live().clear(); }

  static void Put(TrackedCache& cache, const std::string& name, int id, bool evict = true) {
    cache.insert(TrackedNode(name, Tracked(id)), evict);
  }
  // A cache of `maxSize` given `names` in turn, the first carrying 1.
  static void Fill(TrackedCache& cache, size_t maxSize, std::initializer_list<const char*> names) {
    cache.setMaxSize(maxSize);
    int id = 0;
    for (const char* name : names) Put(cache, name, ++id);
  }
  // An evicting insertion of a node that carries a count above every present
  // one, so it goes last and the next eviction reaches the older entries.
  static void PutHot(TrackedCache& cache, const std::string& name, int id) {
    TrackedNode node(name, Tracked(id));
    node.frequencyofUse = 100;
    cache.insert(node, true);
  }
  // Puts hot entries 4, 5 and 6 one at a time into a full cache of 1, 2 and
  // 3, and gives the id each one destroyed: 0 where none or more than one
  // went.
  static std::vector<int> EvictionsByHotEntries(TrackedCache& cache) {
    std::vector<int> evicted;
    for (int id = 4; id <= 6; ++id) {
      std::vector<int> before;
      for (int old = 1; old <= 3; ++old)
        if (Tracked::Live(old) == 1) before.push_back(old);
      PutHot(cache, std::string(1, static_cast<char>('a' + id - 1)), id);
      int gone = 0;
      for (int old : before)
        if (Tracked::Live(old) == 0) gone = gone == 0 ? old : -1;
      evicted.push_back(gone < 0 ? 0 : gone);
    }
    return evicted;
  }
  static void Count(TrackedCache& cache, const std::string& name) {
    Tracked out;
    ASSERT_TRUE(cache.find(name, out, true)) << name;
  }
  // The eviction order, least used first, as "name(count)".
  template <typename T>
  static std::vector<std::string> Order(const MFU_Cache<T>& cache) {
    std::vector<std::string> order;
    cache.forEachByFrequency([&](const MFU_Node_Type<T>& n) {
      order.push_back(n.name + "(" + std::to_string(n.frequencyofUse) + ")");
    });
    return order;
  }
};

using Names = std::vector<std::string>;

TEST_F(MFUCacheTest, CountingGammaThenBetaEvictsAlphaBetaGamma) {
  TrackedCache cache;
  Fill(cache, 3, {"alpha", "beta", "gamma"});
  Count(cache, "gamma");  // last: stays
  Count(cache, "beta");   // next is gamma(2), not lower: stays
  EXPECT_EQ(Order(cache), (Names{"alpha(1)", "beta(2)", "gamma(2)"}));

  EXPECT_EQ(EvictionsByHotEntries(cache), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(Order(cache), (Names{"d(100)", "e(100)", "f(100)"}));
}

TEST_F(MFUCacheTest, CountingBetaThenGammaEvictsAlphaGammaBeta) {
  TrackedCache cache;
  Fill(cache, 3, {"alpha", "beta", "gamma"});
  Count(cache, "beta");  // next is gamma(1), lower: moves behind it
  EXPECT_EQ(Order(cache), (Names{"alpha(1)", "gamma(1)", "beta(2)"}));
  Count(cache, "gamma");  // next is beta(2), not lower: stays before it
  EXPECT_EQ(Order(cache), (Names{"alpha(1)", "gamma(2)", "beta(2)"}));

  EXPECT_EQ(EvictionsByHotEntries(cache), (std::vector<int>{1, 3, 2}));
}

TEST_F(MFUCacheTest, FreshEntryIsEvictedBeforeCountedOnes) {
  TrackedCache cache;
  Fill(cache, 3, {"alpha", "beta", "gamma"});
  Count(cache, "gamma");
  Count(cache, "beta");
  Put(cache, "d", 4);  // evicts alpha; d(1) goes before beta(2)
  Put(cache, "e", 5);  // evicts d
  EXPECT_EQ(Tracked::Live(4), 0);
  EXPECT_EQ(Order(cache), (Names{"e(1)", "beta(2)", "gamma(2)"}));
}

TEST_F(MFUCacheTest, CountedEntryMovesJustAfterLastEntryNotAboveItsNewCount) {
  TrackedCache cache;
  cache.setMaxSize(10);
  for (const char* name : {"a", "b", "c", "d", "e"}) Put(cache, name, 0);
  Count(cache, "c");
  Count(cache, "c");  // c(3) goes behind e(1)
  Count(cache, "d");  // d(2) goes between e(1) and c(3)
  Count(cache, "a");
  Count(cache, "a");
  Count(cache, "a");  // a(4) goes last
  Count(cache, "b");  // b(2) goes after d(2), before c(3)
  EXPECT_EQ(Order(cache), (Names{"e(1)", "d(2)", "b(2)", "c(3)", "a(4)"}));
}

TEST_F(MFUCacheTest, NodeInsertedWithItsOwnCountGoesAfterItsEquals) {
  TrackedCache cache;
  Put(cache, "a", 1);
  Count(cache, "a");
  Put(cache, "b", 2);
  Put(cache, "c", 3);
  TrackedNode node("z", Tracked(9));
  node.frequencyofUse = 2;
  cache.insert(node, false);
  Count(cache, "c");
  Count(cache, "c");
  EXPECT_EQ(Order(cache), (Names{"b(1)", "a(2)", "z(2)", "c(3)"}));
}

TEST_F(MFUCacheTest, DefaultMaxSizeIs100000) {
  MFU_Cache<int> cache;
  EXPECT_EQ(cache.maxSize(), 100000u);
  for (int i = 0; i < 100000; ++i) cache.insert(MFU_Node_Type<int>(std::to_string(i), i), true);
  EXPECT_EQ(cache.size(), 100000u);
  cache.insert(MFU_Node_Type<int>("last", -1), true);
  EXPECT_EQ(cache.size(), 100000u);
  int out = 7;
  EXPECT_FALSE(cache.find("0", out, false));  // the first inserted went first
  EXPECT_TRUE(cache.find("last", out, false));
}

TEST_F(MFUCacheTest, MissLeavesOutputUntouched) {
  MFU_Cache<GuidRecordMap> cache;
  GuidRecordMap out{{1, SGuidRecord("n", "g", 1)}};
  EXPECT_FALSE(cache.find("absent", out, true));
  cache.insert(MFU_Node_Type<GuidRecordMap>("present", GuidRecordMap{}), false);
  EXPECT_FALSE(cache.find("PRESENT", out, true));  // names are case-sensitive
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out.begin()->second.name, "n");
}

TEST_F(MFUCacheTest, FindHandsOutACopyOfTheMap) {
  MFU_Cache<GuidRecordMap> cache;
  GuidRecordMap records{{1, SGuidRecord("ann", "{1}", 1)}, {16, SGuidRecord("carol", "{1}", 16)}};
  cache.insert(MFU_Node_Type<GuidRecordMap>("key", records), false);
  GuidRecordMap out{{99, SGuidRecord("old", "old", 99)}};
  ASSERT_TRUE(cache.find("key", out, true));
  EXPECT_EQ(out, records);  // replaced, not merged
  out.clear();
  ASSERT_TRUE(cache.find("key", out, false));
  EXPECT_EQ(out, records);
}

TEST_F(MFUCacheTest, UncountedFindsKeepInsertionOrder) {
  TrackedCache cache;
  Fill(cache, 3, {"a", "b", "c"});
  Tracked out;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(cache.find("a", out, false));
  EXPECT_EQ(out.id(), 1);
  EXPECT_EQ(Order(cache), (Names{"a(1)", "b(1)", "c(1)"}));
  Put(cache, "d", 4);
  EXPECT_EQ(Tracked::Live(1), 1);  // only `out` holds a copy now
}

TEST_F(MFUCacheTest, MaxSizeZeroKeepsAtMostOneEntry) {
  TrackedCache cache;
  cache.setMaxSize(0);
  Put(cache, "a", 1);  // empty: nothing to evict
  EXPECT_EQ(cache.size(), 1u);
  Put(cache, "b", 2);
  Put(cache, "c", 3);
  EXPECT_EQ(Order(cache), (Names{"c(1)"}));
  EXPECT_EQ(Tracked::Live(1) + Tracked::Live(2), 0);
}

TEST_F(MFUCacheTest, FullCacheStaysFullOnEvictingInsert) {
  TrackedCache cache;
  Fill(cache, 2, {"a", "b", "c"});
  EXPECT_EQ(Order(cache), (Names{"b(1)", "c(1)"}));
}

TEST_F(MFUCacheTest, LoweredMaxSizeRemovesNothingAndSizeDoesNotFall) {
  TrackedCache cache;
  for (int i = 0; i < 5; ++i) Put(cache, "n" + std::to_string(i), i);
  cache.setMaxSize(2);
  EXPECT_EQ(cache.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Tracked::Live(i), 1);
  Put(cache, "x", 10);
  Put(cache, "y", 11);
  EXPECT_EQ(Order(cache), (Names{"n2(1)", "n3(1)", "n4(1)", "x(1)", "y(1)"}));
  EXPECT_EQ(Tracked::Live(0) + Tracked::Live(1), 0);
}

TEST_F(MFUCacheTest, InsertWithoutEvictionIgnoresMaxSize) {
  TrackedCache cache;
  cache.setMaxSize(1);
  for (int i = 0; i < 4; ++i) Put(cache, "n" + std::to_string(i), i, false);
  EXPECT_EQ(cache.size(), 4u);
}

TEST_F(MFUCacheTest, DuplicateInsertKeepsPresentEntryAndDestroysNewValue) {
  TrackedCache cache;
  Put(cache, "a", 1);
  Count(cache, "a");
  TrackedNode again("a", Tracked(2));
  again.frequencyofUse = 50;
  cache.insert(again, false);
  EXPECT_EQ(Tracked::Live(2), 1);  // only `again` itself
  EXPECT_EQ(Order(cache), (Names{"a(2)"}));
  Tracked out;
  ASSERT_TRUE(cache.find("a", out, false));
  EXPECT_EQ(out.id(), 1);
}

TEST_F(MFUCacheTest, DuplicateEvictingInsertIntoFullCacheShrinksIt) {
  TrackedCache cache;
  Fill(cache, 3, {"a", "b", "c"});
  Put(cache, "b", 4);  // evicts a, then drops the node
  EXPECT_EQ(Order(cache), (Names{"b(1)", "c(1)"}));
  EXPECT_EQ(Tracked::Live(1), 0);
  EXPECT_EQ(Tracked::Live(4), 0);
  EXPECT_EQ(Tracked::Live(2), 1);
}

TEST_F(MFUCacheTest, EvictingTheVeryNameLetsTheNewNodeIn) {
  TrackedCache cache;
  Fill(cache, 2, {"a", "b"});
  Count(cache, "b");
  TrackedNode node("a", Tracked(3));
  node.frequencyofUse = 5;
  cache.insert(node, true);  // evicts a(1), then inserts the new a
  EXPECT_EQ(Order(cache), (Names{"b(2)", "a(5)"}));
  EXPECT_EQ(Tracked::Live(1), 0);
  Tracked out;
  ASSERT_TRUE(cache.find("a", out, false));
  EXPECT_EQ(out.id(), 3);
}

TEST_F(MFUCacheTest, DestructorAndClearDestroyEveryValue) {
  {
    TrackedCache cache;
    for (int i = 0; i < 10; ++i) Put(cache, "n" + std::to_string(i), i, false);
    Count(cache, "n3");
  }
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Tracked::Live(i), 0) << i;

  TrackedCache cache;
  Put(cache, "a", 20);
  cache.clear();
  EXPECT_EQ(Tracked::Live(20), 0);
  EXPECT_TRUE(cache.empty());
}

TEST_F(MFUCacheTest, SharedMapValuesOutliveTheCache) {
  GuidRecordMap shared{{1, SGuidRecord("ann", "{1}", 1)}};
  {
    MFU_Cache<MFC_Cache_Value_Type> cache;
    cache.insert(MFU_Node_Type<MFC_Cache_Value_Type>("a", MFC_Cache_Value_Type(&shared)), false);
    cache.insert(MFU_Node_Type<MFC_Cache_Value_Type>("b", MFC_Cache_Value_Type(&shared)), false);
    MFC_Cache_Value_Type out;
    ASSERT_TRUE(cache.find("b", out, false));
    EXPECT_EQ(out.map, &shared);
  }
  // Freeing a stack object would have crashed; the map is intact.
  EXPECT_EQ(shared.begin()->second.name, "ann");
}

// The placement rules written out on a plain list, in eviction order.
class ListModel {
 public:
  void setMaxSize(uint64_t max) { max_ = max; }
  void insert(const std::string& name, uint64_t count, bool evict) {
    if (evict && !entries_.empty() && entries_.size() >= max_) entries_.pop_front();
    if (find(name) != entries_.end()) return;
    place({name, count});
  }
  bool find(const std::string& name, bool counted) {
    auto it = find(name);
    if (it == entries_.end()) return false;
    if (!counted) return true;
    Entry entry = *it;
    ++entry.count;
    auto next = std::next(it);
    if (next == entries_.end() || next->count >= entry.count) {
      it->count = entry.count;
    } else {
      entries_.erase(it);
      place(entry);
    }
    return true;
  }
  std::vector<std::string> order() const {
    std::vector<std::string> out;
    for (const Entry& e : entries_) out.push_back(e.name + "(" + std::to_string(e.count) + ")");
    return out;
  }

 private:
  struct Entry {
    std::string name;
    uint64_t count;
  };
  std::list<Entry>::iterator find(const std::string& name) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& e) { return e.name == name; });
  }
  // Just after the last entry whose count is not above the new one.
  void place(const Entry& entry) {
    auto pos = std::find_if(entries_.begin(), entries_.end(),
                            [&](const Entry& e) { return e.count > entry.count; });
    entries_.insert(pos, entry);
  }
  std::list<Entry> entries_;
  uint64_t max_ = 100000;
};

TEST_F(MFUCacheTest, RandomOperationsFollowTheListModel) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    MFU_Cache<int> cache;
    ListModel model;
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    for (int step = 0; step < 2000; ++step) {
      std::string name = "k" + std::to_string(pick(12));
      int op = pick(10);
      if (op == 0) {
        uint64_t max = static_cast<uint64_t>(pick(9));
        cache.setMaxSize(max);
        model.setMaxSize(max);
      } else if (op < 5) {
        MFU_Node_Type<int> node(name, step);
        node.frequencyofUse = static_cast<uint64_t>(1 + pick(3));
        bool evict = pick(2) == 0;
        cache.insert(node, evict);
        model.insert(name, node.frequencyofUse, evict);
      } else {
        bool counted = pick(4) != 0;
        int out = -1;
        ASSERT_EQ(cache.find(name, out, counted), model.find(name, counted));
      }
      ASSERT_EQ(Order(cache), model.order()) << "seed " << seed << " step " << step;
    }
  }
}

}  // namespace
