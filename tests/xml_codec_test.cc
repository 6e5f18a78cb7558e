// The XML form of records: lossless round trips of every class and every
// kind of field, texts of any bytes, and a reader that refuses malformed or
// hostile documents with an error saying what and where.
#include <climits>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "facility/schema.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "messages/records.h"
#include "sim/qzsim.h"

namespace {

using App::ClientInfo;
using App::ClientProps;
using App::FilePath;
using QzEntities::ClientGroupEntity;
using qzfacility::ClassSchema;
using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using QZInstallManager::ClientSetup;
using QZInstallManager::PackageInformation;
using qzmsg::Get;
using qzmsg::IsSet;
using qzmsg::Set;
using ::testing::HasSubstr;

const ClassSchema& ClassOf(int group, int type) {
  const ClassSchema* schema = qzfacility::FindClass(group, type);
  if (schema == nullptr) throw std::logic_error("no such class");
  return *schema;
}

// A record of `schema` with every field set: nested records filled in turn
// and lists of three filled elements. `seed` makes every value distinct, so
// that a field or element swapped with another shows.
CNMessageBase Full(const ClassSchema& schema, long long& seed) {
  CNMessageBase record(schema.group, schema.type);
  for (const FieldSchema& field : schema.fields) {
    ++seed;
    switch (field.kind) {
      case FieldKind::kInt64:
        record.setint64(field.index, field.tag,
                        seed % 2 == 0 ? seed * 1000003 : -seed,
                        schema.classHash, field.hash);
        break;
      case FieldKind::kText:
        record.setstring(
            field.index, field.tag,
            std::string(field.name) + " <&> \"'" + std::to_string(seed),
            schema.classHash, field.hash);
        break;
      case FieldKind::kRecord: {
        const CNMessageBase child =
            Full(ClassOf(field.childGroup, field.childType), seed);
        record.setObjectAccessor(&child, field.index, field.tag,
                                 schema.classHash, field.hash);
        break;
      }
      case FieldKind::kList: {
        std::vector<CNMessageBase> list;
        for (int i = 0; i < 3; ++i) {
          list.push_back(
              Full(ClassOf(field.childGroup, field.childType), seed));
        }
        record.setlistobject(field.index, field.tag, &list, schema.classHash,
                             field.hash);
        break;
      }
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
    const CNMessageBase back = RoundTrip(record);
    EXPECT_EQ(back.group(), schema.group);
    EXPECT_EQ(back.type(), schema.type);
    EXPECT_EQ(qzsim::render(back), qzsim::render(record));
  }
}

TEST(XmlCodecTest, WritesTheCompactForm) {
  ClientSetup setup;
  Set(setup, ClientSetup::kNumber1, -7);
  Set(setup, ClientSetup::kFocusName, "a&b");
  Set(setup, ClientSetup::kUser, QzEntities::UserEntity());
  Set(setup, ClientSetup::kClientCompositions, {});
  EXPECT_EQ(qzsim::toXml(setup),
            "<r g=\"8\" y=\"8\"><i x=\"1\" t=\"1\" h=\"685FD1\">-7</i>"
            "<r x=\"3\" t=\"3\" h=\"285FEB\" g=\"18\" y=\"15\"/>"
            "<s x=\"9\" t=\"9\" h=\"E64B8\">a&amp;b</s>"
            "<l x=\"14\" t=\"20\" h=\"EE00DF\"/></r>");
}

TEST(XmlCodecTest, TextsOfAnyBytesRoundTrip) {
  std::vector<std::string> texts;
  std::string all;
  for (int c = 0; c < 256; ++c) {
    texts.push_back(std::string(1, static_cast<char>(c)));
    all += static_cast<char>(c);
  }
  texts.push_back(all);
  texts.push_back(all + all.substr(0, 128));
  for (const std::string& text : texts) {
    SCOPED_TRACE(::testing::PrintToString(text));
    CNMessageBase back = RoundTrip(PathRecord(text));
    EXPECT_EQ(Get(back, FilePath::kPath), text);
  }
}

// Readable texts stay readable in the document; only what XML cannot carry
// is hex.
TEST(XmlCodecTest, OnlyTextsXmlCannotCarryGoAsHex) {
  struct Case {
    std::string text;
    bool hex;
  };
  const Case cases[] = {
      {"", false},
      {" ", false},
      {"\t\n", false},
      {"\r\n\r", false},
      {"]]>", false},
      {"<a href=\"x\">&amp;</a>", false},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", false},  // é € and an emoji
      {"\xEF\xBF\xBD", false},                          // U+FFFD
      {std::string("a\0b", 3), true},
      {"\x1B[0m", true},
      {"\x7F", false},
      {"\xEF\xBF\xBE", true},      // U+FFFE, not a character
      {"\xED\xA0\x80", true},      // a surrogate
      {"\xC0\xAF", true},          // overlong
      {"\xE2\x82", true},          // cut short
      {"\xF4\x90\x80\x80", true},  // past U+10FFFF
      {"caf\xE9", true},           // Latin-1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    const std::string xml = qzsim::toXml(PathRecord(c.text));
    EXPECT_EQ(xml.find("enc=\"hex\"") != std::string::npos, c.hex) << xml;
    EXPECT_EQ(PathOf(xml), c.text);
  }
}

TEST(XmlCodecTest, ReadsCharacterDataAsXmlDefinesIt) {
  const std::string path = " h=\"346425\"";
  EXPECT_EQ(PathOf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<!-- pretty-printed -->\n"
                   "<r g=\"30\" y=\"19\">\r\n  <s x=\"1\" t=\"1\"" +
                   path +
                   ">a&lt;&gt;&amp;&quot;&apos;&#x20AC;&#8364;"
                   "<![CDATA[<&#1;>]]>\r\nb\rc&#13;</s>\n</r>\n"),
            "a<>&\"'\xE2\x82\xAC\xE2\x82\xAC<&#1;>\nb\nc\r");
  EXPECT_EQ(PathOf("<r g=\"30\" y=\"19\"><s x=\"1\" t=\"1\" h=\"00346425\" "
                   "enc=\"hex\">00ff41</s></r>"),
            std::string("\0\xFF"
                        "A",
                        3));
}

TEST(XmlCodecTest, Int64ExtremesRoundTrip) {
  for (long long value :
       {LLONG_MIN, LLONG_MIN + 1, -1LL, 0LL, 1LL, LLONG_MAX - 1, LLONG_MAX}) {
    SCOPED_TRACE(value);
    PackageInformation package;
    Set(package, PackageInformation::kPackageId, value);
    Set(package, PackageInformation::kNumber14, ~value);
    const CNMessageBase back = RoundTrip(package);
    EXPECT_EQ(Get(back, PackageInformation::kPackageId), value);
    EXPECT_EQ(Get(back, PackageInformation::kNumber14), ~value);
  }
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
  Get(info, ClientInfo::kClientGroups).push_back(ClientGroupEntity());

  const CNMessageBase back = RoundTrip(info);
  EXPECT_EQ(qzsim::render(back), qzsim::render(info));
  CNMessageBase backInfo = back;
  EXPECT_TRUE(IsSet(backInfo, ClientInfo::kClient));
  EXPECT_TRUE(IsSet(backInfo, ClientInfo::kClientGroups));
  EXPECT_EQ(Get(backInfo, ClientInfo::kClientGroups).size(), 1u);
  const CNMessageBase backProps = Get(backInfo, ClientInfo::kClientProps);
  EXPECT_TRUE(IsSet(backProps, ClientProps::kAttributes));
  EXPECT_TRUE(IsSet(backProps, ClientProps::kNumber2));
  EXPECT_TRUE(IsSet(backProps, ClientProps::kVmName));
  EXPECT_FALSE(IsSet(backProps, ClientProps::kNumber23));
  EXPECT_FALSE(IsSet(backProps, ClientProps::kVmGuid));

  EXPECT_FALSE(IsSet(qzsim::fromXml(qzsim::toXml(ClientProps())),
                     ClientProps::kAttributes));
}

TEST(XmlCodecTest, RefusesToWriteAClassItCannotReadBack) {
  EXPECT_THROW(qzsim::toXml(CNMessageBase(31, 200)), std::invalid_argument);
}

std::string Repeat(const std::string& part, std::size_t count) {
  std::string out;
  out.reserve(part.size() * count);
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

// ClientSetup > clientCompositions[n] > clientInfo holding `fields`.
std::string InComposition(const std::string& fields) {
  const std::string composition = "<r g=\"8\" y=\"53\"/>";
  return "<r g=\"8\" y=\"8\"><l x=\"14\" t=\"20\" h=\"EE00DF\">" + composition +
         "<r g=\"8\" y=\"53\"><r x=\"11\" t=\"11\" h=\"B0EF19\" g=\"30\" "
         "y=\"163\">" +
         fields + "</r></r></l></r>";
}

TEST(XmlCodecTest, RefusesMalformedAndHostileDocuments) {
  struct Case {
    const char* name;
    std::string xml;
    const char* error;
  };
  const Case cases[] = {
      {"empty", "", "no root element"},
      {"not XML", "client web01", "text outside the root element"},
      {"truncated", "<r g=\"18\" y=\"4\"><s x=\"1\" t=\"1\" h=\"B3",
       "not well-formed XML"},
      {"unclosed", "<r g=\"18\" y=\"4\">",
       "tags mismatch at the end of the input (line 1, column 16)"},
      {"mismatched", Entity("<s></i>"),
       "not well-formed XML: Start-end tags mismatch (line 1, column 22)"},
      {"NUL byte", std::string("<r g=\"18\" y=\"4\"/>\0<x", 20),
       "NUL byte in XML (line 1, column 18)"},
      {"wrong root", "<record/>", "root element <record>, expected <r>"},
      {"two roots", "<r g=\"18\" y=\"4\"/><r g=\"18\" y=\"4\"/>",
       "more than one root element"},
      {"text beside root", "<r g=\"18\" y=\"4\"/>tail",
       "text outside the root element"},
      {"unknown class", "<r g=\"18\" y=\"5\"/>", "no record class (18, 5)"},
      {"huge class", "<r g=\"18\" y=\"4294967300\"/>",
       "y=\"4294967300\" is not a number in range"},
      {"root lacks type", "<r g=\"18\"/>", "<r> lacks attribute y"},
      {"unknown attribute", "<r g=\"18\" y=\"4\" z=\"1\"/>",
       "unexpected attribute \"z\""},
      {"attribute twice", "<r g=\"18\" y=\"4\" g=\"18\"/>",
       "has attribute g twice"},
      {"unknown element", Entity("<b/>"), "unexpected element <b>"},
      {"text in record", Entity("web01"), "text \"web01\" inside a record"},
      {"unknown index", Entity("<s x=\"7\" t=\"7\" h=\"B304F6\">a</s>"),
       "XML record: QzEntities::ClientEntity: QzEntities::ClientEntity has "
       "no field with index 7"},
      {"wrong tag", Entity("<s x=\"2\" t=\"2\" h=\"12D053\"/>"),
       "field hostName: tag 2, expected 5"},
      {"wrong hash", Entity("<s x=\"1\" t=\"1\" h=\"B304F7\"/>"),
       "field clientName: field hash B304F7, expected B304F6"},
      {"hash not hex", Entity("<s x=\"1\" t=\"1\" h=\"0xB304F6\"/>"),
       "h=\"0xB304F6\" is not a hex number"},
      {"hash too big", Entity("<s x=\"1\" t=\"1\" h=\"100B304F6\"/>"),
       "is not a hex number in range"},
      {"wrong kind", Entity("<i x=\"1\" t=\"1\" h=\"B304F6\">1</i>"),
       "field clientName: a text field given as <i>"},
      {"field twice", Entity(ClientName("a") + ClientName("b")),
       "field clientName: given twice"},
      {"a million fields", Entity(Repeat(ClientName("a"), 1000000)),
       "given twice"},
      {"number with text", ClientId("12a"), "\"12a\" is not a 64-bit integer"},
      {"empty number", ClientId(""), "\"\" is not a 64-bit integer"},
      {"number with plus", ClientId("+1"), "is not a 64-bit integer"},
      {"above int64", ClientId("9223372036854775808"),
       "out of the 64-bit integer range"},
      {"below int64", ClientId("-9223372036854775809"),
       "out of the 64-bit integer range"},
      {"markup in number", ClientId("<b/>"), "markup inside <i>"},
      {"odd hex", Entity(ClientName("ABC", " enc=\"hex\"")),
       "odd number of hex digits"},
      {"bad hex", Entity(ClientName("AB0G", " enc=\"hex\"")),
       "bad hex digits \"0G\""},
      {"unknown encoding", Entity(ClientName("QUI=", " enc=\"base64\"")),
       "unknown encoding \"base64\""},
      {"markup in text", Entity(ClientName("a<b/>")), "markup inside <s>"},
      {"unknown entity", Entity(ClientName("&ent;")),
       "reference \"&ent;\" is not an entity"},
      {"NUL reference", Entity(ClientName("a&#0;b")),
       "reference \"&#0;\" is not an entity or a character XML allows"},
      {"reference past Unicode", Entity(ClientName("&#x110000;")),
       "reference \"&#x110000;\""},
      {"huge reference", Entity(ClientName("&#99999999999999999999;")),
       "unterminated or overlong reference"},
      {"unterminated reference", Entity(ClientName("a &amp b")),
       "unterminated or overlong reference"},
      {"raw control character", Entity(ClientName("a\x01z")),
       "text is not UTF-8 or holds a character XML forbids"},
      {"record of the wrong class",
       "<r g=\"8\" y=\"8\"><r x=\"3\" t=\"3\" h=\"285FEB\" g=\"18\" "
       "y=\"4\"/></r>",
       "field user: record is of QzEntities::ClientEntity (18, 4), expected "
       "QzEntities::UserEntity (18, 15)"},
      {"list element of the wrong class",
       InComposition("<l x=\"4\" t=\"4\" h=\"4757F\"><r g=\"18\" y=\"28\"/>"
                     "<r g=\"18\" y=\"4\"/></l>"),
       "XML record: QZInstallManager::ClientSetup.clientCompositions[1]."
       "clientInfo: field clientGroups: list element 1 is of "
       "QzEntities::ClientEntity (18, 4)"},
      {"list element not a record",
       InComposition("<l x=\"4\" t=\"4\" h=\"4757F\"><s x=\"2\" t=\"2\" "
                     "h=\"D5CE1F\"/></l>"),
       "list element 0 is <s>, expected <r>"},
      {"list element with a field identity",
       InComposition("<l x=\"4\" t=\"4\" h=\"4757F\"><r x=\"4\" g=\"18\" "
                     "y=\"28\"/></l>"),
       "unexpected attribute \"x\""},
      {"text in list", InComposition("<l x=\"4\" t=\"4\" h=\"4757F\">3</l>"),
       "text inside a list"},
      {"error deep inside",
       InComposition("<r x=\"1\" t=\"1\" h=\"12F3CB\" g=\"30\" y=\"115\">"
                     "<r x=\"1\" t=\"1\" h=\"647F8E\" g=\"18\" y=\"4\">"
                     "<i x=\"0\" t=\"0\" h=\"253646\">x</i></r></r>"),
       "XML record: QZInstallManager::ClientSetup.clientCompositions[1]."
       "clientInfo.client.clientEntity: field clientId: \"x\" is not"},
      {"where it is", "<r g=\"18\" y=\"4\">\n  <b/></r>", "(line 2, column 3)"},
      // The real tree is some seven elements deep; 32 are let through to
      // the field checks, 33 are not.
      {"32 levels",
       "<r g=\"18\" y=\"4\">" + Repeat("<r>", 31) + Repeat("</r>", 32),
       "<r> lacks attribute x"},
      {"33 levels",
       "<r g=\"18\" y=\"4\">" + Repeat("<r>", 32) + Repeat("</r>", 33),
       "elements nested deeper than 32 levels"},
      {"100000 levels", Repeat("<r>", 100000) + Repeat("</r>", 100000),
       "elements nested deeper than 32 levels"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      qzsim::fromXml(c.xml);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr(c.error));
    }
  }
}

// Every cut and a spread of damaged bytes of a real document either read
// back as a record that writes itself stably, or fail with a runtime error.
TEST(XmlCodecTest, DamagedDocumentsFailCleanly) {
  const std::string xml =
      qzsim::toXml(Full(ClassOf(QZInstallManager::ClientsComposition::kGroup,
                                QZInstallManager::ClientsComposition::kType)));
  std::vector<std::string> damaged;
  for (std::size_t length = 0; length < xml.size(); ++length) {
    damaged.push_back(xml.substr(0, length));
  }
  for (std::size_t i = 0; i < xml.size(); i += 3) {
    for (char c : {'<', '"', '&', '9', '\xFF', '\0'}) {
      std::string copy = xml;
      copy[i] = c;
      damaged.push_back(copy);
    }
  }
  int accepted = 0;
  for (const std::string& document : damaged) {
    try {
      const CNMessageBase record = qzsim::fromXml(document);
      const std::string again = qzsim::toXml(record);
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
