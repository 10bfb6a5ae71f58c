// A cache of named values that keeps the most frequently used entries.
//
// Every entry carries a use count. find() may count a use; insert() with
// eviction first removes the entry with the lowest count when the cache holds
// maxSize entries or more. Among entries of equal count, eviction takes them
// in the order two rules produce:
//   - a new entry goes after every entry whose count equals its own;
//   - a counted entry keeps its place when it is last or the entry after it
//     has a count not lower than its new one; otherwise it moves to just after
//     the last entry whose count is at most its new one.
// So the most recently counted entry is not always the last to go: with
// alpha, beta, gamma inserted in that order, counting gamma then beta leaves
// alpha(1), beta(2), gamma(2), and evictions take alpha, beta, gamma (an entry
// inserted meanwhile at count 1 goes before beta and leaves before it).
//
// maxSize starts at kDefaultMaxSize (100000, the library's default address
// capacity). A maxSize of 0 makes every evicting insertion into a non-empty
// cache remove one entry first. Lowering it never removes entries by itself.
//
// Trap: inserting a name that is present does not update it; the present
// entry keeps its value and count, and the new node is dropped, after any
// eviction the insertion did.
//
// This is NOT a thread-safe implementation: an insertion or a counted lookup
// changes the container, so one cache must be used by one thread at a time
// unless its owner serialises the calls. Lookups without counting from many
// threads are safe once no thread inserts.
#pragma once

#include <boost/functional/hash.hpp>
#include <boost/multi_index/hashed_index.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/ordered_index.hpp>
#include <boost/multi_index/tag.hpp>
#include <boost/multi_index_container.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

template <typename T>
struct MFU_Node_Type {
  uint64_t frequencyofUse;
  std::string name;
  T value;

  MFU_Node_Type(std::string n, const T& v) : frequencyofUse(1), name(std::move(n)), value(v) {}
};

struct tag_frequencyofUse {};
struct tag_name {};

template <typename T>
class MFU_Cache {
 public:
  static constexpr uint64_t kDefaultMaxSize = 100000;

  using Node = MFU_Node_Type<T>;
  using Container = boost::multi_index_container<
      Node, boost::multi_index::indexed_by<
                boost::multi_index::ordered_non_unique<
                    boost::multi_index::tag<tag_frequencyofUse>,
                    boost::multi_index::member<Node, uint64_t, &Node::frequencyofUse>,
                    std::less<uint64_t>>,
                boost::multi_index::hashed_unique<
                    boost::multi_index::tag<tag_name>,
                    boost::multi_index::member<Node, std::string, &Node::name>,
                    boost::hash<std::string>, std::equal_to<std::string>>>>;

  MFU_Cache() = default;

  void setMaxSize(unsigned long maxSize) { maxSize_ = maxSize; }
  // Makes room for `n` names at once, sparing the rehashes of a bulk fill.
  void reserve(size_t n) { nodes_.template get<tag_name>().reserve(n); }
  uint64_t maxSize() const { return maxSize_; }
  size_t size() const { return nodes_.size(); }
  bool empty() const { return nodes_.empty(); }
  // Destroys every entry with its value.
  void clear() { nodes_.clear(); }

  // With `evict`, first removes the least used entry when size() >= maxSize.
  // Then adds the node with its own count, unless its name is present.
  void insert(Node node, bool evict) {
    auto& byFrequency = nodes_.template get<tag_frequencyofUse>();
    if (evict && !nodes_.empty() && nodes_.size() >= maxSize_)
      byFrequency.erase(byFrequency.begin());
    // Boost's ordered_non_unique index links a new element after its
    // equivalents, which is the placement rule for new entries. The hint at
    // the end makes that O(1) when the new count is the highest (every insert
    // of the static cache, whose counts all stay 1); otherwise Boost ignores
    // the hint and searches as usual.
    byFrequency.insert(byFrequency.end(), std::move(node));
  }

  // True when `name` is present (exact, case-sensitive); `out` becomes a copy
  // of the value. With `count`, the entry's use count goes up by one.
  bool find(const std::string& name, T& out, bool count) {
    auto& byName = nodes_.template get<tag_name>();
    auto it = byName.find(name);
    if (it == byName.end()) return false;
    out = it->value;
    if (count) {
      // modify() keeps the element where it is when the order still holds
      // (the next entry's count is not lower) and otherwise relinks it after
      // its new equivalents: exactly the rule for counted entries. It cannot
      // fail, as the name does not change, and unlike replace() it does not
      // copy the value.
      byName.modify(it, [](Node& n) { ++n.frequencyofUse; });
    }
    return true;
  }

  // Visits entries in eviction order (least used first): fn(const Node&).
  template <typename Fn>
  void forEachByFrequency(Fn&& fn) const {
    for (const Node& n : nodes_.template get<tag_frequencyofUse>()) fn(n);
  }

 private:
  Container nodes_;
  uint64_t maxSize_ = kDefaultMaxSize;
};
