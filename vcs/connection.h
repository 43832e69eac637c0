// One counted connection of a storage driver, closed when the scope ends, also when an exception
// from a driver leaves it.
#pragma once

#include "vcs/storage_driver.h"

namespace kestrun::vcs {

class connection {
 public:
  // Connects at once; opened() tells whether that succeeded. `driver` must outlive the object.
  explicit connection(storage_driver& driver) : driver_(driver), open_(driver.connect() == 0) {}
  ~connection() { close(); }
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  bool opened() const { return open_; }
  // Disconnects once; later calls do nothing.
  void close() {
    if (open_) driver_.disconnect();
    open_ = false;
  }

 private:
  storage_driver& driver_;
  bool open_;
};

}  // namespace kestrun::vcs
