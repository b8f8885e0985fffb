#include "index/core/structures/bitmap.hpp"

#include <gtest/gtest.h>

namespace vorlane {
namespace {

TEST(Bitmap, SetAlgebraAndIterationOrder) {
    Bitmap a{9, 1, 5, 70000};
    Bitmap b{5, 9, 12};
    EXPECT_EQ(a.cardinality(), 4u);
    EXPECT_EQ(a.and_(b).to_vector(), (std::vector<uint32_t>{5, 9}));
    EXPECT_EQ(a.or_(b).to_vector(), (std::vector<uint32_t>{1, 5, 9, 12, 70000}));
    EXPECT_EQ(a.andnot(b).to_vector(), (std::vector<uint32_t>{1, 70000}));
    EXPECT_EQ(a.and_cardinality(b), 2u);
    EXPECT_EQ(a.maximum(), 70000u);

    std::vector<uint32_t> seen;
    a.for_each([&](uint32_t id) { seen.push_back(id); });
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 5, 9, 70000}));
    seen.clear();
    a.for_each([&](uint32_t id) {
        seen.push_back(id);
        return seen.size() < 2;
    });
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 5}));
}

TEST(Bitmap, InPlaceOperationsIncludingSelf) {
    Bitmap a{1, 2, 3};
    a.and_inplace(a);
    EXPECT_EQ(a.cardinality(), 3u);
    a.or_inplace(a);
    EXPECT_EQ(a.cardinality(), 3u);
    a.or_inplace(Bitmap{4});
    a.andnot_inplace(Bitmap{1, 4});
    EXPECT_EQ(a.to_vector(), (std::vector<uint32_t>{2, 3}));
    a.andnot_inplace(a);
    EXPECT_TRUE(a.is_empty());
}

TEST(Bitmap, CloneIsIndependentAndMovedFromIsEmpty) {
    Bitmap a{1, 2};
    Bitmap c = a.clone();
    c.add(3);
    a.remove(1);
    EXPECT_EQ(a.to_vector(), (std::vector<uint32_t>{2}));
    EXPECT_EQ(c.to_vector(), (std::vector<uint32_t>{1, 2, 3}));

    Bitmap moved = std::move(c);
    EXPECT_EQ(moved.cardinality(), 3u);
    EXPECT_TRUE(c.is_empty());  // NOLINT(bugprone-use-after-move): moved-from is a valid empty set
    Bitmap d{7};
    d.overwrite(moved);
    EXPECT_TRUE(d == moved);
    d.clear();
    EXPECT_TRUE(d.is_empty());
    EXPECT_EQ(d.maximum(), 0u);
}

}  // namespace
}  // namespace vorlane
