// The named field offsets the codecs write with and the tests patch with
// agree with what the decoders read: a misplaced name would have a hostile
// test damage one field while believing it damaged another.
#include "cfb/directory.h"
#include "cfb/header.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/cfb_fields.h"

namespace velmora::cfb::test {
namespace {

namespace header = velmora::test::header;
namespace entry = velmora::test::entry;
using velmora::test::corruptField;
using velmora::test::fieldValue;

// A version 4 header whose every field holds a value of its own.
Header distinctHeader() {
  Header h;
  h.majorVersion = 4;
  h.sectorShift = 12;
  h.numDirSectors = 3;
  h.numFatSectors = 5;
  h.firstDirSector = 7;
  h.firstMiniFatSector = 11;
  h.numMiniFatSectors = 13;
  h.firstDifatSector = 17;
  h.numDifatSectors = 19;
  for (uint32_t i = 0; i < kHeaderDifatEntries; ++i) h.difat[i] = 100 + i;
  return h;
}

TEST(FieldLayout, HeaderFieldsAreWhereTheDecoderReadsThem) {
  const Header h = distinctHeader();
  auto encoded = encodeHeader(h);
  std::vector<uint8_t> bytes(encoded.begin(), encoded.end());
  EXPECT_EQ(fieldValue(bytes, header::kMajorVersion), 4u);
  EXPECT_EQ(fieldValue(bytes, header::kSectorShift), 12u);
  EXPECT_EQ(fieldValue(bytes, header::kNumDirSectors), 3u);
  EXPECT_EQ(fieldValue(bytes, header::kNumFatSectors), 5u);
  EXPECT_EQ(fieldValue(bytes, header::kFirstDirSector), 7u);
  EXPECT_EQ(fieldValue(bytes, header::kFirstMiniFatSector), 11u);
  EXPECT_EQ(fieldValue(bytes, header::kNumMiniFatSectors), 13u);
  EXPECT_EQ(fieldValue(bytes, header::kFirstDifatSector), 17u);
  EXPECT_EQ(fieldValue(bytes, header::kNumDifatSectors), 19u);
  EXPECT_EQ(fieldValue(bytes, header::difat(kHeaderDifatEntries - 1)),
            100u + kHeaderDifatEntries - 1);

  // Each field patched by name is the one the decoder sees change.
  corruptField(bytes, header::kFirstDirSector, 23);
  corruptField(bytes, header::kFirstMiniFatSector, 29);
  corruptField(bytes, header::kNumDifatSectors, 2);
  corruptField(bytes, header::difat(3), 31);
  bytes.resize(64 << 12);  // room for the counts the decoder checks
  auto decoded = decodeHeader(bytes, bytes.size());
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_EQ(decoded->firstDirSector, 23u);
  EXPECT_EQ(decoded->firstMiniFatSector, 29u);
  EXPECT_EQ(decoded->numDifatSectors, 2u);
  EXPECT_EQ(decoded->numFatSectors, 5u);
  EXPECT_EQ(decoded->difat[3], 31u);
  EXPECT_EQ(decoded->difat[4], 104u);
}

TEST(FieldLayout, EntryFieldsAreWhereTheDecoderReadsThem) {
  DirEntry e;
  e.name = u"Abc";
  e.type = EntryType::Storage;
  e.color = 0;
  e.left = 2;
  e.right = 3;
  e.child = 4;
  e.stateBits = 5;
  std::vector<uint8_t> bytes(kDirEntrySize);
  encodeEntry(e, bytes);
  EXPECT_EQ(fieldValue(bytes, 0, entry::kNameLength), 8u);
  EXPECT_EQ(fieldValue(bytes, 0, entry::nameUnit(1)), uint64_t(u'b'));
  EXPECT_EQ(fieldValue(bytes, 0, entry::kType), 1u);
  EXPECT_EQ(fieldValue(bytes, 0, entry::kColor), 0u);
  EXPECT_EQ(fieldValue(bytes, 0, entry::kLeft), 2u);
  EXPECT_EQ(fieldValue(bytes, 0, entry::kRight), 3u);
  EXPECT_EQ(fieldValue(bytes, 0, entry::kChild), 4u);
  EXPECT_EQ(fieldValue(bytes, 0, entry::kStateBits), 5u);

  // A stream: start and size, the high word of the size ignored by version 3.
  corruptField(bytes, 0, entry::kType, 2);
  corruptField(bytes, 0, entry::kStart, 9);
  corruptField(bytes, 0, entry::kSizeLow, 5000);
  corruptField(bytes, 0, entry::kSizeHigh, 1);
  corruptField(bytes, 0, entry::kClsidFirstByte, 0x44);
  DirEntry v3 = decodeEntry(bytes, true), v4 = decodeEntry(bytes, false);
  EXPECT_EQ(v3.type, EntryType::Stream);
  EXPECT_EQ(v3.start, 9u);
  EXPECT_EQ(v3.size, 5000u);
  EXPECT_EQ(v4.size, (uint64_t(1) << 32) + 5000);
  corruptField(bytes, 0, entry::kType, 1);
  EXPECT_EQ(decodeEntry(bytes, true).clsid.Data1, 0x44u) << "the class id's first byte";
}

}  // namespace
}  // namespace velmora::cfb::test
