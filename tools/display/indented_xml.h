// A record's compact XML laid out for a person to read.
#ifndef QZ_TOOLS_DISPLAY_INDENTED_XML_H_
#define QZ_TOOLS_DISPLAY_INDENTED_XML_H_

#include <string>
#include <string_view>

namespace display {

// `xml` one element a line, indented two blanks a level, an element that
// holds only text kept whole on its line. Only line breaks and blanks
// between elements are added, so the text reads back as the same record.
// `xml` must escape '<' and '>' in its texts and attribute values.
std::string IndentedXml(std::string_view xml);

}  // namespace display

#endif  // QZ_TOOLS_DISPLAY_INDENTED_XML_H_
