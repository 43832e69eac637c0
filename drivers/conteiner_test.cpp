// The handle table: handle numbering, the reuse order of emptied slots, unknown handles.
#include "drivers/conteiner.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kestrun {
namespace {

using table = conteiner<std::string, unsigned>;

// Counts how many of its kind are alive, to see when the table lets go of an object.
struct tracked {
  explicit tracked(int& alive) : count(alive) { ++count; }
  ~tracked() { --count; }
  int& count;
};

TEST(ConteinerTest, HandlesCountFromOne) {
  table t;
  EXPECT_EQ(t.add(new std::string("a")), 1u);
  EXPECT_EQ(t.add(new std::string("b")), 2u);
  EXPECT_EQ(*t.get(1), "a");
  EXPECT_EQ(*t.get(2), "b");
}

TEST(ConteinerTest, ReuseOrder) {
  struct row {
    const char* name;
    int open;                      // handles 1..open are added first
    std::vector<unsigned> remove;  // then these are removed, in order
    std::vector<unsigned> next;    // the handles the following adds give
  };
  const row rows[] = {
      {"last emptied first", 3, {1, 2}, {2, 1, 4}}, {"last slot dropped", 2, {2}, {2, 3}},
      {"middle then last", 3, {2, 3}, {2, 3, 4}},   {"twice is once", 2, {1, 1}, {1, 3}},
      {"all of them", 3, {1, 2, 3}, {2, 1, 3}},     {"unknown handles", 1, {0, 5}, {2}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    table t;
    for (int i = 0; i < r.open; ++i) t.add(new std::string("x"));
    for (const unsigned h : r.remove) t.remove(h);
    for (const unsigned h : r.next) EXPECT_EQ(t.add(new std::string("y")), h);
  }
}

TEST(ConteinerTest, UnknownHandlesGiveNothing) {
  table t;
  EXPECT_EQ(t.get(0), nullptr);
  EXPECT_EQ(t.get(1), nullptr);
  const unsigned h = t.add(new std::string("a"));
  EXPECT_EQ(t.get(h + 1), nullptr);
  t.remove(h);
  EXPECT_EQ(t.get(h), nullptr);
}

TEST(ConteinerTest, RemovedObjectLivesWhileHeld) {
  int alive = 0;
  conteiner<tracked, unsigned> t;
  const unsigned h = t.add(new tracked(alive));
  auto held = t.get(h);
  t.remove(h);
  EXPECT_EQ(alive, 1);
  held.reset();
  EXPECT_EQ(alive, 0);
}

TEST(ConteinerTest, DestructionReleasesWhatIsLeft) {
  int alive = 0;
  {
    conteiner<tracked, unsigned> t;
    t.add(new tracked(alive));
    t.add(new tracked(alive));
    t.remove(1);
    EXPECT_EQ(alive, 1);
  }
  EXPECT_EQ(alive, 0);
}

TEST(ConteinerTest, NullIsNotStored) {
  table t;
  EXPECT_EQ(t.add(nullptr), 0u);
  EXPECT_EQ(t.add(new std::string("a")), 1u);
}

}  // namespace
}  // namespace kestrun
