#include "index/structures/hybrid_set/hybrid_set.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace vorlane {
namespace {

using Form = HybridSet::Form;
using Ids = std::vector<uint32_t>;

HybridSet built(std::initializer_list<uint32_t> ids) {
    HybridSet s;
    for (uint32_t id : ids) s.add(id);
    return s;
}

TEST(HybridSet, AddWalksEmptySmallBitmap) {
    HybridSet s;
    EXPECT_EQ(s.form(), Form::Empty);
    s.add(7);
    EXPECT_EQ(s.form(), Form::Small);
    s.add(3);
    s.add(5);
    EXPECT_EQ(s.form(), Form::Small);
    EXPECT_EQ(s.to_vector(), (Ids{3, 5, 7}));
    s.add(9);
    EXPECT_EQ(s.form(), Form::Bitmap);
    EXPECT_EQ(s.to_vector(), (Ids{3, 5, 7, 9}));

    // A duplicate fourth add still converts, and holds no extra id.
    HybridSet d = built({3, 5, 7});
    d.add(5);
    EXPECT_EQ(d.form(), Form::Bitmap);
    EXPECT_EQ(d.to_vector(), (Ids{3, 5, 7}));

    // Below the limit a duplicate changes nothing.
    HybridSet two = built({4, 2});
    two.add(4);
    EXPECT_EQ(two.form(), Form::Small);
    EXPECT_EQ(two.to_vector(), (Ids{2, 4}));
}

TEST(HybridSet, MediumFillsToFourThenConverts) {
    HybridSet m = HybridSet::medium(Ids{2, 6});
    m.add(4);
    m.add(8);
    EXPECT_EQ(m.form(), Form::Medium);
    EXPECT_EQ(m.to_vector(), (Ids{2, 4, 6, 8}));
    m.add(1);
    EXPECT_EQ(m.form(), Form::Bitmap);
    EXPECT_EQ(m.to_vector(), (Ids{1, 2, 4, 6, 8}));
}

TEST(HybridSet, RemoveKeepsForm) {
    HybridSet empty;
    try {
        empty.remove(1);
        FAIL() << "remove on Empty must fail";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "called remove on Empty");
    }

    HybridSet one = built({4});
    one.remove(9);
    EXPECT_EQ(one.to_vector(), (Ids{4}));
    one.remove(4);
    EXPECT_EQ(one.form(), Form::Small);
    EXPECT_TRUE(one.is_empty());

    HybridSet m = HybridSet::medium(Ids{1, 2, 3, 4});
    m.remove(2);
    m.remove(10);
    EXPECT_EQ(m.form(), Form::Medium);
    EXPECT_EQ(m.to_vector(), (Ids{1, 3, 4}));

    HybridSet b = built({1, 2, 3, 4});
    b.remove(1);
    b.remove(2);
    b.remove(3);
    b.remove(4);
    EXPECT_EQ(b.form(), Form::Bitmap);
    EXPECT_TRUE(b.is_empty());
}

TEST(HybridSet, RetainByForm) {
    const Bitmap mask{4, 8};
    HybridSet m = HybridSet::medium(Ids{2, 4, 6, 8});
    m.retain(mask);
    EXPECT_EQ(m.form(), Form::Medium);
    EXPECT_EQ(m.to_vector(), (Ids{4, 8}));
    m.add(5);  // the rebuilt box still accepts ids in order
    EXPECT_EQ(m.to_vector(), (Ids{4, 5, 8}));

    HybridSet s = built({8, 1, 4});
    s.retain(mask);
    EXPECT_EQ(s.form(), Form::Small);
    EXPECT_EQ(s.to_vector(), (Ids{4, 8}));
    s.retain(Bitmap{});
    EXPECT_EQ(s.form(), Form::Small);
    EXPECT_TRUE(s.is_empty());

    HybridSet b = built({1, 4, 6, 8, 100000});
    b.retain(mask);
    EXPECT_EQ(b.form(), Form::Bitmap);
    EXPECT_EQ(b.to_vector(), (Ids{4, 8}));

    HybridSet e;
    e.retain(mask);
    EXPECT_EQ(e.form(), Form::Empty);
}

TEST(HybridSet, UnionFormsByCase) {
    struct Case {
        const char* name;
        HybridSet self;
        HybridSet other;
        Form form;
        Ids ids;
    };
    std::vector<Case> cases;
    cases.push_back({"small+small fits", built({1, 2}), built({2, 3}), Form::Small, {1, 2, 3}});
    cases.push_back({"small+small overflows", built({1, 2, 3}), built({4, 5}), Form::Bitmap,
                     {1, 2, 3, 4, 5}});
    // Lengths are compared, not the merged count: 3 + 2 > 4 even with overlap.
    cases.push_back(
        {"overlap still converts", built({1, 2, 3}), built({2, 3}), Form::Bitmap, {1, 2, 3}});
    cases.push_back(
        {"small+medium", built({1}), HybridSet::medium(Ids{2, 3}), Form::Medium, {1, 2, 3}});
    cases.push_back(
        {"medium+small", HybridSet::medium(Ids{5}), built({1, 9}), Form::Medium, {1, 5, 9}});
    cases.push_back({"empty+medium", HybridSet{}, HybridSet::medium(Ids{5, 6}), Form::Medium,
                     {5, 6}});
    cases.push_back({"empty+bitmap", HybridSet{}, built({1, 2, 3, 4}), Form::Bitmap, {1, 2, 3, 4}});
    cases.push_back({"empty+empty", HybridSet{}, HybridSet{}, Form::Empty, {}});
    cases.push_back({"small+empty", built({7}), HybridSet{}, Form::Small, {7}});
    cases.push_back({"bitmap+empty", built({1, 2, 3, 4}), HybridSet{}, Form::Bitmap, {1, 2, 3, 4}});
    cases.push_back(
        {"small+bitmap", built({1, 70}), built({2, 3, 4, 70}), Form::Bitmap, {1, 2, 3, 4, 70}});
    cases.push_back({"bitmap+medium", built({10, 20, 30, 40}), HybridSet::medium(Ids{5, 20}),
                     Form::Bitmap, {5, 10, 20, 30, 40}});
    cases.push_back({"bitmap+bitmap", built({1, 2, 3, 4}), built({4, 5, 6, 7}), Form::Bitmap,
                     {1, 2, 3, 4, 5, 6, 7}});
    for (auto& c : cases) {
        const Ids other_before = c.other.to_vector();
        const Form other_form = c.other.form();
        c.self.union_with(c.other);
        EXPECT_EQ(c.self.form(), c.form) << c.name;
        EXPECT_EQ(c.self.to_vector(), c.ids) << c.name;
        EXPECT_EQ(c.other.to_vector(), other_before) << c.name;
        EXPECT_EQ(c.other.form(), other_form) << c.name;
    }
}

TEST(HybridSet, CloneAndToBitmapAreIndependentCopies) {
    for (const HybridSet& original : [] {
             std::vector<HybridSet> v;
             v.push_back(built({3, 1}));
             v.push_back(HybridSet::medium(Ids{1, 3}));
             v.push_back(built({1, 2, 3, 4}));
             return v;
         }()) {
        HybridSet copy = original.clone();
        EXPECT_EQ(copy.form(), original.form());
        EXPECT_EQ(copy.to_vector(), original.to_vector());
        copy.remove(1);
        EXPECT_TRUE(original.contains(1));
        Bitmap bits = original.to_bitmap();
        EXPECT_EQ(bits.to_vector(), original.to_vector());
        bits.add(99);
        EXPECT_FALSE(original.contains(99));
    }
    EXPECT_TRUE(HybridSet{}.to_bitmap().is_empty());

    HybridSet moved_from = built({1, 2});
    HybridSet target = std::move(moved_from);
    EXPECT_EQ(target.to_vector(), (Ids{1, 2}));
    EXPECT_EQ(moved_from.form(), Form::Empty);  // NOLINT: the moved-from state is defined
}

// Random add/remove/retain/union against std::set, over all forms.
TEST(HybridSet, RandomOperationsMatchReferenceSet) {
    std::mt19937 rng(11);
    for (int round = 0; round < 1500; ++round) {
        HybridSet s = rng() % 4 == 0 ? HybridSet::medium(Ids{3}) : HybridSet{};
        std::set<uint32_t> reference;
        if (s.form() == Form::Medium) reference.insert(3);
        for (int step = 0; step < 10; ++step) {
            const uint32_t id = rng() % 12;
            switch (rng() % 5) {
                case 0:
                    if (s.form() != Form::Empty) {
                        s.remove(id);
                        reference.erase(id);
                    }
                    break;
                case 1: {
                    Bitmap mask;
                    for (uint32_t i = 0; i < 12; ++i) {
                        if (rng() % 2) mask.add(i);
                    }
                    s.retain(mask);
                    std::erase_if(reference, [&](uint32_t x) { return !mask.contains(x); });
                    break;
                }
                case 2: {
                    HybridSet other;
                    const int n = rng() % 3;
                    for (int i = 0; i < n; ++i) {
                        const uint32_t x = rng() % 12;
                        other.add(x);
                        reference.insert(x);
                    }
                    s.union_with(other);
                    break;
                }
                default:
                    s.add(id);
                    reference.insert(id);
            }
            ASSERT_EQ(s.to_vector(), Ids(reference.begin(), reference.end()));
            ASSERT_EQ(s.size(), reference.size());
            for (uint32_t x = 0; x < 12; ++x) ASSERT_EQ(s.contains(x), reference.count(x) == 1);
        }
    }
}

}  // namespace
}  // namespace vorlane
