#include "region/user_index.h"

#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>

#include "platform/platform.h"
#include "platform/settings.h"
#include "region/locks.h"
#include "region/region_check.h"
#include "region/region_state.h"

namespace tq5::region {

namespace {

constexpr uint32_t kMagic = 0x58355154;  // "TQ5X"
constexpr uint32_t kLayoutVersion = 1;
// At least twice as many buckets as users: probes stay short, and a table that fills
// up with what processes of older builds left behind is built again well before it is
// full.
constexpr uint32_t kMinBuckets = 16;
// Failed answers: how many are kept, and how far from its place one may be found.
constexpr uint32_t kFailedAnswers = 1024;
constexpr uint32_t kAnswerProbes = 8;
// `orvcache check` shows this many disagreements and counts the rest.
constexpr std::size_t kMaxLines = 20;

uint64_t BucketCountFor(int32_t userCapacity) {
  uint64_t count = kMinBuckets;
  while (count < 2 * static_cast<uint64_t>(userCapacity)) count *= 2;
  return count;
}

uint64_t ObjectSize(uint64_t buckets, uint64_t answers) {
  return sizeof(IndexHeader) + sizeof(IndexBucket) * buckets + sizeof(FailedAnswer) * answers;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// ---- SipHash-2-4: a keyed hash whose collisions cannot be found without the key -----

uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;
  void Round() {
    v0 += v1;
    v1 = Rotl(v1, 13);
    v1 ^= v0;
    v0 = Rotl(v0, 32);
    v2 += v3;
    v3 = Rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = Rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = Rotl(v1, 17);
    v1 ^= v2;
    v2 = Rotl(v2, 32);
  }
  void Absorb(uint64_t m) {
    v3 ^= m;
    Round();
    Round();
    v0 ^= m;
  }
};

uint64_t SipHash(const uint64_t key[2], const uint8_t* bytes, std::size_t length) {
  SipState s{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
             key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
  const std::size_t whole = length / 8 * 8;
  for (std::size_t i = 0; i < whole; i += 8) {
    uint64_t m = 0;
    for (int k = 7; k >= 0; --k) m = (m << 8) | bytes[i + static_cast<std::size_t>(k)];
    s.Absorb(m);
  }
  uint64_t last = static_cast<uint64_t>(length & 0xff) << 56;
  for (std::size_t k = 0; k < length - whole; ++k) {
    last |= static_cast<uint64_t>(bytes[whole + k]) << (8 * k);
  }
  s.Absorb(last);
  s.v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) s.Round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// Appends the field's text, A-Z folded to a-z, up to its NUL or its end; its length.
std::size_t AppendFolded(const TextField& field, uint8_t* out) {
  std::size_t n = 0;
  while (n < kTextSize && field[n] != '\0') {
    out[n] = static_cast<uint8_t>(platform::LowerAscii(field[n]));
    ++n;
  }
  return n;
}

std::string Label(const UserEntry& user) {
  return std::string(user.domainName, strnlen(user.domainName, kTextSize)) + "\\" +
         std::string(user.userName, strnlen(user.userName, kTextSize));
}

// The server's own object, from its region's creation to its removal.
platform::SideObject*& ServerObject() {
  static platform::SideObject* object = nullptr;
  return object;
}

}  // namespace

UserIndex UserIndex::Of(const RegionTables& tables) {
  UserIndex index;
  platform::GlobalMutex* held = HeldCacheMutex();
  if (!held) return index;
  std::size_t mapped = 0;
  auto* header = static_cast<IndexHeader*>(platform::SideObjectView(
      held, platform::SideObjectKind::Index, sizeof(IndexHeader), &mapped));
  if (!header || header->magic != kMagic || header->version != kLayoutVersion ||
      header->headerSize != sizeof(IndexHeader) || header->size > mapped ||
      header->userCapacity != static_cast<uint32_t>(tables.userCapacity())) {
    return index;
  }
  // Read once: any process may write the header, and the bounds used below must be the
  // ones checked here.
  const uint32_t buckets = header->bucketCount;
  const uint32_t answers = header->negativeCount;
  if (buckets == 0 || (buckets & (buckets - 1)) != 0 || (answers & (answers - 1)) != 0 ||
      ObjectSize(buckets, answers) != header->size) {
    return index;
  }
  auto* base = reinterpret_cast<uint8_t*>(header);
  index.header_ = header;
  index.buckets_ = reinterpret_cast<IndexBucket*>(base + sizeof(IndexHeader));
  index.answers_ =
      answers ? reinterpret_cast<FailedAnswer*>(base + ObjectSize(buckets, 0)) : nullptr;
  index.mask_ = buckets - 1;
  index.seed_[0] = header->seed[0];
  index.seed_[1] = header->seed[1];
  index.answerMask_ = answers ? answers - 1 : 0;
  index.tables_ = tables;
  return index;
}

uint64_t UserIndex::Hash(const TextField& domainName, const TextField& userName) const {
  // The domain's length first, so that no two pairs give the same bytes.
  uint8_t bytes[1 + 2 * kTextSize];
  const std::size_t domain = AppendFolded(domainName, bytes + 1);
  bytes[0] = static_cast<uint8_t>(domain);
  const std::size_t user = AppendFolded(userName, bytes + 1 + domain);
  return SipHash(seed_, bytes, 1 + domain + user);
}

bool UserIndex::Holds(int64_t slot, const TextField& domainName, const TextField& userName) const {
  if (slot < 0 || slot >= tables_.userScanLimit()) return false;
  const UserEntry& user = *tables_.user(slot);
  return user.inUse == 1 && EqualsIgnoringAsciiCase(user.userName, userName) &&
         EqualsIgnoringAsciiCase(user.domainName, domainName);
}

int32_t UserIndex::Find(const TextField& domainName, const TextField& userName) const {
  if (!active()) return -1;
  const auto hash = static_cast<uint32_t>(Hash(domainName, userName));
  for (uint32_t i = 0, at = hash & mask_; i <= mask_; ++i, at = (at + 1) & mask_) {
    const IndexBucket bucket = buckets_[at];
    if (bucket.slotPlusOne == 0) return -1;
    const int64_t slot = static_cast<int64_t>(bucket.slotPlusOne) - 1;
    if (bucket.hash != hash) continue;
    // In a large table the entry is rarely in a cache: its first line (in use, the
    // committed set) and the lines of its names and last access are asked for at once,
    // so that their misses overlap instead of following one another.
    if (const UserEntry* user = tables_.user(slot)) {
      const char* bytes = reinterpret_cast<const char*>(user);
      __builtin_prefetch(bytes);
      __builtin_prefetch(bytes + offsetof(UserEntry, lastAccess));
      __builtin_prefetch(bytes + offsetof(UserEntry, userName));
      __builtin_prefetch(bytes + sizeof(UserEntry) - 1);
    }
    if (Holds(slot, domainName, userName)) return static_cast<int32_t>(slot);
  }
  return -1;
}

void UserIndex::Insert(int32_t slot) const {
  if (!active() || slot < 0 || slot >= tables_.userCapacity()) return;
  const UserEntry& user = *tables_.user(slot);
  // A full index, or one that the leftovers of other builds have filled well beyond the
  // users it was sized for, is built again.
  if (!Place(static_cast<uint32_t>(Hash(user.domainName, user.userName)), slot) ||
      header_->entries > mask_ / 4 * 3) {
    Rebuild();
  }
}

// Puts the slot in the bucket its hash leads to. A bucket on the way that names the
// same pair keeps the earlier slot; one that names a slot no longer in use (left by a
// process that freed it without the index) is taken over. False when no bucket is free.
bool UserIndex::Place(uint32_t hash, int32_t slot) const {
  const UserEntry& user = *tables_.user(slot);
  const auto plusOne = static_cast<uint32_t>(slot) + 1;
  int64_t reuse = -1;
  int64_t empty = -1;
  for (uint32_t i = 0, at = hash & mask_; i <= mask_; ++i, at = (at + 1) & mask_) {
    IndexBucket& bucket = buckets_[at];
    if (bucket.slotPlusOne == 0) {
      empty = at;
      break;
    }
    if (bucket.slotPlusOne == plusOne) {
      bucket.hash = hash;
      return true;
    }
    const int64_t named = static_cast<int64_t>(bucket.slotPlusOne) - 1;
    if (bucket.hash == hash && Holds(named, user.domainName, user.userName)) {
      if (named > slot) bucket.slotPlusOne = plusOne;
      return true;
    }
    if (reuse < 0 && Stale(bucket)) reuse = at;
  }
  if (reuse >= 0) {
    buckets_[reuse] = IndexBucket{hash, plusOne};
    return true;
  }
  if (empty < 0) return false;
  buckets_[empty] = IndexBucket{hash, plusOne};
  ++header_->entries;
  return true;
}

void UserIndex::Remove(int32_t slot) const {
  if (!active() || slot < 0 || slot >= tables_.userCapacity()) return;
  const UserEntry& user = *tables_.user(slot);
  const auto hash = static_cast<uint32_t>(Hash(user.domainName, user.userName));
  const auto plusOne = static_cast<uint32_t>(slot) + 1;
  uint32_t at = hash & mask_;
  for (uint32_t i = 0; i <= mask_; ++i) {
    const IndexBucket bucket = buckets_[at];
    if (bucket.slotPlusOne == 0) return;
    if (bucket.slotPlusOne == plusOne) {
      EmptyBucket(at);  // a later bucket may have moved into `at`: look at it again
    } else {
      at = (at + 1) & mask_;
    }
  }
}

// Whether the bucket names a slot that no longer holds the user it was put there for: a
// free slot, or one whose user's names hash otherwise (freed and taken again by a
// process that does not keep the index).
bool UserIndex::Stale(const IndexBucket& bucket) const {
  const UserEntry* user = tables_.user(static_cast<int64_t>(bucket.slotPlusOne) - 1);
  return !user || user->inUse != 1 ||
         static_cast<uint32_t>(Hash(user->domainName, user->userName)) != bucket.hash;
}

// Empties the bucket at `at` and moves each later bucket of the run back into the gap
// when its hash leads to the gap or before it, so that no probe stops short of it.
void UserIndex::EmptyBucket(uint32_t at) const {
  uint32_t hole = at;
  for (uint32_t i = 0, next = (at + 1) & mask_; i < mask_; ++i, next = (next + 1) & mask_) {
    const IndexBucket bucket = buckets_[next];
    if (bucket.slotPlusOne == 0) break;
    const uint32_t home = bucket.hash & mask_;
    if (((next - home) & mask_) >= ((next - hole) & mask_)) {
      buckets_[hole] = bucket;
      hole = next;
    }
  }
  buckets_[hole] = IndexBucket{0, 0};
  if (header_->entries > 0) --header_->entries;
}

void UserIndex::Clear() const {
  if (!active()) return;
  std::memset(buckets_, 0, sizeof(IndexBucket) * (static_cast<std::size_t>(mask_) + 1));
  header_->entries = 0;
}

void UserIndex::Rebuild() const {
  if (!active()) return;
  Clear();
  // In slot order, so that of users with the same pair the first is the one named.
  for (int32_t slot = 0; slot < tables_.userScanLimit(); ++slot) {
    const UserEntry& user = *tables_.user(slot);
    if (user.inUse == 1) Place(static_cast<uint32_t>(Hash(user.domainName, user.userName)), slot);
  }
}

std::vector<std::string> UserIndex::Disagreements() const {
  std::vector<std::string> lines;
  if (!active()) return lines;
  std::size_t more = 0;
  auto note = [&](std::string line) {
    if (lines.size() < kMaxLines) {
      lines.push_back("user index: " + std::move(line));
    } else {
      ++more;
    }
  };
  // Each user must be found at its first slot: what Find answers holds the same pair, so
  // an answer before the slot means the slot is a later one of the pair, and one after it
  // means the index skips this earlier one.
  for (int32_t slot = 0; slot < tables_.userScanLimit(); ++slot) {
    const UserEntry& user = *tables_.user(slot);
    if (user.inUse != 1) continue;
    const int32_t found = Find(user.domainName, user.userName);
    if (found < 0) {
      note("user " + std::to_string(slot) + " (" + Label(user) + ") is not in it");
    } else if (found > slot) {
      note("it names user " + std::to_string(found) + " for " + Label(user) +
           ", whose first slot is " + std::to_string(slot));
    }
  }
  uint32_t occupied = 0;
  for (uint32_t at = 0; at <= mask_; ++at) {
    const IndexBucket bucket = buckets_[at];
    if (bucket.slotPlusOne == 0) continue;
    ++occupied;
    const int64_t slot = static_cast<int64_t>(bucket.slotPlusOne) - 1;
    const UserEntry* user = slot < tables_.userScanLimit() ? tables_.user(slot) : nullptr;
    if (!user || user->inUse != 1) {
      note("bucket " + std::to_string(at) + " names user " + std::to_string(slot) +
           ", which is not in use");
    } else if (static_cast<uint32_t>(Hash(user->domainName, user->userName)) != bucket.hash) {
      note("bucket " + std::to_string(at) + " names user " + std::to_string(slot) + " (" +
           Label(*user) + ") under another user's hash");
    }
  }
  if (occupied != header_->entries) {
    note("it counts " + std::to_string(header_->entries) + " entries, holds " +
         std::to_string(occupied));
  }
  if (more) lines.push_back("user index: and " + std::to_string(more) + " more");
  return lines;
}

// ---- Failed answers ------------------------------------------------------------------

bool UserIndex::Matches(const FailedAnswer& answer, uint32_t hash, const TextField& domainName,
                        const TextField& userName) const {
  return answer.expiresAt != 0 && answer.hash == hash &&
         EqualsIgnoringAsciiCase(answer.userName, userName) &&
         EqualsIgnoringAsciiCase(answer.domainName, domainName);
}

bool UserIndex::FailedAnswerOf(const TextField& domainName, const TextField& userName,
                               ResultCode* code) const {
  if (!keepsFailedAnswers()) return false;
  const auto hash = static_cast<uint32_t>(Hash(domainName, userName));
  const int64_t now = Now();
  const int64_t longest = header_->negativeSeconds;
  for (uint32_t i = 0; i < kAnswerProbes; ++i) {
    const FailedAnswer& answer = answers_[(hash + i) & answerMask_];
    if (!Matches(answer, hash, domainName, userName)) continue;
    // A clock set back must not keep an answer longer than the setting says.
    if (now >= answer.expiresAt || answer.expiresAt - now > longest) return false;
    *code = answer.code;
    return true;
  }
  return false;
}

void UserIndex::KeepFailedAnswer(const TextField& domainName, const TextField& userName,
                                 ResultCode code, uint64_t since) const {
  if (!keepsFailedAnswers() || forgotten() != since) return;
  const uint32_t seconds = header_->negativeSeconds;
  if (seconds == 0 || seconds > kMaxNegativeSeconds) return;
  const auto hash = static_cast<uint32_t>(Hash(domainName, userName));
  const int64_t now = Now();
  // The pair's own slot, else a free or expired one, else the one that expires first.
  auto rank = [now](const FailedAnswer& answer) {
    return answer.expiresAt <= now ? 0 : answer.expiresAt;
  };
  FailedAnswer* target = nullptr;
  for (uint32_t i = 0; i < kAnswerProbes; ++i) {
    FailedAnswer& answer = answers_[(hash + i) & answerMask_];
    if (Matches(answer, hash, domainName, userName)) {
      target = &answer;
      break;
    }
    if (!target || rank(answer) < rank(*target)) target = &answer;
  }
  FailedAnswer kept{};
  kept.expiresAt = now + seconds;
  kept.code = code;
  kept.hash = hash;
  std::memcpy(kept.domainName, domainName, kTextSize);
  std::memcpy(kept.userName, userName, kTextSize);
  kept.domainName[kTextSize - 1] = kept.userName[kTextSize - 1] = '\0';
  *target = kept;
}

bool UserIndex::ForgetFailedAnswer(const TextField& domainName, const TextField& userName) const {
  if (!keepsFailedAnswers()) return false;
  ++header_->forgotten;
  const auto hash = static_cast<uint32_t>(Hash(domainName, userName));
  bool found = false;
  for (uint32_t i = 0; i < kAnswerProbes; ++i) {
    FailedAnswer& answer = answers_[(hash + i) & answerMask_];
    if (Matches(answer, hash, domainName, userName)) {
      answer = FailedAnswer{};
      found = true;
    }
  }
  return found;
}

void UserIndex::ForgetAllFailedAnswers() const {
  if (!keepsFailedAnswers()) return;
  ++header_->forgotten;
  std::memset(answers_, 0, sizeof(FailedAnswer) * (static_cast<std::size_t>(answerMask_) + 1));
}

std::vector<FailedAnswer> UserIndex::FailedAnswers() const {
  std::vector<FailedAnswer> kept;
  if (!keepsFailedAnswers()) return kept;
  const int64_t now = Now();
  for (uint32_t i = 0; i <= answerMask_; ++i) {
    const FailedAnswer& answer = answers_[i];
    if (answer.expiresAt > now && answer.expiresAt - now <= header_->negativeSeconds) {
      kept.push_back(answer);
    }
  }
  return kept;
}

// ---- The server's object ---------------------------------------------------------------

ResultCode CreateUserIndex(const platform::ObjectAccess& access, int32_t userCapacity,
                           uint32_t negativeSeconds) {
  platform::SideObject*& object = ServerObject();
  if (object) return CACHE_OK;
  if (negativeSeconds > kMaxNegativeSeconds) negativeSeconds = 0;
  const uint64_t buckets = BucketCountFor(userCapacity < 0 ? 0 : userCapacity);
  const uint64_t answers = negativeSeconds ? kFailedAnswers : 0;
  const uint64_t size = ObjectSize(buckets, answers);
  if (size > UINT32_MAX) return CACHE_E_CREATE_MAPPING;
  void* view = nullptr;
  const ResultCode rc = platform::CreateSideObject(
      platform::SideObjectKind::Index, static_cast<uint32_t>(size), &object, &view, access);
  if (rc != CACHE_OK) return rc;
  // Written whole, also over an object that clients kept from an earlier server.
  std::memset(view, 0, static_cast<std::size_t>(size));
  auto* header = static_cast<IndexHeader*>(view);
  // The system's randomness, with the time and the process mixed in where a runtime's
  // random_device might be a fixed sequence.
  std::random_device random;
  const auto now =
      static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  const uint64_t mixed[2] = {now ^ 0x9e3779b97f4a7c15ULL,
                             static_cast<uint64_t>(platform::CurrentProcessId()) << 20 ^
                                 reinterpret_cast<uintptr_t>(&object)};
  for (uint64_t& half : header->seed) {
    const uint64_t drawn = (static_cast<uint64_t>(random()) << 32) ^ random();
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&drawn);
    half = SipHash(mixed, bytes, sizeof drawn);
  }
  header->userCapacity = static_cast<uint32_t>(userCapacity);
  header->bucketCount = static_cast<uint32_t>(buckets);
  header->negativeSeconds = negativeSeconds;
  header->negativeCount = static_cast<uint32_t>(answers);
  header->headerSize = sizeof(IndexHeader);
  header->size = static_cast<uint32_t>(size);
  header->version = kLayoutVersion;
  header->magic = kMagic;
  return CACHE_OK;
}

void RemoveUserIndex() {
  platform::SideObject*& object = ServerObject();
  if (!object) return;
  platform::CloseSideObject(object);
  object = nullptr;
}

void RebuildUserIndex() {
  RegionTables tables;
  if (RegionTables::Bind(ProcessRegion().regionView, &tables) == CACHE_OK) {
    UserIndex::Of(tables).Rebuild();
  }
}

void CheckUserIndex(const MappedRegion& region, bool repair, RegionFindings* findings) {
  RegionTables tables;
  if (RegionTables::Bind(region, &tables) != CACHE_OK) return;
  const UserIndex index = UserIndex::Of(tables);
  const std::vector<std::string> lines = index.Disagreements();
  findings->lines.insert(findings->lines.end(), lines.begin(), lines.end());
  findings->count += static_cast<int32_t>(lines.size());
  if (repair) index.Rebuild();
}

namespace {

// A whole number of seconds from 0 to kMaxNegativeSeconds, nothing else.
bool ParseSeconds(const std::string& value, uint32_t* seconds) {
  const char* end = value.data() + value.size();
  const auto parsed = std::from_chars(value.data(), end, *seconds);
  return !value.empty() && parsed.ec == std::errc() && parsed.ptr == end &&
         *seconds <= kMaxNegativeSeconds;
}

}  // namespace

uint32_t NegativeCacheSeconds() {
  uint32_t seconds = 0;
  return ParseSeconds(platform::ReadSetting(kNegativeCacheSetting).value, &seconds) ? seconds : 0;
}

bool NegativeCacheValueValid(const std::string& value) {
  uint32_t seconds = 0;
  return value.empty() || ParseSeconds(value, &seconds);
}

}  // namespace tq5::region
