#pragma once

#include <cstddef>
#include <map>
#include <memory>

namespace morvik::ble::darwin {

// Gives every platform object one handle for as long as the handle lives:
// the same object maps to the same handle, another object to another. The
// handle keeps its object alive, so an address cannot be reused while its
// entry is in use; entries of dropped handles are pruned as the map grows.
template <typename Handle>
class HandleMap {
 public:
  template <typename Make>
  std::shared_ptr<Handle> handleFor(const void* object, Make&& make) {
    if (object == nullptr) return nullptr;
    auto& slot = handles_[object];
    if (auto existing = slot.lock()) return existing;
    auto handle = make();
    slot = handle;
    if (handles_.size() > pruneAt_) prune();
    return handle;
  }

  // The platform replaced the object behind a handle (CoreBluetooth does so
  // after the adapter resets): the handle now stands for `replacement`.
  void rebind(const void* object, const void* replacement, const std::shared_ptr<Handle>& handle) {
    handles_.erase(object);
    handles_[replacement] = handle;
  }

  // The handle of an object, if one is alive.
  std::shared_ptr<Handle> existing(const void* object) const {
    const auto found = handles_.find(object);
    return found == handles_.end() ? nullptr : found->second.lock();
  }

  std::size_t size() const { return handles_.size(); }

 private:
  void prune() {
    for (auto it = handles_.begin(); it != handles_.end();)
      it = it->second.expired() ? handles_.erase(it) : std::next(it);
    pruneAt_ = std::max<std::size_t>(64, handles_.size() * 2);
  }

  std::map<const void*, std::weak_ptr<Handle>> handles_;
  std::size_t pruneAt_ = 64;
};

}  // namespace morvik::ble::darwin
