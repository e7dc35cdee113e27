// The XML file layer: parsing, printing, loading and saving TinyXML 2.6
// documents, with the system's own error identifiers.
//
// Callers: any thread. Parsing and printing touch only the document and text
// passed in; two threads may not use the same document at once. Loading and
// saving take a process-wide lock on the file name, so in this process no
// load or save of a name overlaps another load or save of the same name.
// Names are compared as given ("a.xml" and "./a.xml" are different names),
// and other processes are not held off.
//
// Status: a failing call reports an identifier and description from
// XmlErrorId and XmlErrorDescription, never TinyXML's own numbers, which
// differ; a successful call reports {0, "No error"}. A null status pointer
// is allowed where the caller needs only the result.
//
// Nesting limit: TinyXML 2.6 recurses once per level and sets no limit, so
// a hostile document could exhaust the stack. Every parse here (of a text or
// of a file) allows kXmlMaxDepth levels. Every top-level node, the root
// element among them, is level 1; a node beginning with '<' inside an element
// of level n is level n + 1, whether an element, a comment, a CDATA section,
// a declaration or any other "<...>"; text and end tags open no level, and a
// '<' inside an attribute value, a comment or a CDATA section is no node.
// Before TinyXML reads anything, a linear walk that reads the markup exactly
// as TinyXML does (xml_depth.h) finds where the first node of level
// kXmlMaxDepth + 1 would begin. If there is such a place, TinyXML parses only
// the text before it, with the open elements closed: an error it meets there
// is reported, since a reader from the start meets it first; otherwise the
// parse fails with kXmlTooDeep. Either way TinyXML never descends past the
// limit, and a document a million levels deep is refused in linear time.
//
// Out of memory: TinyXML 2.6 has no error for it; std::bad_alloc thrown while
// reading, parsing or printing is reported as kXmlOutOfMemory.
//
// Files: SaveXmlFile replaces a file atomically: the new document is written
// to "<name>.pending", synced to disk, renamed over <name>, and the rename is
// made durable by syncing the directory, so a reader, a crash or a power
// loss at any moment leaves either the old or the new document, whole, and
// once the save has returned the new one stays. LoadXmlFile first takes a
// complete "<name>.pending" left by a save that was interrupted before its
// rename, and moves it into place just as durably. Every file operation
// goes through the Platform passed in (the real system by default).
#pragma once

#include <tinyxml.h>

#include <string>

#include "platform/platform.h"

namespace dv {

enum XmlErrorId : int {
  kXmlNoError = 0,
  kXmlError = 1,
  kXmlOpenFailed = 2,
  kXmlOutOfMemory = 3,
  kXmlParsingElement = 4,
  kXmlElementName = 5,
  kXmlElementValue = 6,
  kXmlAttributes = 7,
  kXmlEmptyTag = 8,
  kXmlEndTag = 9,
  kXmlParsingUnknown = 10,
  kXmlParsingComment = 11,
  kXmlParsingDeclaration = 12,
  kXmlDocumentEmpty = 13,
  kXmlEmbeddedNull = 14,
  kXmlParsingCdata = 15,
  kXmlDocumentTopOnly = 16,
  kXmlTooDeep = 17,
};
constexpr int kXmlErrorCount = 18;

// The deepest nesting level any parse accepts.
constexpr int kXmlMaxDepth = 100;

struct XmlStatus {
  int id = kXmlNoError;
  std::string description = "No error";
};

// The description of `id`; an identifier outside the table reads as kXmlError.
const char* XmlErrorDescription(int id);

// Parses `text` into `doc` after clearing it of children, error and every
// other state a previous parse left (the document keeps only its name).
// Parsing ends at the first NUL byte, as TinyXML reads NUL-terminated text.
// Otherwise TinyXML's judgement stands, leniency included: text after the
// last top-level node is ignored. On failure `doc` is left empty.
bool ParseXml(TiXmlDocument* doc, const std::string& text, XmlStatus* status);

// Loads the file `name` into `doc`, under the lock on `name`.
//
// Every attempt starts from a cleared document and status (TinyXML itself
// keeps old content when a file cannot be opened), so a failed load never
// shows a document loaded before into the same TiXmlDocument. First
// "<name>.pending" is tried. It is trusted only as a regular file (a
// symbolic link is not followed) owned by the process's effective user
// with a single name: anyone who can write the folder could otherwise plant
// a configuration there or link another file into place. It is opened
// first (O_NOFOLLOW, O_NONBLOCK) and judged and read on that descriptor,
// so a file planted at the name meanwhile is the one judged. One that is not
// trusted is removed, or left in place when the folder does not allow that
// (a sticky folder), and never read; either is logged at level 50 with the
// reason. A trusted side file is taken when it parses, has a root element
// and was not cut off at its end; it is then synced, renamed to `name` and
// the directory synced (a failure of these steps is ignored; a side file
// that cannot be synced is not renamed) and the call succeeds. Otherwise
// it is left where it is and `name` itself is loaded, its result being the
// call's. A file that cannot be opened or read, or is no regular file,
// yields {2, "Failed to open file"}. As TinyXML's own loader does, "\r\n" and a lone "\r" read as "\n".
// The document's name (its Value) becomes `name`.
bool LoadXmlFile(TiXmlDocument* doc, const std::string& name, XmlStatus* status,
                 const Platform& platform = Platform::Default());

// Saves `doc` as the file `name`, atomically. The file holds exactly
// PrintXml(doc, true), and is created with mode 0666 less the umask.
//
// The document is printed before the lock on `name` is taken. The side file
// "<name>.pending" is created afresh without following a symbolic link
// planted there (one this process cannot remove blocks the save: that is
// logged once at level 100 with the path and the reason, and again only
// after a save has succeeded in between), written, flushed and synced; any
// failure so far removes it, leaves `name` untouched and fails with id 2
// and one of "create error", "write error", "close error" followed by
// "<errno> - <text>", or "only wrote <count> of <length> bytes". A short
// side file is never renamed. Then it is renamed over `name` and the
// directory is synced (a failure of that sync is ignored: the rename is
// already done). If the rename fails because
// the side file is gone (another process loading `name` moved it into
// place), the save counts as done; any other failure keeps the side file for
// the next load and fails with {2, "Failed to rename .xml.pending to .xml
// file <errno> - <text>"}. A failed flush or sync is a "write error".
bool SaveXmlFile(const TiXmlDocument& doc, const std::string& name, XmlStatus* status,
                 const Platform& platform = Platform::Default());

// The text of `node`: indented prints four blanks per level and "\n" after
// each line; otherwise TiXmlPrinter's stream printing, without any line
// break or indentation. Printing recurses once per level; documents parsed
// here are at most kXmlMaxDepth deep.
std::string PrintXml(const TiXmlNode& node, bool indented);

}  // namespace dv
