#include "config/xml_depth.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace dv {
namespace {

// TinyXML's recognizer and reading primitives, which it keeps protected.
class TinyXmlReading : public TiXmlElement {
 public:
  TinyXmlReading() : TiXmlElement("") {}
  using TiXmlNode::Identify;
  using TiXmlBase::ReadName;
  using TiXmlBase::SkipWhiteSpace;
  using TiXmlBase::StringEqual;
};

using Reading = TinyXmlReading;

// The byte order mark by which TinyXML switches a document to UTF-8.
bool StartsWithByteOrderMark(const char* text) {
  const auto* u = reinterpret_cast<const unsigned char*>(text);
  return u[0] == 0xefU && u[1] == 0xbbU && u[2] == 0xbfU;
}

// The encoding TinyXML adopts from a top-level declaration.
TiXmlEncoding DeclaredEncoding(const TiXmlDeclaration& declaration) {
  const char* name = declaration.Encoding();
  if (*name == '\0') return TIXML_ENCODING_UTF8;
  if (Reading::StringEqual(name, "UTF-8", true, TIXML_ENCODING_UNKNOWN)) return TIXML_ENCODING_UTF8;
  if (Reading::StringEqual(name, "UTF8", true, TIXML_ENCODING_UNKNOWN)) return TIXML_ENCODING_UTF8;
  return TIXML_ENCODING_LEGACY;
}

// One walk over one text. Every member function that takes a position
// returns the position after what it read, or nullptr where TinyXML stops.
class Walk {
 public:
  Walk(const char* text, int max_level)
      : text_(text), end_(text + std::strlen(text)), max_level_(std::max(1, max_level)) {}

  XmlShape Run();

 private:
  bool Enter(const char* p);
  const char* TopLevelNode(const char* p);
  const char* Element(const char* p);
  const char* ChildElement(const char* p);
  const char* StartTag(const char* p);
  const char* Attribute(const char* p) const;
  const char* Content(const char* p);
  const char* Text(const char* p, const char* with_space) const;
  const char* EndTag(const char* p);

  const char* const text_;
  const char* const end_;
  const int max_level_;
  TiXmlEncoding encoding_ = TIXML_ENCODING_UNKNOWN;
  TinyXmlReading reading_;
  std::vector<std::string> open_;  // the open elements, outermost first
  XmlShape shape_;
};

// As TiXmlDocument::Parse: top-level nodes until the text ends, a node
// fails, or something other than '<' follows.
XmlShape Walk::Run() {
  if (*text_ == '\0') return shape_;
  if (StartsWithByteOrderMark(text_)) encoding_ = TIXML_ENCODING_UTF8;
  const char* p = Reading::SkipWhiteSpace(text_, encoding_);
  while (p && *p && !shape_.too_deep) {
    p = TopLevelNode(p);
    p = Reading::SkipWhiteSpace(p, encoding_);
  }
  return shape_;
}

// Counts a node beginning at `p` one level below the open elements; false,
// with the place recorded, when that level is beyond the limit.
bool Walk::Enter(const char* p) {
  const int level = static_cast<int>(open_.size()) + 1;
  shape_.deepest = std::max(shape_.deepest, level);
  if (level <= max_level_) return true;
  shape_.too_deep = true;
  shape_.offset = static_cast<size_t>(p - text_);
  shape_.open_elements = open_;
  return false;
}

const char* Walk::TopLevelNode(const char* p) {
  std::unique_ptr<TiXmlNode> node(reading_.Identify(p, encoding_));
  if (!node) return nullptr;  // text outside every element: TinyXML stops
  Enter(p);
  if (node->ToElement()) return Element(p);
  const char* next = node->Parse(p, nullptr, encoding_);
  if (!next || next >= end_) shape_.cut_off = true;
  if (encoding_ == TIXML_ENCODING_UNKNOWN && node->ToDeclaration()) {
    encoding_ = DeclaredEncoding(*node->ToDeclaration());
  }
  return next;
}

// As TiXmlElement::Parse, with the element's descendants read in a loop:
// the innermost open element's content, then its end tag or a child.
const char* Walk::Element(const char* p) {
  const size_t outer = open_.size();
  p = StartTag(p);
  while (p && open_.size() > outer) {
    p = Content(p);
    if (!p) return nullptr;
    p = p[1] == '/' ? EndTag(p) : ChildElement(p);
  }
  return p;
}

const char* Walk::ChildElement(const char* p) { return Enter(p) ? StartTag(p) : nullptr; }

// The start tag at `p`, whose '<' is followed by a name. Opens the element
// when content follows, that is unless the tag ends with "/>".
const char* Walk::StartTag(const char* p) {
  std::string name;
  p = Reading::ReadName(Reading::SkipWhiteSpace(p + 1, encoding_), &name, encoding_);
  while (p && *p) {
    p = Reading::SkipWhiteSpace(p, encoding_);
    if (!p || !*p) return nullptr;
    if (*p == '/') return p[1] == '>' ? p + 2 : nullptr;
    if (*p == '>') {
      open_.push_back(std::move(name));
      return p + 1;
    }
    p = Attribute(p);
  }
  return nullptr;
}

const char* Walk::Attribute(const char* p) const {
  TiXmlAttribute attribute;
  return attribute.Parse(p, nullptr, encoding_);
}

// As TiXmlElement::ReadValue: text and nodes without content, up to an end
// tag or a child element, whose '<' is returned.
const char* Walk::Content(const char* p) {
  const char* with_space = p;
  p = Reading::SkipWhiteSpace(p, encoding_);
  while (p && *p) {
    if (*p != '<') {
      p = Text(p, with_space);
    } else if (Reading::StringEqual(p, "</", false, encoding_)) {
      return p;
    } else {
      std::unique_ptr<TiXmlNode> node(reading_.Identify(p, encoding_));
      if (!node) return nullptr;
      if (node->ToElement()) return p;
      if (!Enter(p)) return nullptr;
      p = node->Parse(p, nullptr, encoding_);
    }
    with_space = p;
    p = Reading::SkipWhiteSpace(p, encoding_);
  }
  return nullptr;  // the text ended inside the element
}

const char* Walk::Text(const char* p, const char* with_space) const {
  TiXmlText text("");
  return text.Parse(TiXmlBase::IsWhiteSpaceCondensed() ? p : with_space, nullptr, encoding_);
}

// The end of the innermost open element: "</name", white space, '>'.
const char* Walk::EndTag(const char* p) {
  const std::string tag = "</" + open_.back();
  if (!Reading::StringEqual(p, tag.c_str(), false, encoding_)) return nullptr;
  p = Reading::SkipWhiteSpace(p + tag.size(), encoding_);
  if (!p || *p != '>') return nullptr;
  open_.pop_back();
  return p + 1;
}

}  // namespace

std::string PaddedXmlText(const std::string& text) {
  std::string padded(text.c_str());
  padded.append(kXmlTextPadding, '\0');
  return padded;
}

XmlShape ScanXmlShape(const char* text, int max_level) { return Walk(text, max_level).Run(); }

std::string CloseOpenElements(const char* text, const XmlShape& shape) {
  std::string closed(text, shape.offset);
  for (auto name = shape.open_elements.rbegin(); name != shape.open_elements.rend(); ++name) {
    closed += "</" + *name + ">";
  }
  return closed;
}

}  // namespace dv
