// Resolving a standard key must not allocate. This program replaces the
// global allocation functions to count the allocations of the calling thread.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "QueueManager/AttributeName.h"

namespace {
thread_local std::size_t allocations = 0;

void* CountedAllocate(std::size_t size) {
  ++allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
}  // namespace

// Every replaceable form that allocates with malloc is replaced, so that the
// sanitizers see matching malloc/free pairs.
void* operator new(std::size_t size) { return CountedAllocate(size); }
void* operator new[](std::size_t size) { return CountedAllocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAllocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace QueueManager {
namespace {

// The allocations that `action` makes on this thread.
template <class Action>
std::size_t AllocationsOf(Action action) {
  const std::size_t before = allocations;
  action();
  return allocations - before;
}

TEST(AttributeNameAllocation, StandardKeysResolveWithoutAllocating) {
  const unsigned short units[] = {'x', 'a', 'n', '_', 's', 't', 'a', 't', 'e', 0};
  const std::u16string wide = u"Xan_ContinueRecordOnExternalTransfer";  // longer than SSO
  CQmAttributeName(Xan_State).idstring();  // builds the key strings once

  EXPECT_EQ(AllocationsOf([&] {
              const CQmAttributeName byView{std::u16string_view(wide)};
              const CQmAttributeName byString(wide);
              const CQmAttributeName byPointer(u"Conference Chat");
              const CQmAttributeName byUnits(units);
              const CQmAttributeName byUtf8("cALLsTATE");
              const CQmAttributeName copy = byView;
              EXPECT_EQ(byView, byString);
              EXPECT_EQ(byPointer.Hash(), 212u);
              EXPECT_LT(byUnits, byUtf8);
              EXPECT_EQ(copy.DisplayName(), wide);
            }),
            0u);
  EXPECT_EQ(AllocationsOf([&] {
              const CQmAttributeName name(u"Xan_RemoteTnDisplay");
              if (name.DisplayName() != u"Xan_RemoteId") ADD_FAILURE() << "wrong name";
            }),
            0u);
}

TEST(AttributeNameAllocation, CustomNamesDoAllocate) {
  // Shows that the counting works: a custom name longer than the small-string
  // buffer has to store its text.
  EXPECT_GE(AllocationsOf([] { const CQmAttributeName name(u"A custom attribute name"); }), 1u);
}

}  // namespace
}  // namespace QueueManager
