// A new user's path through the registry: register the plug-in, read a
// corpus document by ProgID, unregister, and the same read then fails with a
// clear message; and two administrators registering and unregistering at once.
#include <gtest/gtest.h>

#include <thread>

#include "tests/support/process.h"
#include "tests/support/registry_dump.h"

namespace velmora::test {
namespace {

class CompdocRegisterTest : public ::testing::Test {
 protected:
  std::string compdoc(const std::string& args, int& status) {
    return runCommand("TZ=UTC " + m_registry.environment() + " " + shellQuote(compdocPath()) + " " +
                          args + " 2>&1",
                      status);
  }
  ScratchRegistry m_registry;
};

TEST_F(CompdocRegisterTest, ReadByProgIdWorksOnlyWhileRegistered) {
  auto corpus = corpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no corpus at ../shared/corpus or $VELMORA_CORPUS";
  std::string doc = shellQuote((corpus / "documents" / "eng_basic.doc").string());
  int status = -1;
  const std::string byFile = compdoc("read " + doc, status);
  ASSERT_EQ(0, status) << byFile;
  ASSERT_NE(std::string::npos, byFile.find("Summary\tTitle\t")) << byFile;

  std::string out = compdoc("--progid Velmora.CompDocFormats.1 read " + doc, status);
  EXPECT_EQ(1, status);
  EXPECT_NE(std::string::npos, out.find("Velmora.CompDocFormats.1 is not registered")) << out;

  out = compdoc("register", status);
  ASSERT_EQ(0, status) << out;
  EXPECT_EQ(byFile, compdoc("--progid Velmora.CompDocFormats.1 read " + doc, status));
  EXPECT_EQ(0, status);
  out = compdoc("registry export", status);
  ASSERT_EQ(0, status) << out;
  EXPECT_EQ(0u, out.find("REGEDIT4\n")) << out;
  EXPECT_NE(std::string::npos,
            out.find("[HKEY_CLASSES_ROOT\\CLSID\\{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}\\"
                     "InprocServer32]\n@=\"" +
                     std::string(VELMORA_BINARY_DIR) +
                     "/Velmora.so\"\n\"ThreadingModel\"=\"Apartment\"\n"))
      << out;

  out = compdoc("unregister", status);
  ASSERT_EQ(0, status) << out;
  out = compdoc("--progid Velmora.CompDocFormats.1 read " + doc, status);
  EXPECT_EQ(1, status);
  EXPECT_NE(std::string::npos, out.find("is not registered")) << out;
  EXPECT_NE(std::string::npos, out.find("compdoc register")) << out;
}

// Each round starts a registration and a removal at the same moment; the
// registry must afterwards be exactly the registered or the empty state.
TEST_F(CompdocRegisterTest, ConcurrentRegisterAndUnregisterLeaveOneOutcome) {
  int status = -1;
  ASSERT_EQ(0, (compdoc("register", status), status));
  const std::string registered = compdoc("registry export", status);
  ASSERT_EQ(0, (compdoc("unregister", status), status));
  const std::string unregistered = compdoc("registry export", status);
  ASSERT_NE(registered, unregistered);
  int sawRegistered = 0;
  for (int round = 0; round < 8; ++round) {
    std::string both = "( " + m_registry.environment() + " " + shellQuote(compdocPath()) +
                       " register & " + m_registry.environment() + " " + shellQuote(compdocPath()) +
                       " unregister & wait ) >/dev/null 2>&1";
    runCommand(both, status);
    std::string now = compdoc("registry export", status);
    ASSERT_EQ(0, status) << now;
    ASSERT_TRUE(now == registered || now == unregistered) << "round " << round << ":\n" << now;
    sawRegistered += now == registered;
  }
  std::cout << "registered after " << sawRegistered << " of 8 rounds\n";
}

}  // namespace
}  // namespace velmora::test
