// Relinking by prefix without a document: which prefix a source falls
// under by the rules of Windows paths, and when a document's links can be
// rewritten by file name, as the plug-in rewrites them, without moving a
// link the map does not send there.
#include <gtest/gtest.h>

#include "tools/compdoc/relink_plan.h"

namespace compdoc {
namespace {

PrefixMap mapOf(std::initializer_list<const char*> texts) {
  PrefixMap map;
  for (const char* text : texts) {
    PrefixMapping mapping;
    std::string error;
    EXPECT_TRUE(parseMapping(text, mapping, error)) << error;
    EXPECT_TRUE(map.add(mapping, error)) << error;
  }
  return map;
}

TEST(RelinkPrefixTest, TheLongestPrefixWinsUnderWindowsPathRules) {
  PrefixMap map = mapOf({"\\\\old-srv\\projects=\\\\nas2\\eng\\projects",
                         "\\\\old-srv\\projects\\archive\\=\\\\tape\\archive", "C:\\Daten=D:\\",
                         "c:/daten/alt=E:\\Alt", "F:\\Data=F:\\Data\\2024"});
  struct Case {
    std::u16string path;
    std::optional<std::u16string> mapped;
  } cases[] = {
      {u"\\\\old-srv\\projects\\p1\\part.xls", u"\\\\nas2\\eng\\projects\\p1\\part.xls"},
      {u"\\\\OLD-SRV\\Projects\\Ünïcode\\計画.doc", u"\\\\nas2\\eng\\projects\\Ünïcode\\計画.doc"},
      {u"//old-srv/projects/b.xls", u"\\\\nas2\\eng\\projects/b.xls"},  // the rest as it was
      {u"\\\\old-srv\\projects\\archive\\2019\\a.doc", u"\\\\tape\\archive\\2019\\a.doc"},
      {u"\\\\old-srv\\projects", u"\\\\nas2\\eng\\projects"},
      {u"C:\\Daten\\Zeichnung.doc", u"D:\\Zeichnung.doc"},
      {u"C:\\DATEN\\ALT\\x.doc!Sheet1", u"E:\\Alt\\x.doc!Sheet1"},
      // Not at a component boundary, another share, a relative path.
      {u"C:\\Datenbank\\x.doc", std::nullopt},
      {u"\\\\old-srv\\projects2\\x.doc", std::nullopt},
      {u"\\\\other\\projects\\x.doc", std::nullopt},
      {u"Daten\\x.doc", std::nullopt},
      {u"", std::nullopt},
      // Moved under a new prefix inside the old one already.
      {u"F:\\Data\\x.doc", u"F:\\Data\\2024\\x.doc"},
      {u"f:\\data\\2024\\x.doc", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    auto mapped = map.map(c.path);
    ASSERT_EQ(c.mapped.has_value(), mapped.has_value());
    if (mapped) {
      EXPECT_TRUE(*c.mapped == *mapped);
    }
  }
}

TEST(RelinkPrefixTest, MapsThatNameNoPathOrOnePathTwiceAreRefused) {
  for (const char* text : {"C:\\a", "=D:\\b", "C:\\a=", "\\\\=D:\\b"}) {
    PrefixMapping mapping;
    std::string error;
    EXPECT_FALSE(parseMapping(text, mapping, error)) << text;
    EXPECT_FALSE(error.empty());
  }
  PrefixMap map = mapOf({"C:\\Data=D:\\x"});
  PrefixMapping again;
  std::string error;
  ASSERT_TRUE(parseMapping("c:/data/=E:\\y", again, error));
  EXPECT_FALSE(map.add(again, error));
  EXPECT_NE(std::string::npos, error.find("twice")) << error;
  // '=' in the new prefix belongs to it.
  PrefixMapping withEquals;
  ASSERT_TRUE(parseMapping("C:\\a=D:\\b=c", withEquals, error));
  EXPECT_TRUE(withEquals.to == u"D:\\b=c");
}

using Links = std::vector<std::pair<WideString, WideString>>;

TEST(RelinkPlanTest, OneRecordAFileNameAndNothingTheMapDoesNotSendThere) {
  PrefixMap map = mapOf({"C:\\old=D:\\new"});
  DocumentPlan plan = planDocument(map, {{u"C:\\old\\a.doc", u"a.doc"},
                                         {u"E:\\keep\\b.doc", u"b.doc"},
                                         {u"c:/OLD/A.DOC", u"A.DOC"},  // one place, two spellings
                                         {u"C:\\old\\b.xls!Sheet1", u"b.xls!Sheet1"},
                                         {u"D:\\new\\c.doc", u"c.doc"}});
  EXPECT_FALSE(plan.ambiguousName);
  ASSERT_EQ(2u, plan.records.size());
  EXPECT_TRUE(plan.records[0].first == u"a.doc" && plan.records[0].second == u"D:\\new\\a.doc");
  EXPECT_TRUE(plan.records[1].first == u"b.xls!Sheet1" &&
              plan.records[1].second == u"D:\\new\\b.xls!Sheet1");
  const LinkAction actions[] = {LinkAction::kRewrite, LinkAction::kUnchanged, LinkAction::kRewrite,
                                LinkAction::kRewrite, LinkAction::kUnchanged};
  for (size_t i = 0; i < plan.links.size(); ++i) EXPECT_EQ(actions[i], plan.links[i].action) << i;
  EXPECT_TRUE(plan.links[1].target == u"E:\\keep\\b.doc");
  EXPECT_TRUE(plan.links[2].target == u"D:\\new\\a.doc") << "where its record sends it";
}

TEST(RelinkPlanTest, LinksOfOneNameGoingToTwoPlacesLeaveTheDocumentAlone) {
  PrefixMap map = mapOf({"C:\\old=D:\\new", "F:\\x=G:\\y"});
  for (const Links& links : {
           // The record for same.doc would move the link the map leaves alone.
           Links{{u"C:\\old\\ok.doc", u"ok.doc"},
                 {u"C:\\old\\same.doc", u"same.doc"},
                 {u"E:\\keep\\SAME.doc", u"SAME.doc"}},
           // Two prefixes send one name to two places.
           Links{{u"C:\\old\\ok.doc", u"ok.doc"},
                 {u"C:\\old\\same.doc", u"same.doc"},
                 {u"F:\\x\\same.doc", u"same.doc"}},
       }) {
    DocumentPlan plan = planDocument(map, links);
    ASSERT_TRUE(plan.ambiguousName);
    EXPECT_TRUE(*plan.ambiguousName == u"same.doc");
    EXPECT_TRUE(plan.records.empty());
    EXPECT_EQ(LinkAction::kAmbiguous, plan.links[0].action) << "nothing in it is rewritten";
    EXPECT_NE(LinkAction::kRewrite, plan.links[2].action);
  }
}

}  // namespace
}  // namespace compdoc
