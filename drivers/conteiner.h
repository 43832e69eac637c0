// The handle table of a driver library: the objects behind its open connections, addressed by
// small unsigned handles (slot index + 1; 0 names nothing). Emptied slots are reused last-in
// first-out. Each driver library holds one process-wide table.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrun {

// Spelled "conteiner" on purpose: both driver libraries know the table by this name.
template <typename T, typename H = unsigned>
class conteiner {
 public:
  conteiner() = default;
  // Destroys the objects still held (connections that were never disconnected).
  virtual ~conteiner() {
    std::lock_guard<std::mutex> guard(mutex);
    slots.clear();
    free_slots.clear();
  }
  conteiner(const conteiner&) = delete;
  conteiner& operator=(const conteiner&) = delete;

  // Takes ownership of `object` (also when this throws) and returns its handle, never 0. The
  // most recently emptied slot is used first. A null object is not stored: 0.
  H add(T* object) {
    std::shared_ptr<T> held(object);
    if (!held) return 0;
    std::lock_guard<std::mutex> guard(mutex);
    if (free_slots.empty()) {
      slots.push_back(std::move(held));
      return static_cast<H>(slots.size());
    }
    const std::uint64_t index = free_slots.back();
    free_slots.pop_back();
    slots[index] = std::move(held);
    return static_cast<H>(index + 1);
  }

  // The object behind `handle`; empty for 0, a handle beyond the table or an emptied slot. The
  // caller's copy keeps the object alive after a concurrent remove.
  std::shared_ptr<T> get(H handle) const {
    if (handle == 0) return {};
    std::lock_guard<std::mutex> guard(mutex);
    const std::uint64_t index = std::uint64_t{handle} - 1;
    if (index >= slots.size()) return {};
    return slots[index];
  }

  // Empties the handle's slot; the object goes with its last shared pointer. Unknown and empty
  // handles are ignored. The last slot is dropped rather than listed as free.
  void remove(H handle) {
    if (handle == 0) return;
    std::lock_guard<std::mutex> guard(mutex);
    const std::uint64_t index = std::uint64_t{handle} - 1;
    if (index >= slots.size() || !slots[index]) return;
    slots[index].reset();
    if (index + 1 == slots.size()) {
      // Emptied slots below it stay where they are, and stay listed as free.
      slots.pop_back();
    } else {
      free_slots.push_back(index);
    }
  }

 private:
  std::vector<std::shared_ptr<T>> slots;
  std::vector<std::uint64_t> free_slots;  // a stack of emptied slot indices
  mutable std::mutex mutex;
};

}  // namespace kestrun
