#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "classNameMap/tClassNameMap.h"
#include "classNameMap/tClassNameOrder.h"

namespace nDRAVI100 {
namespace {

using tModel = std::map<std::string, std::string>;

void expectSame(const tClassNameMap& map, const tModel& model, int step) {
  ASSERT_EQ(map.size(), model.size()) << "step " << step;
  auto expected = model.begin();
  for (const auto& [className, libraryPath] : map) {
    ASSERT_EQ(className, expected->first) << "step " << step;
    ASSERT_EQ(libraryPath, expected->second) << "step " << step;
    ++expected;
  }
}

// Every operation, in random order, against std::map as the model. Few
// distinct keys, so that classes are removed, bound again, rebound and
// found both in the sorted part and among those waiting to be sorted.
TEST(ClassNameMap, BehavesAsAnOrderedMap) {
  // Short names, long ones that agree on their first 8 or 16 bytes, and
  // names that differ from another only by NULs after it.
  const std::vector<std::string> keys = {"",
                                         "a",
                                         "ab",
                                         "abc",
                                         "b",
                                         "B",
                                         "\x80",
                                         "\xff",
                                         "a\xff",
                                         "zz",
                                         "com.exam",
                                         "com.example",
                                         "com.example.",
                                         "com.example.Widget",
                                         "com.example.widget\xff",
                                         "com.examplf",
                                         std::string("a\0", 2),
                                         std::string("com.exam\0", 9)};
  std::mt19937 random(20261208);
  auto pick = [&](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };
  auto key = [&] {
    return keys[static_cast<std::size_t>(pick(static_cast<int>(keys.size())))] +
           (pick(4) == 0 ? std::to_string(pick(300)) : "");
  };
  auto path = [&] { return std::string(static_cast<std::size_t>(pick(3)), 'p'); };

  tClassNameMap map;
  tModel model;
  for (int step = 0; step < 20000; ++step) {
    const std::string className = key();
    const std::string libraryPath = path();
    switch (pick(9)) {
      case 0: {
        const auto [bound, added] = map.tryAdd(className, libraryPath);
        const auto [entry, modelAdded] = model.try_emplace(className, libraryPath);
        ASSERT_EQ(added, modelAdded) << "step " << step;
        ASSERT_EQ(bound, entry->second) << "step " << step;
        break;
      }
      case 1:
        map.assign(className, libraryPath);
        model.insert_or_assign(className, libraryPath);
        break;
      case 2:
        ASSERT_EQ(map.erase(className), model.erase(className) == 1) << "step " << step;
        break;
      case 3:
        ASSERT_EQ(map.eraseBoundTo(libraryPath),
                  std::erase_if(model,
                                [&](const auto& binding) { return binding.second == libraryPath; }))
            << "step " << step;
        break;
      case 4: {
        // Appends in ascending order, as a map file's records arrive.
        const std::string last = model.empty() ? "" : model.rbegin()->first;
        map.assign(last + "~", libraryPath);
        model.insert_or_assign(last + "~", libraryPath);
        break;
      }
      case 5:
        expectSame(map, model, step);
        break;
      case 6: {
        tClassNameMap copy(map);
        map = std::move(copy);
        ASSERT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty
        break;
      }
      case 7:
        if (pick(50) == 0) {
          map.clear();
          model.clear();
        }
        break;
      default: {
        const auto found = map.find(className);
        const auto entry = model.find(className);
        ASSERT_EQ(found.has_value(), entry != model.end()) << "step " << step;
        if (found) {
          ASSERT_EQ(*found, entry->second) << "step " << step;
        }
      }
    }
    ASSERT_EQ(map.size(), model.size()) << "step " << step;
  }
  expectSame(map, model, -1);
}

// Adds that wait unsearched (addUnlessBound) against std::map's try_emplace:
// the earliest add of a class that finds it unbound wins, whether the
// earlier binding stands in the sorted part, in the hash table or among the
// adds that wait, and whether a search, a walk or a removal by path settles
// them. The size is asked only now and then, so that adds pile up.
TEST(ClassNameMap, AddsThatWaitSettleAsTryAddWould) {
  std::mt19937 random(20261210);  // NOLINT(cert-msc51-cpp): the same steps every run
  auto pick = [&](unsigned below) { return static_cast<unsigned>(random() % below); };
  // Few classes, so that most adds repeat one; names that agree on their
  // first 16 bytes and part after them, or end there.
  auto key = [&] {
    static const std::vector<std::string> stems = {"com.example.inst", "com.example.installer.",
                                                   "a", "b", ""};
    return stems[pick(static_cast<unsigned>(stems.size()))] + std::to_string(pick(40));
  };
  auto path = [&] { return "/p" + std::to_string(pick(3)); };

  tClassNameMap map;
  tModel model;
  std::size_t bound = 0;
  for (int step = 0; step < 30000; ++step) {
    const std::string className = key();
    const std::string libraryPath = path();
    const unsigned what = pick(40);
    if (what < 30) {
      map.addUnlessBound(className, libraryPath);
      bound += model.try_emplace(className, libraryPath).second ? 1 : 0;
    } else if (what < 32) {
      const auto [boundPath, added] = map.tryAdd(className, libraryPath);
      const auto [entry, modelAdded] = model.try_emplace(className, libraryPath);
      bound += modelAdded ? 1 : 0;
      ASSERT_EQ(added, modelAdded) << "step " << step;
      ASSERT_EQ(boundPath, entry->second) << "step " << step;
    } else if (what < 34) {
      ASSERT_EQ(map.erase(className), model.erase(className) == 1) << "step " << step;
    } else if (what < 35) {
      ASSERT_EQ(
          map.eraseBoundTo(libraryPath),
          std::erase_if(model, [&](const auto& binding) { return binding.second == libraryPath; }))
          << "step " << step;
    } else if (what < 37) {
      const auto found = map.find(className);
      const auto entry = model.find(className);
      ASSERT_EQ(found.has_value(), entry != model.end()) << "step " << step;
      if (found) {
        ASSERT_EQ(*found, entry->second) << "step " << step;
      }
    } else if (what < 38) {
      expectSame(map, model, step);
    } else if (what < 39) {
      ASSERT_EQ(map.bindCount(), bound) << "step " << step;
    } else if (pick(20) == 0) {
      map.clear();
      model.clear();
    }
  }
  ASSERT_EQ(map.bindCount(), bound);
  expectSame(map, model, -1);
}

// A file of many adds, scrambled and most classes added more than once, is
// sorted in parts of hundreds of names: each family below has names that
// a sort by bytes could misplace, and the earliest add of each class must
// win as tryAdd would have it.
TEST(ClassNameMap, ManyAddsThatWaitSettleInOrder) {
  const std::string stem = "com.example.installer.widgets.";
  const auto byteName = [](std::size_t at, int byte, std::size_t tail) {
    std::string name(at, 'n');
    name += static_cast<char>(byte);
    return name + std::string(tail, 'z');
  };
  const struct {
    const char* family;
    std::function<std::string(int)> name;  // of the n-th class, 0 <= n < 600
    int rounds = 3;                        // how many times each class is added
  } cases[] = {
      {"long shared stem, parting at every byte after it",
       [&](int n) { return stem + std::to_string(n * 7919 % 600); }},
      {"every byte value, either side of 0x80, at the first byte",
       [&](int n) { return byteName(0, n % 256, static_cast<std::size_t>(n / 256)); }},
      {"every byte value at the 9th byte, and at the 17th",
       [&](int n) {
         return byteName(n < 300 ? 8 : 16, n % 256, static_cast<std::size_t>(n / 256));
       }},
      {"names that begin others, ending at and past 16 bytes, and the empty name",
       [&](int n) {
         return std::string(static_cast<std::size_t>(n % 40), n < 300 ? 'a' : '\xe0');
       }},
      {"names alike in their first 16 bytes and ending just after",
       [&](int n) {
         return stem.substr(0, 16) + std::string(static_cast<std::size_t>(n % 3), 'q') +
                std::to_string(n % 70);
       }},
      // Few prefixes of 16 bytes among many names: the sort parts them by
      // a table of prefixes first.
      {"short names, few, each added many times",
       [](int n) { return "s" + std::to_string(n % 40); }},
      {"names of 16 bytes, each begun by two longer ones, beside many alike in theirs",
       [&](int n) {
         if (n < 555) return stem + std::to_string(n);
         const std::string three = std::to_string((n - 555) / 3);
         const std::string name = "pair" + std::string(12 - three.size(), '0') + three;
         return n % 3 == 0 ? name : name + (n % 3 == 1 ? "a" : "b");
       },
       1},
  };
  for (const auto& c : cases) {
    std::mt19937 random(20261210);  // NOLINT(cert-msc51-cpp): the same steps every run
    std::vector<std::pair<std::string, std::string>> adds;
    for (int round = 0; round < c.rounds; ++round) {
      for (int n = 0; n < 600; ++n) adds.emplace_back(c.name(n), "/lib" + std::to_string(round));
    }
    std::shuffle(adds.begin(), adds.end(), random);
    tClassNameMap map;
    tModel model;
    for (const auto& [className, libraryPath] : adds) {
      map.addUnlessBound(className, libraryPath);
      model.try_emplace(className, libraryPath);
    }
    SCOPED_TRACE(c.family);
    ASSERT_EQ(map.bindCount(), model.size());
    expectSame(map, model, -1);
  }
}

// The map's order, compared in place sixteen bytes a step, is exactly
// std::string_view's: names that part at every byte of their first forty,
// by bytes on both sides of 0x80, and names that end where others go on.
TEST(ClassNameOrder, IsTheOrderOfStringView) {
  std::vector<std::string> names;
  const std::string stem = "com.example.installer.widgets.Class";
  for (std::size_t length = 0; length <= 40; ++length) {
    const std::string prefix = (stem + stem).substr(0, length);
    names.push_back(prefix);
    for (const char last : {'\0', '\x01', 'A', '\x7F', '\x80', '\xFF'}) {
      names.push_back(prefix + last);
      names.push_back(prefix + last + "tail");
    }
  }
  for (const std::string& left : names) {
    for (const std::string& right : names) {
      ASSERT_EQ(classNameBefore(left, right), std::string_view(left) < std::string_view(right))
          << "\"" << left << "\" vs \"" << right << "\"";
    }
  }
}

TEST(ClassNameMap, AViewOutlivesLaterBindings) {
  tClassNameMap map;
  map.assign("first", "/first.so");
  const std::string_view kept = *map.find("first");
  for (int i = 0; i < 200000; ++i) map.assign(std::to_string(i * 7919 % 200000), "/x.so");
  (void)map.begin();  // sorts the bindings in place
  EXPECT_EQ(kept, "/first.so");
}

}  // namespace
}  // namespace nDRAVI100
