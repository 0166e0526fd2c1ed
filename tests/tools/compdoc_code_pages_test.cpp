// Narrow text (VT_LPSTR) in the code page its own set declares, through
// compdoc and the plug-in: documents with one code page in all their sets,
// read and written here, checked by olefile (decoding with the declared code
// page) and exiftool; and the corpus presentation, whose sets are Mac Roman.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/property_doc.h"
#include "tests/support/temp_dir.h"

namespace velmora::test {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::u16string fromUtf8(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::u16string out(size_t(n), u'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), out.data(), n);
  return out;
}

// UTF-8 text in code page `cp`, as another program on a system of that code
// page would have stored it.
std::string encodeIn(UINT cp, const std::string& utf8) {
  std::u16string text = fromUtf8(utf8);
  BOOL used = FALSE;
  int n = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, text.data(), int(text.size()), nullptr, 0,
                              nullptr, &used);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, text.data(), int(text.size()), out.data(), n,
                      nullptr, &used);
  EXPECT_FALSE(used) << utf8 << " is not all in code page " << cp;
  return out;
}

std::map<std::string, json> readAttributes(const fs::path& doc) {
  int status = -1;
  std::istringstream out(runCommand(
      "TZ=UTC " + shellQuote(compdocPath()) + " read --json " + shellQuote(doc), status));
  std::map<std::string, json> records;
  for (std::string line; std::getline(out, line);) {
    if (line.empty()) continue;
    json j = json::parse(line);
    records[j["block"].get<std::string>() + ":" + j["name"].get<std::string>()] = j;
  }
  return records;
}

// compdoc write's verdict per pair ("written" / "not written").
std::vector<std::string> write(const fs::path& doc, const std::vector<std::string>& pairs) {
  std::string command = shellQuote(compdocPath()) + " write " + shellQuote(doc);
  for (const std::string& p : pairs) command += " " + shellQuote(p);
  int status = -1;
  std::istringstream out(runCommand(command, status));
  std::vector<std::string> verdicts;
  for (std::string line; std::getline(out, line);)
    verdicts.push_back(line.substr(line.rfind('\t') + 1));
  // A pair not written makes the exit status 1.
  bool refused = std::find(verdicts.begin(), verdicts.end(), "not written") != verdicts.end();
  EXPECT_EQ(refused ? 1 : 0, status);
  return verdicts;
}

json olefilePeer(const fs::path& doc) {
  int status = -1;
  std::string out = runCommand("/usr/bin/python3 " +
                                   shellQuote(VELMORA_SOURCE_DIR "/tests/tools/code_page_peer.py") +
                                   " " + shellQuote(doc),
                               status);
  if (status != 0) return json();
  return json::parse(out);
}

json exiftool(const fs::path& doc) {
  if (!haveProgram("exiftool")) return json();
  int status = -1;
  std::string out = runCommand("exiftool -j -charset utf8 " + shellQuote(doc), status);
  return status == 0 ? json::parse(out)[0] : json();
}

struct CodePageCase {
  UINT cp;
  std::string title;  // UTF-8
  std::string note;
};

void PrintTo(const CodePageCase& c, std::ostream* os) { *os << "code page " << c.cp; }

const CodePageCase kCases[] = {
    {874, "สวัสดี ครับ", "ภาษาไทย"},
    {1250, "Žluťoučký kůň", "Łódź Ősz"},
    {1251, "Привет мир", "Ёжик в тумане"},
    {1253, "Καλημέρα κόσμε", "Ωμέγα"},
    {1254, "Güzel Şehir", "İğne ı"},
    {1255, "שלום עולם", "עברית"},
    {1256, "مرحبا بالعالم", "عربي"},
    {1257, "Ąžuolas Ėglė", "Rīga Ņ"},
    {1258, "Đôi Ươn", "Cà phê ₫"},
    {437, "Größe ½ ░", "Ñoño ƒ"},
    {850, "Ærø Ñandú", "Ýþ ß"},
    {10000, "Ünited Parts ©", "Café ™ ∞"},
    {10006, "Καλημέρα", "Ωμέγα"},
    {10007, "Москва", "Ёжик"},
    {10029, "Łódź Ś", "Ďakujem"},
    {10079, "Þórður Ð", "Ýmir"},
    {10081, "İstanbul ğ", "Şişli"},
    {932, "日本語のテキスト", "ｶﾀｶﾅ ①"},
    {936, "中文文本", "简体字"},
    {949, "한국어 텍스트", "가나다"},
    {950, "中文繁體", "臺灣 €"},
    {10001, "日本語のテキスト", "ｶﾀｶﾅ 漢字"},
    {10002, "中文繁體", "臺灣 書"},
    {10003, "한국어 텍스트", "가나다 라마"},
    {10008, "Microsoft Office 用户", "简体字 中文"},
};

class CodePageDocumentTest : public ::testing::TestWithParam<CodePageCase> {
 protected:
  void SetUp() override {
    const CodePageCase& c = GetParam();
    m_doc = m_tmp.file("cp" + std::to_string(c.cp) + ".doc");
    m_title = encodeIn(c.cp, c.title);
    m_note = encodeIn(c.cp, c.note);
    const USHORT cp = USHORT(c.cp);
    writeDocument(m_doc, {
                             {FMTID_SummaryInformation,
                              PROPSETFLAG_ANSI,
                              {byId(PIDSI_TITLE, pvNarrow(m_title.c_str()))},
                              cp},
                             {FMTID_DocSummaryInformation,
                              PROPSETFLAG_ANSI,
                              {byId(15, pvNarrow(m_title.c_str()))},
                              cp},
                             {FMTID_UserDefinedProperties,
                              PROPSETFLAG_ANSI,
                              {byName(u"Note", pvNarrow(m_note.c_str()))},
                              cp},
                         });
  }

  TempDir m_tmp;
  fs::path m_doc;
  std::string m_title, m_note;  // in the code page
};

TEST_P(CodePageDocumentTest, ReadsNarrowTextInTheSetsCodePage) {
  const CodePageCase& c = GetParam();
  auto records = readAttributes(m_doc);
  EXPECT_EQ(c.title, records["Summary:Title"]["value"]);
  EXPECT_EQ(c.title, records["DocSummary:Company"]["value"]);
  EXPECT_EQ(c.note, records["CustomProperty:Note"]["value"]);
  EXPECT_EQ(SHORT(c.cp), records["CustomProperty:824B7195-5022-D47e-A0EA-69C3CF360213"]["value"]);
}

TEST_P(CodePageDocumentTest, WritesNarrowTextInTheSetsCodePage) {
  const CodePageCase& c = GetParam();
  ASSERT_EQ((std::vector<std::string>(4, "written")),
            write(m_doc, {"DocSummary:Company=" + c.note, "DocSummary:Manager=" + c.title,
                          "CustomProperty:Note=" + c.title, "CustomProperty:Fresh=" + c.note}));
  auto records = readAttributes(m_doc);
  EXPECT_EQ(c.note, records["DocSummary:Company"]["value"]);
  EXPECT_EQ(c.title, records["DocSummary:Manager"]["value"]);
  EXPECT_EQ(c.title, records["CustomProperty:Note"]["value"]);
  EXPECT_EQ(c.note, records["CustomProperty:Fresh"]["value"]);

  json peer = olefilePeer(m_doc);
  ASSERT_FALSE(peer.is_null()) << "olefile cannot read the written document";
  EXPECT_EQ(c.cp, peer["docsummary"]["codepage"]);
  EXPECT_EQ(c.note, peer["docsummary"]["values"]["15"]);
  EXPECT_EQ(c.title, peer["docsummary"]["values"]["14"]);
  EXPECT_EQ(c.cp, peer["custom"]["codepage"]);
  EXPECT_EQ(c.title, peer["custom"]["values"]["Note"]);
  EXPECT_EQ(c.note, peer["custom"]["values"]["Fresh"]);
  EXPECT_EQ(c.title, peer["summary"]["values"]["2"]) << "the title was not touched";

  json exif = exiftool(m_doc);
  if (exif.is_null()) GTEST_SKIP() << "exiftool is not installed";
  // exiftool names the OEM and double-byte code pages but decodes only the
  // single-byte Windows and Mac ones.
  if (c.cp == 437 || c.cp == 850 || c.cp == 932 || c.cp == 936 || c.cp == 949 || c.cp == 950 ||
      c.cp == 10001 || c.cp == 10002 || c.cp == 10003 || c.cp == 10008)
    return;
  EXPECT_EQ(c.note, exif.value("Company", "")) << exif.dump();
  EXPECT_EQ(c.title, exif.value("Manager", "")) << exif.dump();
  EXPECT_EQ(c.note, exif.value("Fresh", "")) << exif.dump();
}

TEST_P(CodePageDocumentTest, RefusesTextTheCodePageCannotHold) {
  const auto before = readFileBytes(m_doc);
  // U+0D05 and U+0D06 (Malayalam) are in none of the code pages.
  EXPECT_EQ((std::vector<std::string>{"not written", "not written", "not written"}),
            write(m_doc, {"DocSummary:Company=x\xE0\xB4\x85", "CustomProperty:Note=\xE0\xB4\x85",
                          "CustomProperty:Fresh=\xE0\xB4\x86"}));
  EXPECT_EQ(before, readFileBytes(m_doc)) << "the document is byte for byte as it was";
}

INSTANTIATE_TEST_SUITE_P(CodePages, CodePageDocumentTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return "cp" + std::to_string(info.param.cp); });

// Sets in the ANSI code page (1252) and in UTF-16 (1200, whose narrow
// strings pass through the ANSI code page) hold narrow text exactly or not at
// all: no best fit ("Lodz"), no default characters ("??").
TEST(AnsiCodePageDocumentTest, RefusesTextTheAnsiCodePageCannotHold) {
  for (const auto& [flags, cp] :
       {std::pair{DWORD(PROPSETFLAG_ANSI), 1252}, std::pair{DWORD(PROPSETFLAG_DEFAULT), 1200}}) {
    SCOPED_TRACE(cp);
    TempDir tmp;
    const fs::path doc = tmp.file("r.doc");
    writeDocument(doc,
                  {
                      {FMTID_SummaryInformation, flags, {byId(PIDSI_TITLE, pvNarrow("Title"))}},
                      {FMTID_DocSummaryInformation, flags, {byId(15, pvNarrow("Acme"))}},
                      {FMTID_UserDefinedProperties, flags, {byName(u"Note", pvNarrow("note"))}},
                  });
    const auto before = readFileBytes(doc);
    EXPECT_EQ((std::vector<std::string>(5, "not written")),
              write(doc, {"DocSummary:Company=Łódź Żuraw", "DocSummary:Manager=Ωmega",
                          "CustomProperty:Städte=東京 Ωmega", "CustomProperty:Note=東京",
                          "DocSummary:Category=ＡＢ"}));  // best fit "AB"
    EXPECT_EQ(before, readFileBytes(doc)) << "the document is byte for byte as it was";

    // What the ANSI code page holds is written as before.
    ASSERT_EQ((std::vector<std::string>(3, "written")),
              write(doc, {"DocSummary:Company=Ünïcode", "CustomProperty:Note=€ 5",
                          "CustomProperty:Städte=Köln"}));
    auto records = readAttributes(doc);
    EXPECT_EQ("Ünïcode", records["DocSummary:Company"]["value"]);
    EXPECT_EQ("€ 5", records["CustomProperty:Note"]["value"]);
    EXPECT_EQ("Köln", records["CustomProperty:Städte"]["value"]);
    json peer = olefilePeer(doc);
    ASSERT_FALSE(peer.is_null()) << "olefile cannot read the written document";
    EXPECT_EQ(cp, peer["docsummary"]["codepage"]);
    EXPECT_EQ("Ünïcode", peer["docsummary"]["values"]["15"]);
    EXPECT_EQ("€ 5", peer["custom"]["values"]["Note"]);
  }
}

// A spreadsheet made on a Mac in Simplified Chinese declares 10008 in its
// Summary set; its author's name is GB 2312 there.
TEST(MacEastAsianDocumentTest, ReadsTheAuthorInMacSimplifiedChinese) {
  TempDir tmp;
  const fs::path book = tmp.file("mac.xls");
  writeDocument(book, {{FMTID_SummaryInformation,
                        PROPSETFLAG_ANSI,
                        {byId(PIDSI_AUTHOR, pvNarrow("Microsoft Office \xD3\xC3\xBB\xA7"))},
                        10008}});
  EXPECT_EQ("Microsoft Office 用户", readAttributes(book)["Summary:Author"]["value"]);
}

// The corpus presentation declares code page 10000 (Mac Roman) in its sets.
TEST(CorpusPresentationTest, CompanyIsWrittenInMacRoman) {
  auto dir = corpusDir();
  if (dir.empty()) GTEST_SKIP() << "the shared corpus is not beside this checkout";
  TempDir tmp;
  fs::path copy = tmp.file("testPPT.ppt");
  fs::copy_file(dir / "documents" / "testPPT.ppt", copy);
  fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);

  ASSERT_EQ((std::vector<std::string>{"written"}),
            write(copy, {"DocSummary:Company=Ünited Parts"}));
  EXPECT_EQ("Ünited Parts", readAttributes(copy)["DocSummary:Company"]["value"]);
  json peer = olefilePeer(copy);
  ASSERT_FALSE(peer.is_null());
  EXPECT_EQ(10000, peer["docsummary"]["codepage"]);
  EXPECT_EQ("Ünited Parts", peer["docsummary"]["values"]["15"]);
  json exif = exiftool(copy);
  if (!exif.is_null()) {
    EXPECT_EQ("Ünited Parts", exif.value("Company", ""));
  }

  // Mac Roman has no L with stroke.
  const auto before = readFileBytes(copy);
  EXPECT_EQ((std::vector<std::string>{"not written"}), write(copy, {"DocSummary:Company=Łukasz"}));
  EXPECT_EQ(before, readFileBytes(copy));
}

}  // namespace
}  // namespace velmora::test
