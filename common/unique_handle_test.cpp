#include "common/unique_handle.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace {

std::vector<int> closed;  // every handle given to the close function, in order
int recordClose(int handle) {
  closed.push_back(handle);
  return -1;  // a failed close changes nothing for the owner
}
// -1 is "none" and 0 a real handle, as with file descriptors.
using Owner = tarvo::UniqueHandle<int, -1, recordClose>;

static_assert(!std::is_copy_constructible_v<Owner> && !std::is_copy_assignable_v<Owner>);
static_assert(std::is_nothrow_move_constructible_v<Owner> &&
              std::is_nothrow_move_assignable_v<Owner> && std::is_nothrow_destructible_v<Owner>);

struct Case {
  const char* rule;
  std::function<void()> run;  // everything it creates is destroyed when it returns
  std::vector<int> closed;
};

TEST(UniqueHandle, EachHandleIsClosedExactlyOnce) {
  const Case cases[] = {
      {"the destructor closes the handle, 0 included", [] { Owner a(0), b(4); }, {4, 0}},
      {"nothing held, nothing closed", [] { Owner a, b(-1); }, {}},
      {"a moved-from owner holds nothing",
       [] {
         Owner a(3);
         Owner b(std::move(a));
         EXPECT_FALSE(a);  // NOLINT(bugprone-use-after-move): the rule under test
         EXPECT_EQ(b.get(), 3);
       },
       {3}},
      {"move assignment closes the target's handle first",
       [] {
         Owner a(3), b(4);
         b = std::move(a);
         EXPECT_EQ(a.get(), -1);  // NOLINT(bugprone-use-after-move)
         closed.push_back(0);     // marks the end of the assignment
       },
       {4, 0, 3}},
      {"moving an owner into itself keeps the handle",
       [] {
         Owner a(5);
         Owner& self = a;
         a = std::move(self);
         EXPECT_EQ(a.get(), 5);
       },
       {5}},
      {"out() closes what is held and owns what the call writes",
       [] {
         Owner a(6);
         *a.out() = 7;
         EXPECT_EQ(a.get(), 7);
       },
       {6, 7}},
      {"reset closes the old handle and takes the new one",
       [] {
         Owner a(8);
         a.reset(9);
         a.reset();
         EXPECT_FALSE(a);
       },
       {8, 9}},
      {"release gives the handle up unclosed",
       [] {
         Owner a(10);
         EXPECT_EQ(a.release(), 10);
       },
       {}},
  };
  for (const Case& c : cases) {
    closed.clear();
    c.run();
    EXPECT_EQ(closed, c.closed) << c.rule;
  }
}

// An owner of an interface pointer reaches its members, as COM interfaces are used.
struct Interface {
  int value = 42;
  void release() { ++releases; }
  int releases = 0;
};
void releaseInterface(Interface* pointer) { pointer->release(); }

TEST(UniqueHandle, PointerHandlesReachTheirMembers) {
  Interface object;
  {
    tarvo::UniqueHandle<Interface*, nullptr, releaseInterface> owner(&object);
    EXPECT_EQ(owner->value, 42);
    EXPECT_TRUE(owner);
  }
  EXPECT_EQ(object.releases, 1);
}

// A bound owner closes through the source it was given, which a move carries along; a
// close that throws is ignored.
struct Source {
  std::vector<int> closed;
  bool throws = false;
};
void closeThrough(Source& source, int handle) {
  source.closed.push_back(handle);
  if (source.throws) throw std::runtime_error("close failed");
}
using Bound = tarvo::BoundHandle<Source, int, 0, closeThrough>;

TEST(BoundHandle, ClosesThroughItsSourceOnce) {
  Source first, second;
  {
    Bound a(first, 1), b(second, 2);
    b = std::move(a);            // closes 2 through second; b now closes 1 through first
    EXPECT_FALSE(a);             // NOLINT(bugprone-use-after-move)
    *b.out() = 3;                // closes 1 through first
    Bound c(std::move(b));
    first.throws = true;         // closing 3 at the end of the scope throws: ignored
  }
  EXPECT_EQ(first.closed, (std::vector<int>{1, 3}));
  EXPECT_EQ(second.closed, (std::vector<int>{2}));
}

}  // namespace
