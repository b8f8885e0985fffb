#pragma once
// The boxed array form of a HybridSet: the same four ids, one pointer wide.
#include <memory>
#include <span>

#include "index/structures/centered_array/centered_array.hpp"
#include "index/structures/heap_bytes.hpp"

namespace vorlane {

class MediumArray {
public:
    explicit MediumArray(const CenteredArray& array)
        : box_(std::make_unique<CenteredArray>(array)) {}

    CenteredArray& array() {
        check(box_ != nullptr, "MediumArray used after move");
        return *box_;
    }
    const CenteredArray& array() const {
        check(box_ != nullptr, "MediumArray used after move");
        return *box_;
    }
    std::span<const uint32_t> live() const { return array().live(); }
    MediumArray clone() const { return MediumArray(array()); }
    // The box (see heap_bytes.hpp).
    size_t memory_bytes() const noexcept { return box_ ? heap_chunk(sizeof(CenteredArray)) : 0; }

private:
    std::unique_ptr<CenteredArray> box_;
};

}  // namespace vorlane
