#include <gtest/gtest.h>

#include "classMap/tClassMapStore.h"
#include "testSupport.h"
#include "tool/tCommandDispatch.h"

namespace nDRAVI100 {
namespace {

using enum tCommandKind;

using testing::tScratchTree;

class Store : public ::testing::Test {
 protected:
  static std::vector<tBinding> bindings(tClassMapStore& store, tMapScope scope) {
    tStatus status = 0;
    return store.list(scope, status);
  }

  tScratchTree tree;
};

TEST_F(Store, AddLookupAndTheAlreadyBoundWarning) {
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  store.add("A", "/a.so", 0, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(store.lookup("A", 0, status), "/a.so");
  EXPECT_EQ(store.lookup("A", 1, status), "");
  EXPECT_EQ(store.lookup("a", 0, status), "") << "class names are case-sensitive";
  EXPECT_EQ(store.lookup("A ", 0, status), "");

  store.add("A", "/other.so", 0, status);
  EXPECT_EQ(status, 88360);
  EXPECT_EQ(store.lookup("A", 0, status), "/a.so");

  status = 50209;  // an earlier warning stays
  store.add("A", "/other.so", 0, status);
  EXPECT_EQ(status, 50209);

  status = 0;
  store.add("A", "/k.so", 1, status);
  store.add("A", "/s.so", 2, status);
  store.add("a", "/lower.so", 0, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(store.lookup("A", 1, status), "/k.so");
  EXPECT_EQ(store.lookup("A", 2, status), "/s.so");
  EXPECT_EQ(bindings(store, 0).size(), 2u);
}

TEST_F(Store, ClassBoundToTheEmptyPathStaysSo) {
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  store.add("E", "", 0, status);
  store.add("E", "/late.so", 0, status);
  EXPECT_EQ(status, 0) << "no warning for a class bound to the empty path";
  EXPECT_EQ(bindings(store, 0), (std::vector<tBinding>{{"E", ""}}));
  store.deleteLib("", 0, status);
  EXPECT_TRUE(bindings(store, 0).empty());
}

TEST_F(Store, AddWithABadScope) {
  for (tMapScope scope : {3, -1, 1000}) {
    tStatus status = 0;
    tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
    store.add("A", "/a.so", scope, status);
    EXPECT_EQ(status, -50150);
    for (tMapScope good : {0, 1, 2}) EXPECT_TRUE(bindings(store, good).empty());
  }
}

TEST_F(Store, DeleteClassDeleteLibAndReset) {
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  for (const char* name : {"a", "b", "c", "d", "e"}) store.add(name, "/x.so", 0, status);
  store.add("f", "/X.so", 0, status);
  store.add("g", "/x.so/", 0, status);
  store.add("h", "/y.so", 0, status);
  store.add("k", "/x.so", 1, status);
  store.add("s", "/x.so", 2, status);

  store.deleteClass("missing", 0, status);
  store.deleteLib("/nothing.so", 0, status);
  EXPECT_EQ(status, 0);

  store.deleteClass("h", 0, status);
  EXPECT_EQ(store.lookup("h", 0, status), "");

  EXPECT_EQ(store.lookupLib("/x.so", 0, status),
            (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  store.deleteLib("/x.so", 0, status);
  EXPECT_EQ(bindings(store, 0), (std::vector<tBinding>{{"f", "/X.so"}, {"g", "/x.so/"}}));
  EXPECT_EQ(store.lookup("k", 1, status), "/x.so") << "other maps keep their bindings";
  EXPECT_EQ(store.lookup("s", 2, status), "/x.so");

  store.reset(1, status);
  EXPECT_TRUE(bindings(store, 1).empty());
  store.reset(1, status);
  store.reset(7, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(bindings(store, 2).size(), 1u);
}

TEST_F(Store, QueriesAreOrderedByUnsignedBytes) {
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  for (const char* name : {"abc", "\xC3\xA9", "a", "B", "ab", "Z"})
    store.add(name, "/l.so", 0, status);
  const std::vector<std::string> expected = {"B", "Z", "a", "ab", "abc", "\xC3\xA9"};
  EXPECT_EQ(store.lookupLib("/l.so", 0, status), expected);
  std::vector<std::string> listed;
  for (const tBinding& binding : store.list(0, status)) listed.push_back(binding.className);
  EXPECT_EQ(listed, expected);
  EXPECT_TRUE(store.lookupLib("/none.so", 0, status).empty());
  EXPECT_TRUE(store.list(1, status).empty());
  EXPECT_EQ(status, 0);
}

TEST_F(Store, EveryOperationIsANoOpAfterAnError) {
  tStatus status = 0;
  tClassMapStore store(kSaveEachChange, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  store.add("A", "/a.so", 0, status);
  const auto before = testing::readFile(tree.mapFile());
  ASSERT_TRUE(before.has_value());

  status = -7;
  store.add("B", "/b.so", 0, status);
  store.deleteClass("A", 0, status);
  store.deleteLib("/a.so", 0, status);
  store.reset(0, status);
  EXPECT_EQ(store.lookup("A", 0, status), "");
  EXPECT_TRUE(store.lookupLib("/a.so", 0, status).empty());
  EXPECT_TRUE(store.list(0, status).empty());
  store.saveAllMapFiles(status);
  EXPECT_EQ(status, -7);
  EXPECT_EQ(testing::readFile(tree.mapFile()), before);
  status = 0;
  EXPECT_EQ(bindings(store, 0), (std::vector<tBinding>{{"A", "/a.so"}}));
}

TEST_F(Store, BuiltAfterAnErrorReadsAndWritesNothing) {
  testing::writeFile(tree.mapFile(), testing::encodeMapFile({{"A", "/a.so"}}, {}));
  tStatus status = -88361;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  EXPECT_EQ(status, -88361);
  status = 0;
  EXPECT_TRUE(bindings(store, 0).empty());
  store.add("B", "/b.so", 0, status);
  store.saveAllMapFiles(status);  // an empty osList has nothing to save
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testing::readFile(tree.mapFile()), testing::encodeMapFile({{"A", "/a.so"}}, {}));
}

TEST_F(Store, MapsOnlyCheckedAreLoadedBeforeAnyOperationOnThem) {
  // A store built for a run that needs no bindings must still never save
  // maps it did not load: that would drop every binding.
  testing::writeFile(tree.mapFile(), testing::encodeMapFile({{"A", "/a.so"}}, {{"K", "/k.so"}}));
  tStatus status = 0;
  {
    tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::validityOnly, status, tree.root());
    EXPECT_EQ(store.lookup("K", 1, status), "/k.so");
    store.add("B", "/b.so", 0, status);
    store.saveAllMapFiles(status);
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testing::readFile(tree.mapFile()),
            testing::encodeMapFile({{"A", "/a.so"}, {"B", "/b.so"}}, {{"K", "/k.so"}}));
}

TEST_F(Store, ImmediateSavingWhenNotDeferred) {
  tStatus status = 0;
  {
    tClassMapStore store(kSaveEachChange, kMaps32Bit, tMapNeed::bindings, status, tree.root());
    store.add("A", "/a.so", 0, status);
    EXPECT_EQ(testing::readFile(tree.mapFile()), testing::encodeMapFile({{"A", "/a.so"}}, {}));
    store.add("A", "/b.so", 0, status);  // refused with a warning: no save needed
    EXPECT_EQ(status, 88360);
    status = 0;
    store.deleteClass("missing", 0, status);  // changes nothing, saves all the same
    EXPECT_TRUE(testing::readFile(tree.mapFile()).has_value());
    store.reset(0, status);
    EXPECT_FALSE(testing::readFile(tree.mapFile()).has_value()) << "empty maps leave no file";
    store.add("S", "/s.so", 2, status);
    EXPECT_FALSE(testing::readFile(tree.mapFile()).has_value()) << "sMap is never saved";
  }
  {
    tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
    store.add("A", "/a.so", 0, status);
  }
  EXPECT_FALSE(testing::readFile(tree.mapFile()).has_value()) << "destruction saves nothing";
  EXPECT_EQ(status, 0);
}

TEST(Substitution, FirstStarOnly) {
  struct Case {
    std::string name;
    std::int32_t is64Bit;
    std::string expected;
  } cases[] = {
      {"/usr/lib*/x.so", 1, "/usr/lib64/x.so"},
      {"/usr/lib*/x.so", 0, "/usr/lib32/x.so"},
      {"a*b*", 0, "a32b*"},
      {"*", 1, "64"},
      {"plain", 1, "plain"},
      {"", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(substituteBitness(c.name, c.is64Bit), c.expected);
}

class Dispatch : public Store {
 protected:
  static tCommandRequest request(tCommandKind kind, tMapScope scope, const std::string& className,
                                 const std::string& libraryName) {
    tCommandRequest made;
    tStatus status = 0;
    made.setKind(kind, status);
    made.setScope(scope, status);
    made.setClassName(className, status);
    made.setLibraryName(libraryName, status);
    return made;
  }
};

TEST_F(Dispatch, CommandsReachTheStore) {
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  dispatchCommand(request(Add, 0, "C*", "/lib*/c.so"), store, status);
  dispatchCommand(request(Add, 0, "D", "/lib*/c.so"), store, status);
  dispatchCommand(request(Add, 0, "E", "/lib*/c.so"), store, status);
  EXPECT_EQ(store.lookup("C*", 0, status), "/lib32/c.so");
  dispatchCommand(request(Lookup, 0, "C*", ""), store, status);
  dispatchCommand(request(LookupLib, 0, "", "/lib*/c.so"), store, status);
  dispatchCommand(request(List, 0, "", ""), store, status);
  dispatchCommand(request(Delete, 0, "D", ""), store, status);
  EXPECT_EQ(bindings(store, 0).size(), 2u);
  dispatchCommand(request(DeleteLib, 0, "", "/lib*/c.so"), store, status);
  EXPECT_TRUE(bindings(store, 0).empty());
  dispatchCommand(request(Add, 1, "K", "k"), store, status);
  dispatchCommand(request(Reset, 1, "", ""), store, status);
  EXPECT_TRUE(bindings(store, 1).empty());
  EXPECT_EQ(status, 0);
}

TEST_F(Dispatch, ScopeAndKindChecks) {
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  const auto kUnknown = static_cast<tCommandKind>(9);
  for (tCommandKind kind : {Add, Delete, DeleteLib, Reset, Lookup, LookupLib, List, kUnknown,
                            static_cast<tCommandKind>(-1)}) {
    status = 0;
    dispatchCommand(request(kind, 3, "C", "L"), store, status);
    EXPECT_EQ(status, -50006) << static_cast<int>(kind);
  }
  status = 0;
  dispatchCommand(request(None, 3, "C", "L"), store, status);
  dispatchCommand(request(kUnknown, 0, "C", "L"), store, status);
  EXPECT_EQ(status, 0);
  for (tMapScope scope : {0, 1, 2}) EXPECT_TRUE(bindings(store, scope).empty());
  status = -88361;
  dispatchCommand(request(Add, 0, "C", "L"), store, status);
  EXPECT_EQ(status, -88361);
  EXPECT_TRUE(bindings(store, 0).empty());
}

}  // namespace
}  // namespace nDRAVI100
