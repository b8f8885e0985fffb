// Columns: attribute values of many objects read into typed buffers.
#include "index/engine/columns.hpp"

#include <algorithm>
#include <limits>
#include <optional>

#include "index/engine/index.hpp"

namespace vorlane {

namespace {

// Builds one column row by row. Buffers are made at their final size when the
// first value of their kind arrives (rows are at most the ids asked for), and
// cut to the rows found at the end. The first list, tuple or set turns the
// column into a list column: the rows so far become its parts, one value each
// (none for a null), and every later row is kept as its parts (ListParts).
class ColumnBuilder {
public:
    // `elements`: the rows are a list column's elements, where containers are refused.
    ColumnBuilder(size_t column, size_t capacity, bool elements = false)
        : column_(column), capacity_(capacity), elements_(elements), validity_((capacity + 7) / 8, 0) {}

    bool is_list() const noexcept { return list_.has_value(); }

    // Rows come in order, from 0.
    void put(size_t row, const PyValue* v) {
        // None (and NaT) is a missing value to every dataframe tool: a null, in a column of any type.
        if (v != nullptr && v->is_missing()) v = nullptr;
        if (list_) {
            if (v != nullptr) admit_part(*v);
            end_row(row, v != nullptr);
            return;
        }
        if (v == nullptr) {
            // A null row of a string column repeats the offset before it.
            if (!offsets_.empty()) offsets_[row + 1] = static_cast<int64_t>(bytes_.size());
            return;
        }
        switch (v->kind()) {
            case Kind::Int: {
                admit(kIntBit);
                const int64_t x = v->as<cast::Int>()->value;
                if (!floats_.empty()) {
                    floats_[row] = static_cast<double>(x);
                } else {
                    if (ints_.empty()) ints_.assign(capacity_, 0);
                    ints_[row] = x;
                }
                break;
            }
            case Kind::Float: {
                admit(kFloatBit);
                if (floats_.empty()) {
                    // Ints and floats make a float column: the ints so far become floats.
                    floats_.assign(capacity_, 0.0);
                    for (size_t i = 0; i < ints_.size(); ++i) floats_[i] = static_cast<double>(ints_[i]);
                    ints_ = {};
                }
                floats_[row] = v->as<cast::Float>()->value;
                break;
            }
            case Kind::Str: {
                admit(kStrBit);
                if (offsets_.empty()) offsets_.assign(capacity_ + 1, 0);
                const std::string_view text = v->as<cast::Str>()->value.view();
                bytes_.append(text);
                offsets_[row + 1] = static_cast<int64_t>(bytes_.size());
                break;
            }
            case Kind::Bool: {
                admit(kBoolBit);
                if (bools_.empty()) bools_.assign((capacity_ + 7) / 8, 0);
                if (v->as<cast::Bool>()->value) set_bit(bools_, row);
                break;
            }
            case Kind::Time: {
                const auto* time = v->as<cast::Time>();
                const uint16_t bit = time_bit(time->kind());
                if (bit == kTimeUtcBit) throw ColumnKindError(column_, static_cast<uint16_t>(kinds_ | bit), *v, elements_);
                admit(bit);
                if (bit == kDateBit) {
                    if (days_.empty()) days_.assign(capacity_, 0);
                    days_[row] = static_cast<int32_t>(time->ordinal());  // years 1 to 9999 fit
                } else {
                    if (ints_.empty()) ints_.assign(capacity_, 0);
                    ints_[row] = time->ordinal();
                }
                break;
            }
            case Kind::Iterable:
                if (!elements_ && is_sequence(*v)) {
                    start_list(row);
                    admit_part(*v);
                    end_row(row, true);
                    return;
                }
                throw ColumnKindError(column_, kinds_, *v, elements_);
            default:
                throw ColumnKindError(column_, kinds_, *v, elements_);
        }
        set_bit(validity_, row);
        ++valid_;
    }

    // Row `row` as the values a path reaches: none is a null, one a value,
    // several a list of them.
    void put_values(size_t row, std::span<const PyValue* const> values) {
        const PyValue* first = nullptr;
        size_t count = 0;
        for (const PyValue* v : values) {
            if (v->is_missing()) continue;
            if (count++ == 0) first = v;
        }
        if (count <= 1) {
            put(row, first);
            return;
        }
        if (!list_) start_list(row);
        for (const PyValue* v : values) {
            if (!v->is_missing()) admit_part(*v);
        }
        end_row(row, true);
    }

    // The parts of a list column of `rows` rows.
    ListParts take_list(size_t rows) && {
        ListParts out = std::move(*list_);
        out.validity.resize((rows + 7) / 8);
        return out;
    }

    Column finish(size_t rows) && {
        Column out;
        out.null_count = static_cast<int64_t>(rows - valid_);
        if (kinds_ == 0) {
            out.type = ColumnType::Null;
            return out;
        }
        if (out.null_count != 0) {
            validity_.resize((rows + 7) / 8);
            out.validity = std::move(validity_);
        }
        if (!floats_.empty()) {
            out.type = ColumnType::Float64;
            floats_.resize(rows);
            out.floats = std::move(floats_);
        } else if (!ints_.empty()) {
            out.type = kinds_ == kDateTimeBit      ? ColumnType::Timestamp
                       : kinds_ == kDateTimeUtcBit ? ColumnType::TimestampUtc
                       : kinds_ == kTimeBit        ? ColumnType::Time64
                       : kinds_ == kDeltaBit       ? ColumnType::Duration
                                                   : ColumnType::Int64;
            ints_.resize(rows);
            out.ints = std::move(ints_);
        } else if (!days_.empty()) {
            out.type = ColumnType::Date32;
            days_.resize(rows);
            out.days = std::move(days_);
        } else if (!bools_.empty()) {
            out.type = ColumnType::Bool;
            bools_.resize((rows + 7) / 8);
            out.bools = std::move(bools_);
        } else {
            offsets_.resize(rows + 1);
            if (bytes_.size() <= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
                out.type = ColumnType::String;
                out.offsets.assign(offsets_.begin(), offsets_.end());
            } else {
                out.type = ColumnType::LargeString;
                out.large_offsets = std::move(offsets_);
            }
            out.bytes = std::move(bytes_);
        }
        return out;
    }

private:
    static void set_bit(std::vector<uint8_t>& bits, size_t i) noexcept {
        bits[i >> 3] = static_cast<uint8_t>(bits[i >> 3] | (1U << (i & 7)));
    }
    static bool get_bit(const std::vector<uint8_t>& bits, size_t i) noexcept {
        return ((bits[i >> 3] >> (i & 7)) & 1U) != 0;
    }

    static bool is_sequence(const PyValue& v) noexcept {
        return v.as<cast::Iterable>()->value.kind != IterableKind::Dict;
    }

    // A part of a list column: a value a column takes, or a list, tuple or set
    // (whose elements are checked once they are read).
    void admit_part(const PyValue& v) {
        bool takes = false;
        switch (v.kind()) {
            case Kind::Int:
            case Kind::Float:
            case Kind::Str:
            case Kind::Bool: takes = true; break;
            case Kind::Time: takes = time_bit(v.as<cast::Time>()->kind()) != kTimeUtcBit; break;
            case Kind::Iterable: takes = is_sequence(v); break;
            default: break;
        }
        if (!takes) throw ColumnKindError(column_, kinds_, v, false);
        list_->parts.push_back(v);
    }

    void end_row(size_t row, bool valid) {
        if (valid) {
            set_bit(list_->validity, row);
        } else {
            ++list_->null_count;
        }
        list_->ends.push_back(static_cast<int64_t>(list_->parts.size()));
    }

    // Rows [0, rows) were values: each becomes the one part of its row (a
    // null, none), and the column a list column.
    void start_list(size_t rows) {
        ListParts list;
        list.column = column_;
        list.validity.assign((capacity_ + 7) / 8, 0);
        list.ends.reserve(capacity_);
        list.parts.reserve(valid_ + 1);
        list_ = std::move(list);
        for (size_t i = 0; i < rows; ++i) {
            const bool valid = get_bit(validity_, i);
            if (valid) list_->parts.push_back(value_at(i));
            end_row(i, valid);
        }
        kinds_ = 0;
        valid_ = 0;
        validity_ = {};
        ints_ = {};
        days_ = {};
        floats_ = {};
        bools_ = {};
        offsets_ = {};
        bytes_ = {};
    }

    // The value of valid row `i`, back from the buffers. Dates and times keep
    // their kind and ordinal, all a column reads of them.
    PyValue value_at(size_t i) const {
        const auto time = [](TimeKind kind, int64_t ordinal) {
            return PyValue(cast::Time{time_order_key(kind, ordinal).mantissa, py::SharedPyRef()});
        };
        if (!floats_.empty()) return PyValue(cast::Float(floats_[i]));
        if (!ints_.empty()) {
            switch (kinds_) {
                case kDateTimeBit: return time(TimeKind::DateTime, ints_[i]);
                case kDateTimeUtcBit: return time(TimeKind::DateTimeAware, ints_[i]);
                case kTimeBit: return time(TimeKind::Time, ints_[i]);
                case kDeltaBit: return time(TimeKind::Delta, ints_[i]);
                default: return PyValue(cast::Int(ints_[i]));
            }
        }
        if (!days_.empty()) return time(TimeKind::Date, days_[i]);
        if (!bools_.empty()) return PyValue(cast::Bool{get_bit(bools_, i)});
        const auto begin = static_cast<size_t>(offsets_[i]);
        const auto end = static_cast<size_t>(offsets_[i + 1]);
        return PyValue(cast::Str{SmallString(std::string_view(bytes_).substr(begin, end - begin))});
    }

    static uint16_t time_bit(TimeKind kind) noexcept {
        switch (kind) {
            case TimeKind::Date: return kDateBit;
            case TimeKind::DateTime: return kDateTimeBit;
            case TimeKind::DateTimeAware: return kDateTimeUtcBit;
            case TimeKind::Time: return kTimeBit;
            case TimeKind::TimeAware: return kTimeUtcBit;
            case TimeKind::Delta: return kDeltaBit;
        }
        return kTimeUtcBit;
    }

    // Ints and floats mix; no other two kinds do.
    void admit(uint16_t bit) {
        if ((kinds_ & bit) != 0) return;
        kinds_ = static_cast<uint16_t>(kinds_ | bit);
        if (kinds_ != bit && (kinds_ & ~(kIntBit | kFloatBit)) != 0) {
            throw ColumnKindError(column_, kinds_, std::nullopt, elements_);
        }
    }

    size_t column_;
    size_t capacity_;
    bool elements_;
    uint16_t kinds_ = 0;
    size_t valid_ = 0;
    std::vector<uint8_t> validity_;
    std::vector<int64_t> ints_;
    std::vector<int32_t> days_;
    std::vector<double> floats_;
    std::vector<uint8_t> bools_;
    std::vector<int64_t> offsets_;
    std::string bytes_;
    std::optional<ListParts> list_;
};

}  // namespace

namespace {

bool reaches_nothing(const AttrPath& path) {
    return std::find(path.steps.begin(), path.steps.end(), kNoAttribute) != path.steps.end();
}

// The column of a dotted path over the objects `rows` (ascending, one row
// each): the values of its last attribute on the objects its steps lead to from
// each, every object reached once, in id order. The steps are followed by the
// links the queries follow, under the core's locks; the values are then read
// from the objects reached, each under its own lock (no core lock held).
void read_path_column(const IndexAPI& core, const AttrPath& path, std::span<const uint32_t> rows,
                      ColumnBuilder& builder) {
    if (reaches_nothing(path)) {
        for (size_t row = 0; row < rows.size(); ++row) builder.put(row, nullptr);
        return;
    }
    const PathReach reach = core.reach(path, Bitmap(rows), true);
    const std::vector<std::pair<uint32_t, PyValue>> values = answers::read_values(core, reach.objects, path.last());
    const auto value_of = [&](uint32_t id) -> const PyValue* {
        const auto it = std::lower_bound(values.begin(), values.end(), id,
                                         [](const auto& entry, uint32_t key) { return entry.first < key; });
        return it != values.end() && it->first == id ? &it->second : nullptr;
    };
    std::vector<const PyValue*> found;
    size_t pair = 0;
    for (size_t row = 0; row < rows.size(); ++row) {
        found.clear();
        for (; pair < reach.pairs.size() && reach.pairs[pair].first == rows[row]; ++pair) {
            if (const PyValue* v = value_of(reach.pairs[pair].second)) found.push_back(v);
        }
        builder.put_values(row, found);
    }
}

}  // namespace

ColumnRead read_columns(const IndexAPI& core, const Bitmap* ids, std::span<const AttrPath> attrs) {
    Bitmap members;
    if (ids == nullptr) {
        // A copy: the members' lock comes after an object's locks, which are waited for below.
        members = core.allowed_items->read()->clone();
        ids = &members;
    }
    const size_t capacity = ids->cardinality();
    std::vector<ColumnBuilder> builders;
    builders.reserve(attrs.size());
    for (size_t c = 0; c < attrs.size(); ++c) builders.emplace_back(c, capacity);
    // The columns of one attribute, read from each object with its other values.
    std::vector<std::pair<size_t, uint32_t>> plain;
    bool any_path = false;
    for (size_t c = 0; c < attrs.size(); ++c) {
        if (attrs[c].dotted()) {
            any_path = true;
        } else {
            plain.emplace_back(c, attrs[c].last());
        }
    }
    // The rows' ids, for the paths.
    std::vector<uint32_t> row_ids;
    if (any_path) row_ids.reserve(capacity);

    size_t row = 0;
    auto read_row = [&](uint32_t id, const AttributeMap& attributes) {
        for (const auto& [c, attr] : plain) builders[c].put(row, attr == kNoAttribute ? nullptr : attributes.get(attr));
        if (any_path) row_ids.push_back(id);
        ++row;
    };

    // An object's storage is taken while the table is held for reading only if
    // it is free at once: a write or removal holding it may be waiting for the
    // table. A busy object is waited for with the table let go (and no other
    // object held), kept alive by a handle meanwhile.
    std::optional<RwLock<ItemTable>::ReadGuard> table(core.items->read());
    std::vector<Mutex<AttributeMap>::Guard> held;
    held.reserve(Bitmap::kBlock);
    ids->for_each_block([&](std::span<const uint32_t> block) {
        // Nearly every record, object and attribute storage is a cache miss,
        // and a lock taken or let go lets no later load start early. So the
        // records of a block are looked up first (their misses overlap), each
        // object is fetched a few steps before its lock is taken, the locks of
        // a run of objects are taken one after the other, their values read,
        // and only then are the locks let go.
        constexpr size_t kAhead = 8;
        const StoredItem* slots[Bitmap::kBlock];
        size_t positions[Bitmap::kBlock];  // of each record's id in `block`
        size_t found = 0;
        // The records of block[from, end).
        auto look_up = [&](size_t from) {
            found = 0;
            for (size_t k = from; k < block.size(); ++k) {
                if (const StoredItem* slot = (*table)->find(block[k])) {
                    slots[found] = slot;
                    positions[found++] = k;
                }
            }
            for (size_t k = 0; k < std::min(found, kAhead); ++k) __builtin_prefetch(&slots[k]->record().attributes);
        };
        look_up(0);
        size_t i = 0;
        while (i < found) {
            const size_t run = i;
            for (; i < found; ++i) {
                if (i + kAhead < found) __builtin_prefetch(&slots[i + kAhead]->record().attributes);
                auto attributes = slots[i]->record().attributes.try_lock(kCannotReadIndexable);
                if (!attributes) break;
                held.push_back(std::move(*attributes));
            }
            for (size_t k = 0; k < held.size(); ++k) read_row(block[positions[run + k]], *held[k]);
            held.clear();
            if (i == found) break;
            const Indexable& record = slots[i]->record();
            const ObjectHandle keep = slots[i]->py_item;
            table.reset();
            {
                auto attributes = record.get_py_values();
                read_row(block[positions[i]], *attributes);
            }
            table.emplace(core.items->read());
            // Records may have come and gone meanwhile: the rest of the block is looked up again.
            look_up(positions[i] + 1);
            i = 0;
        }
    });
    table.reset();
    for (size_t c = 0; c < attrs.size(); ++c) {
        if (attrs[c].dotted()) read_path_column(core, attrs[c], row_ids, builders[c]);
    }

    ColumnRead out;
    out.set.rows = static_cast<int64_t>(row);
    out.set.columns.resize(builders.size());
    for (size_t c = 0; c < builders.size(); ++c) {
        if (builders[c].is_list()) {
            out.lists.push_back(std::move(builders[c]).take_list(row));
        } else {
            out.set.columns[c] = std::move(builders[c]).finish(row);
        }
    }
    return out;
}

Column make_list_column(ListParts list) {
    const size_t rows = list.ends.size();
    const size_t count = list.parts.size();
    ColumnBuilder elements(list.column, count, true);
    for (size_t i = 0; i < count; ++i) elements.put(i, &list.parts[i]);
    list.parts = {};

    Column out;
    out.null_count = list.null_count;
    if (out.null_count != 0) out.validity = std::move(list.validity);
    if (count <= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        out.type = ColumnType::List;
        out.offsets.reserve(rows + 1);
        out.offsets.push_back(0);
        for (const int64_t end : list.ends) out.offsets.push_back(static_cast<int32_t>(end));
    } else {
        out.type = ColumnType::LargeList;
        out.large_offsets.reserve(rows + 1);
        out.large_offsets.push_back(0);
        out.large_offsets.insert(out.large_offsets.end(), list.ends.begin(), list.ends.end());
    }
    out.elements.push_back(std::move(elements).finish(count));
    return out;
}

}  // namespace vorlane
