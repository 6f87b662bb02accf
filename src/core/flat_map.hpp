// Open-addressing hash map and set for small integer keys (lattice keys).
//
// Linear probing over a power-of-two table kept at most half full: lattice keys
// are 12-16 bytes, lookups dominate, and probing one contiguous run beats the
// node-per-entry layout of std::unordered_map (see bench/bench_cache.cpp).
// Only membership and lookup are offered: nothing may depend on the order of
// entries, so there is deliberately no iteration.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/monitor.hpp"

namespace quarvel {

// Fast 64-bit finaliser (splitmix64); good avalanche for packed coordinates.
constexpr std::uint64_t mix64(std::uint64_t x) noexcept {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// Each table gets its own seed so that no input can be crafted against all of them.
std::uint64_t next_table_seed() noexcept;

template <class Key, class Value>
class FlatMap {
public:
    explicit FlatMap(std::size_t expected = 0) : seed_(next_table_seed()) { reserve(expected); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Room for `count` entries without rehashing.
    void reserve(std::size_t count) {
        std::size_t want = 16;
        while (want < count * 2) want <<= 1;
        if (want > slots_.size()) rehash(want);
    }

    // Inserts or replaces; returns the stored value.
    Value& insert_or_assign(const Key& key, Value value) {
        Slot& slot = probe_for_insert(key);
        if (!slot.used) {
            slot.used = true;
            slot.key = key;
            ++size_;
        }
        slot.value = std::move(value);
        return slot.value;
    }

    // Inserts only when absent; returns true when the key was new.
    bool try_emplace(const Key& key, Value value) {
        Slot& slot = probe_for_insert(key);
        if (slot.used) return false;
        slot.used = true;
        slot.key = key;
        slot.value = std::move(value);
        ++size_;
        return true;
    }

    // The value of `key`, inserting `value` first when it is absent.
    Value& find_or_insert(const Key& key, Value value) {
        Slot& slot = probe_for_insert(key);
        if (!slot.used) {
            slot.used = true;
            slot.key = key;
            slot.value = std::move(value);
            ++size_;
        }
        return slot.value;
    }

    const Value* find(const Key& key) const noexcept {
        if (slots_.empty()) return nullptr;
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = index_of(key);; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (!slot.used) return nullptr;
            if (slot.key == key) return &slot.value;
        }
    }
    Value* find(const Key& key) noexcept {
        return const_cast<Value*>(std::as_const(*this).find(key));
    }
    bool contains(const Key& key) const noexcept { return find(key) != nullptr; }

    // Starts loading the slot where a lookup of `key` begins: a hint, for a
    // caller that knows its keys a few lookups ahead (a table larger than the
    // caches misses on nearly every lookup).
    void prefetch(const Key& key) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[index_of(key)]);
    }

    // Removes `key` when present; returns whether it was. Later entries of its
    // probe run shift back into the gap, so no lookup ever stops short.
    bool erase(const Key& key) noexcept {
        if (slots_.empty()) return false;
        const std::size_t mask = slots_.size() - 1;
        std::size_t hole = index_of(key);
        for (;; hole = (hole + 1) & mask) {
            if (!slots_[hole].used) return false;
            if (slots_[hole].key == key) break;
        }
        for (std::size_t j = (hole + 1) & mask; slots_[j].used; j = (j + 1) & mask) {
            // The entry at j may fill the hole when the hole lies between its home and j.
            const std::size_t home = index_of(slots_[j].key);
            if (((j - home) & mask) >= ((j - hole) & mask)) {
                slots_[hole] = std::move(slots_[j]);
                hole = j;
            }
        }
        slots_[hole] = Slot{};
        --size_;
        return true;
    }

private:
    struct Slot {
        Key key{};
        Value value{};
        bool used = false;
    };

    std::size_t index_of(const Key& key) const noexcept {
        return static_cast<std::size_t>(mix64(key.hash_input() ^ seed_)) & (slots_.size() - 1);
    }

    Slot& probe_for_insert(const Key& key) {
        if ((size_ + 1) * 2 > slots_.size()) rehash(slots_.empty() ? 16 : slots_.size() * 2);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = index_of(key);; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (!slot.used || slot.key == key) return slot;
        }
    }

    void rehash(std::size_t capacity) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(capacity, Slot{});
        std::size_t mask = capacity - 1;
        for (Slot& s : old) {
            if (!s.used) continue;
            std::size_t i = index_of(s.key);
            while (slots_[i].used) i = (i + 1) & mask;
            slots_[i] = std::move(s);
        }
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    std::uint64_t seed_;
};

struct Unit {};

template <class Key>
class FlatSet {
public:
    explicit FlatSet(std::size_t expected = 0) : map_(expected) {}
    // Returns true when the key was not yet present.
    bool insert(const Key& key) { return map_.try_emplace(key, Unit{}); }
    bool contains(const Key& key) const noexcept { return map_.contains(key); }
    void prefetch(const Key& key) const noexcept { map_.prefetch(key); }
    std::size_t size() const noexcept { return map_.size(); }
    void reserve(std::size_t count) { map_.reserve(count); }

private:
    FlatMap<Key, Unit> map_;
};

// A list without duplicates, in first-seen order; the set only filters.
template <class Key>
class UniqueList {
public:
    // Appends `key` unless it was seen before; returns whether it was new.
    bool push(const Key& key) {
        if (!seen_.insert(key)) return false;
        items_.push_back(key);
        return true;
    }
    void prefetch(const Key& key) const noexcept { seen_.prefetch(key); }
    const std::vector<Key>& items() const noexcept { return items_; }
    std::vector<Key> take() { return std::move(items_); }

private:
    FlatSet<Key> seen_;
    std::vector<Key> items_;
};

// `items` without repeats, each where it first appears.
template <class Key>
std::vector<Key> first_seen(std::span<const Key> items) {
    UniqueList<Key> unique;
    constexpr std::size_t kAhead = 16;  // a long list outgrows the caches: fetch slots ahead
    for (std::size_t i = 0; i < items.size(); ++i) {
        check_active(i);
        if (i + kAhead < items.size()) unique.prefetch(items[i + kAhead]);
        unique.push(items[i]);
    }
    return unique.take();
}

}  // namespace quarvel
