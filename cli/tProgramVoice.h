// What zembril-dump and zembril-sync write to the user, in the forms they
// share: a message under the program's name, a usage error, and the answer
// to --help and --version.
#pragma once

#include <cstdio>
#include <string>

#include "cli/tFailure.h"
#include "cli/tLongOptions.h"

namespace nDRAVI100 {

// Writes `text` to `stream` as it is. A write error is left for the caller:
// a program checks its output once, at the end, and its messages on the
// error stream go out on a best-effort basis; the exit status carries the
// outcome.
void put(std::FILE* stream, const std::string& text);

// How one program speaks.
struct tProgramVoice {
  std::string name;       // "zembril-dump": the start of every message and of --version
  std::string version;    // "1.3.0"
  std::string help;       // the --help text, newline included
  std::string usageLine;  // written before the reason of a usage error; empty for none
};

// Writes "NAME: MESSAGE\n" to `err`.
void report(const tProgramVoice& voice, const std::string& message, std::FILE* err);
void report(const tProgramVoice& voice, const tFailure& failure, std::FILE* err);

// Writes the usage line, when the program has one, and "NAME: REASON; try
// 'NAME --help' for more information\n" to `err`, REASON escaped by
// escapeForText: it quotes the command line.
void reportUsageError(const tProgramVoice& voice, const std::string& reason, std::FILE* err);

// Writes the answer to --help (the help text) or to --version ("NAME
// (zembril) VERSION\n") to `out`; nothing for tAnswer::none.
void answer(const tProgramVoice& voice, tAnswer asked, std::FILE* out);

}  // namespace nDRAVI100
