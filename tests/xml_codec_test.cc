// The XML form of records: lossless round trips of every class and every
// kind of field, texts of any bytes, and a reader that refuses malformed or
// hostile documents with an error saying what and where.
#include <climits>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "facility/message_facility.h"
#include "facility/schema.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "messages/records.h"
#include "sim/qzsim.h"

namespace {

using App::ClientInfo;
using App::ClientProps;
using App::FilePath;
using qzfacility::ClassSchema;
using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using QZInstallManager::ClientSetup;
using qzmsg::Get;
using qzmsg::IsSet;
using qzmsg::Set;
using ::testing::HasSubstr;

// A record of `schema` with every field set: nested records filled in turn
// and lists of three filled elements. `seed` makes every value distinct, so
// that a field or element swapped with another shows.
CNMessageBase Full(const ClassSchema& schema, long long& seed) {
  CNMessageBase record(schema.group, schema.type);
  const unsigned long hash = schema.classHash;
  for (const FieldSchema& f : schema.fields) {
    ++seed;
    auto child = [&] {
      return Full(*qzfacility::FindClass(f.childGroup, f.childType), seed);
    };
    if (f.kind == FieldKind::kInt64) {
      record.setint64(f.index, f.tag, seed % 2 ? -seed : seed * 1000003, hash,
                      f.hash);
    } else if (f.kind == FieldKind::kText) {
      record.setstring(f.index, f.tag,
                       f.name + (" <&> \"'" + std::to_string(seed)), hash,
                       f.hash);
    } else if (f.kind == FieldKind::kRecord) {
      const CNMessageBase one = child();
      record.setObjectAccessor(&one, f.index, f.tag, hash, f.hash);
    } else {
      const std::vector<CNMessageBase> list{child(), child(), child()};
      record.setlistobject(f.index, f.tag, &list, hash, f.hash);
    }
  }
  return record;
}

CNMessageBase Full(const ClassSchema& schema) {
  long long seed = 0;
  return Full(schema, seed);
}

// The record read back from its XML, checked to write the same XML again.
CNMessageBase RoundTrip(const CNMessageBase& record) {
  const std::string xml = qzsim::toXml(record);
  CNMessageBase back = qzsim::fromXml(xml);
  EXPECT_EQ(qzsim::toXml(back), xml);
  return back;
}

FilePath PathRecord(const std::string& text) {
  FilePath record;
  Set(record, FilePath::kPath, text);
  return record;
}

std::string PathOf(const std::string& xml) {
  CNMessageBase record = qzsim::fromXml(xml);
  return Get(record, FilePath::kPath);
}

TEST(XmlCodecTest, EveryClassRoundTripsWithEveryFieldSet) {
  for (const ClassSchema& schema : qzfacility::AllClasses()) {
    SCOPED_TRACE(schema.QualifiedName());
    const CNMessageBase record = Full(schema);
    EXPECT_EQ(qzsim::render(RoundTrip(record)), qzsim::render(record));
  }
}

TEST(XmlCodecTest, WritesTheCompactFormOfKnownClassesOnly) {
  ClientSetup setup;
  Set(setup, ClientSetup::kNumber1, LLONG_MIN);
  Set(setup, ClientSetup::kNumber2, LLONG_MAX);
  Set(setup, ClientSetup::kFocusName, "a&b");
  Set(setup, ClientSetup::kUser, QzEntities::UserEntity());
  Set(setup, ClientSetup::kClientCompositions, {});
  EXPECT_EQ(qzsim::toXml(setup),
            "<r g=\"8\" y=\"8\"><i x=\"1\" t=\"1\" h=\"685FD1\">"
            "-9223372036854775808</i><i x=\"2\" t=\"2\" h=\"8D1669\">"
            "9223372036854775807</i>"
            "<r x=\"3\" t=\"3\" h=\"285FEB\" g=\"18\" y=\"15\"/>"
            "<s x=\"9\" t=\"9\" h=\"E64B8\">a&amp;b</s>"
            "<l x=\"14\" t=\"20\" h=\"EE00DF\"/></r>");
  EXPECT_EQ(qzsim::render(RoundTrip(setup)), qzsim::render(setup));
  // A class the reader would not know.
  EXPECT_THROW(qzsim::toXml(CNMessageBase(31, 200)), std::invalid_argument);
}

// Every text comes back byte for byte. Readable texts stay readable in the
// document; only what XML cannot carry is hex.
TEST(XmlCodecTest, TextsOfAnyBytesRoundTripReadableWherePossible) {
  std::string everyByte;  // a megabyte, its first 256 bytes all different
  for (int i = 0; i < 1 << 20; ++i) everyByte += static_cast<char>(i * 7);
  std::vector<std::string> readable = {
      "", "\r\n\r", "]]>", "<a href=\"x\">&amp;</a>",
      // é € and an emoji, U+FFFD
      "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xEF\xBF\xBD"};
  std::vector<std::string> hex = {everyByte, "\x1B[0m",
                                  // U+FFFE (not a character), a surrogate,
                                  // overlong, cut short, past U+10FFFF, Latin-1
                                  "\xEF\xBF\xBE", "\xED\xA0\x80", "\xC0\xAF",
                                  "\xE2\x82", "\xF4\x90\x80\x80", "caf\xE9"};
  for (unsigned char c : everyByte.substr(0, 256)) {
    const bool carried =
        (c >= ' ' && c < 0x80) || c == '\t' || c == '\n' || c == '\r';
    (carried ? readable : hex).emplace_back(1, static_cast<char>(c));
  }
  for (const auto& [texts, isHex] : {std::pair{readable, false}, {hex, true}}) {
    for (const std::string& text : texts) {
      SCOPED_TRACE(::testing::PrintToString(text.substr(0, 8)));
      CNMessageBase back = RoundTrip(PathRecord(text));
      EXPECT_EQ(qzsim::toXml(back).find("enc=\"hex\"") != std::string::npos,
                isHex);
      EXPECT_EQ(Get(back, FilePath::kPath), text);
    }
  }
}

TEST(XmlCodecTest, ReadsCharacterDataAsXmlDefinesIt) {
  EXPECT_EQ(PathOf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<!-- pretty-printed -->\n<r g=\"30\" y=\"19\">\r\n"
                   "  <s x=\"1\" t=\"1\" "
                   "h=\"346425\">a&lt;&gt;&amp;&quot;&apos;&#x20AC;&#8364;&#32;"
                   "<![CDATA[<&#1;>]]>\r\nb\rc&#13;</s>\n</r>\n"),
            "a<>&\"'\xE2\x82\xAC\xE2\x82\xAC <&#1;>\nb\nc\r");
  EXPECT_EQ(PathOf("<r g=\"30\" y=\"19\"><s x=\"1\" t=\"1\" h=\"00346425\" "
                   "enc=\"hex\">00aAfF09</s></r>"),
            std::string("\0\xAA\xFF\x09", 4));
}

TEST(XmlCodecTest, SetEmptyFieldsStaySetAndUnsetOnesUnset) {
  ClientProps props;
  Set(props, ClientProps::kAttributes, {});
  Set(props, ClientProps::kNumber2, 0);
  Set(props, ClientProps::kVmName, "");
  ClientInfo info;
  Set(info, ClientInfo::kClientProps, props);
  Set(info, ClientInfo::kClient, App::Client());
  // Filled in place, never set: counts as set because it holds something.
  Get(info, ClientInfo::kClientGroups)
      .push_back(QzEntities::ClientGroupEntity());

  CNMessageBase back = RoundTrip(info);
  EXPECT_EQ(qzsim::render(back), qzsim::render(info));
  CNMessageBase& backProps = Get(back, ClientInfo::kClientProps);
  EXPECT_THAT((std::vector<bool>{IsSet(back, ClientInfo::kClient),
                                 IsSet(backProps, ClientProps::kAttributes),
                                 IsSet(backProps, ClientProps::kNumber2),
                                 IsSet(backProps, ClientProps::kVmName),
                                 IsSet(backProps, ClientProps::kNumber23),
                                 IsSet(backProps, ClientProps::kVmGuid)}),
              ::testing::ElementsAre(true, true, true, true, false, false));
  EXPECT_FALSE(IsSet(qzsim::fromXml(qzsim::toXml(ClientProps())),
                     ClientProps::kAttributes));
}

std::string Repeat(const std::string& part, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += part;
  return out;
}

// A ClientEntity holding `fields`.
std::string Entity(const std::string& fields) {
  return "<r g=\"18\" y=\"4\">" + fields + "</r>";
}

std::string ClientName(const std::string& value,
                       const std::string& attributes = "") {
  return "<s x=\"1\" t=\"1\" h=\"B304F6\"" + attributes + ">" + value + "</s>";
}

std::string ClientId(const std::string& value) {
  return Entity("<i x=\"0\" t=\"0\" h=\"253646\">" + value + "</i>");
}

// ClientSetup > clientCompositions[position] > clientInfo holding `fields`.
std::string InComposition(const std::string& fields, std::size_t position = 1) {
  return "<r g=\"8\" y=\"8\"><l x=\"14\" t=\"20\" h=\"EE00DF\">" +
         Repeat("<r g=\"8\" y=\"53\"/>", position) +
         "<r g=\"8\" y=\"53\"><r x=\"11\" t=\"11\" h=\"B0EF19\" g=\"30\" "
         "y=\"163\">" +
         fields + "</r></r></l></r>";
}

// The clientGroups list of a clientInfo, holding `items`.
std::string Groups(const std::string& items) {
  return InComposition("<l x=\"4\" t=\"4\" h=\"4757F\">" + items + "</l>");
}

// A ClientEntity as the outermost of `levels` nested elements.
std::string Nested(std::size_t levels) {
  return Entity(Repeat("<r>", levels - 1) + Repeat("</r>", levels - 1));
}

// One input per check of the reader, each error naming what and where.
TEST(XmlCodecTest, RefusesMalformedAndHostileDocuments) {
  const std::string kEntity = "<r g=\"18\" y=\"4\"/>";
  const std::pair<std::string, std::string> cases[] = {
      {"", "no root element"},
      {"client web01", "text outside the root element"},
      {"<r g=\"18\" y=\"4\">", "at the end of the input (line 1, column 16)"},
      {Entity("<s></i>"),
       "not well-formed XML: Start-end tags mismatch (line 1, column 22)"},
      {kEntity + '\0' + "<x", "NUL byte in XML (line 1, column 18)"},
      {"<record/>", "root element <record>, expected <r>"},
      {kEntity + kEntity, "more than one root element"},
      {"<r g=\"18\" y=\"5\"/>", "no record class (18, 5)"},
      {"<r g=\"18\" y=\"4294967300\"/>",
       "y=\"4294967300\" is not a number in range"},
      {"<r g=\"18\"/>", "<r> lacks attribute y"},
      {"<r g=\"18\" y=\"4\" g=\"18\"/>", "has attribute g twice"},
      {Entity("\n  <b/>"), "unexpected element <b> (line 2, column 3)"},
      {Entity("web01"),
       "XML record: QzEntities::ClientEntity: text \"web01\" inside a record"},
      {Entity("<s x=\"7\" t=\"7\" h=\"B304F6\">a</s>"),
       "ClientEntity has no field with index 7"},
      {Entity("<s x=\"2\" t=\"2\" h=\"12D053\"/>"),
       "field hostName: tag 2, expected 5"},
      {Entity("<s x=\"1\" t=\"1\" h=\"B304F7\"/>"),
       "field clientName: field hash B304F7, expected B304F6"},
      {Entity("<s x=\"1\" t=\"1\" h=\"0xB304F6\"/>"),
       "h=\"0xB304F6\" is not a hex number"},
      {Entity("<s x=\"1\" t=\"1\" h=\"100B304F6\"/>"),
       "h=\"100B304F6\" is not a hex number in range"},
      {Entity("<i x=\"1\" t=\"1\" h=\"B304F6\">1</i>"),
       "field clientName: a text field given as <i>"},
      {Entity(Repeat(ClientName("a"), 1000000)),
       "field clientName: given twice"},
      {ClientId("12a"), "\"12a\" is not a 64-bit integer"},
      {ClientId("9223372036854775808"), "out of the 64-bit integer range"},
      {ClientId("<b/>"), "markup inside <i>"},
      {Entity(ClientName("ABC", " enc=\"hex\"")), "odd number of hex digits"},
      {Entity(ClientName("AB0G", " enc=\"hex\"")), "bad hex digits \"0G\""},
      {Entity(ClientName("QUI=", " enc=\"base64\"")),
       "unknown encoding \"base64\""},
      {Entity(ClientName("a<b/>")), "markup inside <s>"},
      {Entity(ClientName("&ent;")), "reference \"&ent;\" is not an entity"},
      {Entity(ClientName("a&#0;b")),
       "reference \"&#0;\" is not an entity or a character XML allows"},
      {Entity(ClientName("&#31;")), "reference \"&#31;\" is not an entity"},
      {Entity(ClientName("&#99999999999999999999;")),
       "unterminated or overlong reference"},
      {Entity(ClientName("a\x01z")),
       "text is not UTF-8 or holds a character XML forbids"},
      {"<r g=\"8\" y=\"8\"><r x=\"3\" t=\"3\" h=\"285FEB\" g=\"18\" "
       "y=\"4\"/></r>",
       "field user: record is of QzEntities::ClientEntity (18, 4), expected "
       "QzEntities::UserEntity (18, 15)"},
      {Groups("<r g=\"18\" y=\"28\"/><r g=\"18\" y=\"4\"/>"),
       "XML record: QZInstallManager::ClientSetup.clientCompositions[1]."
       "clientInfo: field clientGroups: list element 1 is of "
       "QzEntities::ClientEntity (18, 4)"},
      // A tag read before in one class, met again in another.
      {"<r g=\"8\" y=\"8\"><r x=\"3\" t=\"3\" h=\"285FEB\" g=\"18\" y=\"15\">"
       "<i x=\"0\" t=\"0\" h=\"2B2E46\">1</i></r><r x=\"11\" t=\"17\" "
       "h=\"91BA91\" g=\"8\" y=\"64\"><r x=\"4\" t=\"4\" h=\"1E36F9\" g=\"18\" "
       "y=\"4\"><i x=\"0\" t=\"0\" h=\"2B2E46\">1</i></r></r></r>",
       "field clientId: field hash 2B2E46, expected 253646"},
      {Groups("<s x=\"2\" t=\"2\" h=\"D5CE1F\"/>"),
       "list element 0 is <s>, expected <r>"},
      {Groups("<r x=\"4\" g=\"18\" y=\"28\"/>"), "unexpected attribute \"x\""},
      {Groups("3"), "text inside a list"},
      {InComposition("<r x=\"1\" t=\"1\" h=\"12F3CB\" g=\"30\" y=\"115\">"
                     "<r x=\"1\" t=\"1\" h=\"647F8E\" g=\"18\" y=\"4\">"
                     "<i x=\"0\" t=\"0\" h=\"253646\">x</i></r></r>",
                     0),
       "XML record: QZInstallManager::ClientSetup.clientCompositions[0]."
       "clientInfo.client.clientEntity: field clientId: \"x\" is not"},
      // The real tree is some seven elements deep; 32 are let through to
      // the field checks, 33 are not.
      {Nested(32), "<r> lacks attribute x"},
      {Nested(33), "elements nested deeper than 32 levels"},
      {Nested(100000), "elements nested deeper than 32 levels"},
  };
  for (const auto& [xml, error] : cases) {
    SCOPED_TRACE(error);
    EXPECT_THAT([&xml = xml] { qzsim::fromXml(xml); },
                ::testing::ThrowsMessage<std::runtime_error>(HasSubstr(error)));
  }
}

// Every cut and a spread of damaged bytes of a real document either read
// back as a record that writes itself stably, or fail with a runtime error.
TEST(XmlCodecTest, DamagedDocumentsFailCleanly) {
  const std::string xml = qzsim::toXml(Full(
      *qzfacility::FindClass(QZInstallManager::ClientsComposition::kGroup,
                             QZInstallManager::ClientsComposition::kType)));
  std::vector<std::string> damaged;
  for (std::size_t i = 0; i < xml.size(); ++i) {
    damaged.push_back(xml.substr(0, i));
    if (i % 3 != 0) continue;
    for (char c : {'<', '"', '&', '9', '\xFF', '\0'}) {
      damaged.push_back(xml.substr(0, i) + c + xml.substr(i + 1));
    }
  }
  int accepted = 0;
  for (const std::string& document : damaged) {
    try {
      const std::string again = qzsim::toXml(qzsim::fromXml(document));
      EXPECT_EQ(qzsim::toXml(qzsim::fromXml(again)), again);
      ++accepted;
    } catch (const std::runtime_error&) {
    }
  }
  // Changing a digit of a number or a text byte leaves a valid document.
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, static_cast<int>(damaged.size()) / 2);
}

}  // namespace

namespace streamed {

// The record written again, or the error, of one way of reading.
template <typename Read>
std::string Outcome(Read read) {
  try {
    return qzsim::toXml(read());
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

std::string FedInPieces(const std::string& xml, std::size_t size) {
  return Outcome([&] {
    CNMessageFacility::XmlReader reader;
    for (std::size_t at = 0; at < xml.size(); at += size) {
      reader.Feed(std::string_view(xml).substr(at, size));
    }
    return reader.Finish();
  });
}

// The writer hands out bounded pieces that make the whole text, and a
// reader fed any document in pieces of any size, every token cut somewhere,
// answers as one given it whole: the same record, or the same error at the
// same line and column.
TEST(XmlCodecTest, StreamsInPiecesWithTheSameOutcomeAsWhole) {
  long long seed = 0;
  CNMessageBase setup = Full(*qzfacility::FindClass(8, 8), seed);
  Set(setup, ClientSetup::kFocusName, Repeat("a&<\r\x01", 20000));
  std::string joined;
  std::size_t pieces = 0;
  CNMessageFacility::WriteXml(
      setup,
      [&](std::string_view piece) {
        EXPECT_LE(piece.size(), 256u);
        joined += piece;
        ++pieces;
      },
      256);
  EXPECT_EQ(joined, qzsim::toXml(setup));
  EXPECT_GT(pieces, joined.size() / 256);
  EXPECT_EQ(FedInPieces(joined, 4096), joined);

  const std::string pretty =
      "<?xml version=\"1.0\"?>\n<!-- c -->\r\n<r g=\"30\" y=\"19\">\n <s x=\"1\" "
      "t=\"1\" h=\"346425\">a&lt;&#x20AC;<![CDATA[<&#1;>]]>\r\nb</s>\n</r>\n";
  std::vector<std::string> documents = {
      "", " \n", "\n<r g=\"18\" y=\"4\">\n",
      Entity("\n <s x=\"1\"\n t=\"1\" h=\"B304F6\">a\n&bad;</s>"),
      "<r g=\"18\" y=\"4\"/>\n<r g=\"18\" y=\"4\"/>", Nested(40) + "<",
      "<r g=\"18\" y=\"5\"/>x\n" + std::string(1, '\0'), Groups("3")};
  for (std::size_t i = 0; i < pretty.size(); ++i) {
    documents.push_back(pretty.substr(0, i));
    for (char c : {'<', '&', '\n', '\0'}) {
      documents.push_back(pretty.substr(0, i) + c + pretty.substr(i + 1));
    }
  }
  for (const std::string& document : documents) {
    SCOPED_TRACE(::testing::PrintToString(document));
    const std::string whole = Outcome([&] { return qzsim::fromXml(document); });
    for (std::size_t size : {1, 2, 3, 7, 64}) {
      ASSERT_EQ(FedInPieces(document, size), whole) << size;
    }
  }
}

// Writing a record that is not wanted afterwards gives the same text and
// leaves it empty, freeing its list elements on the way, but never changes
// what another handle still holds.
TEST(XmlCodecTest, ReleasingWriterTakesOnlyWhatIsItsAlone) {
  long long seed = 0;
  const CNMessageBase full = Full(*qzfacility::FindClass(8, 8), seed);
  const std::string xml = qzsim::toXml(full);
  CNMessageBase shared = full;
  CNMessageBase sole = qzsim::fromXml(xml);
  const CNMessageBase kept = Get(sole, ClientSetup::kClientCompositions)[1];
  const std::string keptXml = qzsim::toXml(kept);
  for (CNMessageBase* record : {&shared, &sole}) {
    std::string written;
    CNMessageFacility::WriteXmlReleasing(
        *record, [&](std::string_view piece) { written += piece; });
    EXPECT_EQ(written, xml);
    EXPECT_EQ(qzsim::toXml(*record), qzsim::toXml(ClientSetup()));
  }
  EXPECT_EQ(qzsim::toXml(full), xml);
  EXPECT_EQ(qzsim::toXml(kept), keptXml);
}

}  // namespace streamed
