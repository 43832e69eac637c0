// A pattern is split into its parts between separators. A path matches when its parts match them
// in order, a "**" part taking any number of path parts; within a part, '*' takes any run of
// characters. Both levels use the classic single-restart search: on a mismatch only the latest
// wildcard takes one more element, which is enough because a wildcard takes anything of its
// kind, and bounds the work by the product of the lengths.
#include "common/filesystem/pattern_matcher.h"

#include <array>
#include <cstdint>

namespace kestrun::filesystem {
namespace {

// The class names of bracket expressions, as git reads them: on ASCII characters only.
constexpr std::array<std::wstring_view, 12> class_names = {L"alnum", L"alpha", L"blank", L"cntrl",
                                                           L"digit", L"graph", L"lower", L"print",
                                                           L"punct", L"space", L"upper", L"xdigit"};

bool in_class(std::size_t index, wchar_t c) {
  if (static_cast<std::uint32_t>(c) > 0x7F) return false;
  const bool lower = c >= L'a' && c <= L'z';
  const bool upper = c >= L'A' && c <= L'Z';
  const bool digit = c >= L'0' && c <= L'9';
  const bool graph = c > 0x20 && c < 0x7F;
  switch (index) {
    case 0:
      return lower || upper || digit;
    case 1:
      return lower || upper;
    case 2:
      return c == L' ' || c == L'\t';
    case 3:
      return c < 0x20 || c == 0x7F;
    case 4:
      return digit;
    case 5:
      return graph;
    case 6:
      return lower;
    case 7:
      return graph || c == L' ';
    case 8:
      return graph && !(lower || upper || digit);
    case 9:
      return c == L' ' || (c >= L'\t' && c <= L'\r');
    case 10:
      return upper;
    default:
      return digit || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
  }
}

// A wide unit as the 32-bit value a literal token holds (wchar_t is signed on some platforms).
std::uint32_t platform_unit(wchar_t c) { return static_cast<std::uint32_t>(c); }

}  // namespace

bool pattern_matcher::compile(std::wstring_view pattern, std::string& problem,
                              std::uint64_t* steps) {
  std::uint64_t work = 0;
  // Counted on every way out.
  struct t_count {
    std::uint64_t& work;
    std::uint64_t* steps;
    ~t_count() {
      if (steps != nullptr) *steps += work;
    }
  } count{work, steps};
  tokens_.clear();
  sets_.clear();
  ranges_.clear();
  parts_.clear();
  suffix_length_ = 0;
  usable_ = false;
  plain_ = false;
  problem.clear();
  tokens_.reserve(pattern.size());

  t_part part;
  std::size_t stars_in_part = 0;  // '*' characters of the part when it holds nothing else
  bool only_stars = true;
  const auto end_part = [&] {
    part.last = static_cast<std::uint32_t>(tokens_.size());
    part.any_parts = only_stars && stars_in_part >= 2;
    parts_.push_back(part);
    part = t_part{};
    part.first = static_cast<std::uint32_t>(tokens_.size());
    stars_in_part = 0;
    only_stars = true;
  };
  // Where the next ']' after a "[:" stands: found once and kept while the reading is before it,
  // so that a set of many "[:" is read in one pass.
  std::size_t next_close = 0;
  std::size_t pos = 0;
  while (pos < pattern.size()) {
    ++work;
    const wchar_t c = pattern[pos];
    if (c == L'*') {
      // A run of stars is one wildcard; a run that fills its part is "**".
      while (pos < pattern.size() && pattern[pos] == L'*') {
        ++work;
        ++stars_in_part;
        ++pos;
      }
      push(t_kind::star);
      continue;
    }
    if (c == L'/') {
      ++pos;
      end_part();
      continue;
    }
    if (c == L'\\' && pos + 1 < pattern.size() && pattern[pos + 1] == L'/') {
      pos += 2;
      end_part();
      continue;
    }
    only_stars = false;
    if (c == L'\\') {
      if (pos + 1 >= pattern.size()) {
        problem = "a '\\' ends the pattern";
        return false;
      }
      push(t_kind::literal, platform_unit(pattern[pos + 1]));
      pos += 2;
    } else if (c == L'?') {
      ++pos;
      push(t_kind::any);
    } else if (c == L'[') {
      if (!parse_set(pattern, pos, next_close, problem, work)) return false;
    } else {
      ++pos;
      push(t_kind::literal, platform_unit(c));
    }
  }
  end_part();

  // A "**" at the end takes what lies inside the folder before it, not the folder itself: at
  // least one part.
  if (parts_.back().any_parts) {
    t_part one = parts_.back();
    one.any_parts = false;
    parts_.insert(parts_.end() - 1, one);
  }

  plain_ = true;
  work += tokens_.size() + parts_.size();
  for (const t_part& p : parts_) {
    if (p.any_parts) plain_ = false;
    for (std::uint32_t i = p.first; i < p.last; ++i) {
      if (kind_of(tokens_[i]) != t_kind::literal) plain_ = false;
    }
  }
  const t_part& last = parts_.back();
  if (!plain_ && !last.any_parts) {
    for (std::uint32_t t = last.last; t > last.first && kind_of(tokens_[t - 1]) == t_kind::literal;
         --t) {
      ++suffix_length_;
    }
  }
  tokens_.shrink_to_fit();
  parts_.shrink_to_fit();
  sets_.shrink_to_fit();
  ranges_.shrink_to_fit();
  usable_ = true;
  return true;
}

// Reads the bracket expression at `pos` as git's wildmatch does: '!' or '^' first negates, the
// first member may be ']', "a-z" is a range unless the '-' comes first or last, '\' makes the
// next character plain, and "[:name:]" is a class; a '[' that opens no class name is plain.
bool pattern_matcher::parse_set(std::wstring_view pattern, std::size_t& pos,
                                std::size_t& next_close, std::string& problem,
                                std::uint64_t& work) {
  t_set set;
  set.first = static_cast<std::uint32_t>(ranges_.size());
  std::size_t i = pos + 1;
  if (i < pattern.size() && (pattern[i] == L'!' || pattern[i] == L'^')) {
    set.negated = true;
    ++i;
  }
  const auto unclosed = [&problem] {
    problem = "a bracket expression has no closing ']'";
    return false;
  };
  const auto add = [this](wchar_t low, wchar_t high) { ranges_.emplace_back(low, high); };
  bool first = true;
  bool have_previous = false;
  wchar_t previous = 0;
  for (;;) {
    ++work;
    if (i >= pattern.size()) return unclosed();
    const wchar_t c = pattern[i];
    if (c == L']' && !first) {
      ++i;
      break;
    }
    first = false;
    if (c == L'\\') {
      if (i + 1 >= pattern.size()) return unclosed();
      previous = pattern[i + 1];
      have_previous = true;
      add(previous, previous);
      i += 2;
    } else if (c == L'-' && have_previous && i + 1 < pattern.size() && pattern[i + 1] != L']') {
      wchar_t high = pattern[i + 1];
      i += 2;
      if (high == L'\\') {
        if (i >= pattern.size()) return unclosed();
        high = pattern[i++];
      }
      // A range whose ends are reversed holds nothing, as in git.
      if (previous <= high) add(previous, high);
      have_previous = false;
    } else if (c == L'[' && i + 1 < pattern.size() && pattern[i + 1] == L':') {
      if (next_close != std::wstring_view::npos && next_close < i + 2) {
        next_close = pattern.find(L']', i + 2);
        work += (next_close == std::wstring_view::npos ? pattern.size() : next_close) - i;
      }
      const std::size_t close = next_close;
      if (close == std::wstring_view::npos) return unclosed();
      if (close < i + 3 || pattern[close - 1] != L':') {
        previous = L'[';
        have_previous = true;
        add(previous, previous);
        ++i;
        continue;
      }
      const std::wstring_view name = pattern.substr(i + 2, close - 1 - (i + 2));
      work += name.size();
      std::size_t index = 0;
      while (index < class_names.size() && class_names[index] != name) ++index;
      if (index == class_names.size()) {
        problem = "a bracket expression names an unknown class";
        return false;
      }
      set.classes = static_cast<std::uint16_t>(set.classes | (1u << index));
      have_previous = false;
      i = close + 1;
    } else {
      previous = c;
      have_previous = true;
      add(c, c);
      ++i;
    }
  }
  pos = i;
  set.count = static_cast<std::uint32_t>(ranges_.size()) - set.first;
  push(t_kind::set, static_cast<std::uint32_t>(sets_.size()));
  sets_.push_back(set);
  return true;
}

bool pattern_matcher::char_matches(std::uint32_t token, wchar_t c) const {
  switch (kind_of(token)) {
    case t_kind::literal:
      return platform_unit(c) == value_of(token);
    case t_kind::any:
    case t_kind::star:
      return c != L'/';
    case t_kind::set: {
      if (c == L'/') return false;
      const t_set& set = sets_[value_of(token)];
      bool in = false;
      for (std::uint32_t r = set.first; r < set.first + set.count; ++r) {
        if (ranges_[r].first <= c && c <= ranges_[r].second) {
          in = true;
          break;
        }
      }
      for (std::size_t n = 0; !in && n < class_names.size(); ++n) {
        in = (set.classes & (1u << n)) != 0 && in_class(n, c);
      }
      return in != set.negated;
    }
  }
  return false;
}

bool pattern_matcher::part_matches(const t_part& part, std::wstring_view name) const {
  std::size_t p = part.first;
  std::size_t t = 0;
  std::size_t star = part.last;  // none yet
  std::size_t star_t = 0;
  while (t < name.size()) {
    if (p < part.last && kind_of(tokens_[p]) == t_kind::star) {
      star = p++;
      star_t = t;
    } else if (p < part.last && char_matches(tokens_[p], name[t])) {
      ++p;
      ++t;
    } else if (star != part.last) {
      p = star + 1;
      t = ++star_t;
    } else {
      return false;
    }
  }
  while (p < part.last && kind_of(tokens_[p]) == t_kind::star) ++p;
  return p == part.last;
}

bool pattern_matcher::fits_plain_end(std::wstring_view path) const {
  if (plain_) {
    std::size_t t = 0;
    for (std::size_t i = 0; i < parts_.size(); ++i) {
      if (i > 0) {
        if (t >= path.size() || path[t] != L'/') return false;
        ++t;
      }
      const t_part& part = parts_[i];
      if (path.size() - t < part.last - part.first) return false;
      for (std::uint32_t k = part.first; k < part.last; ++k, ++t) {
        if (platform_unit(path[t]) != value_of(tokens_[k])) return false;
      }
    }
    return t == path.size();
  }
  if (path.size() < suffix_length_) return false;
  const std::uint32_t end = parts_.back().last;
  const std::size_t from = path.size() - suffix_length_;
  for (std::uint32_t k = 0; k < suffix_length_; ++k) {
    if (platform_unit(path[from + k]) != value_of(tokens_[end - suffix_length_ + k])) return false;
  }
  return true;
}

bool pattern_matcher::match(std::wstring_view path) const {
  if (!usable_) return false;
  if (!fits_plain_end(path)) return false;
  if (plain_) return true;
  constexpr std::size_t done = std::wstring_view::npos;
  // The start of the path part after the one that starts at `at`.
  const auto next_part = [&path](std::size_t at) {
    const std::size_t slash = path.find(L'/', at);
    return slash == std::wstring_view::npos ? done : slash + 1;
  };
  const std::size_t parts = parts_.size();
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = parts;  // none yet
  std::size_t star_t = 0;
  while (t != done) {
    if (p < parts && parts_[p].any_parts) {
      star = p++;
      star_t = t;
      continue;
    }
    if (p < parts) {
      const std::size_t slash = path.find(L'/', t);
      const std::size_t length = slash == std::wstring_view::npos ? path.size() - t : slash - t;
      if (part_matches(parts_[p], path.substr(t, length))) {
        ++p;
        t = slash == std::wstring_view::npos ? done : slash + 1;
        continue;
      }
    }
    if (star == parts) return false;
    p = star + 1;
    star_t = next_part(star_t);
    t = star_t;
  }
  while (p < parts && parts_[p].any_parts) ++p;
  return p == parts;
}

}  // namespace kestrun::filesystem
