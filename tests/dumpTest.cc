// The built zembril-dump on a private tree: its forms read back to the exact
// bytes, a commands backup restores the map file byte for byte through
// zembril, salvage, --check, the command line, and proof that it only reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "classMap/tCommandFileGrammar.h"
#include "cli/tTextEscaping.h"
#include "mapFile/tMapFile.h"
#include "os/tRegularFile.h"
#include "testSupport.h"

namespace nDRAVI100 {
namespace {

using testing::copyMarkFor;
using testing::encodeMapFile;
using testing::readFile;
using testing::runCommand;
using testing::tPairs;
using testing::tScratchTree;
using testing::writeFile;

using Args = std::vector<std::string>;

struct tDumpRun {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

// Runs zembril-dump with --root on `tree`, keeping its standard error apart
// from its output; A run that hangs is ended and fails with 124.
// `wrapper` runs it, prlimit for one.
tDumpRun dump(const tScratchTree& tree, const Args& arguments, const Args& wrapper = {}) {
  const std::string errPath = tree.root() + "/dump.err";
  const char* const redirect = "e=$1; shift; exec \"$@\" 2>\"$e\"";
  Args command = {"timeout", "20", "sh", "-c", redirect, "sh", errPath};
  command.insert(command.end(), wrapper.begin(), wrapper.end());
  command.insert(command.end(), {ZEMBRIL_DUMP_BINARY, "--root=" + tree.root()});
  command.insert(command.end(), arguments.begin(), arguments.end());
  const testing::tRunResult result = runCommand(command);
  tDumpRun run{result.exitStatus, result.output, readFile(errPath).value_or("")};
  std::filesystem::remove(errPath);
  return run;
}

bool hasLine(const std::string& text, const std::string& pattern) {
  return std::regex_search(text, std::regex("(^|\n)" + pattern + "\n"));
}

// One binding as a form shows it: its map's letter, class and library.
using tRows = std::vector<std::array<std::string, 3>>;

tRows rowsOf(const tPairs& uPairs, const tPairs& kPairs) {
  tRows rows;
  for (const auto& [letter, pairs] : {std::pair{"U", &uPairs}, std::pair{"K", &kPairs}}) {
    // A map's own order: ascending, bytes compared unsigned.
    for (const auto& [name, library] : tClassNameMap(pairs->begin(), pairs->end())) {
      rows.push_back({letter, std::string(name), std::string(library)});
    }
  }
  return rows;
}

// Tab, newline, visible ASCII and well-formed UTF-8 that encodes no control
// character, by the byte ranges of RFC 3629.
const std::regex kPrintableUtf8(
    "(?:[\\x09\\x0A\\x20-\\x7E]|\\xC2[\\xA0-\\xBF]|[\\xC3-\\xDF][\\x80-\\xBF]"
    "|\\xE0[\\xA0-\\xBF][\\x80-\\xBF]|[\\xE1-\\xEC\\xEE\\xEF][\\x80-\\xBF]{2}"
    "|\\xED[\\x80-\\x9F][\\x80-\\xBF]|\\xF0[\\x90-\\xBF][\\x80-\\xBF]{2}"
    "|[\\xF1-\\xF3][\\x80-\\xBF]{3}|\\xF4[\\x80-\\x8F][\\x80-\\xBF]{2})*");

char hexByte(const std::string& text, std::size_t at) {
  return static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16));
}

// Reads the text form back by the manual page's rules.
tRows parseText(const std::string& text) {
  tRows rows;
  for (std::size_t at = 0; at < text.size(); ++at) {
    std::array<std::string, 3> row;
    std::size_t field = 0;
    for (; text.at(at) != '\n'; ++at) {
      const char byte = text[at];
      if (byte == '\t' && ++field > 2) throw std::runtime_error("a fourth field");
      if (byte == '\t') continue;
      if (byte != '\\') {
        row[field] += byte;
      } else if (text.at(++at) == 'x') {
        row[field] += hexByte(text, at + 1);
        at += 2;
      } else {
        row[field] += text[at] == 't' ? '\t' : text[at] == 'n' ? '\n' : text[at];
      }
    }
    if (field != 2) throw std::runtime_error("fewer than three fields");
    rows.push_back(row);
  }
  return rows;
}

// Reads the json form back: objects, arrays and strings, with \udcHH
// standing for the byte HH, as the manual page says. The objects inside the
// array of "U" or "K" become rows.
class tJsonReader {
 public:
  explicit tJsonReader(const std::string& document) : source(document) {}

  // Any JSON value, for the documents of --check.
  struct tValue {
    std::string text;  // a string's bytes; the spelling of a number, true, false or null
    std::vector<tValue> items;
    std::vector<std::string> names;  // an object's members: names[i] is values[i]'s
    std::vector<tValue> values;
    const tValue& operator[](const std::string& key) const {
      for (std::size_t index = 0; index < names.size(); ++index) {
        if (names[index] == key) return values.at(index);
      }
      throw std::runtime_error("no member " + key);
    }
  };
  tValue document() {
    tValue read = value();
    if (peek() != '\0') throw std::runtime_error("text after the document");
    return read;
  }

  tRows rows(std::string& file) {
    tRows found;
    expect('{');
    do {
      const std::string key = string();
      expect(':');
      if (key == "file") {
        file = string();
        continue;
      }
      expect('[');
      if (peek() != ']') {
        do {
          std::array<std::string, 3> row{key};
          expect('{');
          member("class", row[1]);
          expect(',');
          member("library", row[2]);
          expect('}');
          found.push_back(row);
        } while (skip(','));
      }
      expect(']');
    } while (skip(','));
    expect('}');
    if (peek() != '\0') throw std::runtime_error("text after the document");
    return found;
  }

 private:
  tValue value() {
    tValue read;
    if (peek() == '"') {
      read.text = string();
    } else if (skip('[')) {
      if (!skip(']')) {
        do read.items.push_back(value());
        while (skip(','));
        expect(']');
      }
    } else if (skip('{')) {
      if (!skip('}')) {
        do {
          read.names.push_back(string());
          expect(':');
          read.values.push_back(value());
        } while (skip(','));
        expect('}');
      }
    } else {
      while (at < source.size() && std::string_view("-0123456789.eEtruefalsn").find(source[at]) !=
                                       std::string_view::npos) {
        read.text += source[at++];
      }
      if (read.text.empty()) throw std::runtime_error("no value");
    }
    return read;
  }

  char peek() {
    while (at < source.size() && (source[at] == ' ' || source[at] == '\n')) ++at;
    return at < source.size() ? source[at] : '\0';
  }
  void expect(char wanted) {
    if (!skip(wanted)) throw std::runtime_error(std::string("expected ") + wanted);
  }
  bool skip(char wanted) {
    if (peek() != wanted) return false;
    ++at;
    return true;
  }
  void member(const std::string& name, std::string& value) {
    if (string() != name) throw std::runtime_error("expected " + name);
    expect(':');
    value = string();
  }
  std::string string() {
    expect('"');
    std::string value;
    for (char byte; (byte = source.at(at++)) != '"';) {
      if (static_cast<unsigned char>(byte) < 0x20) throw std::runtime_error("raw control");
      if (byte != '\\') {
        value += byte;
        continue;
      }
      const std::string simple = "\"\\/bfnrt";
      const std::size_t which = simple.find(source.at(at++));
      if (which != std::string::npos) {
        value += "\"\\/\b\f\n\r\t"[which];
        continue;
      }
      const int unit = std::stoi(source.substr(at, 4), nullptr, 16);
      at += 4;
      if (unit >= 0xDC80 && unit <= 0xDCFF) {
        value += static_cast<char>(unit - 0xDC00);
      } else if (unit < 0x80) {
        value += static_cast<char>(unit);
      } else if (unit <= 0x9F) {  // the C1 controls
        value += {'\xc2', static_cast<char>(unit)};
      } else {
        throw std::runtime_error("unexpected escape");
      }
    }
    return value;
  }

  const std::string& source;
  std::size_t at = 0;
};

TEST(Dump, TextAndJsonReadBackToTheExactBytes) {
  tScratchTree tree;
  const tPairs uPairs = {{"\x80x", "\xff\xfe"},  // after "a" only when bytes compare unsigned
                         {"a\tb", "/lib/tab.so"},
                         {"", "/empty-class.so"},
                         {"line\nbreak", "back\\slash \\x41 \\t"},
                         {"caf\xc3\xa9 \xf0\x9f\x98\x80", "cut \xe2\x82"},
                         {"ctl\x01\x1f\x7f\r", "C1 \xc2\x85 NBSP \xc2\xa0"},
                         {"overlong \xc0\xaf", "surrogate \xed\xa0\x80 high \xf4\x90\x80\x80"},
                         {"quote\" <a,b>", ""}};
  const tPairs kPairs = {{"\\", "\x7f"}, {"k", "\xc3"}};
  writeFile(tree.mapFile(), encodeMapFile(uPairs, kPairs));

  const tDumpRun text = dump(tree, {});
  EXPECT_EQ(text.exitStatus, 0);
  EXPECT_TRUE(std::regex_match(text.out, kPrintableUtf8)) << text.out;
  EXPECT_EQ(parseText(text.out), rowsOf(uPairs, kPairs));

  const tDumpRun json = dump(tree, {"--format=json"});
  EXPECT_EQ(json.exitStatus, 0);
  EXPECT_TRUE(std::regex_match(json.out, kPrintableUtf8)) << json.out;
  std::string file;
  EXPECT_EQ(tJsonReader(json.out).rows(file), rowsOf(uPairs, kPairs)) << json.out;
  EXPECT_EQ(file, tree.mapFile());

  // Each map alone, and an empty map, still make a whole document.
  EXPECT_EQ(parseText(dump(tree, {"--scope=u"}).out), rowsOf(uPairs, {}));
  writeFile(tree.mapFile(), encodeMapFile({}, kPairs));
  EXPECT_EQ(tJsonReader(dump(tree, {"--format", "json", "--scope", "K"}).out).rows(file),
            rowsOf({}, kPairs));
}

TEST(Dump, CommandsFormRestoresTheMapFileByteForByte) {
  const std::string longName = "Long" + std::string(300, 'n');  // more than one line piece
  const tPairs carried = {{"", "/empty-class.so"},
                          {"Map<int,Widget>", "/usr/lib64/w.so"},
                          {"#hash\\back\x01\x0b\x0c", "/lib/\xc3\xa9\xff.so"},
                          {"\x80high", ""},
                          {"star*", "/lib/<a,b>.so"},
                          {longName, "/lib/" + longName + ".so"}};
  const tPairs notCarried = {{"with blank", "/a.so"},    {"comma,outside", "/b.so"},
                             {"unbalanced<", "/c.so"},   {"line\nbreak", "/d.so"},
                             {"Star", "/usr/lib*/e.so"}, {"CR", "/g.so\r"}};
  struct Case {
    tPairs uPairs;
    tPairs kPairs;
    std::size_t leftOut;
  } cases[] = {{carried, {{"K", "/k.so"}}, 0}, {notCarried, carried, notCarried.size()}};
  for (const Case& c : cases) {
    tScratchTree source;
    writeFile(source.mapFile(true), encodeMapFile(c.uPairs, c.kPairs));
    const tDumpRun backup = dump(source, {"--x64", "--format=commands"});
    EXPECT_EQ(backup.exitStatus, c.leftOut == 0 ? 0 : 1);
    EXPECT_EQ(std::count(backup.err.begin(), backup.err.end(), '\n'), c.leftOut) << backup.err;
    EXPECT_NE(backup.out.find("zembril /x64 /file"), std::string::npos);

    // The target's own bindings must all go.
    tScratchTree target;
    writeFile(target.mapFile(true), encodeMapFile({{"Other", "/o.so"}}, {{"Z", "/z.so"}}));
    writeFile(target.root() + "/backup", backup.out);
    const testing::tRunResult restore =
        testing::runTool(target, {"/x64", "/file", target.root() + "/backup"});
    EXPECT_EQ(restore.exitStatus, 0) << restore.output;
    const tPairs restoredU = c.leftOut == 0 ? c.uPairs : tPairs{};
    // In the map's own order.
    auto sorted = [](const tPairs& pairs) {
      tPairs inOrder;
      for (const auto& [name, library] : tClassNameMap(pairs.begin(), pairs.end())) {
        inOrder.emplace_back(name, library);
      }
      return inOrder;
    };
    EXPECT_EQ(readFile(target.mapFile(true)), encodeMapFile(sorted(restoredU), sorted(c.kPairs)));
  }
}

TEST(Dump, SalvageOfAFileCutAtEveryOffsetPrintsTheWholeRecordsBeforeTheCut) {
  tScratchTree tree;
  const tPairs uPairs = {{"A", "/a.so"}, {"Bb", ""}, {"C\n", "/c.so"}};
  const tPairs kPairs = {{"K", "/k/\xff.so"}, {"L", "/l.so"}};
  const std::string bytes = encodeMapFile(uPairs, kPairs);
  // Where each field that reading can stop at starts: magic, version, each
  // section's count and each record (two lengths, two strings with NULs).
  std::vector<std::size_t> starts = {0, 4};
  std::vector<std::pair<std::size_t, tRows::value_type>> recordEnds;
  std::size_t offset = 8;
  for (const auto& [letter, pairs] : {std::pair{"U", &uPairs}, std::pair{"K", &kPairs}}) {
    starts.push_back(offset);
    offset += 4;
    for (const auto& [className, library] : *pairs) {
      starts.push_back(offset);
      offset += 4 + className.size() + 1 + 4 + library.size() + 1;
      recordEnds.push_back({offset, {letter, className, library}});
    }
  }
  ASSERT_EQ(offset, bytes.size());

  const std::string file = tree.root() + "/cut";
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    writeFile(file, bytes.substr(0, cut));
    const tDumpRun run = dump(tree, {"--salvage", file});
    tRows expected;
    for (const auto& [end, row] : recordEnds) {
      if (end <= cut) expected.push_back(row);
    }
    EXPECT_EQ(parseText(run.out), expected) << "cut at " << cut;
    EXPECT_EQ(run.exitStatus, cut == bytes.size() ? 0 : 1) << "cut at " << cut;
    std::size_t stop = cut;  // a whole file is read to its end
    for (const std::size_t start : starts) {
      if (start <= cut && cut < bytes.size()) stop = start;
    }
    EXPECT_NE(run.err.find(" at offset " + std::to_string(stop)), std::string::npos)
        << "cut at " << cut << ": " << run.err;
  }
}

// A wrong magic or version says nothing of the records after it: all of
// them are salvaged, and the message says so.
TEST(Dump, SalvageReadsPastADamagedHead) {
  tScratchTree tree;
  const tPairs uPairs = {{"A", "/a.so"}};
  const tPairs kPairs = {{"K", "/k.so"}};
  const std::string bytes = encodeMapFile(uPairs, kPairs);
  const std::string file = tree.root() + "/head";
  for (const auto& [offset, problem] :
       {std::pair<std::size_t, const char*>{0, "wrong magic"},
        std::pair<std::size_t, const char*>{4, "unsupported version"}}) {
    writeFile(file, bytes.substr(0, offset) + "XXXX" + bytes.substr(offset + 4));
    const tDumpRun run = dump(tree, {"--salvage", file});
    EXPECT_EQ(parseText(run.out), rowsOf(uPairs, kPairs)) << problem;
    EXPECT_EQ(run.exitStatus, 1) << problem;
    EXPECT_TRUE(std::regex_search(run.err, std::regex("head damaged \\(" + std::string(problem) +
                                                      ".*\\), so read from offset 8")))
        << run.err;
  }
  // A copy mark is a head like any other to a salvage: no copy is waited
  // for, and this file, which is no map file, has no next run to recover it.
  writeFile(file, copyMarkFor(bytes) + bytes.substr(24));
  const tDumpRun marked = dump(tree, {"--salvage", file});
  EXPECT_EQ(marked.exitStatus, 1);
  EXPECT_TRUE(std::regex_search(marked.err,
                                std::regex("head damaged \\(the copy mark of a copy into it that "
                                           "did not finish\\), so read from offset 8")))
      << marked.err;
  const tDumpRun shown = dump(tree, {file});
  EXPECT_EQ(shown.err, "zembril-dump: " + file + ": a copy into it began and did not finish\n");
  for (const tDumpRun& run : {marked, shown}) {
    EXPECT_EQ(run.err.find("next run"), std::string::npos) << run.err;
  }
}

// Runs `body` once per case on a tree whose map directory starts empty and
// that has no directory file.
template <typename tCase>
void forEachSetup(const tScratchTree& tree, const std::vector<tCase>& cases,
                  const std::function<void(const tCase&)>& body) {
  for (const tCase& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases.data()));
    std::filesystem::remove_all(tree.root() + "/etc");
    std::filesystem::remove_all(tree.mapDirectory());
    std::filesystem::create_directories(tree.mapDirectory());
    c.setUp();
    body(c);
  }
}

TEST(Dump, ShowFindsTheMapFileAsZembrilDoes) {
  tScratchTree tree;
  const std::string map = encodeMapFile({{"A", "/a.so"}}, {});
  struct Case {
    std::function<void()> setUp;
    Args arguments;
    int exitStatus;
    std::string out;
    std::string err;  // "@" stands for the map file's path
  };
  const std::vector<Case> cases = {
      {[] {}, {}, 0, "", ""},  // no map file is an empty map
      {[&] {
         writeFile(tree.directoryFile(), "/srv/\nignored\n");
         writeFile(tree.root() + "/srv/etc/dravimap", map);
       },
       {},
       0,
       "U\tA\t/a.so\n",
       ""},
      {[&] { writeFile(tree.mapFile(), map.substr(0, 20)); },
       {},
       1,
       "",
       "zembril-dump: @: file ends inside a record at offset 12\n"},
      {[&] { std::filesystem::create_directories(tree.mapFile()); },
       {},
       2,
       "",
       "zembril-dump: @: not a regular file (a directory)\n"},
      // A named file that is missing is a mistake, not an empty map.
      {[] {}, {"@"}, 2, "", "zembril-dump: @: No such file or directory\n"},
  };
  forEachSetup<Case>(tree, cases, [&](const Case& c) {
    Args arguments = c.arguments;
    std::replace(arguments.begin(), arguments.end(), std::string("@"), tree.mapFile());
    const tDumpRun run = dump(tree, arguments);
    EXPECT_EQ(run.exitStatus, c.exitStatus);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, std::regex_replace(c.err, std::regex("@"), tree.mapFile()));
  });
}

// The text form as the json form of --check rebuilds it: each finding's
// label, padded as the text form pads it, and its message, then the summary.
std::string textOfJson(const tJsonReader::tValue& document) {
  std::size_t width = std::string("summary").size();
  for (const auto& finding : document["findings"].items)
    width = std::max(width, finding["label"].text.size());
  std::string text;
  const auto line = [&](const std::string& label, const std::string& message) {
    text += label + std::string(width + 2 - label.size(), ' ') + message + "\n";
  };
  for (const auto& finding : document["findings"].items)
    line(finding["label"].text, finding["message"].text);
  line("summary", document["summary"].text);
  return text;
}

TEST(Dump, CheckSaysWhatIsWrong) {
  tScratchTree tree;
  const std::string map = encodeMapFile({{"A", "/a.so"}}, {{"B", "/b.so"}});
  writeFile(tree.root() + "/a.so", "");
  writeFile(tree.root() + "/b.so", "");
  const std::string damaged = map.substr(0, 40);
  struct Case {
    std::function<void()> setUp;
    int exitStatus;
    std::vector<std::string> lines;  // regular expressions, each matching one whole line
  };
  const std::vector<Case> cases = {
      {[&] { writeFile(tree.mapFile(), map); },
       0,
       {"directory file +.*/mirtal.dir: absent, so zembril uses the fallback map directory",
        "dravimap +valid: 1 U and 1 K bindings, 48 bytes", "summary +healthy"}},
      {[&] { writeFile(tree.directoryFile(), "/gone\n"); },
       1,
       {"directory file +.*: its first line \".*/gone\" names the map directory",
        "map directory +.*/gone/etc: missing: runs that change the map fail with -50204"}},
      {[&] { writeFile(tree.directoryFile(), "relative\n"); },
       1,
       {"directory file +.*: its first line \"relative\" names the map directory, relative to "
        "the root, .*"}},
      {[&] { writeFile(tree.mapFile(), damaged); },
       1,
       {"dravimap +damaged: file ends inside a record at offset 32 \\(1 U and 0 K bindings before "
        "it\\); the next run that takes the lock keeps it as dravimap.damaged and starts from "
        "empty maps",
        "summary +1 thing needs attention"}},
      {[&] {
         writeFile(tree.mapFile(), map);
         writeFile(tree.mapFile() + ".tmp", map.substr(0, 10));
         writeFile(tree.mapFile() + ".damaged", damaged);
         writeFile(tree.mapFile() + ".damaged.1", damaged.substr(0, 30));
         // Names that no run keeps a copy under.
         for (const char* other : {".damaged.0", ".damaged.01", ".damaged.1x", ".damaged.-1"}) {
           writeFile(tree.mapFile() + other, damaged);
         }
       },
       1,
       {"dravimap.tmp +partial \\(file ends inside a section's count at offset 8\\), left by a "
        "run that did not finish: the next run that takes the lock removes it and never reads it",
        "dravimap.damaged +kept from a damaged map file: 1 U and 0 K bindings readable before "
        "offset 32 \\(file ends inside a record\\); zembril-dump --salvage .*/dravimap.damaged "
        "prints them",
        "dravimap.damaged.1 +kept from a damaged map file: 1 U and 0 K bindings readable before "
        "offset 28 .*",
        "summary +3 things need attention"}},
      {[&] {
         std::filesystem::permissions(tree.mapDirectory(), std::filesystem::perms::group_write,
                                      std::filesystem::perm_options::add);
       },
       1,
       {"unsafe +.*/etc: writable by group 0 \\(root\\), who can then decide what root's "
        "installers bind"}},
      // Anyone who may open the lock file could hold the lock and stall every installer.
      {[&] { writeFile(tree.mapDirectory() + "/dravimap.lock", ""); },
       1,
       {"dravimap.lock +open to others \\(mode 0644\\), so zembril refuses it: runs that change "
        "the map fail with -50204 until it is removed"}},
  };
  forEachSetup<Case>(tree, cases, [&](const Case& c) {
    const tDumpRun run = dump(tree, {"--check"});
    EXPECT_EQ(run.exitStatus, c.exitStatus) << run.out;
    for (const std::string& line : c.lines)
      EXPECT_TRUE(hasLine(run.out, line)) << line << "\n" << run.out;
    // The json form says what the text form says, and gives the same exit status.
    const tDumpRun json = dump(tree, {"--check", "--format=json"});
    const auto document = tJsonReader(json.out).document();
    EXPECT_EQ(json.exitStatus, c.exitStatus);
    EXPECT_EQ(document["status"].text, std::to_string(c.exitStatus));
    EXPECT_EQ(textOfJson(document), run.out);
    std::set<std::string> severities;
    for (const auto& finding : document["findings"].items)
      severities.insert(finding["severity"].text);
    const std::set<std::string> expected =
        c.exitStatus == 0 ? std::set<std::string>{"ok"} : std::set<std::string>{"ok", "attention"};
    EXPECT_EQ(severities, expected);
  });

  // A sticky directory keeps others from replacing a name of root's, not
  // from making one that is missing: it counts unless the name the way looks
  // up in it is there and is root's. Runs make their files in the map
  // directory, so there it never helps: another user's lock file made first
  // fails every run that changes the map with -50204.
  const std::string mirtal = tree.root() + "/etc/tolvane/.mirtal";
  const struct {
    const char* what;
    std::string directory;
    mode_t mode;
    bool directoryFile;  // naming the fallback map directory
    std::string unsafe;  // the line about `directory`; empty: none
    uid_t owner = 0;     // of the directory file
  } ways[] = {
      {"everyone's", mirtal, 0777, false, "writable by group .*, everyone, who can .*"},
      {"sticky, name missing", mirtal, 01777, false,
       "writable by group .*, everyone \\(sticky, but mirtal.dir is not there, so anyone may "
       "make it\\), who can .*"},
      {"sticky, name root's", mirtal, 01777, true, ""},
      {"sticky, name another user's", mirtal, 01777, true,
       "writable by group .*, everyone \\(sticky, but mirtal.dir is owned by uid 1000.*\\), who "
       "can .*",
       1000},
      {"sticky map directory", tree.mapDirectory(), 01777, false,
       "writable by group .*, everyone \\(sticky, but runs make their files in it, so anyone may "
       "make one first: a lock file that runs refuse, or a map file of their own\\), who can .*"},
  };
  for (const auto& way : ways) {
    if (way.owner != 0 && ::geteuid() != 0) continue;  // only root can give a file away
    std::filesystem::remove_all(tree.root() + "/etc");
    std::filesystem::create_directories(mirtal);
    if (way.directoryFile) {
      writeFile(tree.directoryFile(), "/usr/local/tolvane/.mirtal\n");
      ASSERT_EQ(::chown(tree.directoryFile().c_str(), way.owner, 0), 0);
    }
    ASSERT_EQ(::chmod(way.directory.c_str(), way.mode), 0);
    const tDumpRun run = dump(tree, {"--check"});
    const std::string line = "unsafe +" + way.directory + ": .*";
    EXPECT_EQ(hasLine(run.out, line), !way.unsafe.empty()) << way.what << "\n" << run.out;
    if (!way.unsafe.empty()) {
      EXPECT_TRUE(hasLine(run.out, "unsafe +" + way.directory + ": " + way.unsafe))
          << way.what << "\n"
          << run.out;
    }
    ASSERT_EQ(::chmod(way.directory.c_str(), 0755), 0);
  }
  std::filesystem::remove_all(tree.root() + "/etc");

  // Only a lock on the lock file counts, not one on the map directory; it is
  // shown with its holder, and the check does not wait for it.
  const int directory = ::open(tree.mapDirectory().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(directory, LOCK_EX), 0);
  EXPECT_TRUE(hasLine(dump(tree, {"--check"}).out, "lock +free"));
  std::filesystem::remove(tree.mapDirectory() + "/dravimap.lock");
  const int lock = ::open((tree.mapDirectory() + "/dravimap.lock").c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const tDumpRun run = dump(tree, {"--check"});
  const auto document = tJsonReader(dump(tree, {"--check", "--format=json"}).out).document();
  ::close(lock);
  ::close(directory);
  EXPECT_EQ(document["lock"]["state"].text, "held");
  EXPECT_EQ(document["lock"]["holder"]["pid"].text, std::to_string(::getpid()));
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_TRUE(
      hasLine(run.out, "lock +held by pid " + std::to_string(::getpid()) + ": \\S*dump_tests.*"))
      << run.out;

  // The process that took the lock may exit while a child holds it on.
  const std::string child = runCommand({"flock", "-x", tree.mapDirectory() + "/dravimap.lock", "sh",
                                        "-c", "sleep 60 </dev/null >/dev/null 2>&1 & echo $!"})
                                .output;
  const tDumpRun handedOn = dump(tree, {"--check"});
  ::kill(std::stoi(child), SIGKILL);
  EXPECT_TRUE(hasLine(handedOn.out, "lock +held by pid " + std::to_string(std::stoi(child)) +
                                        ": sleep 60 \\(the lock was taken by pid [0-9]+, which "
                                        "has exited\\)"))
      << handedOn.out;
}

// A binding's library is looked up inside the root as its loader would
// find it: links followed there, never out of it. What is not a regular
// file there is missing; a relative path is counted apart.
TEST(Dump, BindingsWhoseLibraryIsGoneAreFoundInTheRootAndUnbound) {
  tScratchTree tree;
  const std::string lib = tree.root() + "/usr/lib";
  writeFile(lib + "/libok.so", "");
  std::filesystem::create_directory(lib + "/adir");
  // Found only inside the root, and found only outside it.
  std::filesystem::create_symlink("/usr/lib/libok.so", lib + "/liblink.so");
  std::filesystem::create_symlink("../../../../../../../../../bin/sh", lib + "/libup.so");
  std::filesystem::create_symlink("libnowhere.so", lib + "/libdangling.so");
  const tPairs uPairs = {{"A", "/usr/lib/libok.so"},   {"B", "/usr/lib/liblink.so"},
                         {"C", "/usr/lib/libup.so"},   {"D", "/usr/lib/adir"},
                         {"E", "/usr/lib/libgone.so"}, {"R", "libok.so"}};
  const tPairs kPairs = {
      {"F", "/usr/lib/libdangling.so"}, {"G", "/usr/lib/libgone.so"}, {"H", "/usr/lib/libok.so"}};
  writeFile(tree.mapFile(), encodeMapFile(uPairs, kPairs));
  const tRows gone = {{"U", "C", "/usr/lib/libup.so"},
                      {"U", "D", "/usr/lib/adir"},
                      {"U", "E", "/usr/lib/libgone.so"},
                      {"K", "F", "/usr/lib/libdangling.so"},
                      {"K", "G", "/usr/lib/libgone.so"}};

  const tDumpRun check = dump(tree, {"--check"});
  EXPECT_EQ(check.exitStatus, 1);
  EXPECT_TRUE(
      hasLine(check.out,
              "missing +dravimap: 5 bindings name libraries that the loader cannot load: "
              "U C /usr/lib/libup.so \\(missing\\); U D /usr/lib/adir \\(a directory, not a "
              "regular file\\); U E /usr/lib/libgone.so \\(missing\\); and 2 more; "
              "'zembril-dump --missing' lists them all"))
      << check.out;
  EXPECT_TRUE(hasLine(check.out,
                      "relative +dravimap: 1 binding names its library by a relative "
                      "path, .*: U R libok.so"))
      << check.out;

  const tDumpRun text = dump(tree, {"--missing"});
  EXPECT_EQ(text.exitStatus, 1);
  EXPECT_EQ(parseText(text.out), gone);
  std::string file;
  EXPECT_EQ(tJsonReader(dump(tree, {"--missing", "--format=json"}).out).rows(file), gone);
  EXPECT_EQ(
      tJsonReader(dump(tree, {"--check", "--format=json"}).out).document()["missing"].items.size(),
      gone.size());

  // The command file unbinds exactly those, and the check is content.
  const tDumpRun commands = dump(tree, {"--missing", "--format=commands"});
  writeFile(tree.root() + "/unbind", commands.out);
  EXPECT_EQ(testing::runTool(tree, {"/file", tree.root() + "/unbind"}).exitStatus, 0)
      << commands.out;
  EXPECT_EQ(parseText(dump(tree, {}).out), (tRows{{"U", "A", "/usr/lib/libok.so"},
                                                  {"U", "B", "/usr/lib/liblink.so"},
                                                  {"U", "R", "libok.so"},
                                                  {"K", "H", "/usr/lib/libok.so"}}));
  const tDumpRun after = dump(tree, {"--missing"});
  EXPECT_EQ(after.exitStatus, 0);
  EXPECT_EQ(after.out, "");
  // Only root's check is content with the scratch tree as a whole.
  const tDumpRun content = dump(tree, {"--check"});
  EXPECT_FALSE(hasLine(content.out, "missing .*")) << content.out;
  if (::geteuid() == 0) {
    EXPECT_EQ(content.exitStatus, 0) << content.out;
  }
}

// --check follows the map directory through its links: what counts is every
// directory on the way to where it leads, and who could replace a link.
TEST(Dump, CheckJudgesWhereALinkedMapDirectoryLeads) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
  const struct {
    const char* what;
    const char* target;
    uid_t linkOwner;
    mode_t parentMode;  // of the directory that holds the link
    std::string unsafe;
  } cases[] = {
      // Root's own link, but the user can swap the directory it leads into.
      {"a link into a user's directory", "../../../../home/user/maps", 0, 0755,
       "unsafe +@/home/user: writable by its owner, uid 1000.*"},
      // In a sticky directory the link's owner can replace it.
      {"a user's link in a sticky directory", "/home/user/maps", 1000, 01777,
       "unsafe +@/usr/local/tolvane/\\.mirtal/etc: a symbolic link to /home/user/maps that its "
       "owner, uid 1000.* can replace, .*"},
  };
  for (const auto& c : cases) {
    tScratchTree tree(false);
    const std::string maps = tree.root() + "/home/user/maps";
    std::filesystem::create_directories(maps);
    ASSERT_EQ(::chown((tree.root() + "/home/user").c_str(), c.linkOwner == 0 ? 1000 : 0, 0), 0);
    const std::string parent = tree.root() + "/usr/local/tolvane/.mirtal";
    std::filesystem::create_directories(parent);
    ASSERT_EQ(::chmod(parent.c_str(), c.parentMode), 0);
    ASSERT_EQ(::symlink(c.target, tree.mapDirectory().c_str()), 0);
    ASSERT_EQ(::lchown(tree.mapDirectory().c_str(), c.linkOwner, 0), 0);
    const tDumpRun run = dump(tree, {"--check"});
    EXPECT_EQ(run.exitStatus, 1) << c.what << "\n" << run.out;
    EXPECT_TRUE(hasLine(run.out, std::regex_replace(c.unsafe, std::regex("@"), tree.root())))
        << c.what << "\n"
        << run.out;
    EXPECT_TRUE(
        hasLine(run.out, "map directory +.*/etc \\(resolved: " + maps + "\\): exists, writable"))
        << c.what << "\n"
        << run.out;
  }
}

// Runs `setUp`, then zembril-dump --check, then "zembril /U /add B /b.so",
// without a root, in a mount namespace of their own whose /etc and
// /usr/local are overlays that vanish with it. Returns what the check
// printed and the run's exit status and report.
std::pair<std::string, testing::tRunResult> checkAndChangeOnThisSystem(const tScratchTree& tree,
                                                                       const std::string& setUp) {
  const std::string script =
      "mount --make-rprivate / && "
      "for d in /etc /usr/local; do mkdir -p \"$1$d/u\" \"$1$d/w\" && mount -t overlay overlay "
      "-o \"lowerdir=$d,upperdir=$1$d/u,workdir=$1$d/w\" $d || exit 99; done && "
      "mkdir -p /etc/tolvane/.mirtal /usr/local/tolvane/.mirtal/etc && " +
      setUp + " && \"$2\" --check >\"$1/check\"; exec \"$3\" /U /add B /b.so";
  const std::string ns = tree.root() + "/ns";
  std::filesystem::remove_all(ns);
  const testing::tRunResult run = runCommand({"timeout", "20", "unshare", "-m", "sh", "-c", script,
                                              "sh", ns, ZEMBRIL_DUMP_BINARY, ZEMBRIL_BINARY});
  return {readFile(ns + "/check").value_or(""), run};
}

// --check says that runs will fail exactly when zembril's own judgement of
// the way refuses to lock, and why.
TEST(Dump, CheckAgreesWithZembrilOnTheWaysItRefuses) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give files away and mount";
  tScratchTree tree;
  const struct {
    const char* what;
    std::string setUp;
    std::string way;  // the way line's reason; empty: runs change the map
  } cases[] = {
      {"root's own way", "true", ""},
      {"a sticky directory above a missing directory file", "chmod 1777 /etc/tolvane/.mirtal",
       "/etc/tolvane/.mirtal/mirtal.dir: zembril does not trust the way to it "
       "\\(/etc/tolvane/.mirtal: writable by everyone\\)"},
      {"a sticky directory above root's directory file",
       "echo /usr/local/tolvane/.mirtal >/etc/tolvane/.mirtal/mirtal.dir && "
       "chmod 1777 /etc/tolvane/.mirtal",
       ""},
      {"a directory file that is another user's link",
       "echo /usr/local/tolvane/.mirtal >/etc/tolvane/.mirtal/real && "
       "ln -s real /etc/tolvane/.mirtal/mirtal.dir && chown -h 65534 "
       "/etc/tolvane/.mirtal/mirtal.dir",
       "/etc/tolvane/.mirtal/mirtal.dir: zembril does not trust the way to it "
       "\\(/etc/tolvane/.mirtal/mirtal.dir: a link owned by uid 65534\\)"},
      {"a map directory in another user's directory", "chown 1000 /usr/local/tolvane/.mirtal",
       "/usr/local/tolvane/.mirtal/etc: zembril does not trust the way to it "
       "\\(/usr/local/tolvane/.mirtal: owned by uid 1000\\)"},
      // Trusted as the administrator set it; only unsafe says so.
      {"a directory its group may write", "chmod 775 /usr/local/tolvane/.mirtal", ""},
  };
  for (const auto& c : cases) {
    const auto& [check, change] = checkAndChangeOnThisSystem(tree, c.setUp);
    ASSERT_NE(change.exitStatus, 99) << "no overlay here";
    EXPECT_TRUE(hasLine(check, "summary +.*")) << c.what << "\n" << check;
    if (c.way.empty()) {
      EXPECT_EQ(change.exitStatus, 0) << c.what << "\n" << change.output;
      EXPECT_FALSE(hasLine(check, "way +.*")) << c.what << "\n" << check;
      EXPECT_TRUE(hasLine(check, "dravimap.lock +not made yet; the next run by root makes it"))
          << c.what << "\n"
          << check;
      continue;
    }
    EXPECT_EQ(change.exitStatus, 255) << c.what;
    EXPECT_EQ(change.output, "\tOperation Failed!\n\tStatus on exit was -50204.\n") << c.what;
    EXPECT_TRUE(hasLine(
        check,
        "way +" + c.way + ", so it takes no lock: runs that change the map fail with -50204"))
        << c.what << "\n"
        << check;
  }
}

// What --check says of a lock file that zembril does not accept as it is is
// what the next run that changes the map makes of it: a second name is
// replaced where only root may change the map directory, else refused.
TEST(Dump, CheckSaysWhatTheNextRunMakesOfTheLockFile) {
  // The check judges the lock file for root's runs, which the next run must be.
  if (::geteuid() != 0) GTEST_SKIP() << "the check speaks of root's runs";
  tScratchTree tree;
  const std::string lockFile = tree.mapDirectory() + "/dravimap.lock";
  const std::string alias = tree.root() + "/alias";
  const struct {
    const char* what;
    mode_t lockMode;
    mode_t directoryMode;
    bool linked;
    std::string finding;
    bool replaced;  // else refused
  } cases[] = {
      {"a second name", 0600, 0755, true,
       "2 links: the next run that takes the lock removes it and makes it afresh; its other "
       "names keep the old file",
       true},
      {"a second name where everyone may write", 0600, 01777, true,
       "2 links, so zembril refuses it: runs that change the map fail with -50204 until it is "
       "removed",
       false},
      {"open to others", 0644, 0755, false,
       "open to others \\(mode 0644\\), so zembril refuses it: runs that change the map fail "
       "with -50204 until it is removed",
       false},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(alias);
    std::filesystem::remove_all(tree.mapDirectory());
    writeFile(lockFile, "");
    ASSERT_EQ(::chmod(lockFile.c_str(), c.lockMode), 0);
    ASSERT_EQ(::chmod(tree.mapDirectory().c_str(), c.directoryMode), 0);
    if (c.linked) {
      ASSERT_EQ(::link(lockFile.c_str(), alias.c_str()), 0);
    }
    const tDumpRun check = dump(tree, {"--check"});
    EXPECT_EQ(check.exitStatus, 1) << c.what;
    EXPECT_TRUE(hasLine(check.out, "dravimap.lock +" + c.finding)) << c.what << "\n" << check.out;
    const testing::tRunResult change = testing::runTool(tree, {"/U", "/add", "B", "/b.so"});
    EXPECT_EQ(change.exitStatus, c.replaced ? 0 : 255) << c.what << "\n" << change.output;
    struct stat lock {};
    ASSERT_EQ(::stat(lockFile.c_str(), &lock), 0);
    EXPECT_EQ(lock.st_nlink == 1 && (lock.st_mode & 077) == 0, c.replaced) << c.what;
  }
}

// Starts a process of the user nobody that holds `descriptors` descriptors
// and `posixLocks` POSIX locks on a file of its own, and returns its pid
// once it holds them all.
pid_t holdAsNobody(const std::string& directory, int descriptors, int posixLocks) {
  // Each lock set walks the list of its file's locks: spread over files,
  // a quarter of a million of them take seconds to set, not minutes.
  constexpr int kLocksPerFile = 500;
  int ready[2];
  if (::pipe(ready) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> lockedFiles;
  for (int n = 0; n == 0 || n * kLocksPerFile < posixLocks; ++n) {
    lockedFiles.push_back(directory + "/nobody-locks-" + std::to_string(n));
    writeFile(lockedFiles.back(), "");
  }
  const pid_t child = ::fork();
  if (child == 0) {
    // Opened before the user changes: nobody cannot reach the scratch tree.
    std::vector<int> opened;
    for (const std::string& file : lockedFiles) {
      opened.push_back(::open(file.c_str(), O_RDWR | O_CLOEXEC));
      if (opened.back() < 0) ::_exit(1);
    }
    // As many as the hard limit allows, which this user may not raise.
    rlimit room{};
    (void)::getrlimit(RLIMIT_NOFILE, &room);
    room.rlim_cur = room.rlim_max;
    descriptors = std::min(descriptors, static_cast<int>(room.rlim_max) - 64);
    if (::setrlimit(RLIMIT_NOFILE, &room) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(1);
    }
    for (int n = 0; n < descriptors; ++n) (void)::dup(opened.front());
    for (int n = 0; n < posixLocks; ++n) {
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      lock.l_start = off_t{2} * (n % kLocksPerFile);  // apart, so that the kernel keeps them apart
      lock.l_len = 1;
      if (::fcntl(opened[static_cast<std::size_t>(n / kLocksPerFile)], F_SETLK, &lock) != 0) {
        ::_exit(1);
      }
    }
    (void)::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  const bool holding = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!holding) throw std::runtime_error("the process of nobody failed");
  return child;
}

// No other user can make --check slow: it looks only at the descriptors of
// the lock file's owner, and at no table of every lock on the system.
TEST(Dump, CheckTakesNoLongerWhateverOtherUsersHold) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can start processes of another user";
  tScratchTree tree;
  // Looked at by root, and by a user who may not see root's descriptors.
  ASSERT_EQ(::chmod(tree.root().c_str(), 0755), 0);
  const Args asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  const auto timed = [&](const Args& wrapper) {
    Args command = wrapper;
    command.insert(command.end(), {ZEMBRIL_DUMP_BINARY, "--root=" + tree.root(), "--check"});
    const auto start = std::chrono::steady_clock::now();
    const testing::tRunResult run = runCommand(command);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A check that could not reach the map would be timed for nothing.
    EXPECT_TRUE(hasLine(run.output, "dravimap +valid.*")) << run.output;
    return seconds;
  };
  // --check looks for the lock's holders only once a run has made the lock file.
  ASSERT_EQ(testing::runTool(tree, {"/U", "/add", "A", "/a.so"}).exitStatus, 0);
  std::vector<double> idle;
  for (const Args& wrapper : {Args{}, asNobody}) {
    (void)timed(wrapper);  // warms the caches
    idle.push_back(timed(wrapper));
  }
  std::vector<pid_t> holders;
  holders.reserve(41);
  for (int n = 0; n < 40; ++n) holders.push_back(holdAsNobody(tree.root(), 20000, 0));
  holders.push_back(holdAsNobody(tree.root(), 0, 250000));
  const std::vector<double> loaded = {timed({}), timed(asNobody)};
  for (const pid_t holder : holders) {
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
  }
  for (std::size_t who = 0; who < 2; ++who) {
    std::cout << "[ --check  ] " << (who == 0 ? "root: " : "nobody: ") << idle[who] << " s idle, "
              << loaded[who]
              << " s beside 40 x 20,000 descriptors and 250,000 POSIX locks of nobody\n";
    EXPECT_LT(loaded[who], idle[who] + 2.0) << who;
  }
}

// --check, and showing a marked map, print the plan that the next run of
// zembril carries out, from the same function: what they predict is what
// happens.
TEST(Dump, CheckPredictsWhatTheNextRunDoes) {
  tScratchTree tree;
  const std::string map = encodeMapFile({{"A", "/a.so"}}, {{"B", "/b.so"}});
  const std::string other = encodeMapFile({{"New", "/new.so"}}, {});
  const std::string tmp = tree.mapFile() + ".tmp";
  struct Case {
    std::function<void()> setUp;
    std::string prediction;  // a --check line
    std::optional<std::string> mapAfter;
    std::optional<std::string> keptAfter;  // dravimap.damaged.1
    std::string recovery;                  // as the json form says it: action, removes the .tmp
    std::string shown = {};                // the end of what showing the map says, if anything
  };
  const std::vector<Case> cases = {
      {[&] {
         writeFile(tree.mapFile(), copyMarkFor(map) + map.substr(24));
         writeFile(tmp, map);
       },
       "dravimap +a copy into it began and did not finish; the next run that takes the lock "
       "finishes the copy from dravimap.tmp and uses its maps",
       map, std::nullopt, "finish-copy false",
       "finishes the copy from dravimap.tmp and uses its maps\n"},
      // A mark whose temporary file is another: nothing can finish the copy.
      {[&] {
         writeFile(tree.mapFile(), copyMarkFor(map) + map.substr(24));
         writeFile(tmp, other);
       },
       "dravimap +a copy into it began and did not finish; the next run that takes the lock "
       "keeps it as dravimap.damaged.1 and starts from empty maps; it removes dravimap.tmp and "
       "never reads it",
       std::nullopt, copyMarkFor(map) + map.substr(24), "set-aside true",
       "keeps it as dravimap.damaged.1 and starts from empty maps; it removes dravimap.tmp and "
       "never reads it\n"},
      // A run killed before its rename, then a damaged map file: the killed
      // run's bindings never come back.
      {[&] {
         writeFile(tree.mapFile(), map.substr(0, 20));
         writeFile(tmp, other);
       },
       "dravimap +damaged: .*; the next run that takes the lock keeps it as dravimap.damaged.1 "
       "and starts from empty maps; it removes dravimap.tmp and never reads it",
       std::nullopt, map.substr(0, 20), "set-aside true"},
      {[&] {
         writeFile(tree.mapFile(), map);
         writeFile(tmp, other);
       },
       "dravimap.tmp +complete \\(1 U and 0 K bindings\\), left by a run that did not finish: the "
       "next run that takes the lock removes it and never reads it",
       map, std::nullopt, "keep true"},
  };
  forEachSetup<Case>(tree, cases, [&](const Case& c) {
    writeFile(tree.mapFile() + ".damaged", "older");
    const tDumpRun check = dump(tree, {"--check"});
    EXPECT_TRUE(hasLine(check.out, c.prediction)) << c.prediction << "\n" << check.out;
    const auto recovery = tJsonReader(dump(tree, {"--check", "--format=json"}).out)
                              .document()["mapFiles"]
                              .items.at(0)["recovery"];
    EXPECT_EQ(recovery["action"].text + " " + recovery["removesTemporaryFile"].text, c.recovery);
    const tDumpRun shown = dump(tree, {});
    EXPECT_TRUE(shown.err.ends_with(c.shown)) << c.shown << "\n" << shown.err;
    EXPECT_EQ(testing::runTool(tree, {"/U", "/lookup", "A"}).exitStatus, 0);
    EXPECT_EQ(readFile(tree.mapFile()), c.mapAfter);
    EXPECT_EQ(readFile(tree.mapFile() + ".damaged"), "older");
    EXPECT_EQ(readFile(tree.mapFile() + ".damaged.1"), c.keptAfter);
    EXPECT_FALSE(readFile(tmp).has_value());
  });
}

// The temporary file that a marked map file names is judged as the next run
// judges it, however large it is: walked through, never loaded, so that a
// check in little memory foretells the same.
TEST(Dump, CheckForetellsTheRecoveryOfATemporaryFileTooLargeToLoad) {
  if (testing::kUnderAddressSanitizer) {
    GTEST_SKIP() << "the sanitizer's runtime needs more address space than the limit leaves";
  }
  if (!testing::haveProgram("prlimit")) GTEST_SKIP() << "prlimit is missing";
  tScratchTree tree;
  constexpr std::uint32_t kLength = std::uint32_t{300} << 20;
  std::string head(" fmd\1\0\0\0\1\0\0\0\2\0\0\0A\0", 18);
  for (int shift = 0; shift < 32; shift += 8) head += static_cast<char>(kLength >> shift & 0xFF);
  const std::string tmp = tree.mapFile() + ".tmp";
  struct Case {
    std::uintmax_t size;  // of the temporary file: its library, a hole, ends where it says
    std::string prediction;
    std::string recovery;
  };
  const std::vector<Case> cases = {
      {head.size() + kLength + 4,
       "the next run that takes the lock finishes the copy from dravimap.tmp and uses its maps",
       "finish-copy false"},
      {head.size() + kLength - 1,
       "the next run that takes the lock keeps it as dravimap.damaged and starts from empty maps; "
       "it removes dravimap.tmp and never reads it",
       "set-aside true"},
  };
  for (const Case& c : cases) {
    writeFile(tmp, head);
    std::filesystem::resize_file(tmp, c.size);
    const tRegularFile file = tRegularFile::openForReading(tmp);
    const std::optional<tCopyMark> mark = digestOfFile(file.descriptor());
    ASSERT_TRUE(mark.has_value());
    writeFile(tree.mapFile(), encodeCopyMark(*mark) + head);
    const Args limit = {"prlimit", "--as=209715200"};
    const tDumpRun check = dump(tree, {"--check"}, limit);
    EXPECT_TRUE(
        hasLine(check.out, "dravimap +a copy into it began and did not finish; " + c.prediction))
        << check.out;
    const auto recovery = tJsonReader(dump(tree, {"--check", "--format=json"}, limit).out)
                              .document()["mapFiles"]
                              .items.at(0)["recovery"];
    EXPECT_EQ(recovery["action"].text + " " + recovery["removesTemporaryFile"].text, c.recovery);
  }
}

// A check holds no binding of the files beside the map, which it only
// counts, and of the map's own no string longer than a path, nor does
// --missing: bindings each small enough to hold are together more than
// either holds.
TEST(Dump, CheckHoldsNoLargeStringOfTheMapOrTheFilesBesideIt) {
  if (testing::kUnderAddressSanitizer) {
    GTEST_SKIP() << "the sanitizer's runtime needs more address space than the limit leaves";
  }
  if (!testing::haveProgram("prlimit")) GTEST_SKIP() << "prlimit is missing";
  tScratchTree tree;
  tPairs pairs;
  for (char name = 'A'; name < 'A' + 60; ++name) {
    pairs.emplace_back(std::string{name}, "/" + std::string((std::size_t{4} << 20) - 64, name));
  }
  const std::string bytes = encodeMapFile(pairs, {});
  std::size_t listed = 0;  // bytes of --missing, all of them missing
  for (const auto& [name, library] : pairs)
    listed += 4 + escapeForText(name).size() + escapeForText(library).size();
  struct Case {
    std::vector<std::string> names;  // where the map's bytes are
    std::vector<std::string> lines;  // of --check
    Args arguments = {"--check"};
    std::size_t outSize = 0;  // when not 0
  };
  const std::vector<Case> cases = {
      {{".tmp", ".damaged"},
       {"dravimap.tmp +complete \\(60 U and 0 K bindings\\), .*",
        "dravimap.damaged +kept from a damaged map file: 60 U and 0 K bindings readable; .*"}},
      {{""},
       {"dravimap +valid: 60 U and 0 K bindings, .*",
        "missing +dravimap: 60 bindings name libraries that the loader cannot load: U A /A{63}"
        "\\.\\.\\. \\(4,194,241 bytes\\) \\(missing\\); .*"}},
      {{""}, {}, {"--missing"}, listed},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(tree.mapDirectory());
    std::filesystem::create_directories(tree.mapDirectory());
    writeFile(tree.mapFile() + c.names.front(), bytes);
    for (const std::string& name : c.names) {
      if (name != c.names.front()) {
        std::filesystem::create_hard_link(tree.mapFile() + c.names.front(), tree.mapFile() + name);
      }
    }
    const tDumpRun check = dump(tree, c.arguments, {"prlimit", "--as=209715200"});
    EXPECT_EQ(check.exitStatus, 1) << check.err;
    for (const std::string& line : c.lines) EXPECT_TRUE(hasLine(check.out, line)) << check.out;
    if (c.outSize != 0) {
      EXPECT_EQ(check.out.size(), c.outSize);
    }
  }
}

TEST(Dump, AFifoInPlaceOfAFileIsReportedAndNeverRead) {
  tScratchTree tree;
  struct Case {
    std::string path;  // where the FIFO is
    Args arguments;    // a mode that reads it, or the file it names
    int exitStatus;
    std::string checkLine;
    void setUp() const {
      std::filesystem::create_directories(std::filesystem::path(path).parent_path());
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }
  };
  const std::string map = tree.mapFile();
  const std::vector<Case> cases = {
      {map,
       {},
       2,
       "dravimap +not a regular file \\(a FIFO\\): runs of this bitness fail with -50207 and "
       "change nothing; it is never set aside"},
      {tree.directoryFile(),
       {},
       0,
       "directory file +.*: not a regular file \\(a FIFO\\), so zembril uses the fallback map "
       "directory"},
      {map + ".tmp",
       {"--salvage", map + ".tmp"},
       2,
       "dravimap.tmp +not a regular file \\(a FIFO\\), which no run makes: the next run that "
       "takes the lock removes it and never reads it"},
  };
  forEachSetup<Case>(tree, cases, [&](const Case& c) {
    // With a writer that never writes, a read would wait for ever.
    const int writer = ::open(c.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const tDumpRun shown = dump(tree, c.arguments);
    const tDumpRun check = dump(tree, {"--check"});
    ::close(writer);
    EXPECT_EQ(shown.exitStatus, c.exitStatus) << shown.err;
    EXPECT_EQ(check.exitStatus, 1);
    EXPECT_TRUE(hasLine(check.out, c.checkLine)) << c.checkLine << "\n" << check.out;
  });
}

TEST(Dump, AMapFileRewrittenInPlaceIsNeverShownAsAMixOfTwoVersions) {
  tScratchTree tree;
  // Two versions whose records line up, so that a mix of them reads whole.
  tPairs pairs[2];
  for (int i = 100000; i < 110000; ++i) {
    pairs[0].emplace_back(std::to_string(i), "/a/" + std::to_string(i));
    pairs[1].emplace_back(std::to_string(i), "/b/" + std::to_string(i));
  }
  const std::string versions[2] = {encodeMapFile(pairs[0], {}), encodeMapFile(pairs[1], {})};
  writeFile(tree.mapFile(), versions[0]);
  std::atomic<bool> done = false;
  // As zembril's copy rewrites it: new file times first, the head last.
  std::thread writer([&] {
    const int fd = ::open(tree.mapFile().c_str(), O_WRONLY | O_CLOEXEC);
    for (std::size_t which = 1; !done; which ^= 1) {
      struct stat status {};
      ::fstat(fd, &status);
      waitForNewFileTimes(status);
      const std::string& bytes = versions[which];
      EXPECT_TRUE(::ftruncate(fd, 0) == 0 &&
                  ::pwrite(fd, bytes.data() + 256, bytes.size() - 256, 256) > 0 &&
                  ::pwrite(fd, bytes.data(), 256, 0) == 256);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(fd);
  });
  // A reader that trusts one read shows a mix in about a third of these runs.
  for (int run = 0; run < 30; ++run) {
    const std::string out = dump(tree, {}).out;
    EXPECT_FALSE(out.find("\t/a/") != std::string::npos && out.find("\t/b/") != std::string::npos)
        << "run " << run;
  }
  done = true;
  writer.join();
}

TEST(Dump, CommandLine) {
  tScratchTree tree;
  for (const char* code : {"-1", "-50006", "-50150", "-50204", "-50205", "-50207", "-50208",
                           "-50209", "50209", "-50250", "-50257", "-88361", "88360"}) {
    const tDumpRun run = dump(tree, {"--explain", code});
    EXPECT_EQ(run.exitStatus, 0) << code;
    EXPECT_EQ(run.out.rfind(std::string(code) + ": ", 0), 0U) << run.out;
    const auto lines = std::count(run.out.begin(), run.out.end(), '\n');
    EXPECT_TRUE(lines >= 2 && lines <= 5) << run.out;
  }
  const Args usageErrors[] = {{"--frobnicate"},       {"--format=xml"},
                              {"--salvage"},          {"--check", "file"},
                              {"--explain", "50204"}, {"--root=relative", "--check"}};
  for (const Args& arguments : usageErrors) {
    const tDumpRun run = dump(tree, arguments);
    EXPECT_EQ(run.exitStatus, 2) << arguments.front();
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(std::regex_match(run.err, std::regex("Usage: zembril-dump .*\nzembril-dump: .*\n")))
        << run.err;
  }
  // An image root that is not there is named, never shown as an empty map
  // (whose backup would empty a map) or checked as a healthy setup.
  writeFile(tree.root() + "/plain", "");
  const Args missingRoots[] = {{tree.root() + "/missing", "--format=commands"},
                               {tree.root() + "/plain", "--check"}};
  for (const Args& arguments : missingRoots) {
    const tDumpRun run = dump(tree, {"--root=" + arguments[0], arguments[1]});
    EXPECT_EQ(run.exitStatus, 2) << arguments[0];
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("zembril-dump: " + arguments[0] + ": ", 0), 0U) << run.err;
  }
  for (const char* option : {"--help", "--version"}) {
    const tDumpRun run = dump(tree, {"--frobnicate", option});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");
  }
}

// Output that never arrives fails the dump, so that it cannot pass for a
// backup: a full device, and a standard output closed from the start,
// which /dev/null fills in only so that no file opened later lands there.
TEST(Dump, OutputThatCannotBeWrittenFails) {
  tScratchTree tree;
  writeFile(tree.mapFile(), encodeMapFile({{"A", "/a.so"}}, {}));
  const struct {
    const char* redirection;
    const char* error;
  } cases[] = {{">/dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}};
  for (const auto& c : cases) {
    for (const Args& arguments : {Args{"--format=commands"}, Args{"--check"}}) {
      const tDumpRun run =
          dump(tree, arguments, {"sh", "-c", std::string("exec \"$@\" ") + c.redirection, "sh"});
      EXPECT_EQ(run.exitStatus, 2) << c.redirection << " " << arguments[0];
      EXPECT_EQ(run.err, std::string("zembril-dump: write error: ") + c.error + "\n")
          << c.redirection << " " << arguments[0];
    }
  }
}

// The lock member of the json form has the same members in every state, so
// that a reader needs no case for an unknown one.
TEST(Dump, CheckJsonNamesTheLockHolderInEveryState) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can run a check as another user";
  tScratchTree tree;
  ASSERT_EQ(::chmod(tree.root().c_str(), 0755), 0);
  ASSERT_EQ(testing::runTool(tree, {"/U", "/add", "A", "/a.so"}).exitStatus, 0);
  const Args asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  const struct {
    const char* what;
    Args wrapper;
    mode_t directoryMode;
    const char* state;
  } cases[] = {
      {"root", {}, 0755, "free"},
      // The lock file cannot even be looked at.
      {"nobody, map directory closed to others", asNobody, 0700, "unknown"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(::chmod(tree.mapDirectory().c_str(), c.directoryMode), 0);
    const auto lock =
        tJsonReader(dump(tree, {"--check", "--format=json"}, c.wrapper).out).document()["lock"];
    EXPECT_EQ(lock["state"].text, c.state) << c.what;
    EXPECT_EQ(lock["holder"].text, "null") << c.what;
    EXPECT_EQ(lock["waiting"].text, "0") << c.what;
  }
}

// Every file and directory below `root` with its bytes and its modification
// and change times.
std::map<std::string, std::string> stateOf(const std::string& root) {
  std::map<std::string, std::string> state;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    struct stat status {};
    ::lstat(entry.path().c_str(), &status);
    std::ostringstream seen;
    seen << status.st_mtim.tv_sec << '.' << status.st_mtim.tv_nsec << ' ' << status.st_ctim.tv_sec
         << '.' << status.st_ctim.tv_nsec << ' ' << readFile(entry.path()).value_or("");
    state[entry.path().string()] = seen.str();
  }
  return state;
}

TEST(Dump, EveryModeOnlyReadsEvenWhileTheLockIsHeld) {
  ASSERT_TRUE(testing::haveProgram("strace")) << "the read-only proof needs strace";
  tScratchTree tree;
  const std::string map = encodeMapFile({{"A", "/a.so"}}, {{"B", "/b.so"}});
  // Relative, so that it names a directory inside the tree even to a dump
  // that failed to take it inside the root.
  writeFile(tree.directoryFile(), "usr/local/tolvane/.mirtal\n");
  writeFile(tree.mapFile(), map);
  writeFile(tree.mapFile() + ".tmp", map.substr(0, 20));
  writeFile(tree.mapFile(true), map.substr(0, 30));
  writeFile(tree.mapFile(true) + ".tmp", map);
  writeFile(tree.mapFile(true) + ".damaged", map.substr(0, 17));
  const int lock = ::open((tree.mapDirectory() + "/dravimap.lock").c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const auto before = stateOf(tree.root());
  const tScratchTree traces(false);
  const std::string trace = traces.root() + "/trace";

  // Calls that change a file or its name, or take a lock; an open by the
  // flags that let it write or create.
  const std::regex changing(
      "^[0-9]+ +(creat|unlink|unlinkat|rename|renameat|renameat2|link|linkat|symlink|symlinkat|"
      "mkdir|mkdirat|rmdir|mknod|mknodat|truncate|ftruncate|chmod|fchmod|fchmodat|chown|fchown|"
      "lchown|fchownat|utime|utimes|utimensat|futimesat|flock)\\(|"
      "^[0-9]+ +open(at|at2)?\\(.*(O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|O_APPEND)|"
      "^[0-9]+ +fcntl\\(.*F_(OFD_)?SETLKW?");
  const Args modes[] = {{},
                        {"--format=json"},
                        {"--x64", "--format=commands"},
                        {"--salvage", tree.mapFile(true) + ".damaged"},
                        {"--check"},
                        {"--explain", "-50204"}};
  for (const Args& mode : modes) {
    Args command = {"strace",
                    "-f",
                    "-qq",
                    "-o",
                    trace,
                    "-e",
                    "trace=%file,%desc",
                    ZEMBRIL_DUMP_BINARY,
                    "--root=" + tree.root()};
    command.insert(command.end(), mode.begin(), mode.end());
    EXPECT_LT(runCommand(command).exitStatus, 2);
    std::istringstream lines(readFile(trace).value_or(""));
    std::size_t calls = 0;
    for (std::string line; std::getline(lines, line); ++calls) {
      EXPECT_FALSE(std::regex_search(line, changing)) << line;
    }
    EXPECT_GT(calls, 10U) << "no trace";
  }
  ::close(lock);
  EXPECT_EQ(stateOf(tree.root()), before);
}

}  // namespace
}  // namespace nDRAVI100

namespace nDRAVI100 {
namespace {

// The maps that zembril loads from `bytes`, whole records of a damaged
// file included: what zembril-dump printed before it streamed.
std::array<tClassNameMap, 2> loadedMaps(const std::string& bytes, bool checkHead = true) {
  std::array<tClassNameMap, 2> maps;
  const int fd = ::memfd_create("map", MFD_CLOEXEC);
  EXPECT_TRUE(fd >= 0 && writeFully(fd, bytes.data(), bytes.size()) &&
              ::lseek(fd, 0, SEEK_SET) == 0);
  (void)scanMapFileDescriptor(fd, 2, maps[0], &maps[1], checkHead);
  ::close(fd);
  return maps;
}

using tKeeps = std::function<bool(char letter, std::string_view, std::string_view)>;

// The output of printing `maps` in `form`, written here from the forms'
// descriptions, and what goes to standard error.
std::pair<std::string, std::string> printedMaps(const std::array<tClassNameMap, 2>& maps,
                                                const std::string& form, const std::string& path,
                                                const tKeeps& keeps) {
  std::string out;
  std::string err;
  if (form == "json") out = "{\n  \"file\": \"" + escapeForJson(path) + "\"";
  if (form == "commands") {
    out = "# zembril command file: the U and K maps of " + escapeForText(path) +
          ".\n# Replay it with \"zembril /file FILE\": it replaces both maps in one run.\n"
          "U,reset\nK,reset\n";
  }
  for (const char letter : {'U', 'K'}) {
    const tClassNameMap& map = maps.at(letter == 'U' ? 0 : 1);
    std::string separator = "\n";
    if (form == "json") out += ",\n  \"" + std::string{letter} + "\": [";
    bool any = false;
    for (const auto& [className, library] : map) {
      if (!keeps(letter, className, library)) continue;
      any = true;
      const std::string textLine = std::string{letter} + "\t" + escapeForText(className) + "\t" +
                                   escapeForText(library) + "\n";
      if (form == "text") out += textLine;
      if (form == "json") {
        out += separator + "    {\"class\": \"" + escapeForJson(className) + "\", \"library\": \"" +
               escapeForJson(library) + "\"}";
        separator = ",\n";
      }
      if (form == "commands") {
        if (const auto line = addLineFor(letter, className, library)) {
          out += *line + "\n";
        } else {
          err += "zembril-dump: left out, a command file cannot carry it: " + textLine;
        }
      }
    }
    if (form == "json") out += any ? "\n  ]" : "]";
  }
  if (form == "json") out += "\n}\n";
  return {out, err};
}

const tKeeps kEvery = [](char, std::string_view, std::string_view) { return true; };
constexpr std::array<std::string_view, 3> kForms = {"text", "json", "commands"};

// A salvage prints, in each form, what printing the loaded maps printed,
// whatever the file holds: its records out of order, a class twice,
// bytes after its end, damage anywhere.
TEST(Dump, ASalvagePrintsWhatTheLoadedMapsPrint) {
  tScratchTree tree;
  const std::string intact =
      encodeMapFile({{"A", "/a.so"}, {"B,", "/b\xc3\xa9.so"}}, {{"K", "/k\x01.so"}});
  std::vector<std::pair<std::string, std::string>> cases = {
      {"intact", intact},
      {"unsorted", encodeMapFile({{"C", "/c.so"}, {"A", "/a.so"}, {"B", "/b.so"}}, {})},
      {"a class twice", encodeMapFile({{"A", "/1.so"}, {"B", "/b.so"}, {"A", "/2.so"}},
                                      {{"K", "/1.so"}, {"K", "/2.so"}})},
      {"bytes after", intact + "junk"},
      {"a NUL inside", encodeMapFile({{std::string("A\0B", 3), "/a.so"}, {"A", "/2.so"}}, {})},
      {"wrong magic", "XXXX" + intact.substr(4)},
  };
  for (const std::size_t cut : {10U, 14U, 20U, 30U, 40U}) {
    cases.push_back({"cut at " + std::to_string(cut), intact.substr(0, cut)});
  }
  const std::string file = tree.root() + "/salvaged";
  for (const auto& [name, bytes] : cases) {
    writeFile(file, bytes);
    const auto maps = loadedMaps(bytes, name != "wrong magic");
    for (const std::string_view formName : kForms) {
      const std::string form(formName);
      const tDumpRun run = dump(tree, {"--salvage", "--format=" + form, file});
      const auto [out, err] = printedMaps(maps, form, file, kEvery);
      EXPECT_EQ(run.out, out) << name << ", " << form;
      EXPECT_TRUE(run.err.starts_with(err)) << name << ", " << form << ": " << run.err;
    }
  }
}

// A string far larger than any the dump holds at once is printed whole, its
// characters escaped across every piece it is read in.
TEST(Dump, ALargeRecordIsPrintedWhole) {
  tScratchTree tree;
  std::string library = "/";
  // Two-, three- and four-byte characters, a control and a stray byte, so
  // that pieces of any size split some of them.
  while (library.size() < (std::size_t{64} << 20))
    library += "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x01\xff";
  std::string className(std::size_t{5} << 20, 'C');
  className += "<,>";
  const std::string bytes =
      encodeMapFile({{"A", library}, {className, "/c.so"}}, {{"K", library.substr(0, 7) + ","}});
  writeFile(tree.mapFile(), bytes);
  const auto maps = loadedMaps(bytes);
  for (const std::string_view formName : kForms) {
    const std::string form(formName);
    const tDumpRun run = dump(tree, {"--format=" + form});
    const auto [out, err] = printedMaps(maps, form, tree.mapFile(), kEvery);
    EXPECT_EQ(run.out.size(), out.size()) << form;
    EXPECT_TRUE(run.out == out) << form;
    EXPECT_TRUE(run.err == err) << form << ": " << run.err.substr(0, 200);
  }
}

// A class or library longer than any path is quoted in a finding by its
// first bytes and its length, the same in the text and the JSON form, and
// is not looked up: an absolute one is missing, and --missing prints it
// whole. One no longer than a path is quoted whole, as ever.
TEST(Dump, CheckQuotesAStringTooLongToBeAPathInPart) {
  tScratchTree tree;
  const std::string a63(63, 'a');
  struct Case {
    std::string className;
    std::string library;
    std::string quoted;     // the binding as the finding quotes it
    std::string jsonClass;  // as the json form's "missing" quotes them; empty: not listed
    std::string jsonLibrary;
    std::string lengths;  // its "classBytes" and "libraryBytes", if any
  };
  const std::string huge = "/" + std::string((std::size_t{64} << 20) - 1, 'a');
  const std::string split = "/" + a63.substr(1) + "\xc3\xa9" + std::string(4935, 'a');
  const std::vector<Case> cases = {
      {"A", "/" + std::string(4095, 'a'), "U A /" + std::string(4095, 'a') + " (missing)", "A",
       "/" + std::string(4095, 'a'), " "},
      {"A", huge, "U A /" + a63 + "... (67,108,864 bytes) (missing)", "A",
       "/" + a63 + "... (67,108,864 bytes)", " 67108864"},
      // Never half a character.
      {"A", split, "U A /" + a63.substr(1) + "... (5,000 bytes) (missing)", "A",
       "/" + a63.substr(1) + "... (5,000 bytes)", " 5000"},
      {std::string(6000, 'C'), "/gone.so\x01",
       "U " + std::string(64, 'C') + "... (6,000 bytes) /gone.so\\x01 (missing)",
       std::string(64, 'C') + "... (6,000 bytes)", "/gone.so\x01", "6000 "},
      {"R", std::string(5000, 'a'), "U R a" + a63 + "... (5,000 bytes)", "", "", ""},
  };
  for (const Case& c : cases) {
    writeFile(tree.mapFile(), encodeMapFile({{c.className, c.library}}, {}));
    const tDumpRun check = dump(tree, {"--check"});
    EXPECT_NE(check.out.find(": " + c.quoted + (c.jsonClass.empty() ? "\n" : ";")),
              std::string::npos)
        << c.quoted << "\n"
        << check.out.substr(0, 2000);
    EXPECT_LT(check.out.size(), 8000u);
    const auto document = tJsonReader(dump(tree, {"--check", "--format=json"}).out).document();
    const auto& missing = document["missing"].items;
    std::string message;
    for (const auto& finding : document["findings"].items) {
      if (finding["what"].text.ends_with("-libraries")) message = finding["message"].text;
    }
    EXPECT_NE(message.find(": " + c.quoted), std::string::npos) << message.substr(0, 2000);
    const tDumpRun listed = dump(tree, {"--missing"});
    if (c.jsonClass.empty()) {
      EXPECT_TRUE(missing.empty());
      EXPECT_EQ(listed.out, "");
      continue;
    }
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0]["class"].text, c.jsonClass);
    EXPECT_EQ(missing[0]["library"].text, c.jsonLibrary);
    std::string lengths = " ";
    for (std::size_t at = 0; at < missing[0].names.size(); ++at) {
      if (missing[0].names[at] == "classBytes") lengths.insert(0, missing[0].values[at].text);
      if (missing[0].names[at] == "libraryBytes") lengths += missing[0].values[at].text;
    }
    EXPECT_EQ(lengths, c.lengths);
    EXPECT_TRUE(listed.out == "U\t" + c.className + "\t" + escapeForText(c.library) + "\n")
        << listed.out.substr(0, 200);
  }
}

// --class and --library keep only the bindings asked for, with --scope and
// --missing, in every form; of two records for one class only the later is
// a binding.
TEST(Dump, FiltersKeepOnlyTheBindingsAskedFor) {
  tScratchTree tree;
  const std::string& root = tree.root();
  writeFile(root + "/a.so", "");
  const std::string bytes = encodeMapFile(
      {{"A", "/a.so"}, {"B", "/gone.so"}, {"C", "/a.so"}, {"D", "/a.so"}, {"D", "/gone.so"}},
      {{"A", "/gone.so"}, {"E", "/a.so"}});
  writeFile(tree.mapFile(), bytes);
  const auto maps = loadedMaps(bytes);
  const auto is = [](std::string_view value, std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), value) != names.end();
  };
  struct tCase {
    Args arguments;
    tKeeps keeps;
  };
  const std::vector<tCase> cases = {
      {{"--class=A"}, [&](char, auto c, auto) { return c == "A"; }},
      {{"--class=A", "--class=C"},
       [&](char, auto c, auto) {
         return is(c, {"A", "C"});
       }},
      {{"--class=Z"}, [&](char, auto, auto) { return false; }},
      {{"--library=/a.so"}, [&](char, auto, auto l) { return l == "/a.so"; }},
      {{"--library=/gone.so"}, [&](char, auto, auto l) { return l == "/gone.so"; }},
      {{"--class=A", "--library=/a.so"},
       [&](char, auto c, auto l) { return c == "A" && l == "/a.so"; }},
      {{"--scope=K", "--class=A"}, [&](char s, auto c, auto) { return s == 'K' && c == "A"; }},
      {{"--scope=U", "--class=A", "--class=B", "--missing"},
       [&](char s, auto c, auto l) {
         return s == 'U' && is(c, {"A", "B"}) && l == "/gone.so";
       }},
      {{"--library=/a.so", "--missing"}, [&](char, auto, auto) { return false; }},
  };
  for (const auto& [arguments, keeps] : cases) {
    const bool missing =
        std::find(arguments.begin(), arguments.end(), "--missing") != arguments.end();
    for (const std::string_view formName : kForms) {
      const std::string form(formName);
      // The unbinding command file, and the one that binds only what the
      // filters keep, have forms of their own, tested apart.
      if (form == "commands" && (missing || !arguments.front().starts_with("--scope="))) continue;
      Args line = arguments;
      line.push_back("--format=" + form);
      const tDumpRun run = dump(tree, line);
      auto [out, err] = printedMaps(maps, form, tree.mapFile(), keeps);
      const std::string scope = arguments.front();
      if (form != "text" && scope.starts_with("--scope=")) {
        // One map only: its name alone, in the document and the comments.
        const char other = scope.back() == 'U' ? 'K' : 'U';
        if (form == "json") {
          const std::size_t at = out.find(",\n  \"" + std::string{other} + "\"");
          const std::size_t end = out.find(other == 'U' ? ",\n  \"K\"" : "\n}\n", at + 1);
          out.erase(at, end - at);
        }
      }
      if (form == "commands") continue;
      EXPECT_EQ(run.out, out) << ::testing::PrintToString(line);
      EXPECT_EQ(run.err, err) << ::testing::PrintToString(line);
      const bool anyListed = out.find("/gone.so") != std::string::npos;
      EXPECT_EQ(run.exitStatus, missing && anyListed ? 1 : 0) << ::testing::PrintToString(line);
    }
  }
}

// A filtered command file binds the classes it holds as they were and
// leaves every other binding of the map it is replayed on: a reset in it
// would unbind them all.
TEST(Dump, AFilteredCommandFileBindsItsClassesAndKeepsTheRest) {
  tScratchTree source;
  writeFile(source.mapFile(), encodeMapFile({{"A", "/a.so"}, {"B", "/b.so"}}, {{"A", "/k.so"}}));
  struct tCase {
    Args arguments;
    tPairs uAfter;
    tPairs kAfter;
  };
  const std::vector<tCase> cases = {
      {{"--class=A"}, {{"A", "/a.so"}, {"Other", "/o.so"}}, {{"A", "/k.so"}, {"Z", "/z.so"}}},
      {{"--library=/b.so"},
       {{"A", "/elsewhere.so"}, {"B", "/b.so"}, {"Other", "/o.so"}},
       {{"Z", "/z.so"}}},
      {{"--class=Nothing"}, {{"A", "/elsewhere.so"}, {"Other", "/o.so"}}, {{"Z", "/z.so"}}},
  };
  for (const auto& [arguments, uAfter, kAfter] : cases) {
    Args line = arguments;
    line.push_back("--format=commands");
    const tDumpRun backup = dump(source, line);
    EXPECT_EQ(backup.exitStatus, 0) << backup.err;
    tScratchTree target;
    writeFile(target.mapFile(),
              encodeMapFile({{"A", "/elsewhere.so"}, {"Other", "/o.so"}}, {{"Z", "/z.so"}}));
    writeFile(target.root() + "/some", backup.out);
    EXPECT_EQ(testing::runTool(target, {"/file", target.root() + "/some"}).exitStatus, 0);
    EXPECT_EQ(readFile(target.mapFile()), encodeMapFile(uAfter, kAfter))
        << ::testing::PrintToString(line) << backup.out;
  }
}

}  // namespace
}  // namespace nDRAVI100
