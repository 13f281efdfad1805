#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <unistd.h>

#include "classMap/tCommandFileGrammar.h"
#include "classMap/tCommandFileReader.h"
#include "testSupport.h"
#include "tool/tCommandFile.h"

namespace nDRAVI100 {
namespace {

using enum tCommandKind;

using testing::tScratchTree;

// Returns every line that readFileLine hands out for `content`, in order.
std::vector<std::string> readAllLines(const std::string& content) {
  std::FILE* file = std::tmpfile();
  EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
  std::rewind(file);
  std::vector<std::string> lines;
  std::int32_t endOfFile = 0;
  tStatus status = 0;
  while (endOfFile == 0) lines.push_back(readFileLine(file, endOfFile, status));
  EXPECT_EQ(std::fclose(file), 0);
  EXPECT_EQ(status, 0);
  return lines;
}

// zembril's reader reads in one pass what readStrippedLine and
// splitFileLineFields make of a line one after the other, and isFileAdd
// takes a line for an add exactly when parseFileLine does.
TEST(CommandFileReader, SplitLinesAsTheReaderAndSplitterDo) {
  const std::string longStem = "com.example." + std::string(40, 'n');
  const std::vector<std::string> contents = {
      "U, add, com.example.W, /usr/lib/x.so\n",
      " k ,\tadd , A<B,C> ,/x\r\n",
      "S,add,A<B,C,/x\n",     // an unbalanced "<" swallows every comma after it
      "U,add,A>B,C,/x\n",     // a ">" with none open closes nothing
      "U,add,A,B,C\n",        // five fields
      "U,add,A,/x,\n",        // an empty fifth field
      "U,add,,\n",            // empty fields
      "U , add , \t , /x\n",  // a field of blanks alone is empty
      "U,ad d,A,/x\n",        // a blank inside the word is dropped
      "u,add,A\n",            // too few for an add
      "X,add,A,/x\n",         // no such scope
      "U,lookup,A\n",
      "U,lookup,A,/x\n",                   // four fields, but not an add
      "UK,add,A,/x\n",                     // two letters                      // not an add
      "U,add,A\vB\001C,\f/x\037\n",        // controls but the blanks are kept bytes
      "U,add,A B,/x\nU, add, C, /y\n",     // a blank inside a field, then another line
      "# U,add,A,/x\nU,add,B,/y",          // a comment, then a line without a newline
      "\n  \t\r\n",                        // blank lines
      std::string("U,add,A,/x\0y\n", 13),  // a NUL
      std::string("#\0\n", 3),             // a NUL in a comment
      "U,add," + longStem + "," + std::string(3000, '/') + "\n",
  };
  // Lines whose blanks, commas, brackets and NULs fall at every place of
  // the bytes a reader may look at together.
  std::vector<std::string> shifted = contents;
  for (std::size_t k = 0; k < 48; ++k) {
    shifted.push_back("U,add," + std::string(k, 'c') + " <" + std::string(k % 7, 'd') + ",>,\t/" +
                      std::string(47 - k, 'p') + "\r\n");
    shifted.push_back(std::string(k, 'c') + std::string(1, '\0') + "\n");
    // Blanks only at the fields' edges, split where the line was read, and a
    // bracketed comma at every place about the bytes read as one mask.
    shifted.push_back(std::string(k % 5, ' ') + "U ,add,\t" + std::string(k, 'c') + "<" +
                      std::string(20, 'd') + ",e>" + " , /" + std::string(47 - k, 'p') + " \r\n");
  }
  for (const std::string& content : shifted) {
    std::vector<std::string> expected;
    std::vector<std::string> got;
    for (const bool split : {false, true}) {
      std::FILE* file = std::tmpfile();
      (void)std::fwrite(content.data(), 1, content.size(), file);
      std::rewind(file);
      std::int32_t endOfFile = 0;
      tStatus status = 0;
      std::vector<std::string>& seen = split ? got : expected;
      tCommandFileReader reader(::fileno(file));
      while (endOfFile == 0 && !isError(status)) {
        std::string_view stripped;
        std::vector<std::string_view> fields;
        bool fewEnough = false;
        tMapScope scope = 3;
        bool add = false;
        std::vector<std::string> splitFields;
        if (split) {
          tSplitLine line;
          reader.next(line, endOfFile, status);
          splitFields.assign(line.fields.begin(),
                             line.fields.begin() + static_cast<std::ptrdiff_t>(line.fieldCount));
          fields.assign(splitFields.begin(), splitFields.end());
          fewEnough = line.fieldCount != 0;
          add = isFileAdd(line, scope);
          // Stripping the line moves its bytes: the fields were copied first.
          stripped = strippedLine(line);
        } else {
          stripped = readStrippedLine(file, endOfFile, status);
          fewEnough = splitFileLineFields(stripped, fields);
          tStatus own = 0;
          const tCommandRequest& request = parseFileLine(stripped, own);
          add = !isError(own) && request.getKind(own) == Add;
          if (add) scope = request.getScope(own);
        }
        std::string seenLine = std::string(stripped) + (fewEnough ? " fields" : " too many");
        if (fewEnough) {
          for (const std::string_view field : fields) seenLine.append("|").append(field);
        }
        seenLine += add ? " add " + std::to_string(scope) : "";
        // A line that cannot be read yields nothing but the error.
        if (isError(status)) seenLine = std::string(stripped);
        seen.push_back(seenLine + " status " + std::to_string(status));
      }
      (void)std::fclose(file);
    }
    EXPECT_EQ(got, expected) << content;
  }
}

// Lines read from a pipe, a few bytes at a time, come across the reader's
// pieces; a line held stays as it was read after the pieces have moved on,
// and a line longer than a piece comes whole.
TEST(CommandFileReader, HeldLinesOutlastThePieces) {
  std::string content;
  std::vector<std::string> classes;
  for (std::size_t i = 0; i < 40000; ++i) {
    classes.push_back("com.example.C" + std::to_string(i) + std::string(i % 29, 'x'));
    content += "U, add, " + classes.back() + ", /l\n";
    if (i == 20000) content += "# " + std::string(3u << 20, 'c') + "\n";
  }
  classes.push_back(std::string(3u << 20, 'L'));
  content += "U,add," + classes.back() + ",/l";
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::thread writer([&] {
    for (std::size_t at = 0; at < content.size();) {
      const std::size_t piece = std::min<std::size_t>(content.size() - at, 1 + at % 70000);
      const ssize_t put = ::write(ends[1], content.data() + at, piece);
      if (put <= 0) break;
      at += static_cast<std::size_t>(put);
    }
    ::close(ends[1]);
  });
  std::vector<std::string_view> held;
  std::int32_t endOfFile = 0;
  tStatus status = 0;
  {
    tCommandFileReader reader(ends[0]);
    while (endOfFile == 0 && !isError(status)) {
      tSplitLine line;
      reader.next(line, endOfFile, status);
      if (line.empty()) continue;
      held.push_back(line.fields[2]);
      // Every other line is held; the rest may be overwritten.
      if (held.size() % 2 == 1) reader.holdLine();
    }
  }
  writer.join();
  ::close(ends[0]);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(held.size(), classes.size());
  for (std::size_t i = 0; i < held.size(); i += 2) ASSERT_EQ(held[i], classes[i]) << i;
  EXPECT_EQ(held.back().size(), classes.back().size());
}

TEST(CommandFileReader, Lines) {
  const std::string longName(600, 'x');
  const std::string longComment = "#" + std::string(700, 'c') + "\n";
  struct Case {
    std::string content;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {""}},
      {"U,list\n", {"U,list\n", ""}},
      {"U,list", {"U,list"}},
      {"U,list\nK,reset\n", {"U,list\n", "K,reset\n", ""}},
      {"# comment\nU,list\n", {"U,list\n", ""}},
      {"# only a comment, no newline", {""}},
      {"  # not a comment\n", {"  # not a comment\n", ""}},
      {"U,add,C," + longName + "\n", {"U,add,C," + longName + "\n", ""}},
      // A long comment goes whole: none of its pieces starts a line.
      {longComment + "U,list\n", {"U,list\n", ""}},
      {"#" + std::string(254, 'c') + "\nU,list\n", {"U,list\n", ""}},
      {"\r\n", {"\r\n", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(readAllLines(c.content), c.lines) << c.content;
}

TEST(CommandFileReader, ErrorOnEntryReadsNothing) {
  std::FILE* file = std::tmpfile();
  ASSERT_GE(std::fputs("U,list\n", file), 0);
  std::rewind(file);
  std::int32_t endOfFile = 0;
  tStatus status = -5;
  EXPECT_EQ(readFileLine(file, endOfFile, status), "");
  EXPECT_EQ(std::ftell(file), 0);
  EXPECT_EQ(std::fclose(file), 0);
}

TEST(CommandFileReader, RemoveWhitespace) {
  tStatus status = 0;
  EXPECT_EQ(removeWhitespace(" U , add ,\tMy Class,\t/usr/lib/x.so\r\n", status),
            "U,add,MyClass,/usr/lib/x.so");
  EXPECT_EQ(removeWhitespace(" \t\r\n", status), "");
  EXPECT_EQ(removeWhitespace(std::string("U,li\0st", 7), status), "U,li");
  EXPECT_EQ(removeWhitespace("\v\f", status), "\v\f");  // only four bytes count as blanks
  // Each blank alone among 8 bytes that are taken a word at a time.
  EXPECT_EQ(removeWhitespace("AAAAAAA\rBBBBBBB\tCCCCCCC\nDDDDDDD E\v\f\x80\xa0\x09", status),
            "AAAAAAABBBBBBBCCCCCCCDDDDDDDE\v\f\x80\xa0");
  status = -1;
  EXPECT_EQ(removeWhitespace("U,list", status), "");
}

TEST(CommandFileParser, Fields) {
  struct Case {
    std::string line;
    bool accepted;
    std::vector<std::string_view> fields;
  } cases[] = {
      {"U,list", true, {"U", "list"}},
      {"U,add,Map<K,V>,lib", true, {"U", "add", "Map<K,V>", "lib"}},
      {"U,add,A<B<C,D>,E>,lib", true, {"U", "add", "A<B<C,D>,E>", "lib"}},
      {"U,add,a>b,c", true, {"U", "add", "a>b", "c"}},
      {"U,add,A<B,c,d", true, {"U", "add", "A<B,c,d"}},
      {"U,delete,", true, {"U", "delete", ""}},
      {",,,", true, {"", "", "", ""}},
      {"U,add,a,b,", false, {}},
      {"U,add,a,b,c", false, {}},
      {"", true, {""}},
  };
  for (const Case& c : cases) {
    std::vector<std::string_view> fields;
    EXPECT_EQ(splitFileLineFields(c.line, fields), c.accepted) << c.line;
    if (c.accepted) {
      EXPECT_EQ(fields, c.fields) << c.line;
    }
  }
}

// The table of names that the Ansible collection's carriable() reads too:
// each row's verdict is what zembril's own reader and parser make of a line
// that carries the name as a class name, which another field follows.
TEST(CommandFileGrammar, TheSharedTableOfCarriableNames) {
  std::ifstream table(ZEMBRIL_SOURCE_DIR
                      "/ansible/ansible_collections/zembril/classmap/tests/unit/plugins/"
                      "module_utils/command_file_fields.txt",
                      std::ios::binary);
  ASSERT_TRUE(table);
  const auto unescape = [](const std::string& text) {
    std::string bytes;
    for (std::size_t at = 0; at < text.size(); ++at) {
      if (text[at] != '\\' || at + 1 == text.size()) {
        bytes += text[at];
        continue;
      }
      switch (const char escaped = text[++at]) {
        case 't':
          bytes += '\t';
          break;
        case 'n':
          bytes += '\n';
          break;
        case 'r':
          bytes += '\r';
          break;
        case '0':
          bytes += '\0';
          break;
        case 'x':
          bytes += static_cast<char>(std::stoi(text.substr(at + 1, 2), nullptr, 16));
          at += 2;
          break;
        default:
          bytes += escaped;
      }
    }
    return bytes;
  };
  int rows = 0;
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || line.front() == '#') continue;
    const std::string::size_type tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    const bool carried = line.substr(0, tab) == "yes";
    const std::string name = unescape(line.substr(tab + 1));
    EXPECT_EQ(addLineFor('U', name, "/lib.so").has_value(), carried) << line;
    ++rows;
  }
  EXPECT_GT(rows, 10);
}

// fileLineCarries judges a binding without making its line; what it says
// is what zembril's reader and parser make of that line.
TEST(CommandFileGrammar, CarriesWhatTheReaderReadsBack) {
  struct Case {
    char letter;
    std::string className;
    std::string libraryPath;
  } cases[] = {
      {'U', "Map<K,V>", "/lib/<a,b>.so"},
      {'K', "A", "/lib/a,b.so"},
      {'U', "A", "/lib/*.so"},
      {'U', "A", "/lib/a b.so"},
      {'U', "A", "/lib/a\r"},
      {'U', "A", "/lib/<open"},
      {'U', "A>", "/x>.so"},
      {'U', "A<B", "/x.so"},
      {'U', "A", "/x.so,"},
      {'U', "A", std::string("/x\0y", 4)},
      {'S', "A", "/x.so"},
      {'X', "A", "/x.so"},
      {'U', "", ""},
  };
  for (const Case& c : cases) {
    const std::string line = std::string{c.letter} + ",add," + c.className + "," + c.libraryPath;
    std::FILE* file = std::tmpfile();
    (void)std::fwrite(line.data(), 1, line.size(), file);
    (void)std::fputs("\n", file);
    std::rewind(file);
    std::int32_t endOfFile = 0;
    tStatus status = 0;
    const std::string_view stripped = readStrippedLine(file, endOfFile, status);
    const tCommandRequest& request = parseFileLine(stripped, status);
    tMapScope scope = 0;
    const bool readBack = !isError(status) && request.getKind(status) == Add &&
                          parseScopeName(std::string{c.letter}, "", scope) &&
                          request.getScope(status) == scope &&
                          request.getClassName(status) == c.className &&
                          request.getLibraryName(status) == c.libraryPath &&
                          c.libraryPath.find('*') == std::string::npos;
    (void)std::fclose(file);
    EXPECT_EQ(fileLineCarries(c.letter, c.className, c.libraryPath), readBack) << line;
    EXPECT_EQ(addLineFor(c.letter, c.className, c.libraryPath),
              readBack ? std::optional<std::string>(line) : std::nullopt)
        << line;
  }
}

TEST(CommandFileParser, Grammar) {
  struct Case {
    std::string line;
    tCommandKind kind;
    tMapScope scope;
    std::string className;
    std::string libraryName;
  } cases[] = {
      {"U,list", List, 0, "", ""},
      {"k,reset", Reset, 1, "", ""},
      {"S,delete,C", Delete, 2, "C", ""},
      {"u,deletelib,L", DeleteLib, 0, "", "L"},
      {"K,lookup,C", Lookup, 1, "C", ""},
      {"s,lookuplib,L", LookupLib, 2, "", "L"},
      {"U,add,Map<K,V>,/lib/*.so", Add, 0, "Map<K,V>", "/lib/*.so"},
      {"U,delete,", Delete, 0, "", ""},
      {"U,add,,", Add, 0, "", ""},
      {"U,LIST", None, 0, "", ""},
      {"U,Add,C,L", None, 0, "", ""},
      {"U,/add,C,L", None, 0, "", ""},
      {"/U,list", None, 0, "", ""},
      {"X,list", None, 0, "", ""},
      {"#U,list", None, 0, "", ""},
      {"U", None, 0, "", ""},
      {"U,list,x", None, 0, "", ""},
      {"U,delete", None, 0, "", ""},
      {"U,add,C", None, 0, "", ""},
      {"U,add,C,L,", None, 0, "", ""},
      {"U,reset,a,b", None, 0, "", ""},
  };
  for (const Case& c : cases) {
    tStatus status = 0;
    const tCommandRequest& request = parseFileLine(c.line, status);
    EXPECT_EQ(request.getKind(status), c.kind) << c.line;
    EXPECT_EQ(status, c.kind == None ? -88361 : 0) << c.line;
    if (c.kind == None) continue;
    EXPECT_EQ(request.getScope(status), c.scope) << c.line;
    if (c.kind == Add || c.kind == Delete || c.kind == Lookup) {
      EXPECT_EQ(request.getClassName(status), c.className) << c.line;
    }
    if (c.kind == Add || c.kind == DeleteLib || c.kind == LookupLib) {
      EXPECT_EQ(request.getLibraryName(status), c.libraryName) << c.line;
    }
    EXPECT_EQ(request.getX64(status), 0) << c.line;
  }
}

class CommandFileRun : public ::testing::Test {
 protected:
  // Runs `content` as a command file on `store` and returns the word.
  tStatus run(tClassMapStore& store, const std::string& content, tStatus status = 0) {
    const std::string path = tree.root() + "/commands";
    testing::writeFile(path, content);
    runCommandFile(path, store, status);
    return status;
  }

  tScratchTree tree;
};

TEST_F(CommandFileRun, CarriesOutEveryLine) {
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps64Bit, tMapNeed::bindings, status, tree.root());
  EXPECT_EQ(run(store,
                "# set up\n"
                "U, add, First, /usr/lib*/first.so\n"
                "\n \t\r\n"
                "K,add,Second,/lib/second.so\n"
                "U,add,First,/other.so\n"  // warns, and the warning is cleared
                "S,add,Third,x\n"
                "U,add,Gone,/gone.so\n"
                // A line that grows the buffer past a megabyte, which is
                // freed before the line is carried out and grown again.
                "U, add, L" +
                    std::string(1 << 21, 'o') + "ng ,/long.so\n" + "U,add,Gone,/gone.so\nU,add, L" +
                    std::string(1 << 21, 'o') + "nger\t,/x.so\n" + "U,delete,Gone"),
            0);
  EXPECT_EQ(store.lookup("L" + std::string(1 << 21, 'o') + "ng", 0, status), "/long.so");
  EXPECT_EQ(store.lookup("L" + std::string(1 << 21, 'o') + "nger", 0, status), "/x.so");
  EXPECT_EQ(store.lookup("First", 0, status), "/usr/lib64/first.so");
  EXPECT_EQ(store.lookup("Second", 1, status), "/lib/second.so");
  EXPECT_EQ(store.lookup("Third", 2, status), "x");
  EXPECT_EQ(store.lookup("Gone", 0, status), "");
}

TEST_F(CommandFileRun, WarningHeldBeforeTheFileIsCleared) {
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  EXPECT_EQ(run(store, "U,list\n", 88360), 0);
  EXPECT_EQ(run(store, "", 88360), 88360);  // no line carried out, nothing cleared
}

TEST_F(CommandFileRun, StopsAtTheFirstError) {
  struct Case {
    std::string content;
    tStatus status;
  } cases[] = {
      {"U,add,A,a\n  #indented comment\nU,add,B,b\n", -88361},
      {"U,add,A,a\nU,ADD,B,b\nU,add,C,c\n", -88361},
      {"U,add,A,a\nU,add,B,b,x,y\n", -88361},
  };
  for (const Case& c : cases) {
    tStatus status = 0;
    tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
    EXPECT_EQ(run(store, c.content), c.status) << c.content;
    status = 0;
    EXPECT_EQ(store.lookup("A", 0, status), "a") << "lines before the error ran";
    EXPECT_EQ(store.lookup("B", 0, status), "") << c.content;
    EXPECT_EQ(store.lookup("C", 0, status), "") << c.content;
  }
}

TEST_F(CommandFileRun, FileThatCannotBeOpened) {
  tStatus status = 0;
  tClassMapStore store(kDeferSave, kMaps32Bit, tMapNeed::bindings, status, tree.root());
  for (const std::string& path : {tree.root() + "/missing", std::string(), tree.root()}) {
    status = 0;
    runCommandFile(path, store, status);
    // A directory opens but cannot be read.
    EXPECT_TRUE(status == -50204 || (path == tree.root() && status == -1)) << path << status;
  }
}

}  // namespace
}  // namespace nDRAVI100
