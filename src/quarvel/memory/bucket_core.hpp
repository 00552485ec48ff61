// Pure integer core of quarvel.memory.bucket_pool: size-class arithmetic, 64-bit bitmaps, the
// CRC-16 used by slab headers, the 16-byte slab header record and the bucket table of free offsets.
// No Python objects here; the binding (bucket_pool.cpp) does argument conversion, locking and
// error reporting.
//
// Integer arguments are signed 32-bit. Arithmetic on them wraps as two's complement: every sum,
// difference and negation is done in uint32_t and converted back (a defined conversion in C++20).
// A remainder truncates toward zero (sign of the dividend), and a remainder by -1 is 0.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace quarvel::bucket_pool {

// ---------------------------------------------------------------------------------------------
// 32-bit wrapping arithmetic
// ---------------------------------------------------------------------------------------------

constexpr std::int32_t wrap32(std::uint32_t v) noexcept { return static_cast<std::int32_t>(v); }
constexpr std::uint32_t u32(std::int32_t v) noexcept { return static_cast<std::uint32_t>(v); }

constexpr std::int32_t add32(std::int32_t a, std::int32_t b) noexcept { return wrap32(u32(a) + u32(b)); }
constexpr std::int32_t sub32(std::int32_t a, std::int32_t b) noexcept { return wrap32(u32(a) - u32(b)); }
constexpr std::int32_t neg32(std::int32_t a) noexcept { return wrap32(0u - u32(a)); }

// Truncating remainder; `b` must not be 0. b == -1 always gives 0 (INT32_MIN % -1 would trap).
constexpr std::int32_t rem32(std::int32_t a, std::int32_t b) noexcept { return b == -1 ? 0 : a % b; }

// (value + alignment - 1) & -alignment, wrapping.
constexpr std::int32_t align_up(std::int32_t value, std::int32_t alignment) noexcept {
    return wrap32((u32(value) + u32(alignment) - 1u) & (0u - u32(alignment)));
}

constexpr bool is_power_of_two(std::int32_t alignment) noexcept {
    return alignment > 0 && (alignment & (alignment - 1)) == 0;
}

// Caller has checked is_power_of_two(alignment).
constexpr std::int32_t align_size(std::int32_t size, std::int32_t alignment) noexcept {
    return align_up(size, alignment);
}

// size + step - ((size + step - 1) % step) - 1: the smallest multiple of `step` that is >= size
// for size >= 0 and step > 0; rounds toward zero for a negative size. `step` must not be 0.
constexpr std::int32_t bucket_size(std::int32_t size, std::int32_t step) noexcept {
    const std::int32_t r = rem32(sub32(add32(size, step), 1), step);
    return wrap32(u32(size) + u32(step) - u32(r) - 1u);
}

// Exclusive end: an allocation ending exactly at the block end does not fit. `alignment` unchecked.
constexpr bool can_fit_aligned(std::int32_t block_offset, std::int32_t block_size, std::int32_t alloc_size,
                               std::int32_t alignment) noexcept {
    const std::int32_t aligned = align_up(block_offset, alignment);
    return add32(aligned, alloc_size) < add32(block_offset, block_size);
}

// Inclusive end, as used when taking a block out of a bucket.
constexpr bool fits_in_block(std::int32_t offset, std::int32_t block_size, std::int32_t size,
                             std::int32_t alignment) noexcept {
    const std::int32_t aligned = align_up(offset, alignment);
    return add32(aligned, size) <= add32(offset, block_size);
}

// ---------------------------------------------------------------------------------------------
// 64-bit bitmaps. An index addresses bit (index & 63) of the two's-complement index, and only
// indices below 64 (negative ones included) take effect.
// ---------------------------------------------------------------------------------------------

constexpr std::uint64_t bit_of(std::int32_t index) noexcept { return std::uint64_t{1} << (u32(index) & 63u); }

constexpr bool bitmap_is_set(std::uint64_t bitmap, std::int32_t index) noexcept {
    return index < 64 && (bitmap & bit_of(index)) != 0;
}
constexpr std::uint64_t bitmap_set(std::uint64_t bitmap, std::int32_t index) noexcept {
    return index < 64 ? bitmap | bit_of(index) : bitmap;
}
constexpr std::uint64_t bitmap_clear(std::uint64_t bitmap, std::int32_t index) noexcept {
    return index < 64 ? bitmap & ~bit_of(index) : bitmap;
}
// Lowest set bit (0..63), or -1 for an empty bitmap.
constexpr int bitmap_find_first(std::uint64_t bitmap) noexcept { return bitmap == 0 ? -1 : std::countr_zero(bitmap); }

// ---------------------------------------------------------------------------------------------
// CRC-16 (reflected polynomial 0xA001, initial value 0xFFFF, no final xor)
// ---------------------------------------------------------------------------------------------

struct Crc16Table {
    std::uint16_t entry[256];
};

constexpr void build_crc16_table(Crc16Table& table) noexcept {
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
        table.entry[i] = static_cast<std::uint16_t>(crc);
    }
}

constexpr std::uint16_t crc16(const Crc16Table& table, const std::uint8_t* data, std::size_t n) noexcept {
    unsigned crc = 0xFFFFu;
    for (std::size_t i = 0; i < n; ++i) crc = (crc >> 8) ^ table.entry[(crc ^ data[i]) & 0xFFu];
    return static_cast<std::uint16_t>(crc);
}

// ---------------------------------------------------------------------------------------------
// Slab header: 16 bytes little-endian, <u8 size class><u8 flags><u32 change count><u16 crc><u64
// free bitmap>, the crc covering the first six bytes.
// ---------------------------------------------------------------------------------------------

inline constexpr std::size_t kHeaderBytes = 16;
inline constexpr std::uint8_t kFlagAllocated = 0x10;
inline constexpr std::uint8_t kFlagCorrupt = 0x80;

// All objects free for a slab of n objects; a negative count has no objects (mask 0).
constexpr std::uint64_t full_mask(std::int32_t objects_per_slab) noexcept {
    if (objects_per_slab < 0) return 0;
    if (objects_per_slab >= 64) return ~std::uint64_t{0};
    return (std::uint64_t{1} << objects_per_slab) - 1;
}

struct SlabHeader {
    std::uint8_t size_class_index = 0;
    std::uint8_t flags = 0;
    std::uint32_t change_count = 0;
    std::uint16_t checksum = 0;
    std::uint64_t free_bitmap = 0;
    std::int32_t objects_per_slab = 0;

    constexpr void init(std::int32_t size_class, std::int32_t objects) noexcept {
        size_class_index = static_cast<std::uint8_t>(u32(size_class) & 0xFFu);
        flags = 0;
        change_count = 0;
        checksum = 0;
        objects_per_slab = objects;
        free_bitmap = full_mask(objects);
    }

    constexpr bool is_object_free(std::int32_t i) const noexcept { return bitmap_is_set(free_bitmap, i); }

    constexpr void allocate_object(std::int32_t i) noexcept {
        free_bitmap = bitmap_clear(free_bitmap, i);
        flags = static_cast<std::uint8_t>(flags | kFlagAllocated);
        ++change_count;
    }

    constexpr void deallocate_object(std::int32_t i) noexcept {
        free_bitmap = bitmap_set(free_bitmap, i);
        ++change_count;
        if (free_bitmap == full_mask(objects_per_slab)) flags = static_cast<std::uint8_t>(flags & ~kFlagAllocated);
    }

    constexpr int find_free_object() const noexcept { return bitmap_find_first(free_bitmap); }

    constexpr void prefix_bytes(std::uint8_t out[6]) const noexcept {
        out[0] = size_class_index;
        out[1] = flags;
        for (int k = 0; k < 4; ++k) out[2 + k] = static_cast<std::uint8_t>(change_count >> (8 * k));
    }

    constexpr std::uint16_t compute_checksum(const Crc16Table& table) const noexcept {
        std::uint8_t prefix[6] = {};
        prefix_bytes(prefix);
        return crc16(table, prefix, 6);
    }

    // Stores the fresh checksum in the record, then writes the 16 bytes.
    constexpr void pack(const Crc16Table& table, std::uint8_t out[kHeaderBytes]) noexcept {
        checksum = compute_checksum(table);
        prefix_bytes(out);
        out[6] = static_cast<std::uint8_t>(checksum);
        out[7] = static_cast<std::uint8_t>(checksum >> 8);
        for (int k = 0; k < 8; ++k) out[8 + k] = static_cast<std::uint8_t>(free_bitmap >> (8 * k));
    }

    struct UnpackResult {
        std::uint16_t stored;
        std::uint16_t computed;
        bool corrupt() const noexcept { return stored != computed; }
    };

    // Takes size class, flags, change count and bitmap from `in` (the record's own checksum field
    // is kept), verifies the stored checksum and marks the header corrupt on a mismatch.
    constexpr UnpackResult unpack(const Crc16Table& table, const std::uint8_t in[kHeaderBytes]) noexcept {
        size_class_index = in[0];
        flags = in[1];
        std::uint32_t count = 0;
        for (int k = 3; k >= 0; --k) count = (count << 8) | in[2 + k];
        change_count = count;
        const std::uint16_t stored = static_cast<std::uint16_t>(in[6] | (in[7] << 8));
        std::uint64_t bitmap = 0;
        for (int k = 7; k >= 0; --k) bitmap = (bitmap << 8) | in[8 + k];
        free_bitmap = bitmap;
        const std::uint16_t computed = compute_checksum(table);
        if (stored != computed) flags = static_cast<std::uint8_t>(flags | kFlagCorrupt);
        return {stored, computed};
    }
};

// ---------------------------------------------------------------------------------------------
// Hierarchical bitset: one bit per slot plus summary levels (bit i of level l+1 says word i of
// level l is non-zero), so the next set bit at or after a position is found in a few word reads
// however many clear bits lie in between.
// ---------------------------------------------------------------------------------------------

class LevelBitset {
public:
    static constexpr std::uint64_t npos = ~std::uint64_t{0};
    static constexpr int kMaxLevels = 7;  // 64^6 > 2^33 slots

    LevelBitset() = default;
    LevelBitset(const LevelBitset&) = delete;
    LevelBitset& operator=(const LevelBitset&) = delete;
    ~LevelBitset() { release(); }

    // Allocates `bits` clear bits; false when memory is short (the bitset is then empty).
    bool allocate(std::uint64_t bits) noexcept {
        release();
        if (bits == 0) return true;
        std::uint64_t n = bits;
        int levels = 0;
        do {
            const std::uint64_t words = (n + 63) / 64;
            if (levels == kMaxLevels) {
                release();
                return false;
            }
            words_[levels] = words;
            level_[levels] =
                static_cast<std::uint64_t*>(std::calloc(static_cast<std::size_t>(words), sizeof(std::uint64_t)));
            if (level_[levels] == nullptr) {
                release();
                return false;
            }
            ++levels;
            levels_ = levels;
            n = words;
        } while (n > 1);
        bits_ = bits;
        return true;
    }

    void release() noexcept {
        for (int l = 0; l < levels_; ++l) {
            std::free(level_[l]);
            level_[l] = nullptr;
            words_[l] = 0;
        }
        levels_ = 0;
        bits_ = 0;
    }

    void swap(LevelBitset& other) noexcept {
        for (int l = 0; l < kMaxLevels; ++l) {
            std::swap(level_[l], other.level_[l]);
            std::swap(words_[l], other.words_[l]);
        }
        std::swap(levels_, other.levels_);
        std::swap(bits_, other.bits_);
    }

    std::uint64_t size() const noexcept { return bits_; }

    bool test(std::uint64_t i) const noexcept { return i < bits_ && (level_[0][i >> 6] >> (i & 63)) & 1u; }

    void set(std::uint64_t i) noexcept {
        for (int l = 0; l < levels_; ++l) {
            std::uint64_t& w = level_[l][i >> 6];
            const bool was_zero = w == 0;
            w |= std::uint64_t{1} << (i & 63);
            if (!was_zero) return;
            i >>= 6;
        }
    }

    void reset(std::uint64_t i) noexcept {
        for (int l = 0; l < levels_; ++l) {
            std::uint64_t& w = level_[l][i >> 6];
            w &= ~(std::uint64_t{1} << (i & 63));
            if (w != 0) return;
            i >>= 6;
        }
    }

    // First set bit at index >= pos, or npos.
    std::uint64_t find_next(std::uint64_t pos) const noexcept { return find_at(0, pos); }

private:
    std::uint64_t find_at(int l, std::uint64_t pos) const noexcept {
        if (l >= levels_) return npos;
        const std::uint64_t w = pos >> 6;
        if (w >= words_[l]) return npos;
        const std::uint64_t m = level_[l][w] & (~std::uint64_t{0} << (pos & 63));
        if (m != 0) return (w << 6) | static_cast<std::uint64_t>(std::countr_zero(m));
        const std::uint64_t next_word = find_at(l + 1, w + 1);
        if (next_word == npos) return npos;
        return (next_word << 6) | static_cast<std::uint64_t>(std::countr_zero(level_[l][next_word]));
    }

    std::uint64_t* level_[kMaxLevels] = {};
    std::uint64_t words_[kMaxLevels] = {};
    int levels_ = 0;
    std::uint64_t bits_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Bucket table: size-class buckets of free block offsets, each used last in, first out.
//
// The keys are range(step, small_max + 1, step) followed by
// range(small_max + step, medium_max + 1, step). Both are arithmetic progressions and every key of
// the second exceeds every key of the first, so a slot number (the key's position in ascending
// order) is computed from the key rather than searched. Slot storage is zeroed memory where an
// empty bucket is all-zero, so untouched buckets of a large table cost no pages. One LevelBitset
// marks the non-empty slots for the ascending scan of larger buckets, another the slots that own
// storage, so that release touches only those.
// ---------------------------------------------------------------------------------------------

class BucketTable {
public:
    enum class Status { ok, no_memory };

    struct Slot {
        std::int32_t* data;
        std::uint32_t size;
        std::uint32_t capacity;
    };

    BucketTable() = default;
    BucketTable(const BucketTable&) = delete;
    BucketTable& operator=(const BucketTable&) = delete;
    ~BucketTable() { release(); }

    // Set up (or set up again) the keys for these parameters with every bucket empty. The caller
    // rejects step == 0 beforehand. On no_memory the previous table is left as it was.
    Status init(std::int32_t step, std::int32_t small_max, std::int32_t medium_max) noexcept {
        std::int64_t n_first = 0, n_second = 0;
        const std::int64_t second_start = std::int64_t{small_max} + step;
        if (step > 0) {
            if (small_max >= step) n_first = small_max / step;
            if (medium_max >= second_start) n_second = (std::int64_t{medium_max} - second_start) / step + 1;
        }
        const std::uint64_t count = static_cast<std::uint64_t>(n_first + n_second);
        Slot* slots = nullptr;
        LevelBitset nonempty, owned;
        if (count > 0) {
            slots = static_cast<Slot*>(std::calloc(static_cast<std::size_t>(count), sizeof(Slot)));
            if (slots == nullptr || !nonempty.allocate(count) || !owned.allocate(count)) {
                std::free(slots);
                return Status::no_memory;
            }
        }
        release();
        slots_ = slots;
        count_ = count;
        nonempty_.swap(nonempty);
        owned_.swap(owned);
        step_ = step;
        small_max_ = small_max;
        n_first_ = n_first;
        second_start_ = second_start;
        medium_max_ = medium_max;
        has_keys_ = true;
        return Status::ok;
    }

    bool has_keys() const noexcept { return has_keys_; }
    std::uint64_t bucket_count() const noexcept { return count_; }
    static constexpr std::uint64_t npos = LevelBitset::npos;

    // Slot number of `key`, or npos when it is not a bucket size.
    std::uint64_t slot_of(std::int32_t key) const noexcept {
        if (count_ == 0) return npos;
        const std::int64_t k = key;
        if (k >= step_ && k <= small_max_ && k % step_ == 0) return static_cast<std::uint64_t>(k / step_ - 1);
        if (k >= second_start_ && k <= medium_max_ && (k - second_start_) % step_ == 0)
            return static_cast<std::uint64_t>(n_first_ + (k - second_start_) / step_);
        return npos;
    }

    std::int32_t key_of(std::uint64_t slot) const noexcept {
        const std::int64_t s = static_cast<std::int64_t>(slot);
        const std::int64_t k = s < n_first_ ? (s + 1) * step_ : second_start_ + (s - n_first_) * step_;
        return static_cast<std::int32_t>(k);
    }

    // First slot whose key is strictly greater than `x`, or count when there is none.
    std::uint64_t first_slot_above(std::int32_t x) const noexcept {
        if (count_ == 0) return 0;
        if (n_first_ > 0) {
            const std::int64_t i = x < step_ ? 0 : std::int64_t{x} / step_;
            if (i < n_first_) return static_cast<std::uint64_t>(i);
        }
        const std::int64_t j = x < second_start_ ? 0 : (std::int64_t{x} - second_start_) / step_ + 1;
        const std::int64_t n_second = static_cast<std::int64_t>(count_) - n_first_;
        return j < n_second ? static_cast<std::uint64_t>(n_first_ + j) : count_;
    }

    // Appends `offset` to bucket `key`. false (and no change) when `key` is not a bucket size;
    // no_memory when the bucket cannot grow.
    bool push(std::int32_t key, std::int32_t offset, Status& status) noexcept {
        status = Status::ok;
        const std::uint64_t s = slot_of(key);
        if (s == npos) return false;
        Slot& slot = slots_[s];
        if (slot.size == slot.capacity) {
            if (!grow(slot)) {
                status = Status::no_memory;
                return false;
            }
            owned_.set(s);
        }
        slot.data[slot.size++] = offset;
        if (slot.size == 1) nonempty_.set(s);
        return true;
    }

    // Removes the most recently added offset of bucket `key`; false when it is no key or empty.
    bool pop(std::int32_t key, std::int32_t& offset) noexcept {
        const std::uint64_t s = slot_of(key);
        if (s == npos || slots_[s].size == 0) return false;
        offset = pop_slot(s);
        return true;
    }

    // The own bucket's newest offset if the request fits it, else the newest offset of the first
    // larger non-empty bucket that it fits; only the newest offset of a bucket is looked at. The
    // chosen offset leaves its bucket; the others stay where they were.
    bool take_best_fit(std::int32_t bucket, std::int32_t size, std::int32_t alignment, std::int32_t& offset) noexcept {
        const std::uint64_t own = slot_of(bucket);
        if (own != npos && slots_[own].size != 0) {
            const Slot& slot = slots_[own];
            if (fits_in_block(slot.data[slot.size - 1], bucket, size, alignment)) {
                offset = pop_slot(own);
                return true;
            }
        }
        for (std::uint64_t s = nonempty_.find_next(first_slot_above(bucket)); s != npos;
             s = nonempty_.find_next(s + 1)) {
            const Slot& slot = slots_[s];
            if (fits_in_block(slot.data[slot.size - 1], key_of(s), size, alignment)) {
                offset = pop_slot(s);
                return true;
            }
        }
        return false;
    }

    // Number of offsets in bucket `key` (0 for a non-key).
    std::uint32_t bucket_length(std::int32_t key) const noexcept {
        const std::uint64_t s = slot_of(key);
        return s == npos ? 0 : slots_[s].size;
    }

    void release() noexcept {
        if (slots_ != nullptr) {
            for (std::uint64_t s = owned_.find_next(0); s != npos; s = owned_.find_next(s + 1))
                std::free(slots_[s].data);
            std::free(slots_);
            slots_ = nullptr;
        }
        nonempty_.release();
        owned_.release();
        count_ = 0;
        has_keys_ = false;
    }

private:
    std::int32_t pop_slot(std::uint64_t s) noexcept {
        Slot& slot = slots_[s];
        const std::int32_t offset = slot.data[--slot.size];
        if (slot.size == 0) nonempty_.reset(s);  // storage is kept for the next push
        return offset;
    }

    static bool grow(Slot& slot) noexcept {
        if (slot.capacity > UINT32_MAX / 2) return false;
        const std::uint32_t capacity = slot.capacity == 0 ? 4 : slot.capacity * 2;
        void* data = std::realloc(slot.data, std::size_t{capacity} * sizeof(std::int32_t));
        if (data == nullptr) return false;
        slot.data = static_cast<std::int32_t*>(data);
        slot.capacity = capacity;
        return true;
    }

    Slot* slots_ = nullptr;
    std::uint64_t count_ = 0;
    LevelBitset nonempty_;  // slots holding at least one offset
    LevelBitset owned_;     // slots owning storage (freed on release)
    std::int64_t step_ = 0;
    std::int64_t small_max_ = 0;
    std::int64_t n_first_ = 0;
    std::int64_t second_start_ = 0;
    std::int64_t medium_max_ = 0;
    bool has_keys_ = false;
};

}  // namespace quarvel::bucket_pool
