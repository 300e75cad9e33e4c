#include "presets/smart_ptr.h"

#include <gtest/gtest.h>

namespace {

struct Tracked {
    explicit Tracked(int& deletions) : deletions(deletions) {}
    virtual ~Tracked() { ++deletions; }
    int& deletions;
};

using vostrel::TSmartPtr;

TEST(SmartPtrTest, CopiesShareAndTheLastReleaseDeletes) {
    int deletions = 0;
    TSmartPtr<Tracked> first(new Tracked(deletions));
    EXPECT_EQ(first.UseCount(), 1);
    {
        TSmartPtr<Tracked> second(first);
        TSmartPtr<Tracked> third;
        third = second;
        EXPECT_EQ(second.Get(), first.Get());
        EXPECT_EQ(third.Get(), first.Get());
        EXPECT_EQ(first.UseCount(), 3);
    }
    EXPECT_EQ(deletions, 0);
    EXPECT_EQ(first.UseCount(), 1);

    TSmartPtr<Tracked> last(first);
    first.Release();
    EXPECT_TRUE(first.IsEmpty());
    EXPECT_EQ(first.UseCount(), 0);
    EXPECT_EQ(deletions, 0);
    last.Release();
    EXPECT_EQ(deletions, 1);
    EXPECT_TRUE(last.IsEmpty());
    last.Release();  // releasing an empty pointer does nothing
    EXPECT_EQ(deletions, 1);
}

TEST(SmartPtrTest, EmptyCopiesStayEmpty) {
    TSmartPtr<Tracked> empty;
    TSmartPtr<Tracked> copy(empty);
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_FALSE(static_cast<bool>(copy));
    EXPECT_EQ(copy.UseCount(), 0);
    TSmartPtr<Tracked> fromNull(nullptr);
    EXPECT_TRUE(fromNull.IsEmpty());
}

TEST(SmartPtrTest, ResetAndAssignmentReleaseTheFormerObject) {
    int a = 0;
    int b = 0;
    TSmartPtr<Tracked> owner(new Tracked(a));
    TSmartPtr<Tracked> shared(owner);
    owner.Reset(new Tracked(b));
    EXPECT_EQ(a, 0);  // still held by shared
    EXPECT_EQ(owner.UseCount(), 1);
    shared = owner;  // drops the last reference to the first object
    EXPECT_EQ(a, 1);
    EXPECT_EQ(owner.UseCount(), 2);
    TSmartPtr<Tracked>& alias = shared;
    shared = alias;  // self-assignment keeps the object
    EXPECT_EQ(b, 0);
    EXPECT_EQ(owner.UseCount(), 2);
    TSmartPtr<Tracked> moved(std::move(shared));
    EXPECT_TRUE(shared.IsEmpty());
    EXPECT_EQ(owner.UseCount(), 2);
    owner.Reset(nullptr);
    moved = TSmartPtr<Tracked>();
    EXPECT_EQ(b, 1);
}

}  // namespace
