// The nesting guard in front of TinyXML: a walk over a document that reads
// the markup exactly as TinyXML 2.6 would, without recursing, to find where a
// node deeper than a limit would begin before TinyXML itself descends.
//
// TinyXML recurses once per nesting level and has no limit of its own, so a
// document a million levels deep would exhaust the stack of whichever thread
// parses it. The walk keeps the open elements in a vector instead, stops at
// the first node beyond the limit, and takes time linear in the text read.
//
// Fidelity: every byte is read by TinyXML's own code. Its node recognizer,
// white space skipping, name reading and the Parse() of every node that
// cannot contain other nodes (text, comments, CDATA sections, declarations,
// other "<...>" nodes, attributes) are called as they are; only the loops
// that TinyXML runs recursively (the document, an element's start tag,
// content and end tag) are written out here, in the same order of tests.
// The declared encoding is followed as well, since in UTF-8 TinyXML reads a
// multi-byte character as one unit and may step over a '<'. Where TinyXML
// gives up the walk gives up too, except after a repeated attribute, where
// the walk goes on: harmless, because TinyXML stops there anyway, and the
// caller lets TinyXML report that error (see xml_file.h).
//
// Levels: every top-level node is level 1; a node beginning with '<' inside
// an element of level n is level n + 1. Text and end tags are not nodes that
// open a level.
//
// Internal to config/: the XML file layer (xml_file.cpp) is its one caller.
// Any thread may call these functions; they touch only their arguments.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class TiXmlDocument;

namespace dv {

struct XmlStatus;

// TinyXML 2.6 may read a few bytes past the terminating NUL of a construct
// left open at the end (an attribute value, a CDATA section, a multi-byte
// character cut short). Every text given to the walk or to TinyXML carries
// this many extra NULs, so those reads stay inside the buffer and stop there.
constexpr size_t kXmlTextPadding = 16;

// `text` up to its first NUL (TinyXML reads NUL-terminated text and, in
// UTF-8, could step over an embedded NUL), followed by kXmlTextPadding NULs.
std::string PaddedXmlText(const std::string& text);

// What the walk found.
struct XmlShape {
  // A node would begin below the limit; offset is where (its '<'), and
  // open_elements the names of the elements open there, outermost first.
  bool too_deep = false;
  size_t offset = 0;
  std::vector<std::string> open_elements;
  // The deepest level at which a node began, the refused one included.
  int deepest = 0;
  // A top-level node other than an element ran into the end of the text or
  // was given up: TinyXML accepts such a document without an error (a
  // declaration or trailing comment cut short, say), so only this tells
  // that the text may have been cut off.
  bool cut_off = false;
};

// Walks `text`, which must come from PaddedXmlText. `max_level` below 1
// counts as 1.
XmlShape ScanXmlShape(const char* text, int max_level);

// The text before shape.offset followed by the end tags of the elements
// open there, innermost first: what TinyXML may parse in place of a document
// that is too deep, so that it reports any error met before that point
// without descending past it. Requires shape.too_deep.
std::string CloseOpenElements(const char* text, const XmlShape& shape);

// ParseXml (xml_file.h) with the limit lowered to `max_level`, clamped to
// 1..kXmlMaxDepth: it can never raise the limit. ParseXml is this with
// kXmlMaxDepth; a lower limit lets the guard be compared with TinyXML
// itself on documents shallow enough for TinyXML alone. Defined in
// xml_file.cpp.
bool ParseXmlLimited(TiXmlDocument* doc, const std::string& text, int max_level,
                     XmlStatus* status);

}  // namespace dv
