// The cache is per thread, so it stays out of the module state: it belongs
// to the Python thread state rather than to a C++ thread_local. It lives in
// the thread state's dict as a capsule, so the interpreter drops it when it
// clears that thread state, with the GIL held and while the interpreter can
// still release objects. A thread_local destructor would run at thread exit
// without the GIL, possibly after finalisation, where releasing the names is
// not safe. Tying the cache to the thread state also keeps the objects of one
// interpreter out of another; module objects of one interpreter share it,
// since it holds only str and bytes names.
#include "python/name_cache.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "python/decode.hpp"
#include "python/errors.hpp"

namespace molvane::py {

namespace {

constexpr size_t kMaxNameBytes = 64;
constexpr size_t kMaxNames = 4096;
constexpr size_t kSlotCount = 2 * kMaxNames;  // a power of two: at most half full
constexpr const char* kCapsuleName = "molvane.native.record_name_cache";

uint64_t hash_name(std::string_view name) noexcept {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : name)
        hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

// Names of at most kMaxNameBytes bytes and their objects, in open addressing.
class NameTable {
  public:
    PyObject* find(std::string_view name, uint64_t hash) const noexcept {
        if (slots_.empty()) return nullptr;
        for (size_t slot = hash & (kSlotCount - 1);; slot = (slot + 1) & (kSlotCount - 1)) {
            uint16_t index = slots_[slot];
            if (index == 0) return nullptr;
            const Entry& entry = entries_[index - 1];
            if (entry.hash == hash && entry.key() == name) return entry.object.get();
        }
    }

    void add(std::string_view name, uint64_t hash, Ref object) {
        if (entries_.size() >= kMaxNames) clear();
        if (slots_.empty()) slots_.assign(kSlotCount, 0);
        Entry& entry = entries_.emplace_back();
        entry.hash = hash;
        entry.size = static_cast<uint8_t>(name.size());
        std::memcpy(entry.bytes.data(), name.data(), name.size());
        entry.object = std::move(object);
        size_t slot = hash & (kSlotCount - 1);
        while (slots_[slot] != 0)
            slot = (slot + 1) & (kSlotCount - 1);
        slots_[slot] = static_cast<uint16_t>(entries_.size());
    }

    // Drops every entry and its object at once.
    void clear() noexcept {
        entries_.clear();
        std::fill(slots_.begin(), slots_.end(), 0);
    }

  private:
    struct Entry {
        uint64_t hash = 0;
        std::array<char, kMaxNameBytes> bytes;
        uint8_t size = 0;
        Ref object;
        std::string_view key() const noexcept { return {bytes.data(), size}; }
    };
    std::vector<Entry> entries_;
    std::vector<uint16_t> slots_;  // entry index + 1, 0 for an empty slot
};

}  // namespace

struct NameCache {
    NameTable str_names;
    NameTable bytes_names;
    // Set while an operation uses the cache: making a name object can run
    // Python code (a garbage collection), which may read records again.
    bool in_use = false;
};

namespace {

void destroy_cache(PyObject* capsule) {
    delete static_cast<NameCache*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// This thread's cache, created on first use, or null when the thread has no
// state dict to keep it in. `holder` keeps the cache alive while it is used.
NameCache* thread_cache(Ref& holder, PyObject* key) {
    PyObject* dict = PyThreadState_GetDict();
    if (!dict) return nullptr;
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found) {
        holder = Ref::borrow(found);
        auto* cache = static_cast<NameCache*>(PyCapsule_GetPointer(found, kCapsuleName));
        if (!cache) throw PythonError{};
        return cache;
    }
    throw_if_error();
    auto cache = std::make_unique<NameCache>();
    Ref capsule = Ref::check(PyCapsule_New(cache.get(), kCapsuleName, destroy_cache));
    NameCache* pointer = cache.release();  // owned by the capsule from here on
    if (PyDict_SetItem(dict, key, capsule.get()) < 0) throw PythonError{};
    holder = std::move(capsule);
    return pointer;
}

class CacheUse {
  public:
    explicit CacheUse(NameCache& cache) noexcept : cache_(cache) { cache_.in_use = true; }
    ~CacheUse() { cache_.in_use = false; }
    CacheUse(const CacheUse&) = delete;
    CacheUse& operator=(const CacheUse&) = delete;

  private:
    NameCache& cache_;
};

}  // namespace

RecordNames::RecordNames(const core::Block& block, const ModuleState& state)
    : block_(block), cache_(thread_cache(holder_, state.names.name_cache_key.get())) {}

Ref RecordNames::make(std::string_view name) {
    if (name.size() > kMaxNameBytes || !cache_ || cache_->in_use)
        return record_object(block_, name, name);
    CacheUse use(*cache_);
    NameTable& table = block_.is_bytes ? cache_->bytes_names : cache_->str_names;
    const uint64_t hash = hash_name(name);
    if (PyObject* cached = table.find(name, hash)) return Ref::borrow(cached);
    Ref object = record_object(block_, name, name);
    table.add(name, hash, object);
    return object;
}

}  // namespace molvane::py
