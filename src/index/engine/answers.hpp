#pragma once
// The answers that list values rather than match them: objects in the order of
// their values, counts per value, the smallest and largest number. What they
// share: numbers given back from their order keys, the keys of many ids read
// off the slices at once, the elements of containers by their holders, and the
// current values read from the objects where no structure keeps them whole.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/engine/query.hpp"
#include "index/structures/bitmap.hpp"
#include "index/structures/exact_sum.hpp"
#include "index/structures/ordered_bitmap/ordered_bitmap.hpp"
#include "index/structures/time_key.hpp"

namespace vorlane {

struct IndexAPI;
class ValueMaps;

// A number as the answers give it back: an int when it is integral, else a
// float. `WholeFloat` is integral but beyond 64 bits (a large float), kept as
// the double it is exactly.
struct NumberValue {
    enum class Form : uint8_t { Int, Float, WholeFloat };
    Form form = Form::Int;
    int64_t integer = 0;
    double real = 0.0;
};
NumberValue number_of_key(const OrderKey& key);

// The numbers of a set's values of one attribute, totalled exactly: how many,
// whether any is not an int, the finite ones' exact sum, and the infinities
// apart. Integral numbers count as ints: the keys do not tell 2.0 from 2.
struct NumberTotal {
    uint64_t count = 0;
    bool any_float = false;
    ExactSum sum;
    double special = 0.0;  // the infinities' sum: +inf and -inf make NaN, as Python's sum does
    bool has_special = false;

    // Takes in the keys of one head (see HeadTotal).
    void add_head(const HeadTotal& head);
    // Adds `times` copies of `other`, exactly.
    void add(const NumberTotal& other, uint64_t times);
    // Every number's sum rounded once (a float), or an infinity or NaN.
    double float_sum() const { return has_special ? special : sum.to_double(); }
    // The sum over the count, rounded once (count > 0).
    double mean() const { return has_special ? special : sum.quotient(count); }
    // The sum of numbers that are all ints (!any_float): exact, as 2^32 ints
    // of 64 bits fit.
    __int128 int_sum() const;
};

// One value of a count: a number (by its key), a string, a boolean or a nested
// object (by id), and how many objects hold it.
struct CountedValue {
    enum class Kind : uint8_t { Number, Str, Bool, Object };
    Kind kind = Kind::Number;
    OrderKey key{};
    std::string text;
    bool flag = false;
    uint32_t object = 0;
    uint64_t count = 0;

    static CountedValue number(const OrderKey& key, uint64_t n) {
        CountedValue v;
        v.key = key;
        v.count = n;
        return v;
    }
    static CountedValue string(std::string_view text, uint64_t n) {
        CountedValue v;
        v.kind = Kind::Str;
        v.text.assign(text);
        v.count = n;
        return v;
    }
    static CountedValue boolean(bool flag, uint64_t n) {
        CountedValue v;
        v.kind = Kind::Bool;
        v.flag = flag;
        v.count = n;
        return v;
    }
    static CountedValue nested(uint32_t object, uint64_t n) {
        CountedValue v;
        v.kind = Kind::Object;
        v.object = object;
        v.count = n;
        return v;
    }
};

// An attribute the answers read: one name, or a dotted path of names (the
// attribute ids of its steps, first to last, and the text as written).
struct AttrPath {
    std::string text;
    std::vector<uint32_t> steps;

    bool dotted() const noexcept { return steps.size() > 1; }
    uint32_t last() const noexcept { return steps.back(); }
};

// Where a dotted path's steps lead from a set of objects: the stored objects
// reached, and (when asked for) each (object of the set, object reached) pair
// once, the set's objects ascending.
struct PathReach {
    Bitmap objects;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
};

namespace answers {

// Whether `a` comes before `b` in count_by's order: most common first, ties
// in value order (numbers, strings, False, True, objects by id).
bool count_before(const CountedValue& a, const CountedValue& b);

// Whether every member of the whole index (`base` null) reaches the objects of
// a one-step path by one link each, and no other object holds such a link:
// then an object is reached by as many members as it has links to it, and a
// value by the members linked to the objects holding it. Counts and weights
// are then read off the links' list sizes, the members never visited (the
// stored objects other than members are checked to hold no such link).
bool members_link_once(const IndexAPI& core, const AttrPath& path, const Bitmap* base);
// count_by along such a path: each value's members are the links to the
// objects holding it (members_link_once must hold).
std::vector<CountedValue> linked_counts(const IndexAPI& core, const AttrPath& path);

// The objects of `among` whose value of `attr` is `value` or holds it as an
// element (the empty string from its own set, which no query finds).
Bitmap objects_holding(const IndexAPI& core, const ValueMaps& maps, uint32_t attr, const CountedValue& value,
                       const Bitmap& among);
// The stored objects holding the objects `at` through the steps of `path`
// (every attribute but the last), last to first, as a dotted query goes back.
Bitmap back_along(const ValueMaps& maps, const AttrPath& path, Bitmap at, const Bitmap& stored);

// The value an entry of a count matches in a query: a number, a date or time,
// a string, a boolean, or a nested object by id.
Operand operand_of(const CountedValue& value);

// The keys of `ids` (ascending, each with a key in the large form of `numbers`),
// in the same order: one pass over each key bit's bitmap instead of 76 lookups an id.
std::vector<OrderKey> keys_of(const NumericalBitmap& numbers, std::span<const uint32_t> ids);

// The ids of `of` (large form; ids without a key are passed over) holding the
// `limit` smallest keys, or the largest, ascending: from the key buckets nearest
// that end, then a walk down the key bits that keeps the side holding enough of
// them. Of the ids sharing the last key taken, the lowest come first.
std::vector<uint32_t> top_ids(const NumericalBitmap& numbers, const Bitmap& of, size_t limit, bool largest);

// Calls fn(part) for the ids of `of` whose keys order together, kind by kind in
// the order answers list them (numbers, then each kind of date, time and
// duration), until fn returns false. While no time key was ever entered, the
// one part is `of` itself, uncut. Parts may hold ids without a key.
template <class Fn>
void for_each_kind_part(const NumericalBitmap& numbers, const Bitmap& of, Fn&& fn) {
    const auto bounds = numbers.key_bounds();
    if (!bounds || !is_time_key(bounds->second)) {
        fn(of);
        return;
    }
    std::vector<std::pair<OrderKey, OrderKey>> regions{{kNegativeInfinityKey, kPositiveInfinityKey}};
    for (int kind = 0; kind < kTimeKinds; ++kind) {
        regions.push_back(key_region(time_order_key(static_cast<TimeKind>(kind), 0)));
    }
    for (const auto& [first, last] : regions) {
        Bitmap part;
        numbers.get_between_into_base(first, last, part, of);
        if (!part.is_empty() && !fn(std::as_const(part))) return;
    }
}

// The element ids of the containers the objects `holders` hold (at any depth).
Bitmap elements_of(const ElementLedger& ledger, const Bitmap& holders);

// The ids whose values of `map` count for the objects of `base`: their own and
// their containers' elements'. `base` itself when the map holds no container;
// else the union, made in `storage`.
const Bitmap& with_elements(const QueryMap& map, const Bitmap& base, Bitmap& storage);

// The stored object an element id belongs to (through containers in containers).
uint32_t owner_of(const PagedIdMap& mapped, const Bitmap& masked, uint32_t eid);

// The current value of `attr` of each object of `ids` that has it, read from
// the objects (no core lock may be held: each object's storage is locked).
std::vector<std::pair<uint32_t, PyValue>> read_values(const IndexAPI& core, const Bitmap& ids, uint32_t attr);

}  // namespace answers

}  // namespace vorlane
