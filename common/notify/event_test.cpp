// Events, payload texts and the server's matching rules. The server lives for the whole process,
// so each test names its events below a prefix of its own, and the off-state checks run in a
// fresh child process.
#include "common/notify/event.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/notify/server.h"

namespace kestrun::notify {
namespace {

TEST(ProgressTest, TextKeepsFourDigitsAfterThePoint) {
  struct row {
    std::uint32_t value;
    const char* want;
  };
  const row rows[] = {{123456, "12.3456"}, {333333, "33.3333"},         {10001, "1.0001"},
                      {0, "0.0000"},       {1000000, "100.0000"},       {999, "0.0999"},
                      {10000, "1.0000"},   {4294967295u, "429496.7295"}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.value);
    EXPECT_EQ(progress(r.value).to_string(), r.want);
  }
}

TEST(EventTextTest, LevelDecidesTheSignBeforeTheType) {
  struct row {
    std::uint32_t level;
    event::t_type type;
    bool payload;
    const char* want;
  };
  const row rows[] = {
      {2, event::t_type::text, true, "kestrun::vcs::save! local"},
      {1, event::t_type::text, true, "kestrun::vcs::save~ local"},
      {0, event::t_type::text, true, "kestrun::vcs::save local"},
      {0, event::t_type::progress, true, "kestrun::vcs::save# local"},
      {2, event::t_type::progress, true, "kestrun::vcs::save! local"},
      {1, event::t_type::progress, true, "kestrun::vcs::save~ local"},
      {0, event::t_type::none, false, "kestrun::vcs::save "},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.want);
    event e("kestrun::vcs::save");
    e.level = r.level;
    e.type = r.type;
    if (r.payload) {
      e.data = std::make_shared<text>("local");
    }
    EXPECT_EQ(event_text(e), r.want);
  }
}

TEST(NotifyEventTest, CreateStartsEmpty) {
  auto e = create("kestrun::vcs::new");
  EXPECT_EQ(e->name, "kestrun::vcs::new");
  EXPECT_EQ(e->level, 0u);
  EXPECT_EQ(e->type, event::t_type::none);
  EXPECT_EQ(e->data, nullptr);
}

TEST(NotifyEventTest, SetErrorOverridesAWarning) {
  auto e = create("notify_test::level");
  e->level = 1;
  EXPECT_EQ(e->set_error(true), e.get());
  EXPECT_EQ(e->level, 2u);
  e->level = 1;
  e->set_error(false);
  EXPECT_EQ(e->level, 0u);
}

TEST(NotifyEventTest, FireTextAttachesTheDecimalOrTextForm) {
  auto e = create("notify_test::text");
  e->fire_text(std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(e->type, event::t_type::text);
  EXPECT_EQ(e->data->to_string(), "18446744073709551615");
  e->fire_text(std::uint32_t{0});
  EXPECT_EQ(e->data->to_string(), "0");
  e->fire_text(std::uint32_t{4294967295u});
  EXPECT_EQ(e->data->to_string(), "4294967295");
  e->fire_text("plain");
  EXPECT_EQ(e->data->to_string(), "plain");
  e->fire_text(static_cast<const char*>(nullptr));
  EXPECT_EQ(e->data->to_string(), "");
  e->fire_text(std::string("a\0b", 3));
  EXPECT_EQ(e->data->to_string(), std::string("a\0b", 3));
  e->fire_text(std::wstring(L"z\u00e9\u20ac\U0001F600"));
  EXPECT_EQ(e->data->to_string(), "z\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(NotifyEventTest, FireProgressComputesPartsPerMillion) {
  struct row {
    std::uint64_t current;
    std::uint64_t total;
    std::uint32_t want;
  };
  const row rows[] = {
      {1, 3, 333333},
      {3, 3, 1000000},
      {0, 5, 0},
      {6, 3, 2000000},
      {5000, 1, 705032704},            // 5000000000 keeps its low 32 bits
      {18446744073710ull, 1, 448384},  // the product wraps modulo 2^64
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::to_string(r.current) + "/" + std::to_string(r.total));
    auto e = create("notify_test::progress");
    e->fire_progress(r.current, r.total);
    EXPECT_EQ(e->type, event::t_type::progress);
    EXPECT_EQ(dynamic_cast<const progress&>(*e->data).value, r.want);
  }
}

TEST(NotifyEventTest, FireProgressOfZeroStepsThrowsAndLeavesTheEvent) {
  auto e = create("notify_test::progress");
  e->fire_text("before");
  try {
    e->fire_progress(5, 0);
    FAIL() << "no exception";
  } catch (const std::exception& error) {
    EXPECT_STREQ(error.what(), "Math error: Attempted to divide by Zero");
  }
  EXPECT_EQ(e->type, event::t_type::text);
  EXPECT_EQ(e->data->to_string(), "before");
}

// Counts its own destruction, to see who keeps a payload alive.
class counted : public data {
 public:
  explicit counted(int& deaths) : deaths_(deaths) {}
  ~counted() override { ++deaths_; }
  std::string to_string() const override { return "counted"; }

 private:
  int& deaths_;
};

// Subscriptions outlive their test: each test run names its events below a prefix of its own,
// so that a repeated run never reaches the callbacks (and captured locals) of an earlier one.
std::string fresh_prefix() {
  static int run = 0;
  return "notify_test" + std::to_string(++run) + "::";
}

TEST(NotifyEventTest, FireDataOwnsThePayload) {
  on();
  const std::string p = fresh_prefix();
  std::shared_ptr<data> kept;
  subscribe(p + "keep", [&](const event* e) {
    kept = e->data;
    return true;
  });
  int deaths = 0;
  {
    auto e = create(p + "drop");
    e->fire_data(new counted(deaths));
    EXPECT_EQ(e->type, event::t_type::data);
    e->fire_data(new counted(deaths));  // the first payload is released here
    EXPECT_EQ(deaths, 1);
  }
  EXPECT_EQ(deaths, 2);
  {
    auto e = create(p + "keep");
    e->fire_data(new counted(deaths));
  }
  EXPECT_EQ(deaths, 2);  // the subscriber's copy keeps it
  kept.reset();
  EXPECT_EQ(deaths, 3);
}

TEST(ServerTest, MatchesTheWholeName) {
  on();
  const std::string p = fresh_prefix();
  std::vector<std::string> seen;
  const auto record = [&](const event* e) {
    seen.push_back(e->name);
    return true;
  };
  subscribe(p + "kestrun::vcs::.*", record);
  subscribe(p + "kestrun::vcs", record);
  create(p + "kestrun::vcs::save")->fire_text("local");
  create("x::" + p + "kestrun::vcs::save")->fire_text("local");
  create(p + "kestrun::vcs")->fire_text("bare");
  EXPECT_EQ(seen, (std::vector<std::string>{p + "kestrun::vcs::save", p + "kestrun::vcs"}));
}

TEST(ServerTest, CallsEveryMatchInOrderAndAndsTheResults) {
  on();
  const std::string p = fresh_prefix();
  std::vector<int> calls;
  const std::uint64_t first = subscribe(p + "order", [&](const event* e) {
    calls.push_back(1);
    EXPECT_EQ(e->data->to_string(), "payload");  // attached before the callbacks run
    return false;
  });
  const std::uint64_t second = subscribe(p + "(order|other)", [&](const event*) {
    calls.push_back(2);
    return true;
  });
  EXPECT_EQ(second, first + 1);
  EXPECT_FALSE(create(p + "order")->fire_text("payload"));
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));
  EXPECT_TRUE(create(p + "other")->fire_text("payload"));
  EXPECT_TRUE(create(p + "nobody")->fire_text("payload"));
  EXPECT_EQ(calls, (std::vector<int>{1, 2, 2}));
}

TEST(ServerTest, BadSubscriptionsThrowAndSpendNoMoreThanOneId) {
  on();
  const std::string p = fresh_prefix();
  const auto yes = [](const event*) { return true; };
  const std::uint64_t before = subscribe(p + "bad", yes);
  EXPECT_THROW(subscribe(p + "(", yes), std::regex_error);
  EXPECT_THROW(subscribe(p + "bad", nullptr), std::invalid_argument);
  EXPECT_EQ(subscribe(p + "bad", yes), before + 3);
  EXPECT_TRUE(create(p + "bad")->fire_text("x"));  // nothing broken was added
}

TEST(ServerTest, ErrorsInCallbacksReachTheFirerAndReleaseTheLock) {
  on();
  const std::string p = fresh_prefix();
  subscribe(p + "throws", [](const event*) -> bool { throw std::runtime_error("boom"); });
  subscribe(p + "refires", [p](const event*) { return create(p + "inner")->fire_text("x"); });
  subscribe(p + "resubscribes", [p](const event*) {
    return subscribe(p + "late", [](const event*) { return true; }) != 0;
  });
  EXPECT_THROW(create(p + "throws")->fire_text("x"), std::runtime_error);
  EXPECT_THROW(create(p + "refires")->fire_text("x"), std::logic_error);
  EXPECT_THROW(create(p + "resubscribes")->fire_text("x"), std::logic_error);
  // The server still works: a lock left held would hang here.
  int calls = 0;
  subscribe(p + "after", [&](const event*) { return ++calls > 0; });
  EXPECT_TRUE(create(p + "after")->fire_text("x"));
  EXPECT_EQ(calls, 1);
}

// Runs in a fresh process, so that the server has never been switched on.
std::string check_off_then_on() {
  int calls = 0;
  const auto count = [&](const event*) { return ++calls > 0; };
  auto early = create("kestrun::vcs::early");
  if (!early->fire_text("quiet")) return "firing while off gave false";
  if (early->type != event::t_type::text || early->data->to_string() != "quiet") {
    return "firing while off did not attach the payload";
  }
  if (subscribe(".*", count) != 0) return "subscribing while off gave an id";
  on();
  create("kestrun::vcs::after")->fire_text("x");
  if (calls != 0) return "a subscription made while off was called";
  if (subscribe("kestrun::vcs::.*", count) != 1) return "first id is not 1";
  if (subscribe("other", count) != 2) return "second id is not 2";
  if (!create("kestrun::vcs::after")->fire_text("x") || calls != 1) return "no call after on";
  return "";
}

TEST(ServerTest, OffUntilSwitchedOn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string failure = check_off_then_on();
        std::cerr << failure;
        std::exit(failure.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "^$");
}

}  // namespace
}  // namespace kestrun::notify
