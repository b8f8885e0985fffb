#pragma once
// Changes a structure keeps waiting until its next read: removals, and the new
// values of attribute writes, in the order they came. Entering them one id at a
// time would cost a cache miss in every bitmap they touch; a batch sorted by id
// walks each bitmap once. Settling takes each id's net change: the id leaves
// with the value of its first entry if that was a removal (it was there with
// that value), and stays with the value of its last entry if that was an
// arrival; the entries between cancel out in pairs (every arrival is followed
// by the removal of the same value).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "index/structures/radix_sort.hpp"

namespace vorlane {

template <class V>
struct WaitingChange {
    uint32_t id;
    V value;
    bool arriving;  // false: the id leaves with `value`
};

// One id's net change; `leaving` and `staying` point into the log it came from.
template <class V>
struct NetChange {
    uint32_t id;
    const V* leaving;  // the value it leaves with, or null if it was not there
    const V* staying;  // the value it stays with, or null if it leaves for good
};

// The net change of every id in `log`, ids ascending. Ids whose entries all
// cancel out (arrived and left again) are left out. In a log of removals only
// each id is there once: its entries need no grouping, only the ids sorting.
template <class V>
std::vector<NetChange<V>> net_changes(const std::vector<WaitingChange<V>>& log) {
    std::vector<NetChange<V>> out;
    out.reserve(log.size());
    const bool removals_only = std::none_of(log.begin(), log.end(), [](const WaitingChange<V>& c) { return c.arriving; });
    if (removals_only) {
        for (const WaitingChange<V>& c : log) out.push_back(NetChange<V>{c.id, &c.value, nullptr});
        radix_sort_by(out, [](const NetChange<V>& c) { return c.id; });
        return out;
    }
    // (id, position) pairs sort small and keep each id's entries in order.
    std::vector<std::pair<uint32_t, uint32_t>> order(log.size());
    for (size_t i = 0; i < log.size(); ++i) order[i] = {log[i].id, static_cast<uint32_t>(i)};
    radix_sort_by(order, [](const std::pair<uint32_t, uint32_t>& p) { return p.first; });  // stable: positions stay in order
    for (size_t i = 0; i < order.size();) {
        size_t end = i + 1;
        while (end < order.size() && order[end].first == order[i].first) ++end;
        const WaitingChange<V>& first = log[order[i].second];
        const WaitingChange<V>& last = log[order[end - 1].second];
        const V* leaving = first.arriving ? nullptr : &first.value;
        const V* staying = last.arriving ? &last.value : nullptr;
        if (leaving != nullptr || staying != nullptr) out.push_back(NetChange<V>{first.id, leaving, staying});
        i = end;
    }
    return out;
}

}  // namespace vorlane
