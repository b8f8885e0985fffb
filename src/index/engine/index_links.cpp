// The index list of an object: links to the indexes that store it.
#include "index/engine/index_links.hpp"

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "index/engine/index.hpp"

namespace vorlane {

void trim_indexes(IndexList& list, const IndexAPI* index) {
    const IndexAPI* placeholder = empty_index().get();
    list.erase_if([&](const IndexMeta& meta) {
        const auto core = meta.lock();
        return core == nullptr || core.get() == index || core.get() == placeholder;
    });
}

namespace {
const IndexAPI* sort_key(const IndexMeta& meta) {
    const auto core = meta.lock();
    return core != nullptr ? core.get() : empty_index().get();
}
}  // namespace

void add_index_link(IndexList& list, const std::weak_ptr<IndexAPI>& core) {
    if (list.empty()) {  // most objects are in one index: nothing to trim, compare or sort
        list.push_back(core);
        return;
    }
    trim_indexes(list, empty_index().get());
    // One link per core: a write reaches each index once, however often the
    // object was added to it.
    const auto target = core.lock();
    for (const IndexMeta& meta : list) {
        if (meta.lock() == target) return;
    }
    list.push_back(core);
    if (list.size() < 2) return;
    // Each link's key is read once: an index may die while the list is sorted,
    // and a key that changed mid-sort would break the sort's ordering.
    std::vector<std::pair<const IndexAPI*, IndexMeta>> keyed;
    keyed.reserve(list.size());
    for (IndexMeta& meta : list) keyed.emplace_back(sort_key(meta), std::move(meta));
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        return std::less<const IndexAPI*>()(a.first, b.first);
    });
    for (size_t i = 0; i < keyed.size(); ++i) list[i] = std::move(keyed[i].second);
}

Mutex<IndexList>::Guard register_index(const Indexable& record, const std::weak_ptr<IndexAPI>& core) {
    auto list = record.indexes.lock();
    add_index_link(*list, core);
    return list;
}

}  // namespace vorlane
