// The owners of the messaging boundary release what they hold exactly once:
// at their end, on reset, when an out-parameter is reused, and never after a
// move or a release().
#include "mapi/owned.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// An interface that counts its references instead of deleting itself.
class CountingUnknown : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return static_cast<ULONG>(++references); }
  ULONG Release() override {
    ++releases;
    return static_cast<ULONG>(--references);
  }
  ~CountingUnknown() override = default;

  int references = 1;
  int releases = 0;
};

// A service call that hands out a new reference through an out-parameter.
HRESULT GiveOut(CountingUnknown* object, IUnknown** out) {
  object->AddRef();
  *out = object;
  return S_OK;
}

TEST(OwnedTest, ReleasesOnceAtItsEndAndAfterMoves) {
  CountingUnknown object;
  {
    Owned<IUnknown> first(&object);  // adopts the reference made above
    Owned<IUnknown> second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), &object);
    Owned<IUnknown> third;
    third = std::move(second);
    EXPECT_FALSE(second);
    EXPECT_EQ(object.releases, 0);
  }
  EXPECT_EQ(object.releases, 1);
  EXPECT_EQ(object.references, 0);
}

TEST(OwnedTest, AssigningOverAnOwnerReleasesWhatItHeld) {
  CountingUnknown a, b;
  Owned<IUnknown> to(&a);
  Owned<IUnknown> from(&b);
  to = std::move(from);
  EXPECT_EQ(a.releases, 1);
  EXPECT_EQ(b.releases, 0);
  to = std::move(to);  // onto itself: nothing happens
  EXPECT_EQ(b.releases, 0);
  to.reset();
  EXPECT_EQ(b.releases, 1);
  to.reset();  // empty: nothing more
  EXPECT_EQ(b.releases, 1);
}

TEST(OwnedTest, ReusedOutParameterReleasesThePreviousReference) {
  CountingUnknown object;
  {
    Owned<IUnknown> held;
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(GiveOut(&object, held.put()), S_OK);
      EXPECT_EQ(object.releases, i);  // the one before, not this one
    }
    EXPECT_EQ(object.references, 2);
  }
  EXPECT_EQ(object.releases, 3);
  EXPECT_EQ(object.references, 1);  // only the test's own is left
}

TEST(OwnedTest, ReleaseAndAsHandTheReferenceOnWithoutReleasingIt) {
  CountingUnknown object;
  Owned<IUnknown> owner(&object);
  IUnknown* raw = owner.release();
  EXPECT_FALSE(owner);
  EXPECT_EQ(object.releases, 0);
  Owned<IUnknown> again(raw);
  Owned<CountingUnknown> typed = std::move(again).As<CountingUnknown>();
  EXPECT_FALSE(again);
  EXPECT_EQ(object.releases, 0);
  typed.reset();
  EXPECT_EQ(object.releases, 1);
}

int g_frees = 0;
void CountingFree(int* block) {
  ++g_frees;
  delete block;
}
using CountedBlock = OwnedBlock<int, &CountingFree>;

TEST(OwnedBlockTest, FreesOnceAcrossMovesResetsAndOutParameters) {
  g_frees = 0;
  {
    CountedBlock a(new int(1));
    CountedBlock b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b[0], 1);
    CountedBlock c;
    c = std::move(b);
    EXPECT_EQ(g_frees, 0);
    *c.put() = new int(2);  // the first is freed before the new one comes
    EXPECT_EQ(g_frees, 1);
    c.reset(new int(3));
    EXPECT_EQ(g_frees, 2);
    delete c.release();
    EXPECT_EQ(g_frees, 2);
  }
  EXPECT_EQ(g_frees, 2);
}

// The real frees: AddressSanitizer would catch a double free or a leak.
TEST(OwnedBlockTest, ServiceBuffersAndRowSetsAreFreedByTheirOwners) {
  OwnedProps props;
  ASSERT_EQ(MAPIAllocateBuffer(sizeof(SPropValue) * 2,
                               reinterpret_cast<LPVOID*>(props.put())),
            S_OK);
  props[1].ulPropTag = PR_SUBJECT_W;
  OwnedProps moved = std::move(props);
  EXPECT_EQ(moved[1].ulPropTag, PR_SUBJECT_W);

  OwnedRows rows;
  for (int i = 0; i < 2; ++i) {
    LPVOID block = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(sizeof(SRowSet), &block), S_OK);
    auto* set = static_cast<LPSRowSet>(block);
    set->cRows = 0;
    *rows.put() = set;
  }
  EXPECT_EQ(rows->cRows, 0u);
}

}  // namespace
