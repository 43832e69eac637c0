// Folders held open from the project root down, so that entries of any depth are reached by name.
#include "vcs/folder_chain.h"

#include <algorithm>

#include "vcs/safe_path.h"

namespace kestrun::vcs {

folder_chain::folder_chain(const std::filesystem::path& root) : root_(root) {}

const platform::folder_handle* folder_chain::parent_of(const std::string& stored, bool make,
                                                       std::filesystem::path& name,
                                                       std::error_code& ec) {
  ec.clear();
  if (!root_.is_open()) {
    ec = std::make_error_code(std::errc::no_such_file_or_directory);
    return nullptr;
  }
  const std::size_t slash = stored.rfind('/');
  const std::string_view parent =
      slash == std::string::npos ? std::string_view() : std::string_view(stored).substr(0, slash);
  name = path_from_utf8_strict(slash == std::string::npos ? stored : stored.substr(slash + 1));

  // The held folders that lie on the way: those whose whole path the parent begins with.
  const auto differ = std::mismatch(parent.begin(), parent.end(), held_.begin(), held_.end());
  const auto same = static_cast<std::size_t>(differ.first - parent.begin());
  std::size_t keep = 0;
  while (keep < ends_.size() && ends_[keep] <= same &&
         (ends_[keep] == parent.size() || parent[ends_[keep]] == '/')) {
    ++keep;
  }
  ends_.resize(keep);
  open_.resize(keep);
  held_.resize(keep == 0 ? 0 : ends_.back());

  for (std::size_t pos = held_.empty() ? 0 : held_.size() + 1; pos < parent.size();) {
    std::size_t end = parent.find('/', pos);
    if (end == std::string_view::npos) end = parent.size();
    const std::string element(parent.substr(pos, end - pos));
    const std::filesystem::path next = path_from_utf8_strict(element);
    const platform::folder_handle& above = open_.empty() ? root_ : *open_.back();
    auto folder = std::make_unique<platform::folder_below>(above, next, ec);
    // Another process may make it first: what counts is that a folder stands there.
    if (ec && make && platform::is_not_found(ec) && platform::create_folder_at(above, next, ec)) {
      folder = std::make_unique<platform::folder_below>(above, next, ec);
    }
    if (ec) return nullptr;
    open_.push_back(std::move(folder));
    if (!held_.empty()) held_ += '/';
    held_ += element;
    ends_.push_back(held_.size());
    pos = end + 1;
  }
  return open_.empty() ? &root_ : open_.back().get();
}

}  // namespace kestrun::vcs
