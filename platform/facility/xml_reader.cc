// Reads records from their XML form (see xml_form.h) as a stream: records
// are built as their elements arrive, and nothing but the unfinished tail of
// the text is kept, so a million-record request costs its records and
// little else.
//
// Reading trusts nothing: the document is checked against the facility's
// table field by field, and the record is built through the ordinary
// setters so that their identity checks apply as well.
//
// Which error is reported does not depend on how the text was cut into
// pieces. A text that is not XML fails at once; a document nested too deep
// beats one with a stray root or text around it, which beats a wrong field,
// and within each kind the first in the document wins. So after a wrong
// field the reader stops building and only reads on for worse.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "facility/message_facility.h"
#include "facility/schema.h"
#include "facility/storage.h"
#include "facility/xml_form.h"

using qzfacility::ClassSchema;
using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using qzfacility::xml::AppendHexNumber;
using qzfacility::xml::AppendUtf8;
using qzfacility::xml::ClassLabel;
using qzfacility::xml::HexValue;
using qzfacility::xml::IsPlainByte;
using qzfacility::xml::IsXmlChar;
using qzfacility::xml::IsXmlText;
using qzfacility::xml::kHexDigits;
using qzfacility::xml::kMaxDepth;

namespace {

std::string HexLabel(unsigned long value) {
  std::string text;
  AppendHexNumber(text, value);
  return text;
}

// Quoted for a message, cut short so that a huge value cannot flood it.
std::string Quoted(std::string_view value) {
  constexpr std::size_t kShown = 40;
  std::string out = "\"";
  for (unsigned char c : value.substr(0, kShown)) {
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += value.size() > kShown ? "\"..." : "\"";
  return out;
}

// Line ends as XML reads them: CR LF and a lone CR become LF.
void AppendNormalised(std::string& out, std::string_view raw) {
  for (std::size_t cr = raw.find('\r'); cr != std::string_view::npos;
       cr = raw.find('\r')) {
    out.append(raw.data(), cr);
    out += '\n';
    raw.remove_prefix(cr +
                      (cr + 1 < raw.size() && raw[cr + 1] == '\n' ? 2 : 1));
  }
  out.append(raw.data(), raw.size());
}

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\n\r") == std::string_view::npos;
}

// Classes of bytes, looked up rather than compared: the reader tests every
// byte of markup.
enum CharClass : std::uint8_t {
  kSpaceClass = 1,
  kNameStartClass = 2,
  kNameClass = 4,
  kTagStopClass = 8,   // ends a run of a start tag outside quotes
  kUnusualClass = 16,  // not printable ASCII, nor a line character
};

constexpr std::array<std::uint8_t, 256> MakeCharClasses() {
  std::array<std::uint8_t, 256> classes{};
  for (int c = 0; c < 256; ++c) {
    std::uint8_t bits = 0;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') bits |= kSpaceClass;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
        c == ':' || c >= 0x80) {
      bits |= kNameStartClass | kNameClass;
    }
    if ((c >= '0' && c <= '9') || c == '-' || c == '.') bits |= kNameClass;
    if (c == '"' || c == '\'' || c == '>' || c == '<') bits |= kTagStopClass;
    if (!IsPlainByte(c)) bits |= kUnusualClass;
    classes[static_cast<std::size_t>(c)] = bits;
  }
  return classes;
}

constexpr std::array<std::uint8_t, 256> kCharClasses = MakeCharClasses();

bool Is(char c, CharClass charClass) {
  return (kCharClasses[static_cast<unsigned char>(c)] & charClass) != 0;
}

bool IsSpace(char c) { return Is(c, kSpaceClass); }
bool IsNameStart(char c) { return Is(c, kNameStartClass); }
bool IsNameChar(char c) { return Is(c, kNameClass); }

// Up to `maxDigits` decimal digits and nothing else, as from_chars reads
// them; false for anything else, which from_chars then judges. Numbers on
// the wire are short, and this spares them from_chars' generality.
template <typename Int>
bool ShortDigits(std::string_view text, std::size_t maxDigits, Int& value) {
  if (text.empty() || text.size() > maxDigits) return false;
  Int result = 0;
  for (char c : text) {
    const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit > 9) return false;
    result = static_cast<Int>(result * 10 + static_cast<Int>(digit));
  }
  value = result;
  return true;
}

// The same for up to seven hex digits of either case.
bool ShortHex(std::string_view text, unsigned int& value) {
  if (text.empty() || text.size() > 7) return false;
  unsigned int result = 0;
  for (char c : text) {
    const int digit = HexValue(c);
    if (digit < 0) return false;
    result = result << 4 | static_cast<unsigned int>(digit);
  }
  value = result;
  return true;
}

// Printable ASCII and line characters: XML text without a closer look at
// UTF-8. One pass with no branch per byte.
bool IsPlainAscii(std::string_view text) {
  unsigned seen = 0;
  for (char c : text) seen |= kCharClasses[static_cast<unsigned char>(c)];
  return (seen & kUnusualClass) == 0;
}

enum Attribute : unsigned {
  kIndex = 1u << 0,
  kTag = 1u << 1,
  kHash = 1u << 2,
  kGroup = 1u << 3,
  kType = 1u << 4,
  kEncoding = 1u << 5,
};

struct Attributes {
  std::string_view index, tag, hash, group, type, encoding;
  bool hasEncoding = false;
};

// How bad an error is: a worse one found later replaces a lesser one.
enum class Severity { kNone, kField, kTopLevel, kDepth };

}  // namespace

class CNMessageFacility::XmlReader::Parser {
 public:
  // Reads what it can of data[0, size) and returns how many leading bytes
  // it no longer needs; the caller hands the rest again, followed by more.
  // `last`: nothing follows.
  std::size_t Parse(const char* data, std::size_t size, bool last) {
    data_ = data;
    size_ = size;
    last_ = last;
    std::size_t at = next_ - base_;
    while (at < size_) {
      const std::size_t next = Token(at);
      if (next == kNeedMore) break;
      at = next;
    }
    if (last_) {
      if (at < size_) Unfinished("markup");
      if (!names_.empty()) {
        Unfinished("element <" + std::string(TopName()) + ">");
      }
    }
    next_ = base_ + at;
    // An open leaf's tag stays for its messages.
    std::size_t keep = at;
    if (InLeaf()) keep = std::min(keep, leafStart_ - base_);
    Consumed(keep);
    return keep;
  }

  // Refuses a NUL byte in data[from, size), data being what Parse is
  // handed next. XML has none, and a text cut short at one would be wrong.
  void CheckNul(const char* data, std::size_t size, std::size_t from) {
    if (const void* nul = std::memchr(data + from, '\0', size - from)) {
      data_ = data;
      size_ = size;
      Throw(base_ +
                static_cast<std::size_t>(static_cast<const char*>(nul) - data),
            "NUL byte in XML");
    }
  }

  // After a text that is not XML (`error`): looks on only for a NUL byte,
  // which the whole-document reader would have reported first.
  void Skip(const char* data, std::size_t size, const std::string& error) {
    if (nulFound_) return;
    if (failure_.empty()) failure_ = error;
    try {
      CheckNul(data, size, 0);
    } catch (const std::runtime_error& e) {
      failure_ = e.what();
      nulFound_ = true;
    }
    data_ = data;
    size_ = size;
    Consumed(size);
  }

  CNMessageBase Finish() {
    if (!failure_.empty()) throw std::runtime_error(failure_);
    if (severity_ != Severity::kNone) throw std::runtime_error(pending_);
    if (!rootSeen_) throw std::runtime_error("XML record: no root element");
    return *result_;
  }

 private:
  static constexpr std::size_t kNeedMore = ~std::size_t{0};

  enum class Kind : std::uint8_t { kRecord, kList, kInt, kText, kHex };

  // An open element while the reader builds.
  struct Frame {
    Kind kind;
    const ClassSchema* schema;  // record: its class
    const FieldSchema* field;   // of the parent that holds this element
    std::ptrdiff_t element;     // position within a list, or -1
    std::uint64_t given;        // record: fields read so far
    int pieces;                 // leaf: runs of character data so far
    CNMessageBase record;       // a record: the record so far
    std::vector<CNMessageBase> list;

    Frame(Kind kind, const ClassSchema& schema, const FieldSchema* field,
          std::ptrdiff_t element)
        : kind(kind),
          schema(&schema),
          field(field),
          element(element),
          given(0),
          pieces(0),
          record(
              CNMessageFacility::Adopt(CNMessageFacility::EmptyNode(schema))) {}
  };

  // --- Positions -----------------------------------------------------------

  // Bytes of the input before data_[0], and the line count there.
  std::size_t base_ = 0;
  std::size_t next_ = 0;  // where the next token starts
  std::size_t lines_ = 0;
  std::size_t lineStart_ = 0;  // offset of the line holding data_[0]

  void Consumed(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const void* lf = std::memchr(data_ + i, '\n', count - i);
      if (lf == nullptr) break;
      i = static_cast<std::size_t>(static_cast<const char*>(lf) - data_);
      ++lines_;
      lineStart_ = base_ + i + 1;
    }
    base_ += count;
  }

  // " (line L, column C)" of an input offset that is still in data_.
  std::string Where(std::size_t offset) const {
    std::size_t line = lines_ + 1;
    std::size_t lineStart = lineStart_;
    const std::size_t end = std::min(offset - std::min(offset, base_), size_);
    for (std::size_t i = 0; i < end; ++i) {
      if (data_[i] == '\n') {
        ++line;
        lineStart = base_ + i + 1;
      }
    }
    return " (line " + std::to_string(line) + ", column " +
           std::to_string(offset - lineStart + 1) + ")";
  }

  // --- Errors --------------------------------------------------------------

  static constexpr std::size_t kNowhere = ~std::size_t{0};

  std::string Message(std::size_t offset, const std::string& what,
                      bool withPath) const {
    std::string message = "XML record: ";
    if (withPath && !building_.empty()) {
      for (std::size_t i = 0; i < building_.size(); ++i) {
        const Frame& frame = building_[i];
        if (frame.kind != Kind::kRecord) continue;
        if (frame.field == nullptr) {
          message += frame.schema->QualifiedName();
        } else {
          message += '.';
          message += frame.field->name;
        }
        if (frame.element >= 0) {
          message += "[" + std::to_string(frame.element) + "]";
        }
      }
      message += ": ";
    }
    message += what;
    if (offset != kNowhere) message += Where(offset);
    return message;
  }

  [[noreturn]] void Throw(std::size_t offset, const std::string& what) {
    throw std::runtime_error(Message(offset, what, false));
  }

  [[noreturn]] void Malformed(std::size_t at, const std::string& what) {
    Throw(base_ + at, "not well-formed XML: " + what);
  }

  [[noreturn]] void Unfinished(const std::string& what) {
    Throw(base_ + size_ - 1, "not well-formed XML: " + what +
                                 " not closed at the end of the input");
  }

  // Keeps the error if it is the worst so far and stops building.
  void Report(Severity severity, std::size_t offset, const std::string& what,
              bool withPath = false) {
    if (severity > severity_) {
      severity_ = severity;
      pending_ = Message(offset, what, withPath);
    }
    if (!building_.empty()) building_.clear();
    result_.reset();
  }

  void Fail(std::size_t offset, const std::string& what) {
    Report(Severity::kField, offset, what, true);
  }

  void FailField(std::size_t offset, const FieldSchema& field,
                 const std::string& what) {
    Fail(offset, std::string("field ") + field.name + ": " + what);
  }

  bool Building() const { return severity_ == Severity::kNone; }

  // --- Tokens --------------------------------------------------------------

  // Reads the token at `at`; the offset after it, or kNeedMore.
  std::size_t Token(std::size_t at) {
    if (data_[at] != '<') {
      const std::size_t end = Find(at, at, "<");
      if (end == kNeedMore) return kNeedMore;
      Text(at, std::string_view(data_ + at, end - at), false);
      return end;
    }
    if (size_ - at < 2) return More(at);
    const char second = data_[at + 1];
    if (second == '/') {
      if (const std::size_t after = QuickEndTag(at); after != kNeedMore) {
        return after;
      }
      const std::size_t end = Find(at, at + 2, ">");
      if (end == kNeedMore) return kNeedMore;
      EndTag(at, end);
      return end + 1;
    }
    if (second == '?') {
      const std::size_t end = Find(at, at + 2, "?>");
      return end == kNeedMore ? kNeedMore : end + 2;
    }
    if (second == '!') {
      constexpr std::string_view kComment = "<!--", kCdata = "<![CDATA[";
      const std::string_view head(data_ + at,
                                  std::min(size_ - at, kCdata.size()));
      if (head.size() >= kComment.size() &&
          head.substr(0, kComment.size()) == kComment) {
        const std::size_t end = Find(at, at + kComment.size(), "-->");
        return end == kNeedMore ? kNeedMore : end + 3;
      }
      if (head == kCdata) {
        const std::size_t end = Find(at, at + kCdata.size(), "]]>");
        if (end == kNeedMore) return kNeedMore;
        const std::size_t content = at + kCdata.size();
        Text(content, std::string_view(data_ + content, end - content), true);
        return end + 3;
      }
      if (kCdata.substr(0, head.size()) == head ||
          kComment.substr(0, head.size()) == head) {
        return More(at);
      }
      Malformed(at, "unknown markup (document type declarations are not read)");
    }
    if (!IsNameStart(second)) Malformed(at, "bad start tag");
    // Tried once per tag: one cut short goes on where its scan stopped.
    if (base_ + at != scanToken_) {
      if (const std::size_t after = QuickStartTag(at); after != kNeedMore) {
        return after;
      }
    }
    const std::size_t end = FindTagEnd(at);
    if (end == kNeedMore) return kNeedMore;
    StartTag(at, end);
    return end + 1;
  }

  // The token at `at` goes on past the end of what is here.
  static std::size_t More(std::size_t) { return kNeedMore; }

  // Where `terminator` starts, searching from `from` on; kNeedMore when it
  // is not here yet. Text ends at the end of the input; other tokens do not.
  // A token fed in many pieces is searched once: the search goes on where
  // the last one for it stopped.
  std::size_t Find(std::size_t token, std::size_t from,
                   std::string_view terminator) {
    if (base_ + token == scanToken_) {
      const std::size_t scanned = scanned_ - base_;
      const std::size_t overlap = terminator.size() - 1;
      from = std::max(from, scanned > overlap ? scanned - overlap : 0);
    }
    const std::size_t found =
        std::string_view(data_, size_).find(terminator, from);
    if (found != std::string_view::npos) return found;
    if (last_ && data_[token] != '<') return size_;
    scanToken_ = base_ + token;
    scanned_ = base_ + size_;
    return kNeedMore;
  }

  // The closing '>' of a start tag, skipping quoted attribute values.
  std::size_t FindTagEnd(std::size_t at) {
    std::size_t i = at + 1;
    char quote = 0;
    if (base_ + at == scanToken_) {
      i = scanned_ - base_;
      quote = quote_;
    }
    for (; i < size_; ++i) {
      const char c = data_[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (!Is(c, kTagStopClass)) {
        continue;
      } else if (c == '>') {
        return i;
      } else if (c == '<') {
        Malformed(i, "bad start tag");
      } else {
        quote = c;
      }
    }
    scanToken_ = base_ + at;
    scanned_ = base_ + size_;
    quote_ = quote;
    return kNeedMore;
  }

  // An unfinished token: where it starts and how far it was searched, as
  // input offsets, and whether that search ended inside quotes.
  std::size_t scanToken_ = kNowhere;
  std::size_t scanned_ = 0;
  char quote_ = 0;

  // The name of a tag at `at`; moves `at` past it.
  std::string_view Name(std::size_t& at, std::size_t end) {
    const std::size_t start = at;
    if (at >= end || !IsNameStart(data_[at])) return {};
    while (at < end && IsNameChar(data_[at])) ++at;
    return std::string_view(data_ + start, at - start);
  }

  void SkipSpace(std::size_t& at, std::size_t end) {
    while (at < end && IsSpace(data_[at])) ++at;
  }

  struct Attr {
    std::string_view name, value;
  };

  // A start tag as the writer makes it, `<n a="v" b="v">` or `.../>`, all
  // here, read in one pass: the offset after it, or kNeedMore for any other
  // tag, which the general path then reads (and reports on) afresh.
  std::size_t QuickStartTag(std::size_t at) {
    if (const std::size_t after = KnownStartTag(at); after != kNeedMore) {
      return after;
    }
    std::size_t i = at + 1;
    const std::string_view name = Name(i, size_);
    attributes_.clear();
    while (i < size_ && data_[i] == ' ') {
      const std::string_view attribute = Name(++i, size_);
      if (attribute.empty() || size_ - i < 2 || data_[i] != '=' ||
          data_[i + 1] != '"') {
        return kNeedMore;
      }
      i += 2;
      const std::size_t value = i;
      while (i < size_ && data_[i] != '"') ++i;
      if (i == size_) return kNeedMore;
      // Filled in place: a pair built aside and copied in stalls the store.
      Attr& added = attributes_.emplace_back();
      added.name = attribute;
      added.value = std::string_view(data_ + value, i - value);
      ++i;
    }
    if (i < size_ && data_[i] == '>') return Opened(at, name, false, i + 1);
    if (size_ - i >= 2 && data_[i] == '/' && data_[i + 1] == '>') {
      return Opened(at, name, true, i + 2);
    }
    return kNeedMore;
  }

  // --- Tags read before ----------------------------------------------------
  //
  // A request repeats a handful of tags a hundred thousand times: a field's
  // tag names only the field, never its value. Whether a tag opens a field
  // depends only on its text and on the record (or list) it opens in, so a
  // tag that opened one is kept, and its next occurrence in the same place
  // opens the same without reading its attributes again. Anything else, and
  // every error, goes the ordinary way.

  struct KnownTag {
    std::string text;  // the whole tag, '<' to '>'
    const void* place = nullptr;
    Kind kind = Kind::kRecord;
    const ClassSchema* schema = nullptr;
    const FieldSchema* field = nullptr;
    std::size_t nameLength = 0;
    bool closed = false;
  };
  static constexpr std::size_t kKnownTags = 256;

  // The record or list the next element opens in, or null where tags are
  // not kept (outside building, or inside a leaf).
  const void* Place() const {
    if (!Building() || building_.empty()) return nullptr;
    const Frame& top = building_.back();
    if (top.kind == Kind::kRecord) return top.schema;
    return top.kind == Kind::kList ? top.field : nullptr;
  }

  // Where a tag is kept: by its text alone, as one text opening fields in
  // two places is an error in all but one of them.
  static std::size_t KnownSlot(std::string_view tag) {
    const std::size_t edge = std::min<std::size_t>(8, tag.size());
    std::uint64_t head = 0;
    std::uint64_t tail = 0;
    std::memcpy(&head, tag.data(), edge);
    std::memcpy(&tail, tag.data() + tag.size() - edge, edge);
    const std::uint64_t mixed = (head * 31 + tail) ^ tag.size();
    return static_cast<std::size_t>((mixed * 0x9E3779B97F4A7C15u) >> 56);
  }

  // The tag at `at` opened as it did before in this place: the offset after
  // it, else kNeedMore.
  std::size_t KnownStartTag(std::size_t at) {
    const void* place = Place();
    if (place == nullptr ||
        nameStarts_.size() >= static_cast<std::size_t>(kMaxDepth) - 1) {
      return kNeedMore;
    }
    const void* end = std::memchr(data_ + at, '>', size_ - at);
    if (end == nullptr) return kNeedMore;
    const std::size_t after =
        static_cast<std::size_t>(static_cast<const char*>(end) - data_) + 1;
    const std::string_view tag(data_ + at, after - at);
    const KnownTag& known = knownTags_[KnownSlot(tag)];
    if (known.place != place || known.text != tag) return kNeedMore;
    Frame& parent = building_.back();
    std::ptrdiff_t element = -1;
    if (parent.kind == Kind::kList) {
      element = static_cast<std::ptrdiff_t>(parent.list.size());
    } else {
      const std::uint64_t bit = std::uint64_t{1}
                                << (known.field - parent.schema->fields.data());
      if ((parent.given & bit) != 0) return kNeedMore;  // given twice
      parent.given |= bit;
    }
    if (known.kind >= Kind::kInt) {
      PushLeaf(known.kind, *known.schema, known.field, element, base_ + at);
    } else {
      Push(known.kind, *known.schema, known.field, element);
    }
    if (known.closed) {
      Close();
    } else {
      EnterName(std::string_view(data_ + at + 1, known.nameLength));
    }
    return after;
  }

  // Opens the element of the tag data_[at, after) read in full, keeping the
  // tag when it opened a field or a list element.
  std::size_t Opened(std::size_t at, std::string_view name, bool closed,
                     std::size_t after) {
    const void* place = Place();
    const std::size_t pushes = pushes_;
    OpenElement(at, name, closed);
    if (place != nullptr && pushes_ == pushes + 1 && Building()) {
      const std::string_view tag(data_ + at, after - at);
      if (tag.find('>') == tag.size() - 1) {
        KnownTag& known = knownTags_[KnownSlot(tag)];
        known.text.assign(tag.data(), tag.size());
        known.place = place;
        known.kind = pushed_.kind;
        known.schema = pushed_.schema;
        known.field = pushed_.field;
        known.nameLength = name.size();
        known.closed = closed;
      }
    }
    return after;
  }

  // `</n>` closing the open element n: the offset after it, else kNeedMore
  // for the general path.
  std::size_t QuickEndTag(std::size_t at) {
    if (names_.empty()) return kNeedMore;
    const std::string_view top = TopName();
    const std::size_t end = at + 2 + top.size();
    if (end >= size_ || data_[end] != '>' ||
        std::string_view(data_ + at + 2, top.size()) != top) {
      return kNeedMore;
    }
    CloseElement();
    return end + 1;
  }

  // A start tag from its '<' at `at` to its '>' at `end`.
  void StartTag(std::size_t at, std::size_t end) {
    std::size_t i = at + 1;
    const std::string_view name = Name(i, end);
    attributes_.clear();
    bool closed = false;
    while (true) {
      const std::size_t before = i;
      SkipSpace(i, end);
      if (i == end) break;
      if (data_[i] == '/') {
        if (i + 1 != end) Malformed(i, "bad start tag");
        closed = true;
        break;
      }
      if (i == before) Malformed(i, "bad attribute");
      const std::string_view attribute = Name(i, end);
      if (attribute.empty()) Malformed(i, "bad attribute");
      SkipSpace(i, end);
      if (i == end || data_[i] != '=') Malformed(i, "bad attribute");
      ++i;
      SkipSpace(i, end);
      if (i == end || (data_[i] != '"' && data_[i] != '\'')) {
        Malformed(i, "bad attribute");
      }
      const char quote = data_[i++];
      const std::size_t value = i;
      while (data_[i] != quote) ++i;  // FindTagEnd saw it close
      attributes_.push_back(
          {attribute, std::string_view(data_ + value, i - value)});
      ++i;
    }
    OpenElement(at, name, closed);
  }

  // The start tag at `at`, its attributes in attributes_; `closed`: an
  // empty-element tag.
  void OpenElement(std::size_t at, std::string_view name, bool closed) {
    const std::size_t offset = base_ + at;
    if (names_.empty()) {
      if (rootSeen_) {
        Report(Severity::kTopLevel, offset, "more than one root element");
      }
      rootSeen_ = true;
    }
    if (nameStarts_.size() >= static_cast<std::size_t>(kMaxDepth)) {
      Report(Severity::kDepth, offset,
             "elements nested deeper than " + std::to_string(kMaxDepth) +
                 " levels");
    }
    if (Building()) Open(offset, name);
    if (closed) {
      if (Building()) Close();
    } else {
      EnterName(name);
    }
  }

  void EnterName(std::string_view name) {
    nameStarts_.push_back(names_.size());
    names_.append(name);
  }

  std::string_view TopName() const {
    return std::string_view(names_).substr(nameStarts_.back());
  }

  void EndTag(std::size_t at, std::size_t end) {
    std::size_t i = at + 2;
    const std::string_view name = Name(i, end);
    SkipSpace(i, end);
    if (name.empty() || i != end) Malformed(at, "bad end tag");
    if (names_.empty() || TopName() != name) {
      Malformed(at + 2, "Start-end tags mismatch");
    }
    CloseElement();
  }

  void CloseElement() {
    names_.resize(nameStarts_.back());
    nameStarts_.pop_back();
    if (Building()) Close();
  }

  // --- Building ------------------------------------------------------------

  bool InLeaf() const {
    return !building_.empty() && building_.back().kind >= Kind::kInt;
  }

  // `schema`: a record's class; any known class for other elements, whose
  // record stays the shared empty one.
  void Push(Kind kind, const ClassSchema& schema, const FieldSchema* field,
            std::ptrdiff_t element) {
    building_.emplace_back(kind, schema, field, element);
    pushed_ = {kind, &schema, field};
    ++pushes_;
  }

  // A leaf whose tag starts at input offset `at`, with no text read yet.
  void PushLeaf(Kind kind, const ClassSchema& schema, const FieldSchema* field,
                std::ptrdiff_t element, std::size_t at) {
    Push(kind, schema, field, element);
    leafStart_ = at;
    text_.clear();
  }

  // Fills `out` with the attributes in `required` and `optional`; any
  // other attribute, or one given twice, is an error. False after one.
  // Only what is given is written: `out` is reused from tag to tag, as
  // clearing it each time costs more than reading the tag.
  bool ReadAttributes(std::size_t at, std::string_view element,
                      unsigned required, unsigned optional, Attributes& out) {
    out.hasEncoding = false;
    unsigned seen = 0;
    auto tag = [element] { return "<" + std::string(element) + ">"; };
    for (const Attr& attribute : attributes_) {
      const std::string_view name = attribute.name;
      unsigned bit = 0;
      std::string_view* slot = nullptr;
      if (name.size() == 1) {
        switch (name[0]) {
          case 'x':
            bit = kIndex;
            slot = &out.index;
            break;
          case 't':
            bit = kTag;
            slot = &out.tag;
            break;
          case 'h':
            bit = kHash;
            slot = &out.hash;
            break;
          case 'g':
            bit = kGroup;
            slot = &out.group;
            break;
          case 'y':
            bit = kType;
            slot = &out.type;
            break;
          default:
            break;
        }
      } else if (name == "enc") {
        bit = kEncoding;
        slot = &out.encoding;
        out.hasEncoding = true;
      }
      if ((bit & (required | optional)) == 0) {
        Fail(at, tag() + " has unexpected attribute " + Quoted(name));
        return false;
      }
      if ((seen & bit) != 0) {
        Fail(at, tag() + " has attribute " + std::string(name) + " twice");
        return false;
      }
      seen |= bit;
      *slot = attribute.value;
    }
    if ((seen & required) != required) {
      static const char* const kNames[] = {"x", "t", "h", "g", "y", "enc"};
      for (unsigned i = 0; i < 6; ++i) {
        if ((required & ~seen & 1u << i) != 0) {
          Fail(at, tag() + " lacks attribute " + kNames[i]);
          return false;
        }
      }
    }
    return true;
  }

  static bool LongHex(std::string_view text, unsigned int& value) {
    const std::from_chars_result parsed =
        std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return !text.empty() && parsed.ec == std::errc() &&
           parsed.ptr == text.data() + text.size();
  }

  bool Decimal(std::size_t at, const char* name, std::string_view text,
               int& value) {
    return ShortDigits(text, 9, value) || LongDecimal(at, name, text, value);
  }

  bool LongDecimal(std::size_t at, const char* name, std::string_view text,
                   int& value) {
    const std::from_chars_result result =
        std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() ||
        result.ptr != text.data() + text.size()) {
      Fail(at, std::string("attribute ") + name + "=" + Quoted(text) +
                   " is not a number in range");
      return false;
    }
    return true;
  }

  // The class a nested record element declares, which must be the field's:
  // the record of `field`, or its list's element `position` (0 on).
  bool CheckClass(std::size_t at, const Attributes& attributes,
                  const FieldSchema& field, std::ptrdiff_t position) {
    int group = 0;
    int type = 0;
    if (!Decimal(at, "g", attributes.group, group) ||
        !Decimal(at, "y", attributes.type, type)) {
      return false;
    }
    if (group != field.childGroup || type != field.childType) {
      const std::string what =
          position < 0 ? "record" : "list element " + std::to_string(position);
      FailField(at, field,
                what + " is of " + ClassLabel(group, type) + ", expected " +
                    ClassLabel(field.childGroup, field.childType));
      return false;
    }
    return true;
  }

  const ClassSchema& ChildClass(const FieldSchema& field) {
    return *qzfacility::FindClass(field.childGroup, field.childType);
  }

  // A start tag while building, in the element on top of `building_`.
  void Open(std::size_t at, std::string_view name) {
    Attributes& attributes = attributesRead_;
    if (building_.empty()) {
      if (name != "r") {
        Report(Severity::kField, at,
               "root element <" + std::string(name) + ">, expected <r>");
        return;
      }
      if (!ReadAttributes(at, name, kGroup | kType, 0, attributes)) return;
      int group = 0;
      int type = 0;
      if (!Decimal(at, "g", attributes.group, group) ||
          !Decimal(at, "y", attributes.type, type)) {
        return;
      }
      const ClassSchema* schema = qzfacility::FindClass(group, type);
      if (schema == nullptr) {
        Report(Severity::kField, at,
               "no record class (" + std::to_string(group) + ", " +
                   std::to_string(type) + ")");
        return;
      }
      Push(Kind::kRecord, *schema, nullptr, -1);
      return;
    }
    Frame& top = building_.back();
    switch (top.kind) {
      case Kind::kRecord:
        return OpenField(at, name, top);
      case Kind::kList: {
        const FieldSchema& field = *top.field;
        const std::ptrdiff_t position =
            static_cast<std::ptrdiff_t>(top.list.size());
        if (name != "r") {
          FailField(at, field,
                    "list element " + std::to_string(position) + " is <" +
                        std::string(name) + ">, expected <r>");
          return;
        }
        if (!ReadAttributes(at, name, kGroup | kType, 0, attributes) ||
            !CheckClass(at, attributes, field, position)) {
          return;
        }
        Push(Kind::kRecord, ChildClass(field), &field, position);
        return;
      }
      case Kind::kInt:
      case Kind::kHex:
      case Kind::kText:
        FailField(leafStart_, *top.field,
                  "markup inside <" +
                      std::string(top.kind == Kind::kInt ? "i" : "s") + ">");
        return;
    }
  }

  void OpenField(std::size_t at, std::string_view name, Frame& record) {
    Kind kind;
    FieldKind fieldKind;
    if (name == "i") {
      kind = Kind::kInt;
      fieldKind = FieldKind::kInt64;
    } else if (name == "s") {
      kind = Kind::kText;
      fieldKind = FieldKind::kText;
    } else if (name == "r") {
      kind = Kind::kRecord;
      fieldKind = FieldKind::kRecord;
    } else if (name == "l") {
      kind = Kind::kList;
      fieldKind = FieldKind::kList;
    } else {
      Fail(at, "unexpected element <" + std::string(name) + ">");
      return;
    }
    Attributes& attributes = attributesRead_;
    if (!ReadAttributes(at, name,
                        kIndex | kTag | kHash |
                            (kind == Kind::kRecord ? kGroup | kType : 0u),
                        kind == Kind::kText ? kEncoding : 0u, attributes)) {
      return;
    }
    const ClassSchema& schema = *record.schema;
    int index = 0;
    if (!Decimal(at, "x", attributes.index, index)) return;
    const FieldSchema* field = schema.FieldByIndex(index);
    if (field == nullptr) {
      Fail(at, schema.QualifiedName() + " has no field with index " +
                   std::to_string(index));
      return;
    }
    int tag = 0;
    if (!Decimal(at, "t", attributes.tag, tag)) return;
    if (tag != field->tag) {
      FailField(at, *field,
                "tag " + std::to_string(tag) + ", expected " +
                    std::to_string(field->tag));
      return;
    }
    unsigned int hash = 0;
    const std::string_view hashText = attributes.hash;
    if (!ShortHex(hashText, hash) && !LongHex(hashText, hash)) {
      Fail(at,
           "attribute h=" + Quoted(hashText) + " is not a hex number in range");
      return;
    }
    if (hash != field->hash) {
      FailField(at, *field,
                "field hash " + HexLabel(hash) + ", expected " +
                    HexLabel(field->hash));
      return;
    }
    if (fieldKind != field->kind) {
      FailField(at, *field,
                std::string("a ") + qzfacility::KindName(field->kind) +
                    " field given as <" + std::string(name) + ">");
      return;
    }
    const std::uint64_t bit = std::uint64_t{1}
                              << (field - schema.fields.data());
    if ((record.given & bit) != 0) {
      FailField(at, *field, "given twice");
      return;
    }
    record.given |= bit;

    switch (kind) {
      case Kind::kRecord:
        if (CheckClass(at, attributes, *field, -1)) {
          Push(Kind::kRecord, ChildClass(*field), field, -1);
        }
        return;
      case Kind::kList:
        Push(Kind::kList, schema, field, -1);
        return;
      default:
        break;
    }
    if (attributes.hasEncoding) {
      if (attributes.encoding != "hex") {
        FailField(at, *field,
                  "unknown encoding " + Quoted(attributes.encoding));
        return;
      }
      kind = Kind::kHex;
    }
    PushLeaf(kind, schema, field, -1, at);
  }

  // Character data, or a CDATA section when `cdata`.
  void Text(std::size_t at, std::string_view raw, bool cdata) {
    if (raw.empty()) return;
    const std::size_t offset = base_ + at;
    if (names_.empty()) {
      if (!IsBlank(raw)) {
        Report(Severity::kTopLevel, offset, "text outside the root element");
      }
      return;
    }
    if (!Building()) return;
    Frame& top = building_.back();
    switch (top.kind) {
      case Kind::kRecord:
        if (!IsBlank(raw)) {
          std::string value;
          AppendNormalised(value, raw.substr(0, 2 * 41));
          Fail(offset, "text " + Quoted(value) + " inside a record");
        }
        return;
      case Kind::kList:
        if (!IsBlank(raw)) FailField(offset, *top.field, "text inside a list");
        return;
      case Kind::kInt:
      case Kind::kHex:
        if (cdata || ++top.pieces > 1) {
          FailField(leafStart_, *top.field,
                    std::string("markup inside <") +
                        (top.kind == Kind::kInt ? "i" : "s") + ">");
          return;
        }
        AppendNormalised(text_, raw);
        return;
      case Kind::kText:
        if (cdata) {
          AppendNormalised(text_, raw);
        } else {
          AppendResolved(top, raw);
        }
        return;
    }
  }

  // Resolves the references of character data; only the five predefined
  // entities and references to characters XML allows exist here.
  void AppendResolved(const Frame& leaf, std::string_view raw) {
    if (raw.find('&') == std::string_view::npos &&
        raw.find('\r') == std::string_view::npos) {
      text_.append(raw.data(), raw.size());
      return;
    }
    std::size_t run = 0;
    for (std::size_t i = raw.find('&'); i != std::string_view::npos;
         i = raw.find('&', run)) {
      AppendNormalised(text_, raw.substr(run, i - run));
      const std::size_t semicolon = raw.find(';', i);
      constexpr std::size_t kLongest = 12;  // "&#x0010FFFF;"
      if (semicolon == std::string_view::npos || semicolon - i > kLongest) {
        FailField(leafStart_, *leaf.field,
                  "unterminated or overlong reference " +
                      Quoted(raw.substr(i, kLongest)));
        return;
      }
      const std::string_view name = raw.substr(i + 1, semicolon - i - 1);
      if (name == "lt") {
        text_ += '<';
      } else if (name == "gt") {
        text_ += '>';
      } else if (name == "amp") {
        text_ += '&';
      } else if (name == "quot") {
        text_ += '"';
      } else if (name == "apos") {
        text_ += '\'';
      } else {
        std::uint32_t code = 0;
        bool ok = name.size() > 1 && name[0] == '#';
        if (ok) {
          const bool hex = name[1] == 'x';
          const char* first = name.data() + (hex ? 2 : 1);
          const char* last = name.data() + name.size();
          const std::from_chars_result result =
              std::from_chars(first, last, code, hex ? 16 : 10);
          ok = first != last && result.ec == std::errc() &&
               result.ptr == last && IsXmlChar(code);
        }
        if (!ok) {
          FailField(leafStart_, *leaf.field,
                    "reference " + Quoted(raw.substr(i, semicolon - i + 1)) +
                        " is not an entity or a character XML allows");
          return;
        }
        AppendUtf8(text_, code);
      }
      run = semicolon + 1;
    }
    AppendNormalised(text_, raw.substr(run));
  }

  // The element on top of `building_` ends.
  void Close() {
    Frame& top = building_.back();
    if (top.kind == Kind::kRecord) {
      if (building_.size() == 1) {
        result_.emplace(top.record);
        building_.pop_back();
        return;
      }
      Frame& parent = building_[building_.size() - 2];
      if (parent.kind == Kind::kList) {
        parent.list.push_back(top.record);
      } else {
        const FieldSchema& field = *top.field;
        parent.record.setObjectAccessor(&top.record, field.index, field.tag,
                                        parent.schema->classHash, field.hash);
      }
      building_.pop_back();
      return;
    }
    Frame& parent = building_[building_.size() - 2];
    const FieldSchema& field = *top.field;
    const unsigned long classHash = parent.schema->classHash;
    switch (top.kind) {
      case Kind::kList:
        parent.record.setlistobject(field.index, field.tag, &top.list,
                                    classHash, field.hash);
        break;
      case Kind::kInt: {
        long long value = 0;
        if (!Int64(field, value)) return;
        parent.record.setint64(field.index, field.tag, value, classHash,
                               field.hash);
        break;
      }
      case Kind::kHex:
        if (!Hex(field)) return;
        parent.record.setstring(field.index, field.tag, value_, classHash,
                                field.hash);
        break;
      case Kind::kText:
        if (!IsPlainAscii(text_) && !IsXmlText(text_)) {
          FailField(leafStart_, field,
                    "text is not UTF-8 or holds a character XML forbids");
          return;
        }
        parent.record.setstring(field.index, field.tag, text_, classHash,
                                field.hash);
        break;
      case Kind::kRecord:
        break;
    }
    building_.pop_back();
  }

  bool Int64(const FieldSchema& field, long long& value) {
    const std::string_view text = text_;
    const bool negative = !text.empty() && text[0] == '-';
    if (ShortDigits(text.substr(negative ? 1 : 0), 18, value)) {
      if (negative) value = -value;
      return true;
    }
    const std::from_chars_result result =
        std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
      FailField(leafStart_, field,
                Quoted(text) + " is out of the 64-bit integer range");
      return false;
    }
    if (text.empty() || result.ec != std::errc() ||
        result.ptr != text.data() + text.size()) {
      FailField(leafStart_, field, Quoted(text) + " is not a 64-bit integer");
      return false;
    }
    return true;
  }

  bool Hex(const FieldSchema& field) {
    const std::string_view digits = text_;
    if (digits.size() % 2 != 0) {
      FailField(leafStart_, field, "odd number of hex digits");
      return false;
    }
    value_.resize(digits.size() / 2);
    for (std::size_t i = 0; i < value_.size(); ++i) {
      const int high = HexValue(digits[2 * i]);
      const int low = HexValue(digits[2 * i + 1]);
      if (high < 0 || low < 0) {
        FailField(leafStart_, field,
                  "bad hex digits " + Quoted(digits.substr(2 * i, 2)));
        return false;
      }
      value_[i] = static_cast<char>(high << 4 | low);
    }
    return true;
  }

  const char* data_ = nullptr;
  std::size_t size_ = 0;
  bool last_ = false;

  // Every open element's name, for matching end tags even when not
  // building, and where in names_ each starts.
  std::string names_;
  std::vector<std::size_t> nameStarts_;
  bool rootSeen_ = false;

  std::vector<Frame> building_;
  std::vector<Attr> attributes_;
  Attributes attributesRead_;  // of the tag being opened
  std::array<KnownTag, kKnownTags> knownTags_;
  struct Pushed {
    Kind kind;
    const ClassSchema* schema;
    const FieldSchema* field;
  } pushed_{};                 // the element pushed last
  std::size_t pushes_ = 0;     // how many so far
  std::size_t leafStart_ = 0;  // input offset of the open leaf's tag
  std::string text_;           // the open leaf's character data so far
  std::string value_;
  std::optional<CNMessageBase> result_;

  Severity severity_ = Severity::kNone;
  std::string pending_;
  // Fed in pieces: the text that was not XML, or the NUL byte after it.
  std::string failure_;
  bool nulFound_ = false;
};

CNMessageFacility::XmlReader::XmlReader() : parser_(new Parser) {}

CNMessageFacility::XmlReader::~XmlReader() = default;

// The error of a broken text waits for Finish, so that the outcome is the
// same however the text was cut.
void CNMessageFacility::XmlReader::Feed(std::string_view piece) {
  if (piece.empty()) return;
  if (failed_) {
    parser_->Skip(piece.data(), piece.size(), {});
    return;
  }
  const std::size_t from = pending_.size();
  pending_.append(piece.data(), piece.size());
  try {
    parser_->CheckNul(pending_.data(), pending_.size(), from);
    pending_.erase(0, parser_->Parse(pending_.data(), pending_.size(), false));
  } catch (const std::runtime_error& e) {
    failed_ = true;
    parser_->Skip(pending_.data(), pending_.size(), e.what());
    pending_.clear();
  }
}

CNMessageBase CNMessageFacility::XmlReader::Finish() {
  if (!failed_) parser_->Parse(pending_.data(), pending_.size(), true);
  pending_.clear();
  return parser_->Finish();
}

CNMessageBase CNMessageFacility::FromXml(const std::string& xml) {
  XmlReader::Parser parser;
  parser.CheckNul(xml.data(), xml.size(), 0);
  parser.Parse(xml.data(), xml.size(), true);
  return parser.Finish();
}
