// Records of a bookkeeping map kept for reuse once their entries are gone:
// the pool's blocks and the I/O manager's requests come and go by the
// thousand, and reusing a record's node spares an allocation each time.
// Not locked: the map's owner holds its own lock around both calls.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace kernel::detail {

template <typename Map>
class SpareNodes {
 public:
  explicit SpareNodes(std::size_t capacity) : capacity_(capacity) {}

  // The entry for `key`, in a kept node when there is one. Its value is
  // whatever the node held last: the caller sets it.
  typename Map::iterator Insert(Map& map, const typename Map::key_type& key) {
    if (spare_.empty()) return map.try_emplace(key).first;
    typename Map::node_type node = std::move(spare_.back());
    spare_.pop_back();
    node.key() = key;
    return map.insert(std::move(node)).position;
  }

  // Takes the entry out of the map and keeps its node, up to the capacity.
  void Retire(Map& map, typename Map::const_iterator at) {
    typename Map::node_type node = map.extract(at);
    if (spare_.size() < capacity_) spare_.push_back(std::move(node));
  }

 private:
  std::size_t capacity_;
  std::vector<typename Map::node_type> spare_;
};

}  // namespace kernel::detail
