// Registration scripts through the platform's registrar: what registration
// and removal write and keep, and scripts that do not parse writing nothing.
#include <gtest/gtest.h>

#include <atliface.h>

#include "platform/registrar/script.h"
#include "platform/registry/registry.h"
#include "tests/support/registry_dump.h"

namespace velmora::test {
namespace {

class RegistrarScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar,
                                     reinterpret_cast<void**>(&m_registrar)));
    ASSERT_EQ(S_OK, m_registrar->AddReplacement(u"MODULE", u"/opt/lib/first.so"));
  }
  void TearDown() override {
    if (m_registrar) m_registrar->Release();
  }
  HRESULT reg(const char16_t* script) { return m_registrar->StringRegister(script); }
  HRESULT unreg(const char16_t* script) { return m_registrar->StringUnregister(script); }

  ScratchRegistry m_registry;
  IRegistrar* m_registrar = nullptr;
};

constexpr const char16_t* kClassScript =
    uR"(HKCR
{
  Test.Thing.1 = s 'Thing Class'
  {
    CLSID = s '{11111111-2222-3333-4444-555555555555}'
  }
  NoRemove CLSID
  {
    ForceRemove {11111111-2222-3333-4444-555555555555} = s 'It''s a thing'
    {
      InprocServer32 = s '%Module%'
      {
        val ThreadingModel = s 'Apartment'
        val Count = d '0x10'
        val Blob = b '00FF'
      }
    }
  }
})";

TEST_F(RegistrarScriptTest, RegistrationReplacesForceRemoveKeysAndRemovalKeepsNoRemove) {
  ASSERT_EQ(S_OK, reg(kClassScript));
  const std::string once = dumpRegistry();
  EXPECT_NE(std::string::npos, once.find("\\@=It's a thing\n")) << once;
  EXPECT_NE(std::string::npos, once.find("InprocServer32\\@=/opt/lib/first.so\n")) << once;
  EXPECT_NE(std::string::npos, once.find("InprocServer32\\Count=type 4, 4 bytes\n")) << once;
  EXPECT_NE(std::string::npos, once.find("InprocServer32\\Blob=type 3, 2 bytes\n")) << once;

  // Another tool's additions under the ForceRemove key vanish on the next
  // registration; those beside it stay.
  HKEY h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT,
                                           u"CLSID\\{11111111-2222-3333-4444-555555555555}\\Extra",
                                           0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr));
  RegCloseKey(h);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{Other}", 0, nullptr, 0,
                                           KEY_WRITE, nullptr, &h, nullptr));
  RegCloseKey(h);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Test.Thing.1\\Shell", 0, nullptr, 0,
                                           KEY_WRITE, nullptr, &h, nullptr));
  RegCloseKey(h);
  ASSERT_EQ(S_OK, reg(kClassScript));
  std::string twice = dumpRegistry();
  EXPECT_EQ(std::string::npos, twice.find("Extra")) << twice;
  EXPECT_NE(std::string::npos, twice.find("CLSID\\{Other}\n")) << twice;

  // Removal: the ForceRemove key goes whole, CLSID stays, and a key that
  // still holds someone else's sub-key stays with it, untouched.
  ASSERT_EQ(S_OK, unreg(kClassScript));
  EXPECT_EQ(
      "\nCLSID\nCLSID\\{Other}\nTest.Thing.1\nTest.Thing.1\\@=Thing Class\n"
      "Test.Thing.1\\Shell\n",
      dumpRegistry());
  RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Test.Thing.1\\Shell");
  ASSERT_EQ(S_OK, unreg(kClassScript));
  EXPECT_EQ("\nCLSID\nCLSID\\{Other}\n", dumpRegistry()) << "removal twice is no error";
}

TEST_F(RegistrarScriptTest, ScriptsThatDoNotParseWriteNothing) {
  struct Case {
    const char16_t* script;
    const char* message;
  } cases[] = {
      {u"HKCR\n{\n  Good = s 'x'\n  Bad = s 'no end\n}\n", "line 4: a quoted text is not closed"},
      {u"HKCR\n{\n  Good = s 'x'\n", "missing '}'"},
      {u"HKLM\n{\n  Good = s 'x'\n}\n", "only HKCR"},
      {u"HKCR\n{\n  Good = s '%NOPE%'\n}\n", "line 3: no replacement for %NOPE%"},
      {u"HKCR\n{\n  Good = q 'x'\n}\n", "unknown value type 'q'"},
      {u"HKCR\n{\n  Good = d 'ten'\n}\n", "'ten' is not a 32-bit number"},
      {u"HKCR\n{\n  Good\n  {\n    val = s 'x'\n  }\n}\n",
       "line 5: expected a value name after 'val'"},
      {u"HKCR\n{\n  Good\n  {\n    val Name s 'x'\n  }\n}\n",
       "expected '=' after value name 'Name'"},
      {u"HKCR\n{\n  ForceRemove\n}\n", "expected a key name after the key's flag"},
      {u"HKCR\n{\n  Good\n  '' = s 'x'\n}\n", "line 4: a key name is empty"},
      {u"HKCR\n{\n  = s 'x'\n}\n", "line 3: expected a key name, got '='"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DISP_E_EXCEPTION, reg(c.script)) << c.message;
    EXPECT_NE(std::string::npos, registrar::lastParseError().find(c.message))
        << registrar::lastParseError();
    EXPECT_EQ("\n", dumpRegistry()) << c.message;
  }
}

// A flag word is a flag in any case, and only before a name: a quoted flag
// word is the key's name.
TEST_F(RegistrarScriptTest, DeleteRemovesItsKeyAndQuotedFlagWordsAreNames) {
  ASSERT_EQ(S_OK, reg(u"HKCR\n{\n  Gone\n  {\n    Inner = s 'x'\n  }\n  'Delete' = s 'kept'\n}\n"));
  ASSERT_EQ(S_OK, reg(u"HKCR\n{\n  delete Gone\n}\n"));
  EXPECT_EQ("\nDelete\nDelete\\@=kept\n", dumpRegistry());
}

TEST_F(RegistrarScriptTest, AFailingStepStopsTheScriptWithItsCode) {
  // The third write (the CLSID key) is refused: the keys before it stay,
  // nothing after it is written.
  registry::setWriteFaultHook(
      [](int ordinal) -> LONG { return ordinal == 2 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS; });
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), reg(kClassScript));
  registry::setWriteFaultHook({});
  EXPECT_EQ("\nTest.Thing.1\nTest.Thing.1\\@=Thing Class\n", dumpRegistry());
}

}  // namespace
}  // namespace velmora::test
