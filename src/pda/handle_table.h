// The open connections of a Palm transport by handle. A worker may still be
// inside a transfer when another thread closes its handle, so connections are
// shared: the last user releases one.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace k730 {

template <typename Connection>
class HandleTable {
 public:
  // A positive handle not in use; numbers wrap before they overflow.
  int Add(std::shared_ptr<Connection> connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    int handle = next_;
    while (items_.count(handle)) handle = handle == INT32_MAX ? 1 : handle + 1;
    next_ = handle == INT32_MAX ? 1 : handle + 1;
    items_[handle] = std::move(connection);
    return handle;
  }
  std::shared_ptr<Connection> Find(int handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = items_.find(handle);
    return it == items_.end() ? nullptr : it->second;
  }
  // Removes the handle; null when it was not open.
  std::shared_ptr<Connection> Take(int handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = items_.find(handle);
    if (it == items_.end()) return nullptr;
    auto connection = std::move(it->second);
    items_.erase(it);
    return connection;
  }
  std::vector<std::shared_ptr<Connection>> TakeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<Connection>> all;
    for (auto& entry : items_) all.push_back(std::move(entry.second));
    items_.clear();
    return all;
  }

 private:
  mutable std::mutex mutex_;
  std::map<int, std::shared_ptr<Connection>> items_;
  int next_ = 1;
};

}  // namespace k730
