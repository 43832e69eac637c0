// A pattern is split into its parts between separators. A path matches when its parts match them
// in order, a "**" part taking any number of path parts; within a part, '*' takes any run of
// characters. Both levels use the classic single-restart search: on a mismatch only the latest
// wildcard takes one more element, which is enough because a wildcard takes anything of its
// kind, and bounds the work by the product of the lengths.
#include "common/filesystem/pattern_matcher.h"

#include <algorithm>
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

struct pattern_matcher::t_build {
  std::vector<std::uint32_t> tokens;
  std::vector<t_part> parts;
  std::vector<std::uint32_t> sets;  // laid out as in code_
  void push(t_kind kind, std::uint32_t value = 0) {
    tokens.push_back((static_cast<std::uint32_t>(kind) << kind_shift) | (value & value_mask));
  }
};

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
  code_.clear();
  parts_at_ = part_count_ = sets_at_ = suffix_length_ = 0;
  usable_ = false;
  plain_ = false;
  problem.clear();
  t_build b;
  // Room for the tokens (one a character at most) and the parts behind them, which grow into
  // code_ in place: no copy of a long pattern's tokens is made.
  const auto slashes = static_cast<std::size_t>(std::count(pattern.begin(), pattern.end(), L'/'));
  b.tokens.reserve(pattern.size() + 2 * (slashes + 2));

  t_part part;
  std::size_t stars_in_part = 0;  // '*' characters of the part when it holds nothing else
  bool only_stars = true;
  const auto end_part = [&] {
    part.last = static_cast<std::uint32_t>(b.tokens.size());
    part.any_parts = only_stars && stars_in_part >= 2;
    b.parts.push_back(part);
    part = t_part{};
    part.first = static_cast<std::uint32_t>(b.tokens.size());
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
      b.push(t_kind::star);
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
      b.push(t_kind::literal, platform_unit(pattern[pos + 1]));
      pos += 2;
    } else if (c == L'?') {
      ++pos;
      b.push(t_kind::any);
    } else if (c == L'[') {
      if (!parse_set(pattern, pos, next_close, b, problem, work)) return false;
    } else {
      ++pos;
      b.push(t_kind::literal, platform_unit(c));
    }
  }
  end_part();

  // A "**" at the end takes what lies inside the folder before it, not the folder itself: at
  // least one part.
  if (b.parts.back().any_parts) {
    t_part one = b.parts.back();
    one.any_parts = false;
    b.parts.insert(b.parts.end() - 1, one);
  }

  plain_ = true;
  work += b.tokens.size() + b.parts.size();
  for (const t_part& p : b.parts) {
    if (p.any_parts) plain_ = false;
    for (std::uint32_t i = p.first; i < p.last; ++i) {
      if (kind_of(b.tokens[i]) != t_kind::literal) plain_ = false;
    }
  }
  const t_part& last = b.parts.back();
  if (!plain_ && !last.any_parts) {
    for (std::uint32_t t = last.last; t > last.first && kind_of(b.tokens[t - 1]) == t_kind::literal;
         --t) {
      ++suffix_length_;
    }
  }
  // One block of exactly the size it needs.
  parts_at_ = static_cast<std::uint32_t>(b.tokens.size());
  part_count_ = static_cast<std::uint32_t>(b.parts.size());
  sets_at_ = parts_at_ + 2 * part_count_;
  code_ = std::move(b.tokens);
  code_.reserve(sets_at_ + b.sets.size());
  for (const t_part& p : b.parts) {
    code_.push_back(p.first);
    code_.push_back(p.last | (p.any_parts ? 0x80000000u : 0u));
  }
  code_.insert(code_.end(), b.sets.begin(), b.sets.end());
  // The block is made to fit, but for a long pattern that nearly fits: there a copy would
  // double its memory for a moment to save little.
  const std::size_t spare = code_.capacity() - code_.size();
  if (code_.size() < 4096 || spare > code_.size() / 8) code_.shrink_to_fit();
  usable_ = true;
  return true;
}

// Reads the bracket expression at `pos` as git's wildmatch does: '!' or '^' first negates, the
// first member may be ']', "a-z" is a range unless the '-' comes first or last, '\' makes the
// next character plain, and "[:name:]" is a class; a '[' that opens no class name is plain.
bool pattern_matcher::parse_set(std::wstring_view pattern, std::size_t& pos,
                                std::size_t& next_close, t_build& b, std::string& problem,
                                std::uint64_t& work) {
  const auto at = static_cast<std::uint32_t>(b.sets.size());
  bool negated = false;
  std::uint32_t classes = 0;
  b.sets.push_back(0);  // negation and classes, filled in at the end
  b.sets.push_back(0);  // the range count
  std::size_t i = pos + 1;
  if (i < pattern.size() && (pattern[i] == L'!' || pattern[i] == L'^')) {
    negated = true;
    ++i;
  }
  const auto unclosed = [&problem] {
    problem = "a bracket expression has no closing ']'";
    return false;
  };
  const auto add = [&b](wchar_t low, wchar_t high) {
    b.sets.push_back(platform_unit(low));
    b.sets.push_back(platform_unit(high));
  };
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
      classes |= 1u << index;
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
  b.sets[at] = (negated ? 1u : 0u) | (classes << 1);
  b.sets[at + 1] = (static_cast<std::uint32_t>(b.sets.size()) - at - 2) / 2;
  b.push(t_kind::set, at);
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
      const std::uint32_t at = sets_at_ + value_of(token);
      const std::uint32_t flags = code_[at];
      const std::uint32_t* range = &code_[at + 2];
      const std::uint32_t u = platform_unit(c);
      bool in = false;
      for (std::uint32_t r = 0; r < code_[at + 1]; ++r, range += 2) {
        if (range[0] <= u && u <= range[1]) {
          in = true;
          break;
        }
      }
      for (std::size_t n = 0; !in && n < class_names.size(); ++n) {
        in = (flags & (2u << n)) != 0 && in_class(n, c);
      }
      return in != ((flags & 1u) != 0);
    }
  }
  return false;
}

pattern_matcher::t_part pattern_matcher::part(std::size_t index) const {
  const std::uint32_t last = code_[parts_at_ + 2 * index + 1];
  return {code_[parts_at_ + 2 * index], last & 0x7FFFFFFFu, (last & 0x80000000u) != 0};
}

bool pattern_matcher::part_matches(const t_part& part, std::wstring_view name) const {
  std::size_t p = part.first;
  std::size_t t = 0;
  std::size_t star = part.last;  // none yet
  std::size_t star_t = 0;
  while (t < name.size()) {
    if (p < part.last && kind_of(code_[p]) == t_kind::star) {
      star = p++;
      star_t = t;
    } else if (p < part.last && char_matches(code_[p], name[t])) {
      ++p;
      ++t;
    } else if (star != part.last) {
      p = star + 1;
      t = ++star_t;
    } else {
      return false;
    }
  }
  while (p < part.last && kind_of(code_[p]) == t_kind::star) ++p;
  return p == part.last;
}

bool pattern_matcher::fits_plain_end(std::wstring_view path) const {
  if (plain_) {
    std::size_t t = 0;
    for (std::size_t i = 0; i < part_count_; ++i) {
      if (i > 0) {
        if (t >= path.size() || path[t] != L'/') return false;
        ++t;
      }
      const t_part each = part(i);
      if (path.size() - t < each.last - each.first) return false;
      for (std::uint32_t k = each.first; k < each.last; ++k, ++t) {
        if (platform_unit(path[t]) != value_of(code_[k])) return false;
      }
    }
    return t == path.size();
  }
  if (path.size() < suffix_length_) return false;
  const std::uint32_t end = part(part_count_ - 1).last;
  const std::size_t from = path.size() - suffix_length_;
  for (std::uint32_t k = 0; k < suffix_length_; ++k) {
    if (platform_unit(path[from + k]) != value_of(code_[end - suffix_length_ + k])) return false;
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
  const std::size_t parts = part_count_;
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = parts;  // none yet
  std::size_t star_t = 0;
  while (t != done) {
    if (p < parts && part(p).any_parts) {
      star = p++;
      star_t = t;
      continue;
    }
    if (p < parts) {
      const std::size_t slash = path.find(L'/', t);
      const std::size_t length = slash == std::wstring_view::npos ? path.size() - t : slash - t;
      if (part_matches(part(p), path.substr(t, length))) {
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
  while (p < parts && part(p).any_parts) ++p;
  return p == parts;
}

}  // namespace kestrun::filesystem
