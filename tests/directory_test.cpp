// The user role fetch against a stand-in component that a test scripts: every result
// code, the array shapes, the held object's life, and workers that outlive their fetch.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "directory/fetch_state.h"
#include "exports/load_hook.h"
#include "platform/worker_thread.h"
#include "support/directory_hooks.h"
#include "support/test_support.h"

namespace tq5::directory {
namespace {

using platform::ApartmentJoin;
using platform::ComponentResult;
using platform::RoleStrings;

constexpr ComponentResult kFail = -2147467259;  // a failing HRESULT

struct FakeArray {
  bool stringArray = true;
  bool hasArray = true;
  int32_t lower = 0;
  int32_t upper = -1;  // set from elements unless overridden
  std::vector<std::wstring> elements;
  int unreadable = -1;
};

FakeArray Strings(std::vector<std::wstring> elements, int32_t lower = 0) {
  FakeArray array;
  array.lower = lower;
  array.upper = static_cast<int32_t>(lower + static_cast<int32_t>(elements.size()) - 1);
  array.elements = std::move(elements);
  return array;
}

class FakeStrings final : public RoleStrings {
 public:
  explicit FakeStrings(FakeArray array) : array_(std::move(array)) {}
  bool IsStringArray() const override { return array_.stringArray; }
  bool Bounds(int32_t* lower, int32_t* upper) const override {
    *lower = array_.lower;
    *upper = array_.upper;
    return array_.hasArray;
  }
  bool Element(int32_t index, std::wstring* text) const override {
    if (index == array_.unreadable || index < 0 ||
        static_cast<std::size_t>(index) >= array_.elements.size()) {
      return false;
    }
    *text = array_.elements[static_cast<std::size_t>(index)];
    return true;
  }

 private:
  FakeArray array_;
};

// What the stand-in does, and what was done to it. Workers run on their own threads,
// so everything goes through the mutex.
struct Fake {
  std::mutex mutex;
  std::condition_variable changed;
  ApartmentJoin join = ApartmentJoin::Joined;
  int joins = 0, leaves = 0;
  std::vector<bool> creations;   // consumed in order; success once empty
  std::vector<int> initFailsOn;  // serials whose next InitializeCache fails (consumed)
  bool convertFails = false;
  ComponentResult answer = 0;
  FakeArray names, ids;
  std::wstring blocked;  // GetUserRolesEx for this user ("*": anyone) waits
  int created = 0;
  std::map<int, int> inits, closes, releases;  // by object serial
  std::wstring lastDomain, lastUser;
};
Fake* fake = nullptr;

class FakeObject final : public platform::DirectoryObject {
 public:
  explicit FakeObject(int serial) : serial(serial) {}
  ComponentResult InitializeCache() override {
    std::lock_guard<std::mutex> lock(fake->mutex);
    ++fake->inits[serial];
    for (auto it = fake->initFailsOn.begin(); it != fake->initFailsOn.end(); ++it) {
      if (*it == serial) {
        fake->initFailsOn.erase(it);
        return kFail;
      }
    }
    return 0;
  }
  ComponentResult GetUserRolesEx(const std::wstring& domain, const std::wstring& user,
                                 std::unique_ptr<RoleStrings>* names,
                                 std::unique_ptr<RoleStrings>* ids) override {
    std::unique_lock<std::mutex> lock(fake->mutex);
    fake->lastDomain = domain;
    fake->lastUser = user;
    // What the directory answers is decided when the call comes in.
    const FakeArray n = fake->names, i = fake->ids;
    const ComponentResult answer = fake->answer;
    fake->changed.wait(lock, [&] { return fake->blocked != L"*" && fake->blocked != user; });
    *names = std::make_unique<FakeStrings>(n);
    *ids = std::make_unique<FakeStrings>(i);
    return answer;
  }
  ComponentResult CloseCache() override {
    std::lock_guard<std::mutex> lock(fake->mutex);
    ++fake->closes[serial];
    return 0;
  }
  void Release() override {
    {
      std::lock_guard<std::mutex> lock(fake->mutex);
      ++fake->releases[serial];
    }
    delete this;
  }
  const int serial;
};

const DirectoryAccess kFakeAccess{[] {
                                    std::lock_guard<std::mutex> lock(fake->mutex);
                                    ++fake->joins;
                                    return fake->join;
                                  },
                                  [] {
                                    std::lock_guard<std::mutex> lock(fake->mutex);
                                    ++fake->leaves;
                                  },
                                  []() -> platform::DirectoryObject* {
                                    std::lock_guard<std::mutex> lock(fake->mutex);
                                    bool ok = true;
                                    if (!fake->creations.empty()) {
                                      ok = fake->creations.front();
                                      fake->creations.erase(fake->creations.begin());
                                    }
                                    return ok ? new FakeObject(++fake->created) : nullptr;
                                  },
                                  [](const char* text, std::wstring* out) {
                                    std::lock_guard<std::mutex> lock(fake->mutex);
                                    out->assign(text, text + std::strlen(text));
                                    return !fake->convertFails;
                                  }};

class FetchTest : public testing::Test {
 protected:
  void SetUp() override {
    exports::OnProcessAttach();
    delete fake;  // the last test's workers have all ended
    fake = new Fake;
    UseDirectoryAccess(&kFakeAccess);
  }
  void TearDown() override {
    OpenGate();
    AwaitLateWorkers();
    ASSERT_EQ(LateWorkerCount(), 0);
    UseDirectoryAccess(nullptr);
    // Objects let go are never released, and may still call into the fake: keep it.
  }

  void Answer(FakeArray names, FakeArray ids, ComponentResult answer = 0) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    fake->names = std::move(names);
    fake->ids = std::move(ids);
    fake->answer = answer;
  }
  void CloseGate(const wchar_t* user = L"*") {
    std::lock_guard<std::mutex> lock(fake->mutex);
    fake->blocked = user;
  }
  void OpenGate() {
    std::lock_guard<std::mutex> lock(fake->mutex);
    fake->blocked.clear();
    fake->changed.notify_all();
  }
  static void AwaitLateWorkers() {
    for (int i = 0; i < 2000 && LateWorkerCount() > 0; ++i) tq5test::SleepMs(5);
  }
  template <typename F>
  auto Read(F f) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    return f(*fake);
  }

  static ResultCode Fetch(uint32_t timeoutMs = 10000, const char* user = "alice") {
    return FetchUserRoles("Plant", user, timeoutMs, &Got());
  }
  static const FetchState& Out() { return ProcessDirectory().fetch; }
  // What the latest fetch of the test returned.
  static FetchedRoles& Got() {
    static FetchedRoles got;
    return got;
  }
  static std::vector<std::string> Roles() {
    std::vector<std::string> roles;
    for (int32_t i = 0; i < Got().size(); ++i) {
      const RoleNameId& role = Got().data()[i];
      EXPECT_TRUE(std::memchr(role.name, 0, sizeof role.name) &&
                  std::memchr(role.id, 0, sizeof role.id));
      roles.push_back(std::string(role.name) + "=" + role.id);
    }
    return roles;
  }
};

TEST_F(FetchTest, DeliversRolesInOrderWithTheNamesItWasGiven) {
  Answer(Strings({L"Operator", L"Engineer"}), Strings({L"S-1", L"S-2"}));
  ASSERT_EQ(Fetch(), CACHE_OK);
  EXPECT_EQ(Roles(), (std::vector<std::string>{"Operator=S-1", "Engineer=S-2"}));
  EXPECT_EQ(Read([](Fake& f) { return f.lastDomain + L"\\" + f.lastUser; }), L"Plant\\alice");
  // Arrays that start at another index give all their elements in order.
  Answer(Strings({L"a", L"b", L"c"}, 1), Strings({L"1", L"2", L"3"}, 1));
  ASSERT_EQ(Fetch(), CACHE_OK);
  EXPECT_EQ(Roles(), (std::vector<std::string>{"a=1", "b=2", "c=3"}));
  Answer(Strings({L"a", L"b"}, -7), Strings({L"1", L"2"}, 4));
  ASSERT_EQ(Fetch(), CACHE_OK);
  EXPECT_EQ(Roles(), (std::vector<std::string>{"a=1", "b=2"}));
  // One object served every fetch, each opened and closed.
  EXPECT_EQ(Read([](Fake& f) { return f.created * 100 + f.inits[1] * 10 + f.closes[1]; }), 133);
}

TEST_F(FetchTest, OutputsOfNoRolesGiveAnEmptySuccess) {
  FakeArray notArray;
  notArray.stringArray = false;
  FakeArray noArray;
  noArray.hasArray = false;
  const std::vector<std::pair<FakeArray, FakeArray>> shapes = {{Strings({}), Strings({})},
                                                               {notArray, Strings({L"x"})},
                                                               {Strings({L"x"}), notArray},
                                                               {noArray, noArray},
                                                               {Strings({}, 5), Strings({}, -3)}};
  for (const auto& [names, ids] : shapes) {
    Answer(Strings({L"r"}), Strings({L"1"}));
    ASSERT_EQ(Fetch(), CACHE_OK);
    Answer(names, ids);
    EXPECT_EQ(Fetch(), CACHE_OK);
    EXPECT_EQ(Got().size(), 0);
    EXPECT_EQ(Got().data(), nullptr);
  }
}

TEST_F(FetchTest, ArraysOfDifferentSizesFail) {
  FakeArray noArray;
  noArray.hasArray = false;
  FakeArray backwards = Strings({});
  backwards.lower = 5;
  backwards.upper = 2;  // -2 elements
  const std::vector<std::pair<FakeArray, FakeArray>> shapes = {
      {Strings({L"a", L"b", L"c"}), Strings({L"1", L"2"})},
      {Strings({L"a", L"b", L"c"}), Strings({})},
      {Strings({}), Strings({L"1"})},
      {noArray, Strings({L"1"})},
      {backwards, backwards}};
  for (const auto& [names, ids] : shapes) {
    Answer(names, ids);
    EXPECT_EQ(Fetch(), CACHE_E_USER_FETCH_SIZE_MISMATCH);
    EXPECT_EQ(Got().size(), 0);
  }
  // The object stays, and was closed after every call.
  EXPECT_EQ(Read([](Fake& f) { return f.created * 10 + f.closes[1]; }), 15);
}

TEST_F(FetchTest, NamesAndIdsUpToSixtyTwoCharacters) {
  const std::wstring longest(62, L'n');
  Answer(Strings({L"short", longest}), Strings({longest, L"1"}));
  ASSERT_EQ(Fetch(), CACHE_OK);
  EXPECT_EQ(Roles()[1], std::string(62, 'n') + "=1");
  EXPECT_EQ(std::string(Got().data()[0].id), std::string(62, 'n'));
  for (int which = 0; which < 2; ++which) {
    const std::wstring tooLong(63, L'x');
    Answer(Strings({L"a", which ? L"b" : tooLong}), Strings({L"1", which ? tooLong : L"2"}));
    EXPECT_EQ(Fetch(), CACHE_E_USER_FETCH_NAME_TOO_LONG);
    EXPECT_EQ(Got().size(), 0);
  }
}

TEST_F(FetchTest, TextsAreAlwaysWholeAndTerminated) {
  FakeArray names = Strings({L"first", L"lost", L"third"});
  names.unreadable = 1;
  // Characters without an 8-bit form, and a NUL inside a string.
#ifdef _WIN32
  // The C runtime's default locale writes U+0000-U+00FF as the byte of the same number.
  const std::wstring odd = L"caf\u00e9\u0101\u4e2d";
  const std::string stored = "caf\xE9??";
#else
  // UTF-8 in every locale: only a surrogate that stands for no byte, or a value past
  // U+10FFFF, has no bytes.
  std::wstring odd = L"caf\u00e9\u4e2d";
  odd += {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000)};
  const std::string stored = "caf\xC3\xA9\xE4\xB8\xAD??";
#endif
  Answer(names, Strings({odd, L"2", std::wstring(L"ab\0cd", 5)}));
  ASSERT_EQ(Fetch(), CACHE_OK);
  // The unreadable element still counts, with an empty name and id.
  EXPECT_EQ(Roles(), (std::vector<std::string>{"first=" + stored, "=", "third=ab"}));
}

TEST_F(FetchTest, ArraysTooLargeToHoldFailAllocation) {
  FakeArray huge = Strings({});
  huge.lower = INT32_MIN;
  huge.upper = INT32_MAX;  // 2^32 elements
  Answer(huge, huge);
  EXPECT_EQ(Fetch(), CACHE_E_USER_FETCH_ALLOC);
  EXPECT_EQ(Got().size(), 0);
}

TEST_F(FetchTest, ApartmentIsLeftOnlyWhenJoined) {
  Answer(Strings({L"r"}), Strings({L"1"}));
  ASSERT_EQ(Fetch(), CACHE_OK);
  EXPECT_EQ(Read([](Fake& f) { return f.joins * 10 + f.leaves; }), 11);
  Read([](Fake& f) { return f.join = ApartmentJoin::ChangedMode; });
  EXPECT_EQ(Fetch(), CACHE_OK);
  EXPECT_EQ(Read([](Fake& f) { return f.joins * 10 + f.leaves; }), 21);
  Read([](Fake& f) { return f.join = ApartmentJoin::Failed; });
  EXPECT_EQ(Fetch(), CACHE_E_USER_FETCH_COINIT);
  EXPECT_EQ(Read([](Fake& f) { return f.joins * 10 + f.leaves; }), 31);
  EXPECT_EQ(Read([](Fake& f) { return f.inits[1]; }), 2);  // no call without the apartment
}

TEST_F(FetchTest, FailedCallsMapToTheirCodesAndFreeThePreviousRoles) {
  Answer(Strings({L"r"}), Strings({L"1"}));
  ASSERT_EQ(Fetch(), CACHE_OK);
  ASSERT_NE(Got().data(), nullptr);
  Answer(Strings({L"r"}), Strings({L"1"}), kFail);
  EXPECT_EQ(Fetch(), CACHE_E_USER_FETCH_CALL);
  EXPECT_EQ(Got().data(), nullptr);
  EXPECT_EQ(Read([](Fake& f) { return f.closes[1]; }), 2);  // closed after a failed call too
  Read([](Fake& f) { return f.convertFails = true; });
  EXPECT_EQ(Fetch(), CACHE_E_NO_MEMORY);
  EXPECT_EQ(FetchUserRoles(nullptr, "u", 100, &Got()), CACHE_E_INVALID_POINTER);
  EXPECT_EQ(FetchUserRoles("", "u", 100, &Got()), CACHE_E_BAD_DOMAIN_NAME);
  EXPECT_EQ(FetchUserRoles("d", std::string(64, 'u').c_str(), 100, &Got()), CACHE_E_BAD_USER_NAME);
}

TEST_F(FetchTest, CreationAndInitialisationFailures) {
  Answer(Strings({L"r"}), Strings({L"1"}));
  Read([](Fake& f) { return f.creations = {false}; });
  EXPECT_EQ(Fetch(), CACHE_E_USER_FETCH_CREATE_AUTHZ);
  EXPECT_EQ(Out().authorizationObject, nullptr);
  // A new object that fails to initialise is ours alone: released, and a second made.
  Read([](Fake& f) { return f.initFailsOn = {1}; });
  ASSERT_EQ(Fetch(), CACHE_OK);
  platform::DirectoryObject* second = Out().authorizationObject;
  EXPECT_EQ(Read([](Fake& f) { return f.releases[1] * 10 + f.created; }), 12);
  // The held object fails: let go unreleased, and later fetches use its successor.
  Read([](Fake& f) { return f.initFailsOn = {2}; });
  ASSERT_EQ(Fetch(), CACHE_OK);
  EXPECT_NE(Out().authorizationObject, second);
  ASSERT_EQ(Fetch(), CACHE_OK);
  EXPECT_EQ(Read([](Fake& f) { return f.releases[2] * 100 + f.created * 10 + f.inits[3]; }), 32);
  // Held one fails and so does its successor: -143, the successor released, none held.
  Read([](Fake& f) { return f.initFailsOn = {3, 4}; });
  EXPECT_EQ(Fetch(), CACHE_E_USER_FETCH_INIT);
  EXPECT_EQ(Out().authorizationObject, nullptr);
  EXPECT_EQ(Read([](Fake& f) { return f.releases[3] * 10 + f.releases[4]; }), 1);
  // Held one fails and no successor can be made.
  ASSERT_EQ(Fetch(), CACHE_OK);
  Read([](Fake& f) {
    f.initFailsOn = {5};
    return f.creations = {false};
  });
  EXPECT_EQ(Fetch(), CACHE_E_USER_FETCH_INIT);
  EXPECT_EQ(Out().authorizationObject, nullptr);
  EXPECT_EQ(Fetch(), CACHE_OK);  // the next fetch starts afresh
}

TEST_F(FetchTest, LateWorkerNeverTouchesALaterFetch) {
  Answer(Strings({L"early"}), Strings({L"1"}));
  ASSERT_EQ(Fetch(), CACHE_OK);
  platform::DirectoryObject* held = Out().authorizationObject;
  // The held object fails once inside the fetch that will time out; its worker makes a
  // successor and then hangs in the directory.
  Read([](Fake& f) { return f.initFailsOn = {1}; });
  CloseGate(L"slow");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Fetch(50, "slow"), CACHE_E_FETCH_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(Got().size(), 0);
  EXPECT_EQ(Out().authorizationObject, held);
  EXPECT_EQ(LateWorkerCount(), 1);

  // The next fetch runs while the late worker still hangs, and then the late one ends.
  Answer(Strings({L"later"}), Strings({L"2"}));
  ASSERT_EQ(Fetch(), CACHE_OK);
  OpenGate();
  AwaitLateWorkers();
  ASSERT_EQ(LateWorkerCount(), 0);
  EXPECT_EQ(Roles(), std::vector<std::string>{"later=2"});
  EXPECT_EQ(Out().authorizationObject, held);
  // The late worker's own successor died with it; the held object lives on.
  EXPECT_EQ(Read([](Fake& f) { return f.releases[2] * 10 + f.releases[1]; }), 10);
  ASSERT_EQ(Fetch(), CACHE_OK);
  EXPECT_EQ(Read([](Fake& f) { return f.inits[1]; }), 4);
}

TEST_F(FetchTest, WaitsWithoutLimitAndBoundsLateWorkers) {
  Answer(Strings({L"r"}), Strings({L"1"}));
  CloseGate();
  std::thread opener([this] {
    tq5test::SleepMs(300);
    OpenGate();
  });
  EXPECT_EQ(Fetch(platform::kWaitForever), CACHE_OK);
  opener.join();
  EXPECT_EQ(Got().size(), 1);

  CloseGate();
  for (int i = 0; i < kMaxLateWorkers; ++i) ASSERT_EQ(Fetch(1), CACHE_E_FETCH_TIMEOUT);
  EXPECT_EQ(LateWorkerCount(), kMaxLateWorkers);
  const int created = Read([](Fake& f) { return f.created; });
  EXPECT_EQ(Fetch(), CACHE_E_THREAD_CREATE);
  OpenGate();
  AwaitLateWorkers();
  EXPECT_EQ(Fetch(), CACHE_OK);
  EXPECT_EQ(Read([](Fake& f) { return f.created; }), created);
}

TEST_F(FetchTest, RacesAtTheLimitLeaveEveryObjectAccountedFor) {
  // With no time at all the worker ends before, during or after the hand-over.
  Answer(Strings({L"r"}), Strings({L"1"}));
  for (int i = 0; i < 200; ++i) {
    const ResultCode rc = Fetch(0);
    ASSERT_TRUE(rc == CACHE_OK || rc == CACHE_E_FETCH_TIMEOUT) << rc;
    if (rc != CACHE_OK) {
      EXPECT_EQ(Got().size(), 0);
    }
    for (int w = 0; w < 2000 && LateWorkerCount() >= kMaxLateWorkers; ++w) tq5test::SleepMs(1);
  }
  AwaitLateWorkers();
  // Each object is either the held one or was released exactly once.
  Read([](Fake& f) {
    int released = 0;
    for (const auto& [serial, count] : f.releases) {
      EXPECT_EQ(count, 1) << serial;
      released += count;
    }
    EXPECT_EQ(released + (Out().authorizationObject ? 1 : 0), f.created);
    return 0;
  });
}

}  // namespace
}  // namespace tq5::directory
