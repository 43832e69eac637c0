// The matcher is an automaton over at most 63 tokens, run with one bit per token. libstdc++
// answers regex_match by searching every path through its automaton for one that takes the
// whole text, so for expressions without back-references both give the same answer; anything
// outside the small grammar read here is left to std::regex.
#include "common/filesystem/pattern_matcher.h"

#include <algorithm>
#include <bit>

namespace kestrun::filesystem {
namespace {

constexpr std::size_t max_tokens = 63;  // token positions 0..63 fit one 64-bit mask

// What ECMAScript's '.' does not match.
bool is_line_terminator(wchar_t c) {
  return c == L'\n' || c == L'\r' || c == 0x2028 || c == 0x2029;
}

// The characters that stand for themselves after a backslash in the expressions that ignore
// patterns become.
bool is_known_escape(wchar_t c) { return c == L'.' || c == L'/' || c == L'+' || c == L'$'; }

// Characters with a meaning of their own outside a bracket.
bool is_special(wchar_t c) {
  return std::wstring_view(L"^$\\.*+?()[]{}|").find(c) != std::wstring_view::npos;
}

}  // namespace

t_match_subject make_match_subject(std::wstring_view text) {
  t_match_subject subject;
  subject.text = text;
  subject.last_slash = text.rfind(L'/');
  if (subject.last_slash != std::wstring_view::npos) {
    for (std::size_t i = subject.last_slash; i > 0; --i) {
      if (is_line_terminator(text[i - 1])) {
        subject.last_terminator = i - 1;
        break;
      }
    }
  }
  return subject;
}

t_match_subject t_match_subject::tail(std::size_t offset) const {
  constexpr auto npos = std::wstring_view::npos;
  t_match_subject rest;
  rest.text = text.substr(std::min(offset, text.size()));
  if (last_slash != npos && last_slash >= offset) {
    rest.last_slash = last_slash - offset;
    if (last_terminator != npos && last_terminator >= offset) {
      rest.last_terminator = last_terminator - offset;
    }
  }
  return rest;
}

pattern_matcher::pattern_matcher(std::wstring_view regex_text) {
  if (!parse(regex_text) || tokens_.size() > max_tokens) {
    tokens_.clear();
    sets_.clear();
    return;
  }
  const std::size_t m = tokens_.size();
  epsilon_.assign(m, 0);
  for (std::size_t i = 0; i < m; ++i) {
    switch (tokens_[i].kind) {
      case t_kind::star_literal:
      case t_kind::star_any:
      case t_kind::star_not_slash:
      case t_kind::star_set:
        epsilon_[i] = std::uint64_t{1} << (i + 1);
        break;
      case t_kind::optional_dirs:
        epsilon_[i] = (std::uint64_t{1} << (i + 1)) | (std::uint64_t{1} << tokens_[i].skip);
        break;
      default:
        break;
    }
  }
  last_part_only_ = m >= 2 && tokens_[0].kind == t_kind::star_any &&
                    tokens_[1].kind == t_kind::literal && tokens_[1].ch == L'/' &&
                    std::none_of(tokens_.begin() + 2, tokens_.end(),
                                 [this](const t_token& t) { return can_match_slash(t); });
  const std::size_t first = last_part_only_ ? 2 : 0;
  for (std::size_t i = first; i < m; ++i) {
    const t_kind kind = tokens_[i].kind;
    if (kind == t_kind::literal || kind == t_kind::any || kind == t_kind::not_slash ||
        kind == t_kind::set) {
      ++min_length_;
    }
  }
  // The '/' of an optional group was counted, but the group may be skipped.
  for (std::size_t i = first; i < m; ++i) {
    if (tokens_[i].kind == t_kind::optional_dirs) --min_length_;
  }
  for (std::size_t i = m; i > first && tokens_[i - 1].kind == t_kind::literal; --i) {
    // The '/' of an optional group is not certain to be there.
    if (i - 1 >= 2 && tokens_[i - 3].kind == t_kind::optional_dirs) break;
    literal_suffix_.insert(literal_suffix_.begin(), tokens_[i - 1].ch);
  }
  supported_ = true;
}

bool pattern_matcher::parse(std::wstring_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const wchar_t c = text[pos];
    t_token token{t_kind::literal};
    if (c == 0) return false;
    if (c == L'^') {
      if (pos != 0) return false;
      ++pos;
      continue;
    }
    if (c == L'$') {
      if (pos + 1 != text.size()) return false;
      ++pos;
      continue;
    }
    if (c == L'(') {
      constexpr std::wstring_view group = L"(.*\\/|)";
      if (text.substr(pos, group.size()) != group) return false;
      pos += group.size();
      if (pos < text.size() &&
          (text[pos] == L'*' || text[pos] == L'+' || text[pos] == L'?' || text[pos] == L'{')) {
        return false;
      }
      const auto at = static_cast<std::uint8_t>(tokens_.size());
      tokens_.push_back({t_kind::optional_dirs, 0, 0, static_cast<std::uint8_t>(at + 3)});
      tokens_.push_back({t_kind::star_any});
      tokens_.push_back({t_kind::literal, L'/'});
      continue;
    }
    if (c == L'\\') {
      if (pos + 1 >= text.size() || !is_known_escape(text[pos + 1])) return false;
      token.ch = text[pos + 1];
      pos += 2;
    } else if (c == L'.') {
      token.kind = t_kind::any;
      ++pos;
    } else if (c == L'[') {
      if (!parse_set(text, pos, token)) return false;
    } else if (is_special(c)) {
      return false;  // a quantifier without an atom, an alternation, a stray bracket
    } else {
      token.ch = c;
      ++pos;
    }
    if (pos < text.size() && text[pos] == L'*') {
      ++pos;
      switch (token.kind) {
        case t_kind::literal:
          token.kind = t_kind::star_literal;
          break;
        case t_kind::any:
          token.kind = t_kind::star_any;
          break;
        case t_kind::not_slash:
          token.kind = t_kind::star_not_slash;
          break;
        default:
          token.kind = t_kind::star_set;
          break;
      }
    }
    // Lazy stars, other quantifiers and stacked ones are left to std::regex.
    if (pos < text.size() &&
        (text[pos] == L'*' || text[pos] == L'+' || text[pos] == L'?' || text[pos] == L'{')) {
      return false;
    }
    tokens_.push_back(token);
  }
  return true;
}

bool pattern_matcher::parse_set(std::wstring_view text, std::size_t& pos, t_token& token) {
  std::size_t i = pos + 1;
  t_set set;
  if (i < text.size() && text[i] == L'^') {
    set.negated = true;
    ++i;
  }
  // An empty class ([] or [^]) means something special in ECMAScript.
  if (i >= text.size() || text[i] == L']') return false;
  const std::size_t first_item = i;
  // One class character: plain or one of the known escapes. '-' and '[' are handled by the
  // caller or refused.
  const auto read_char = [&](wchar_t& out) {
    if (i >= text.size()) return false;
    const wchar_t c = text[i];
    if (c == 0 || c == L'[' || c == L']' || c == L'-') return false;
    if (c == L'\\') {
      if (i + 1 >= text.size() || !is_known_escape(text[i + 1])) return false;
      out = text[i + 1];
      i += 2;
      return true;
    }
    out = c;
    ++i;
    return true;
  };
  for (;;) {
    if (i >= text.size()) return false;
    if (text[i] == L']') break;
    if (text[i] == L'-') {
      // A dash is plain only as the first item or right before the closing bracket.
      if (i != first_item && !(i + 1 < text.size() && text[i + 1] == L']')) return false;
      set.chars.push_back(L'-');
      ++i;
      continue;
    }
    wchar_t low = 0;
    if (!read_char(low)) return false;
    if (i + 1 < text.size() && text[i] == L'-' && text[i + 1] != L']') {
      ++i;
      wchar_t high = 0;
      if (!read_char(high) || high < low) return false;
      if (i < text.size() && text[i] == L'-' && !(i + 1 < text.size() && text[i + 1] == L']')) {
        return false;  // a-b-c
      }
      set.ranges.emplace_back(low, high);
    } else {
      set.chars.push_back(low);
    }
  }
  pos = i + 1;
  if (set.negated && set.ranges.empty() && set.chars.size() == 1 && set.chars[0] == L'/') {
    token.kind = t_kind::not_slash;
    return true;
  }
  if (sets_.size() >= 0xFFFF) return false;
  token.kind = t_kind::set;
  token.set = static_cast<std::uint16_t>(sets_.size());
  sets_.push_back(std::move(set));
  return true;
}

bool pattern_matcher::atom_matches(const t_token& token, wchar_t c) const {
  switch (token.kind) {
    case t_kind::literal:
    case t_kind::star_literal:
      return c == token.ch;
    case t_kind::any:
    case t_kind::star_any:
      return !is_line_terminator(c);
    case t_kind::not_slash:
    case t_kind::star_not_slash:
      return c != L'/';
    case t_kind::set:
    case t_kind::star_set: {
      const t_set& set = sets_[token.set];
      bool in = std::find(set.chars.begin(), set.chars.end(), c) != set.chars.end();
      for (std::size_t r = 0; !in && r < set.ranges.size(); ++r) {
        in = set.ranges[r].first <= c && c <= set.ranges[r].second;
      }
      return in != set.negated;
    }
    case t_kind::optional_dirs:
      return false;
  }
  return false;
}

bool pattern_matcher::can_match_slash(const t_token& token) const {
  return token.kind == t_kind::optional_dirs || atom_matches(token, L'/');
}

bool pattern_matcher::run(std::size_t first, std::wstring_view text) const {
  if (text.size() < min_length_) return false;
  // Most paths already differ in their last character, which spares the whole comparison.
  if (!literal_suffix_.empty() && (text.empty() || text.back() != literal_suffix_.back())) {
    return false;
  }
  if (text.size() < literal_suffix_.size() ||
      text.substr(text.size() - literal_suffix_.size()) != literal_suffix_) {
    return false;
  }
  const std::size_t m = tokens_.size();
  const auto close = [&](std::uint64_t state) {
    // Moves without input only go forward, so one ascending pass reaches them all.
    for (std::uint64_t rest = state; rest != 0;) {
      const auto i = static_cast<std::size_t>(std::countr_zero(rest));
      if (i >= m) break;
      state |= epsilon_[i];
      rest = state & ~((std::uint64_t{2} << i) - 1);
    }
    return state;
  };
  const std::uint64_t final_bit = std::uint64_t{1} << m;
  std::uint64_t state = close(std::uint64_t{1} << first);
  for (const wchar_t c : text) {
    std::uint64_t next = 0;
    for (std::uint64_t rest = state & (final_bit - 1); rest != 0; rest &= rest - 1) {
      const auto i = static_cast<std::size_t>(std::countr_zero(rest));
      const t_token& token = tokens_[i];
      if (token.kind == t_kind::optional_dirs || !atom_matches(token, c)) continue;
      switch (token.kind) {
        case t_kind::star_literal:
        case t_kind::star_any:
        case t_kind::star_not_slash:
        case t_kind::star_set:
          next |= std::uint64_t{1} << i;
          break;
        default:
          next |= std::uint64_t{1} << (i + 1);
          break;
      }
    }
    if (next == 0) return false;
    state = close(next);
  }
  return (state & final_bit) != 0;
}

bool pattern_matcher::match(const t_match_subject& subject) const {
  if (!last_part_only_) return run(0, subject.text);
  // The rest of the expression cannot take a '/', so .*\/ must end at the last '/'.
  if (subject.last_slash == std::wstring_view::npos ||
      subject.last_terminator != std::wstring_view::npos) {
    return false;
  }
  return run(2, subject.text.substr(subject.last_slash + 1));
}

}  // namespace kestrun::filesystem
