#include "cli/tProgramVoice.h"

#include "cli/tTextEscaping.h"

namespace nDRAVI100 {

void put(std::FILE* stream, const std::string& text) {
  (void)std::fwrite(text.data(), 1, text.size(), stream);
}

void report(const tProgramVoice& voice, const std::string& message, std::FILE* err) {
  put(err, voice.name + ": " + message + "\n");
}

void report(const tProgramVoice& voice, const tFailure& failure, std::FILE* err) {
  report(voice, failure.message(), err);
}

void reportUsageError(const tProgramVoice& voice, const std::string& reason, std::FILE* err) {
  put(err, voice.usageLine);
  // A reason quotes the command line, which may hold any byte.
  report(voice, escapeForText(reason) + "; try '" + voice.name + " --help' for more information",
         err);
}

void answer(const tProgramVoice& voice, tAnswer asked, std::FILE* out) {
  switch (asked) {
    case tAnswer::help:
      return put(out, voice.help);
    case tAnswer::version:
      return put(out, voice.name + " (zembril) " + voice.version + "\n");
    case tAnswer::none:
      break;
  }
}

}  // namespace nDRAVI100
