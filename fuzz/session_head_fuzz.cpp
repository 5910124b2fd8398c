// The head of a Codex transcript as a file: its session ID and its name.
#include "fuzz_support.hpp"
#include "lantrel/session_reader.hpp"

using namespace lantrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::filesystem::path file = fuzz::scratchFile(fuzz::bytes(data, size), "rollout.jsonl");
  SessionReader::sessionID(file);
  SessionReader::conversationName(file);
  return 0;
}
