#include "config/xml_file.h"

#include <errno.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <set>

#include "config/xml_depth.h"
#include "log/log.h"
#include "platform/mutex.h"

namespace dv {
namespace {

const char* const kDescriptions[kXmlErrorCount] = {
    "No error",
    "Error",
    "Failed to open file",
    "Memory allocation failed.",
    "Error parsing Element.",
    "Failed to read Element name",
    "Error reading Element value.",
    "Error reading Attributes.",
    "Error: empty tag.",
    "Error reading end tag.",
    "Error parsing Unknown.",
    "Error parsing Comment.",
    "Error parsing Declaration.",
    "Error document empty.",
    "Error null (0) or unexpected EOF found in input stream.",
    "Error parsing CDATA.",
    "Error when TiXmlDocument added to document, because TiXmlDocument can only be at the root.",
    "Elements nested too deeply (exceeds the configured maximum parse depth).",
};

const char* const kSideSuffix = ".pending";

XmlStatus StatusOf(int id) { return XmlStatus{id, XmlErrorDescription(id)}; }

// TinyXML's error identifiers by meaning; TinyXML numbers them without the
// out-of-memory entry, so most differ by one from the system's.
int FromTinyXml(int tiny_id) {
  switch (tiny_id) {
    case TiXmlBase::TIXML_NO_ERROR: return kXmlNoError;
    case TiXmlBase::TIXML_ERROR: return kXmlError;
    case TiXmlBase::TIXML_ERROR_OPENING_FILE: return kXmlOpenFailed;
    case TiXmlBase::TIXML_ERROR_PARSING_ELEMENT: return kXmlParsingElement;
    case TiXmlBase::TIXML_ERROR_FAILED_TO_READ_ELEMENT_NAME: return kXmlElementName;
    case TiXmlBase::TIXML_ERROR_READING_ELEMENT_VALUE: return kXmlElementValue;
    case TiXmlBase::TIXML_ERROR_READING_ATTRIBUTES: return kXmlAttributes;
    case TiXmlBase::TIXML_ERROR_PARSING_EMPTY: return kXmlEmptyTag;
    case TiXmlBase::TIXML_ERROR_READING_END_TAG: return kXmlEndTag;
    case TiXmlBase::TIXML_ERROR_PARSING_UNKNOWN: return kXmlParsingUnknown;
    case TiXmlBase::TIXML_ERROR_PARSING_COMMENT: return kXmlParsingComment;
    case TiXmlBase::TIXML_ERROR_PARSING_DECLARATION: return kXmlParsingDeclaration;
    case TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY: return kXmlDocumentEmpty;
    case TiXmlBase::TIXML_ERROR_EMBEDDED_NULL: return kXmlEmbeddedNull;
    case TiXmlBase::TIXML_ERROR_PARSING_CDATA: return kXmlParsingCdata;
    case TiXmlBase::TIXML_ERROR_DOCUMENT_TOP_ONLY: return kXmlDocumentTopOnly;
    default: return kXmlError;
  }
}

// Picks the text from either variant of strerror_r; only one is used.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ErrorText(const char* text, const char*) { return text; }

// strerror's text, from any thread.
std::string ErrorString(int error) {
  char buffer[128] = "";
  return ErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
}

// "<errno> - <text>", errno as a signed decimal.
std::string ErrnoText(int error) { return std::to_string(error) + " - " + ErrorString(error); }

// --- The process-wide lock on file names ---------------------------------

// The names being loaded or saved. Never destroyed, so that it serves every
// thread until the process ends.
class FileNamesInUse {
 public:
  static FileNamesInUse& Instance() {
    static FileNamesInUse* const registry = new FileNamesInUse;
    return *registry;
  }

  void Acquire(const std::string& name) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    while (names_.count(name) != 0) released_.Wait(mu_);
    names_.insert(name);
  }

  void Release(const std::string& name) EXCLUDES(mu_) {
    {
      MutexLock lock(mu_);
      names_.erase(name);
    }
    released_.NotifyAll();
  }

 private:
  Mutex mu_;  // its place in the lock order: events/event_router.h
  CondVar released_;
  std::set<std::string> names_ GUARDED_BY(mu_);
};

// Holds the lock on one name for a scope, so that every way out releases it.
class FileNameLock {
 public:
  explicit FileNameLock(const std::string& name) : name_(name) {
    FileNamesInUse::Instance().Acquire(name_);
  }
  ~FileNameLock() { FileNamesInUse::Instance().Release(name_); }
  FileNameLock(const FileNameLock&) = delete;
  FileNameLock& operator=(const FileNameLock&) = delete;

 private:
  const std::string name_;
};

// --- Parsing ------------------------------------------------------------

// Clears everything a parse may leave in `doc` (children, error, the byte
// order mark flag), keeping only its name.
void ResetDocument(TiXmlDocument* doc) { *doc = TiXmlDocument(doc->ValueStr()); }

bool Fail(TiXmlDocument* doc, int id, XmlStatus* status) {
  ResetDocument(doc);
  *status = StatusOf(id);
  return false;
}

// Memory ran out: empties `doc` without allocating anything.
bool FailOutOfMemory(TiXmlDocument* doc, XmlStatus* status) {
  doc->Clear();
  doc->ClearError();
  *status = StatusOf(kXmlOutOfMemory);
  return false;
}

// TinyXML parses the part of a too deep document before the refused node,
// with the open elements closed: its error, if it meets one, comes first.
bool RefuseTooDeep(TiXmlDocument* doc, const std::string& padded, const XmlShape& shape,
                   XmlStatus* status) {
  const std::string closed = PaddedXmlText(CloseOpenElements(padded.c_str(), shape));
  doc->Parse(closed.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  return Fail(doc, doc->Error() ? FromTinyXml(doc->ErrorId()) : kXmlTooDeep, status);
}

// Parses `padded` (from PaddedXmlText) into the reset `doc`. `complete`
// tells whether the document has a root element and was not cut off.
bool ParsePadded(TiXmlDocument* doc, const std::string& padded, int max_level,
                 XmlStatus* status, bool* complete) {
  const XmlShape shape = ScanXmlShape(padded.c_str(), max_level);
  if (shape.too_deep) return RefuseTooDeep(doc, padded, shape, status);
  doc->Parse(padded.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (doc->Error()) return Fail(doc, FromTinyXml(doc->ErrorId()), status);
  *complete = !shape.cut_off && doc->RootElement() != nullptr;
  *status = XmlStatus();
  return true;
}

int ClampLevel(int max_level) {
  return max_level < 1 ? 1 : (max_level > kXmlMaxDepth ? kXmlMaxDepth : max_level);
}

// --- Loading ------------------------------------------------------------

// "." for a plain name, else everything before the last '/' ("/" for a name
// right under the root).
std::string DirectoryOf(const std::string& name) {
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : name.substr(0, slash);
}

// "\r\n" and a lone "\r" become "\n", as in TinyXML's own file loader.
void NormalizeNewlines(std::string* bytes) {
  std::string& b = *bytes;
  size_t out = 0;
  for (size_t in = 0; in < b.size(); ++in) {
    const bool cr = b[in] == '\r';
    b[out++] = cr ? '\n' : b[in];
    if (cr && in + 1 < b.size() && b[in + 1] == '\n') ++in;
  }
  b.resize(out);
}

// Parses `bytes`, read from a file, into `doc`.
bool ParseFileBytes(TiXmlDocument* doc, std::string bytes, XmlStatus* status, bool* complete) {
  NormalizeNewlines(&bytes);
  return ParsePadded(doc, PaddedXmlText(bytes), kXmlMaxDepth, status, complete);
}

// One attempt: a cleared `doc` named `name`, then the file `path` parsed.
bool LoadOne(TiXmlDocument* doc, const std::string& name, const std::string& path,
             bool follow_links, const Platform& platform, XmlStatus* status, bool* complete) {
  *doc = TiXmlDocument(name);
  *status = XmlStatus();
  std::string bytes;
  if (platform.ReadFile(path, follow_links, &bytes) != 0) return Fail(doc, kXmlOpenFailed, status);
  return ParseFileBytes(doc, std::move(bytes), status, complete);
}

// Finishes the save that left "<name>.pending" behind. The side file may
// never have been synced (its save was cut short before its fsync), so it
// is synced before it replaces `name`, and the rename is made durable too:
// a power loss afterwards keeps the document this load returned. A side
// file that cannot be synced stays where it is and is read again next time.
void MoveSideFileIntoPlace(const std::string& side, const std::string& name,
                           const Platform& platform) {
  if (platform.SyncFile(side) != 0) return;
  if (platform.RenameFile(side, name) != 0) return;
  platform.SyncDirectory(DirectoryOf(name));
}

// Why a side file with `facts` may not be taken, or empty when it may: only
// a regular file of this process's effective user with no other name is the
// leftover of one of its own saves. Anyone who can write the folder could
// otherwise plant a configuration there, or link another file into place.
std::string DistrustOf(const Platform::FileFacts& facts, const Platform& platform) {
  const uint32_t self = platform.ProcessIds().effectiveUid;
  if (!facts.regular) return "not a regular file";
  if (facts.owner != self) {
    return "owned by user " + std::to_string(facts.owner) + ", not " + std::to_string(self);
  }
  if (facts.links != 1) return std::to_string(facts.links) + " links";
  return "";
}

// Why the side file that could not be opened is not to be taken, from what
// its name shows (a symbolic link, another user's file it may not read);
// empty when there is nothing there or the name shows nothing wrong.
std::string DistrustOfName(const std::string& side, const Platform& platform) {
  Platform::FileFacts facts;
  if (platform.FactsOf(side, &facts) != 0) return "";  // nothing there to take
  return DistrustOf(facts, platform);
}

// Removes a side file not to be taken, or leaves it when that is not
// allowed (a sticky folder); either way the next load will not take it.
void Discard(const std::string& side, const std::string& why, const Platform& platform) {
  const int error = platform.RemoveFile(side);
  if (error == 0 || error == ENOENT) {
    LogCore(50, "side file %s not taken (%s): removed", side.c_str(), why.c_str());
  } else {
    LogCore(50, "side file %s not taken (%s), and left in place: %s", side.c_str(), why.c_str(),
            ErrorString(error).c_str());
  }
}

// Takes "<name>.pending" when it is trusted and holds a complete document.
// The file is judged on the descriptor it is read from, so a file planted
// at the name after any look at it is judged itself. A side file swapped
// after the read is renamed in its place all the same: only someone who
// may replace names in the folder can swap it, and such a one could rename
// a file over `name` as well.
bool LoadSideFile(TiXmlDocument* doc, const std::string& name, const Platform& platform,
                  XmlStatus* status) {
  const std::string side = name + kSideSuffix;
  int error = 0;
  const std::unique_ptr<ReadableFile> file = platform.OpenForReading(side, &error);
  Platform::FileFacts facts;
  // A side file that cannot be opened (a symbolic link, another user's file
  // this process may not read) is judged by what its name shows; it is
  // never read.
  const std::string distrust = !file                        ? DistrustOfName(side, platform)
                               : file->Facts(&facts) != 0 ? ""
                                                            : DistrustOf(facts, platform);
  if (!distrust.empty()) {
    Discard(side, distrust, platform);
    return false;
  }
  if (!file || !facts.regular) return false;  // nothing there, or nothing known of it
  *doc = TiXmlDocument(name);
  *status = XmlStatus();
  std::string bytes;
  if (file->ReadAll(&bytes) != 0) return Fail(doc, kXmlOpenFailed, status);
  bool complete = false;
  if (!ParseFileBytes(doc, std::move(bytes), status, &complete) || !complete) return false;
  MoveSideFileIntoPlace(side, name, platform);
  return true;
}

bool LoadLocked(TiXmlDocument* doc, const std::string& name, const Platform& platform,
                XmlStatus* status) {
  FileNameLock lock(name);
  if (LoadSideFile(doc, name, platform, status)) return true;
  bool complete = false;
  return LoadOne(doc, name, name, true, platform, status, &complete);
}

// --- Saving -------------------------------------------------------------

// Whether a side file that could not be removed was reported since the
// last save that succeeded: a folder that holds one fails every save, and
// one message says so.
std::atomic<bool> g_stuckSideFileReported{false};

// A side file this process cannot remove (another user's, in a sticky
// folder) blocks every save of `name` until someone removes it.
void ReportStuckSideFile(const std::string& side, int error) {
  if (error == 0 || error == ENOENT || g_stuckSideFileReported.exchange(true)) return;
  LogCore(100, "cannot remove %s, so no save can replace it: %s", side.c_str(),
          ErrorString(error).c_str());
}

// Creates the side file afresh: whatever is there, a planted symbolic link
// included, is removed first, and the platform's exclusive create refuses
// anything that appears in between instead of writing through it.
std::unique_ptr<WritableFile> CreateSideFile(const std::string& side, const Platform& platform,
                                             int* error) {
  ReportStuckSideFile(side, platform.RemoveFile(side));
  return platform.NewWritableFile(side, error);
}

// Keeps the first failure of a sequence of steps.
void Note(std::string* message, const char* what, int error) {
  if (error != 0 && message->empty()) *message = std::string(what) + " error " + ErrnoText(error);
}

// Writes `text` to the side file and makes it durable; the failure, if any.
std::string WriteSideFile(const std::string& side, const std::string& text,
                          const Platform& platform) {
  int error = 0;
  std::unique_ptr<WritableFile> file = CreateSideFile(side, platform, &error);
  if (!file) return "create error " + ErrnoText(error);
  std::string message;
  const size_t written = file->Append(text.data(), text.size(), &error);
  Note(&message, "write", error);
  Note(&message, "write", file->Flush());
  Note(&message, "write", file->Sync());
  Note(&message, "close", file->Close());
  if (message.empty() && written != text.size()) {
    message = "only wrote " + std::to_string(written) + " of " + std::to_string(text.size()) +
              " bytes";
  }
  return message;
}

// Moves the finished side file over `name`, and makes the move durable. A
// failed directory sync is not a failed save: the rename is done and
// atomic, so `name` holds the old or the new document whatever happens;
// only the new one's surviving a power loss is then not certain.
bool Promote(const std::string& side, const std::string& name, const Platform& platform,
             XmlStatus* status) {
  const int error = platform.RenameFile(side, name);
  if (error == ENOENT) return true;  // moved into place by a load in another process
  if (error != 0) {
    *status = XmlStatus{kXmlOpenFailed,
                        "Failed to rename .xml.pending to .xml file " + ErrnoText(error)};
    return false;
  }
  platform.SyncDirectory(DirectoryOf(name));
  return true;
}

bool SaveText(const std::string& text, const std::string& name, const Platform& platform,
              XmlStatus* status) {
  FileNameLock lock(name);
  const std::string side = name + kSideSuffix;
  const std::string message = WriteSideFile(side, text, platform);
  if (message.empty()) {
    if (!Promote(side, name, platform, status)) return false;
    g_stuckSideFileReported.store(false);
    return true;
  }
  platform.RemoveFile(side);
  *status = XmlStatus{kXmlOpenFailed, message};
  return false;
}

}  // namespace

const char* XmlErrorDescription(int id) {
  return kDescriptions[id >= 0 && id < kXmlErrorCount ? id : kXmlError];
}

bool ParseXml(TiXmlDocument* doc, const std::string& text, XmlStatus* status) {
  return ParseXmlLimited(doc, text, kXmlMaxDepth, status);
}

bool ParseXmlLimited(TiXmlDocument* doc, const std::string& text, int max_level,
                     XmlStatus* status) {
  XmlStatus ignored;
  if (!status) status = &ignored;
  try {
    ResetDocument(doc);
    bool complete = false;
    return ParsePadded(doc, PaddedXmlText(text), ClampLevel(max_level), status, &complete);
  } catch (const std::bad_alloc&) {
    return FailOutOfMemory(doc, status);
  }
}

bool LoadXmlFile(TiXmlDocument* doc, const std::string& name, XmlStatus* status,
                 const Platform& platform) {
  XmlStatus ignored;
  if (!status) status = &ignored;
  try {
    return LoadLocked(doc, name, platform, status);
  } catch (const std::bad_alloc&) {
    return FailOutOfMemory(doc, status);
  }
}

bool SaveXmlFile(const TiXmlDocument& doc, const std::string& name, XmlStatus* status,
                 const Platform& platform) {
  XmlStatus ignored;
  if (!status) status = &ignored;
  *status = XmlStatus();
  try {
    return SaveText(PrintXml(doc, true), name, platform, status);
  } catch (const std::bad_alloc&) {
    *status = StatusOf(kXmlOutOfMemory);
    return false;
  }
}

std::string PrintXml(const TiXmlNode& node, bool indented) {
  TiXmlPrinter printer;
  if (indented) {
    printer.SetIndent("    ");
    printer.SetLineBreak("\n");
  } else {
    printer.SetStreamPrinting();
  }
  node.Accept(&printer);
  return printer.Str();
}

}  // namespace dv
