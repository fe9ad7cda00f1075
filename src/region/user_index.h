// The user index: a named object beside the region (like the statistics, with a layout
// stamp and the region's access rules, made and removed with the region by the server)
// that finds a user's slot from the case-folded (domain name, user name) pair in a
// probe or two instead of a scan of the user table. It is an open-addressing hash table
// with linear probing, sized from the user capacity, keyed with a seed that each server
// start chooses afresh, so that no local user can pick names that collide.
//
// The region and the cache file stay as they were; the index is only ever a hint.
// Everything it names is checked against the table (in use, below the mark, both names
// equal) before anyone answers from it, and whoever finds it wrong or silent scans the
// table as before and mends it. So processes of older builds, which change the table
// without it, a hand-made cache file or a damaged index cost a scan, never an answer.
//
// The same object keeps failed directory answers for a while, machine-wide, when the
// server was started with negative-cache-seconds above 0.
//
// Everything here expects the caller to hold the global cache mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/object_access.h"
#include "region/layout.h"
#include "region/locks.h"
#include "region/region_check.h"
#include "region/text.h"

namespace tq5::region {

// The object's header. Fixed-width fields at offsets that 32-bit and 64-bit builds agree
// on; the magic, the layout's version and the header's size come first, so that a
// process of another build refuses a layout it would misread.
struct IndexHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t headerSize;
  uint32_t size;  // the object's bytes that the layout uses
  uint64_t seed[2];
  uint32_t userCapacity;     // of the region the index belongs to
  uint32_t bucketCount;      // a power of two
  uint32_t entries;          // occupied buckets
  uint32_t negativeSeconds;  // how long a failed answer is kept; 0: none is
  uint32_t negativeCount;    // slots for failed answers (0 or a power of two)
  uint32_t reserved;
  uint64_t forgotten;  // raised whenever failed answers are forgotten
};
static_assert(sizeof(IndexHeader) == 64);
static_assert(offsetof(IndexHeader, seed) == 16);
static_assert(offsetof(IndexHeader, userCapacity) == 32);
static_assert(offsetof(IndexHeader, forgotten) == 56);

// One bucket: the key's hash (its low 32 bits) and the slot plus one; 0: empty.
struct IndexBucket {
  uint32_t hash;
  uint32_t slotPlusOne;
};
static_assert(sizeof(IndexBucket) == 8);

// A failed answer kept for a user that is not cached.
struct FailedAnswer {
  int64_t expiresAt;  // seconds since 1970; 0: a free slot
  int32_t code;       // the ResultCode the fetch answered
  uint32_t hash;
  char domainName[kTextSize];
  char userName[kTextSize];
};
static_assert(sizeof(FailedAnswer) == 144);
static_assert(offsetof(FailedAnswer, domainName) == 16);

// The longest a failed answer may be kept.
inline constexpr uint32_t kMaxNegativeSeconds = 86400;

// The index of the region whose tables are bound, as this thread's hold of the mutex
// reaches it. Without an object of this layout made for the table's capacity it is
// inactive: it finds nothing, keeps nothing, and every change to it is a no-op.
class UserIndex {
 public:
  UserIndex() = default;
  static UserIndex Of(const RegionTables& tables);

  bool active() const { return header_ != nullptr; }

  // The slot the index names for the pair, checked against the table: in use, below the
  // scan limit, both names equal. -1 when it names none (or only wrong ones).
  int32_t Find(const TextField& domainName, const TextField& userName) const;
  // The user now stored at `slot` (its names written) goes in; where the index names an
  // earlier slot of the same pair, that one stays (a search answers the first).
  void Insert(int32_t slot) const;
  // The user at `slot` is about to be freed: every bucket naming the slot goes.
  void Remove(int32_t slot) const;
  // Every bucket emptied (the whole table is about to be emptied).
  void Clear() const;
  // Built again from the table, every in-use user below the mark at its first slot.
  void Rebuild() const;
  // What disagrees between the index and the table, one line each.
  std::vector<std::string> Disagreements() const;

  // ---- Failed answers ----
  bool keepsFailedAnswers() const { return active() && header_->negativeCount > 0; }
  // The failed answer kept for the pair, if one is and has not expired.
  bool FailedAnswerOf(const TextField& domainName, const TextField& userName,
                      ResultCode* code) const;
  // Keeps `code` for the pair, unless a forget came since `since` (a fetch that such a
  // change overtook).
  void KeepFailedAnswer(const TextField& domainName, const TextField& userName, ResultCode code,
                        uint64_t since) const;
  // Where the forgets are now, for KeepFailedAnswer: one server's count of them, told
  // apart from another's by its seed.
  uint64_t forgotten() const { return active() ? header_->forgotten ^ seed_[0] : 0; }
  // Forgets the pair's failed answer; true when one was kept (expired or not).
  bool ForgetFailedAnswer(const TextField& domainName, const TextField& userName) const;
  void ForgetAllFailedAnswers() const;
  // The failed answers that have not expired.
  std::vector<FailedAnswer> FailedAnswers() const;

 private:
  uint64_t Hash(const TextField& domainName, const TextField& userName) const;
  // Whether the user at `slot` is in use below the mark with both names equal.
  bool Holds(int64_t slot, const TextField& domainName, const TextField& userName) const;
  bool Place(uint32_t hash, int32_t slot) const;
  void EmptyBucket(uint32_t at) const;
  bool Stale(const IndexBucket& bucket) const;
  bool Matches(const FailedAnswer& answer, uint32_t hash, const TextField& domainName,
               const TextField& userName) const;

  // Bounds and seed as read once when the object was bound: any process may write the
  // header, and the bounds used must be the ones checked.
  IndexHeader* header_ = nullptr;
  IndexBucket* buckets_ = nullptr;
  FailedAnswer* answers_ = nullptr;
  uint32_t mask_ = 0;
  uint32_t answerMask_ = 0;
  uint64_t seed_[2] = {0, 0};
  RegionTables tables_;
};

// ---- The server's object, with the global cache mutex held -------------------------
// Made right after the region, sized for `userCapacity` users, with a new seed; it
// keeps failed answers for `negativeSeconds` (0: none). Without it the cache works the
// same, only by scans.
ResultCode CreateUserIndex(const platform::ObjectAccess& access, int32_t userCapacity,
                           uint32_t negativeSeconds);
// Removed with the region.
void RemoveUserIndex();
// The index of the process's own region rebuilt from its table (after the start-up has
// filled it from the cache file, and after a repair).
void RebuildUserIndex() TQ5_REQUIRES(cacheMutexCapability);

// Appends what disagrees between the index and the table of `region` to `findings`; with
// `repair`, the index is built again from the table, whatever it held.
void CheckUserIndex(const MappedRegion& region, bool repair, RegionFindings* findings)
    TQ5_REQUIRES(cacheMutexCapability);

// The setting that says how long failed answers are kept, as the server reads it at its
// start: 0 unless negative-cache-seconds is a whole number of seconds from 1 to
// kMaxNegativeSeconds.
inline constexpr const char* kNegativeCacheSetting = "negative-cache-seconds";
uint32_t NegativeCacheSeconds();
// Whether `value` is a value the setting takes (empty counts: the default).
bool NegativeCacheValueValid(const std::string& value);

}  // namespace tq5::region
