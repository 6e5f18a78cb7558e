// Writes records in their XML form (see xml_form.h), as a stream: the text
// goes out through a fixed buffer handed to a sink whenever it fills.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "facility/message_facility.h"
#include "facility/schema.h"
#include "facility/storage.h"
#include "facility/xml_form.h"

using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using qzfacility::ListSlot;
using qzfacility::RecordSlot;
using Node = CNMessageBase::Node;
using qzfacility::xml::ClassLabel;
using qzfacility::xml::IsPlainByte;
using qzfacility::xml::IsXmlText;
using qzfacility::xml::kHexDigits;
using qzfacility::xml::kMaxDepth;

namespace {

// The longest piece written in one go: a field's opening tag with a nested
// record's class, or a number with its closing tag.
constexpr std::size_t kLongestPiece = 96;

class Out {
 public:
  Out(const CNMessageFacility::XmlSink& sink, std::size_t capacity)
      : sink_(sink), buffer_(std::max(capacity, std::size_t{256})) {}

  // Room for `bytes` (at most kLongestPiece) at the returned address;
  // Commit says how much of it was used.
  char* Reserve(std::size_t bytes) {
    if (buffer_.size() - used_ < bytes) Flush();
    return buffer_.data() + used_;
  }
  void Commit(char* end) {
    used_ = static_cast<std::size_t>(end - buffer_.data());
  }

  void Put(char c) {
    if (used_ == buffer_.size()) Flush();
    buffer_[used_++] = c;
  }

  void Put(std::string_view text) {
    while (!text.empty()) {
      if (used_ == buffer_.size()) Flush();
      const std::size_t room = std::min(text.size(), buffer_.size() - used_);
      std::memcpy(buffer_.data() + used_, text.data(), room);
      used_ += room;
      text.remove_prefix(room);
    }
  }

  std::size_t Written() const { return flushed_ + used_; }
  // The last byte written; still in the buffer when nothing followed it.
  char& Last() { return buffer_[used_ - 1]; }

  void Flush() {
    if (used_ == 0) return;
    flushed_ += used_;
    const std::size_t size = used_;
    used_ = 0;
    sink_(std::string_view(buffer_.data(), size));
  }

 private:
  const CNMessageFacility::XmlSink& sink_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
  std::size_t flushed_ = 0;
};

char* Literal(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

// Indexes, tags and classes have one to three digits: written inline,
// where a call to to_chars would cost more than the digits.
char* Decimal(char* at, long long value) {
  if (value < 0 || value > 999) return std::to_chars(at, at + 24, value).ptr;
  if (value > 99) *at++ = static_cast<char>('0' + value / 100);
  if (value > 9) *at++ = static_cast<char>('0' + value / 10 % 10);
  *at++ = static_cast<char>('0' + value % 10);
  return at;
}

// Upper-case hex digits, as the form has always had them.
char* HexNumber(char* at, unsigned long value) {
  int digits = 1;
  while (digits < 16 && value >> (4 * digits) != 0) ++digits;
  for (int i = digits; i-- > 0;) {
    *at++ = kHexDigits[value >> (4 * i) & 0xF];
  }
  return at;
}

// ` g=".." y=".."` of a record element.
char* Class(char* at, const Node* node) {
  at = Decimal(Literal(at, " g=\""), node->Group());
  return Literal(Decimal(Literal(at, "\" y=\""), node->Type()), "\"");
}

// `<e x=".." t=".." h=".."`, left open for more attributes.
char* FormatOpenField(char* at, char element, const FieldSchema& field) {
  *at++ = '<';
  *at++ = element;
  at = Decimal(Literal(at, " x=\""), field.index);
  at = Decimal(Literal(at, "\" t=\""), field.tag);
  at = HexNumber(Literal(at, "\" h=\""), field.hash);
  *at++ = '"';
  return at;
}

// What a text's bytes ask of the writer, looked up: most texts need
// neither, and one pass over them tells.
enum TextByte : std::uint8_t {
  kEscaped = 1,  // written as a reference
  kUnusual = 2,  // not printable ASCII: the text may need hex
};

constexpr std::array<std::uint8_t, 256> MakeTextBytes() {
  std::array<std::uint8_t, 256> bytes{};
  for (int c = 0; c < 256; ++c) {
    std::uint8_t bits = 0;
    if (c == '&' || c == '<' || c == '>' || c == '\r') bits |= kEscaped;
    if (!IsPlainByte(c)) bits |= kUnusual;
    bytes[static_cast<std::size_t>(c)] = bits;
  }
  return bytes;
}

constexpr std::array<std::uint8_t, 256> kTextBytes = MakeTextBytes();

unsigned TextBytes(std::string_view text) {
  unsigned seen = 0;
  for (char c : text) seen |= kTextBytes[static_cast<unsigned char>(c)];
  return seen;
}

// Character data, escaped. A carriage return is written as a reference: a
// reader turns a raw one into a line feed.
void PutEscaped(Out& out, std::string_view text) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((kTextBytes[static_cast<unsigned char>(text[i])] & kEscaped) == 0) {
      continue;
    }
    std::string_view replacement;
    switch (text[i]) {
      case '&':
        replacement = "&amp;";
        break;
      case '<':
        replacement = "&lt;";
        break;
      case '>':
        replacement = "&gt;";
        break;
      case '\r':
        replacement = "&#13;";
        break;
      default:
        continue;
    }
    out.Put(text.substr(run, i - run));
    out.Put(replacement);
    run = i + 1;
  }
  out.Put(text.substr(run));
}

void PutHexText(Out& out, std::string_view text) {
  constexpr std::size_t kBlock = kLongestPiece / 2;
  while (!text.empty()) {
    const std::size_t count = std::min(text.size(), kBlock);
    char* at = out.Reserve(2 * count);
    for (unsigned char c : text.substr(0, count)) {
      *at++ = kHexDigits[c >> 4];
      *at++ = kHexDigits[c & 0xF];
    }
    out.Commit(at);
    text.remove_prefix(count);
  }
}

// The record set to the empty one of its class, letting go of what it held.
void Empty(CNMessageBase& record) {
  if (const qzfacility::ClassSchema* schema =
          CNMessageFacility::NodeOf(record)->Schema()) {
    record = CNMessageFacility::Adopt(CNMessageFacility::EmptyNode(*schema));
  }
}

class Writer {
 public:
  explicit Writer(Out& out) : out_(out) {}

  // `release`: the record is not wanted afterwards; list elements of nodes
  // it alone holds are dropped as soon as they are written.
  void Root(const Node* node, bool release) {
    char* at = out_.Reserve(kLongestPiece);
    *at++ = '<';
    *at++ = 'r';
    out_.Commit(Class(at, node));
    RecordBody(node, 1, release && CNMessageFacility::SoleOwner(node));
  }

 private:
  // Closes an open record tag: `/>` when it has no set field.
  void RecordBody(const Node* node, int depth, bool sole) {
    out_.Put('>');
    const std::size_t mark = out_.Written();
    Record(node, depth, sole);
    if (out_.Written() == mark) {
      // Nothing followed the '>', so it is still in the buffer.
      out_.Last() = '/';
      out_.Put('>');
    } else {
      out_.Put("</r>");
    }
  }

  // The set fields of a record whose element is `depth` levels deep, in
  // index order. Set means what isSet says: a nested record or list filled
  // in place counts once it holds anything.
  void Record(const Node* node, int depth, bool sole) {
    // Never write what the reader would refuse. A record of an unknown
    // class can end up in a list that was filled in place.
    if (node->Schema() == nullptr) {
      throw std::invalid_argument("CNMessageFacility::ToXml: record of " +
                                  ClassLabel(node->Group(), node->Type()) +
                                  " has no XML form");
    }
    if (depth >= kMaxDepth && !CNMessageFacility::IsEmpty(node)) {
      throw std::invalid_argument(
          "CNMessageFacility::ToXml: elements nested deeper than " +
          std::to_string(kMaxDepth) + " levels");
    }
    qzfacility::ForEachSlot(node, [&](const FieldSchema& field,
                                      const unsigned char* slot) {
      const bool marked = (node->setMask & field.bit) != 0;
      switch (field.kind) {
        case FieldKind::kInt64: {
          if (!marked) break;
          char* at = OpenField(out_.Reserve(kLongestPiece), 'i', field);
          *at++ = '>';
          at = Decimal(at, *reinterpret_cast<const long long*>(slot));
          out_.Commit(Literal(at, "</i>"));
          break;
        }
        case FieldKind::kText:
          if (marked) {
            Text(field,
                 reinterpret_cast<const qzfacility::TextSlot*>(slot)->View());
          }
          break;
        case FieldKind::kRecord: {
          const Node* child = CNMessageFacility::NodeOf(
              reinterpret_cast<const RecordSlot*>(slot)->record);
          if (!marked && CNMessageFacility::IsEmpty(child)) break;
          out_.Commit(
              Class(OpenField(out_.Reserve(kLongestPiece), 'r', field), child));
          RecordBody(child, depth + 1,
                     sole && CNMessageFacility::SoleOwner(child));
          break;
        }
        case FieldKind::kList: {
          const auto& list = reinterpret_cast<const ListSlot*>(slot)->View();
          if (!marked && list.empty()) break;
          char* at = OpenField(out_.Reserve(kLongestPiece), 'l', field);
          if (list.empty()) {
            out_.Commit(Literal(at, "/>"));
            break;
          }
          *at++ = '>';
          out_.Commit(at);
          for (const CNMessageBase& element : list) {
            const Node* child = CNMessageFacility::NodeOf(element);
            at = out_.Reserve(kLongestPiece);
            *at++ = '<';
            *at++ = 'r';
            out_.Commit(Class(at, child));
            RecordBody(child, depth + 2,
                       sole && CNMessageFacility::SoleOwner(child));
            if (sole) {
              // The node is this writer's alone, so the list may change.
              Empty(const_cast<CNMessageBase&>(element));
            }
          }
          out_.Put("</l>");
          break;
        }
      }
    });
  }

  void Text(const FieldSchema& field, std::string_view text) {
    char* at = OpenField(out_.Reserve(kLongestPiece), 's', field);
    const unsigned bytes = TextBytes(text);
    if (text.empty()) {
      out_.Commit(Literal(at, "/>"));
    } else if ((bytes & kUnusual) == 0 || IsXmlText(text)) {
      *at++ = '>';
      out_.Commit(at);
      if ((bytes & kEscaped) != 0) {
        PutEscaped(out_, text);
      } else {
        out_.Put(text);
      }
      out_.Put("</s>");
    } else {
      out_.Commit(Literal(at, " enc=\"hex\">"));
      PutHexText(out_, text);
      out_.Put("</s>");
    }
  }

  // A field's opening never changes, and a request writes the same few
  // fields a hundred thousand times each: it is formatted once per document
  // and copied after. The element follows from the field's kind.
  char* OpenField(char* at, char element, const FieldSchema& field) {
    FieldOpening& opening = openings_[reinterpret_cast<std::uintptr_t>(&field) /
                                      sizeof(FieldSchema) % openings_.size()];
    if (opening.field != &field) {
      opening.field = &field;
      opening.length = static_cast<std::size_t>(
          FormatOpenField(opening.text, element, field) - opening.text);
    }
    std::memcpy(at, opening.text, opening.length);
    return at + opening.length;
  }

  struct FieldOpening {
    const FieldSchema* field = nullptr;
    std::size_t length = 0;
    char text[48];  // `<e x="-32768" t="-32768" h="FFFFFFFF"` at most
  };

  Out& out_;
  std::array<FieldOpening, 64> openings_{};
};

}  // namespace

void CNMessageFacility::WriteXml(const CNMessageBase& record,
                                 const XmlSink& sink, std::size_t chunkBytes) {
  Out out(sink, chunkBytes);
  Writer(out).Root(NodeOf(record), false);
  out.Flush();
}

void CNMessageFacility::WriteXmlReleasing(CNMessageBase& record,
                                          const XmlSink& sink,
                                          std::size_t chunkBytes) {
  Out out(sink, chunkBytes);
  try {
    Writer(out).Root(NodeOf(record), true);
  } catch (...) {
    Empty(record);
    throw;
  }
  Empty(record);
  out.Flush();
}

std::string CNMessageFacility::ToXml(const CNMessageBase& record) {
  std::string xml;
  WriteXml(record, [&xml](std::string_view piece) { xml += piece; });
  return xml;
}
