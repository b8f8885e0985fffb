// What the value answers share (see answers.hpp).
#include "index/engine/answers.hpp"

#include <algorithm>
#include <cmath>

#include "index/engine/index.hpp"

namespace vorlane {

NumberValue number_of_key(const OrderKey& key) {
    // A key is sign, exponent and a 64-bit mantissa m with the value
    // m * 2^(exponent - 1086) (integers and doubles alike; subnormals count
    // their exponent as 1), mirrored bit for bit when negative.
    const bool negative = (key.head & detail::kPositiveHead) == 0;
    const uint16_t head = negative ? static_cast<uint16_t>(~key.head & detail::kHeadMask) : key.head;
    const uint64_t mantissa = negative ? ~key.mantissa : key.mantissa;
    const int exponent = std::max(head & 0x7FF, 1);
    NumberValue out;
    if (mantissa == 0) return out;  // zero, of either sign
    if ((head & 0x7FF) == 0x7FF) {  // infinity (NaN has no key)
        out.form = NumberValue::Form::Float;
        out.real = negative ? -HUGE_VAL : HUGE_VAL;
        return out;
    }
    const int shift = 1086 - exponent;
    const auto signed_int = [&](uint64_t magnitude) {
        out.form = NumberValue::Form::Int;
        out.integer = negative ? static_cast<int64_t>(~magnitude + 1) : static_cast<int64_t>(magnitude);
        return out;
    };
    if (shift <= 0) {
        const bool fits = shift == 0 && (mantissa < (uint64_t{1} << 63) || (negative && mantissa == (uint64_t{1} << 63)));
        if (fits) return signed_int(mantissa);
        out.form = NumberValue::Form::WholeFloat;
        out.real = std::ldexp(static_cast<double>(mantissa), -shift) * (negative ? -1.0 : 1.0);
        return out;
    }
    if (shift < 64 && (mantissa & ((uint64_t{1} << shift) - 1)) == 0) return signed_int(mantissa >> shift);
    // Not integral: the key came from a double, whose 53 significant bits the
    // mantissa holds at its top, so this is exact.
    out.form = NumberValue::Form::Float;
    out.real = std::ldexp(static_cast<double>(mantissa), -shift) * (negative ? -1.0 : 1.0);
    return out;
}

namespace answers {

namespace {
void set_key_bit(OrderKey& key, size_t bit) {
    if (bit < 64) {
        key.mantissa |= uint64_t{1} << bit;
    } else {
        key.head = static_cast<uint16_t>(key.head | (1U << (bit - 64)));
    }
}
}  // namespace

std::vector<OrderKey> keys_of(const NumericalBitmap& numbers, std::span<const uint32_t> ids) {
    std::vector<OrderKey> keys(ids.size());
    if (ids.size() < 64) {
        for (size_t i = 0; i < ids.size(); ++i) keys[i] = numbers.key_of(ids[i]);
        return keys;
    }
    const Bitmap wanted(ids);
    for (size_t bit = 0; bit < kOrderKeyBits; ++bit) {
        bool value = false;
        if (numbers.shared_bit(bit, value)) {
            if (value) {
                for (OrderKey& k : keys) set_key_bit(k, bit);
            }
            continue;
        }
        // The ids with a 1 here, ascending: a merge with `ids` finds their places.
        const Bitmap ones = wanted.and_(numbers.slice(bit)[1].bitmap());
        size_t at = 0;
        ones.for_each([&](uint32_t id) {
            while (ids[at] != id) ++at;
            set_key_bit(keys[at], bit);
        });
    }
    return keys;
}

namespace {

// Buckets probed from the end a top-k starts at before the walk over the key
// bits takes over (a probe is a table lookup, most of them for empty buckets).
constexpr uint32_t kMaxBucketProbes = 64;

// The ids of `candidates` in the buckets nearest the wanted end, bucket by
// bucket until they hold `limit` ids (or every bucket was seen): the top ids are
// among them. Nothing when the buckets are not kept or too many are empty.
struct Gathered {
    Bitmap ids;
    bool one_bucket = false;  // all from one bucket: their keys share the bucket's bits
};

std::optional<Gathered> gather_from_buckets(const NumericalBitmap& numbers, const Bitmap& candidates, size_t limit,
                                            bool largest) {
    const auto& buckets = numbers.bucket_table();
    const auto bounds = numbers.key_bounds();
    if (!buckets.active() || !bounds) return std::nullopt;
    const uint32_t low = numbers.bucket_of(bounds->first);
    const uint32_t high = numbers.bucket_of(bounds->second);
    Gathered gathered;
    uint64_t found = 0;
    uint32_t nonempty = 0;
    for (uint32_t probes = 0;; ++probes) {
        if (probes > high - low) break;  // every bucket seen: all of the candidates
        if (probes == kMaxBucketProbes) return std::nullopt;  // too many empty ones on the way
        const uint32_t bucket = largest ? high - probes : low + probes;
        Bitmap hits = buckets.find(bucket, &candidates);
        if (hits.is_empty()) continue;
        found += hits.cardinality();
        gathered.ids.or_inplace(hits);
        ++nonempty;
        if (found >= limit) break;
    }
    gathered.one_bucket = nonempty == 1;
    return gathered;
}

}  // namespace

std::vector<uint32_t> top_ids(const NumericalBitmap& numbers, const Bitmap& of, size_t limit, bool largest) {
    std::vector<uint32_t> out;
    if (limit == 0 || of.is_empty()) return out;
    auto gathered = gather_from_buckets(numbers, of, limit, largest);
    const size_t top = gathered && gathered->one_bucket ? numbers.bucket_low_bit() : kOrderKeyBits;
    // Ids without a key may stay among the candidates until the end: each bit's
    // sides hold keyed ids only, and what is left is filtered then, when small.
    Bitmap candidates = gathered ? std::move(gathered->ids) : of.clone();
    Bitmap taken;
    size_t need = limit;
    for (size_t bit = top; bit-- > 0;) {
        if (candidates.cardinality() <= need) break;
        bool value = false;
        if (numbers.shared_bit(bit, value)) continue;
        // The side of this bit whose keys come first.
        const Bitmap& side = numbers.slice(bit)[largest ? 1 : 0].bitmap();
        const uint64_t n = candidates.and_cardinality(side);
        if (n >= need) {
            candidates.and_inplace(side);
        } else if (n != 0) {
            const Bitmap first = candidates.and_(side);
            candidates.andnot_inplace(first);
            taken.or_inplace(first);
            need -= n;
        }
    }
    // What is left shares one key (or is no more than needed): lowest ids first.
    if (!gathered) {
        Bitmap keyed = candidates.and_(numbers.slice(0)[0].bitmap());
        keyed.or_inplace(candidates.and_(numbers.slice(0)[1].bitmap()));
        candidates = std::move(keyed);
    }
    candidates.for_each([&](uint32_t id) {
        if (need == 0) return;
        taken.add(id);
        --need;
    });
    out = taken.to_vector();
    return out;
}

const Bitmap& with_elements(const QueryMap& map, const Bitmap& base, Bitmap& storage) {
    if (!map.has_elements()) return base;
    storage = base.or_(elements_of(*map.elements.read(QueryMap::kMapPoisoned), base));
    return storage;
}

Bitmap elements_of(const ElementLedger& ledger, const Bitmap& holders) {
    // Element ids come out nearly ascending (each holder's in one run, the
    // holders ascending): the bitmap takes them as they come.
    std::vector<uint32_t> found;
    holders.for_each([&](uint32_t holder) {
        ledger.for_each_within(holder, [&](uint32_t eid, const PyValue&) { found.push_back(eid); });
    });
    Bitmap out;
    out.add_many(found);
    return out;
}

uint32_t owner_of(const PagedIdMap& mapped, const Bitmap& masked, uint32_t eid) {
    uint32_t id = eid;
    while (masked.contains(id)) {
        const uint32_t holder = mapped.find(id);
        if (holder == PagedIdMap::kNone) return PagedIdMap::kNone;
        id = holder;
    }
    return id;
}

std::vector<std::pair<uint32_t, PyValue>> read_values(const IndexAPI& core, const Bitmap& ids, uint32_t attr) {
    // The records are copied out first: an object's storage lock comes before
    // every lock of the core.
    std::vector<std::pair<uint32_t, StoredItem>> records;
    {
        auto items = core.items->read();
        items->for_each_in(ids, [&](uint32_t id, const StoredItem& record) { records.emplace_back(id, record); });
    }
    std::vector<std::pair<uint32_t, PyValue>> out;
    out.reserve(records.size());
    for (const auto& [id, record] : records) {
        auto attributes = record.record().get_py_values();
        if (const PyValue* value = attributes->get(attr)) out.emplace_back(id, *value);
    }
    return out;
}

}  // namespace answers

}  // namespace vorlane
