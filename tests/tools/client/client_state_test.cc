#include "client/client_state.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/util/quorvanta_error.h"
#include "support/test_helpers.h"
#include "tools/client/scratch_directory.h"

namespace quorvanta::client {
namespace {

namespace fs = std::filesystem;

ClientState sampleState() {
  return {"6F1C2D3E-4A5B-4C6D-8E7F-0123456789AB",
          "Test phone",
          "0A1B2C3D-4E5F-4061-8273-8495A6B7C8D9",
          "device-token",
          std::string(64, 'a'),
          "100.64.0.1",
          48725};
}

TEST(ClientStateTest, SavedStateReadsBackAndIsPrivate) {
  ScratchDirectory scratch;
  const fs::path path = scratch.path() / "config" / "quorvanta-client" / "state.json";
  EXPECT_EQ(loadClientState(path), std::nullopt);

  saveClientState(path, sampleState());
  EXPECT_EQ(loadClientState(path), sampleState());
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(path.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);

  ClientState changed = sampleState();
  changed.token = "another-token";
  saveClientState(path, changed);
  EXPECT_EQ(loadClientState(path), changed);
}

TEST(ClientStateTest, IncompleteOrDamagedFilesAreRefusedWithTheirName) {
  ScratchDirectory scratch;
  const fs::path path = scratch.path() / "state.json";
  for (const char* text : {"not json", "[]", R"({"deviceID":"x"})",
                           R"({"deviceID":"a","deviceName":"b","hostID":"c","token":"d",)"
                           R"("certificateHash":"e","address":"f","port":70000})"}) {
    std::ofstream(path) << text;
    const std::string sentence = test::thrownMessage([&] { loadClientState(path); });
    EXPECT_EQ(sentence,
              "The client state " + path.string() + " is damaged. Remove it and pair this client again.")
        << text;
  }
}

}  // namespace
}  // namespace quorvanta::client
