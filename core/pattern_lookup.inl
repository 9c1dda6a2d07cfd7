// pattern_lookup.inl — the lookup template of pattern.hpp.
//
// A template over the callback, so the driver's closure is inlined and the
// lookup allocates nothing: keys live in a fixed array and slots are read in place.
#pragma once

namespace kestrune::pattern {

template <class OnHit>
bool lookup(const Database& db, const Pattern& image, const std::array<uint32_t, 4>& quad,
            double diag, OnHit&& on_hit, LookupCounters& counters) {
  const std::span<const SlotRecord> slots = db.slots();
  if (slots.empty()) return false;
  const uint64_t mask = slots.size() - 1;
  const KeyList keys = lookup_keys(image);
  // Each key starts at a random slot of a table far larger than the caches;
  // asking for all of them first overlaps those misses.
  std::array<uint64_t, std::tuple_size_v<decltype(keys.keys)>> hashes;
  for (uint32_t k = 0; k < keys.count; ++k) {
    hashes[k] = key_hash(keys.keys[k]);
    __builtin_prefetch(slots.data() + (hashes[k] & mask));
  }
  for (uint32_t k = 0; k < keys.count; ++k) {
    ++counters.keys;
    const uint64_t h = hashes[k];
    const auto tag = static_cast<uint16_t>(h >> 48);
    uint64_t s = h & mask;
    for (uint64_t n = 0; n < slots.size(); ++n, s = (s + 1) & mask) {
      ++counters.probes;
      const SlotRecord& slot = slots[s];
      if (slot.pattern_index == kEmptySlot) break;
      if (slot.tag != tag) continue;
      ++counters.candidates;
      const std::optional<PatternHit> hit = examine(db, image, quad, diag, slot.pattern_index);
      if (!hit) continue;
      ++counters.hits;
      if (on_hit(*hit)) return true;
    }
  }
  return false;
}

template <class OnHit>
bool lookup(const Database& db, const Pattern& image, const std::array<uint32_t, 4>& quad,
            double diag, OnHit&& on_hit) {
  LookupCounters counters;
  return lookup(db, image, quad, diag, std::forward<OnHit>(on_hit), counters);
}

}  // namespace kestrune::pattern
