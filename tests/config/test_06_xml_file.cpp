// The XML file layer on real files: status identifiers, the nesting limit
// against TinyXML itself, printing, atomic saves, side files, the name lock,
// and documents surviving a process killed in the middle of a save.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/xml_depth.h"
#include "config/xml_file.h"
#include "log/log.h"

namespace {

using dv::kXmlTooDeep;
using dv::LoadXmlFile;
using dv::ParseXml;
using dv::PrintXml;
using dv::SaveXmlFile;
using dv::XmlStatus;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// --- Helpers ---------------------------------------------------------------

std::string Repeat(const std::string& piece, int times) {
  std::string out;
  out.reserve(piece.size() * static_cast<size_t>(times));
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

// `levels` nested <e> elements around `inner`.
std::string Nested(int levels, const std::string& inner = "") {
  return Repeat("<e>", levels) + inner + Repeat("</e>", levels);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string ErrnoText(int error) { return std::to_string(error) + " - " + std::strerror(error); }

// A document with a declaration, a comment and `items` children, large
// enough for several pages when items is in the thousands.
TiXmlDocument MakeDocument(const std::string& root_name, int items) {
  TiXmlDocument doc;
  doc.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
  doc.LinkEndChild(new TiXmlComment(" written by the tests "));
  auto* root = new TiXmlElement(root_name);
  for (int i = 0; i < items; ++i) {
    auto* item = new TiXmlElement("item");
    item->SetAttribute("n", i);
    item->LinkEndChild(new TiXmlText(root_name + " " + std::to_string(i)));
    root->LinkEndChild(item);
  }
  doc.LinkEndChild(root);
  return doc;
}

// The deepest level TinyXML itself reached: every node but plain text counts.
int DeepestLevel(const TiXmlNode& parent, int level = 1) {
  int deepest = 0;
  for (const TiXmlNode* child = parent.FirstChild(); child; child = child->NextSibling()) {
    const TiXmlText* text = child->ToText();
    if (!text || text->CDATA()) deepest = std::max(deepest, level);
    if (child->ToElement()) deepest = std::max(deepest, DeepestLevel(*child, level + 1));
  }
  return deepest;
}

// The system's identifier for TinyXML's error, worked out independently of
// the code under test: TinyXML's list lacks the out-of-memory entry, so from
// "parsing element" on its numbers are one lower.
int StatusIdOfTinyXml(const TiXmlDocument& doc) {
  if (!doc.Error()) return dv::kXmlNoError;
  return doc.ErrorId() < TiXmlBase::TIXML_ERROR_PARSING_ELEMENT ? doc.ErrorId() : doc.ErrorId() + 1;
}

class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : old_(umask(mask)) {}
  ~UmaskGuard() { umask(old_); }

 private:
  const mode_t old_;
};

// Runs `body` in a forked child and returns what it returned; with
// `unprivileged`, the child first becomes the user and group 65534.
std::string RunInChild(const std::function<std::string()>& body, bool unprivileged) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    close(fds[0]);
    std::string result = "could not drop privileges";
    if (!unprivileged || (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0)) {
      result = body();
    }
    if (write(fds[1], result.data(), result.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string result;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) result.append(buffer, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(fds[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return result;
}

class XmlFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dv-xml-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }

  std::string Path(const std::string& name) const { return root_ + "/" + name; }

  std::string root_;
};

// --- Identifiers and descriptions -------------------------------------------

TEST(XmlStatusTable, EveryIdentifierHasItsOwnDescription) {
  const char* const expected[] = {
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
  ASSERT_EQ(std::size(expected), static_cast<size_t>(dv::kXmlErrorCount));
  for (int id = 0; id < dv::kXmlErrorCount; ++id) {
    EXPECT_STREQ(dv::XmlErrorDescription(id), expected[id]) << "id " << id;
  }
  EXPECT_STREQ(dv::XmlErrorDescription(-1), "Error");
  EXPECT_STREQ(dv::XmlErrorDescription(dv::kXmlErrorCount), "Error");
  const XmlStatus fresh;
  EXPECT_EQ(fresh.id, 0);
  EXPECT_EQ(fresh.description, "No error");
}

TEST(XmlParse, BadTextsReportTheSystemIdentifiers) {
  const struct {
    std::string text;
    int id;
  } cases[] = {
      {"", dv::kXmlDocumentEmpty},
      {" \n\t ", dv::kXmlDocumentEmpty},
      {"no markup at all", dv::kXmlDocumentEmpty},
      {"<root", dv::kXmlElementName},
      {"<a b='1' b='2'/>", dv::kXmlParsingElement},
      {"<a b='never closed", dv::kXmlParsingElement},
      {"<a>&#z;</a>", dv::kXmlElementValue},
      {"<a b></a>", dv::kXmlAttributes},
      {"<a/ >", dv::kXmlEmptyTag},
      {"<a></b>", dv::kXmlEndTag},
      {"<a><b></a>", dv::kXmlEndTag},
  };
  for (const auto& c : cases) {
    TiXmlDocument doc;
    XmlStatus status;
    EXPECT_FALSE(ParseXml(&doc, c.text, &status)) << c.text;
    EXPECT_EQ(status.id, c.id) << c.text;
    EXPECT_EQ(status.description, dv::XmlErrorDescription(c.id)) << c.text;
    EXPECT_EQ(doc.FirstChild(), nullptr) << c.text;
  }
}

TEST(XmlParse, EachParseStartsFromAnEmptyDocument) {
  TiXmlDocument doc("settings");
  XmlStatus status;
  ASSERT_TRUE(ParseXml(&doc, "<a><b/></a>", &status));
  ASSERT_TRUE(ParseXml(&doc, "<c/>", &status));
  EXPECT_EQ(PrintXml(doc, false), "<c />");
  EXPECT_FALSE(ParseXml(&doc, "<d></e>", &status));
  EXPECT_EQ(doc.FirstChild(), nullptr);
  EXPECT_FALSE(doc.Error());
  EXPECT_TRUE(ParseXml(&doc, "<f/>", &status));
  EXPECT_EQ(status.id, 0);
  EXPECT_EQ(status.description, "No error");
  EXPECT_EQ(PrintXml(doc, false), "<f />");
  EXPECT_EQ(doc.ValueStr(), "settings");
  EXPECT_TRUE(ParseXml(&doc, "<g/>", nullptr));
}

TEST(XmlParse, TextEndsAtTheFirstNulByte) {
  TiXmlDocument doc;
  XmlStatus status;
  EXPECT_TRUE(ParseXml(&doc, std::string("<a/>\0<b/>", 9), &status));
  EXPECT_EQ(PrintXml(doc, false), "<a />");
  EXPECT_FALSE(ParseXml(&doc, std::string("\0<a/>", 5), &status));
  EXPECT_EQ(status.id, dv::kXmlDocumentEmpty);
}

TEST(XmlPrint, IndentedUsesFourBlanksAndNewlinesCompactUsesNeither) {
  TiXmlDocument doc;
  ASSERT_TRUE(ParseXml(&doc, "<a x='1'><b>t</b><c/></a>", nullptr));
  EXPECT_EQ(PrintXml(doc, true), "<a x=\"1\">\n    <b>t</b>\n    <c />\n</a>\n");
  EXPECT_EQ(PrintXml(doc, false), "<a x=\"1\"><b>t</b><c /></a>");
  EXPECT_EQ(PrintXml(*doc.RootElement()->FirstChild(), false), "<b>t</b>");
}

// --- The nesting limit ------------------------------------------------------

int ParseId(const std::string& text) {
  TiXmlDocument doc;
  XmlStatus status;
  const bool ok = ParseXml(&doc, text, &status);
  EXPECT_EQ(ok, status.id == 0);
  EXPECT_EQ(status.description, dv::XmlErrorDescription(status.id));
  if (!ok) {
    EXPECT_EQ(doc.FirstChild(), nullptr);
  }
  return status.id;
}

TEST(XmlDepth, AHundredLevelsParseAndOneMoreIsRefused) {
  TiXmlDocument doc;
  XmlStatus status;
  ASSERT_TRUE(ParseXml(&doc, Nested(100, "text"), &status)) << status.description;
  EXPECT_EQ(DeepestLevel(doc), 100);
  EXPECT_FALSE(ParseXml(&doc, Nested(101), &status));
  EXPECT_EQ(status.id, kXmlTooDeep);
  EXPECT_EQ(status.description,
            "Elements nested too deeply (exceeds the configured maximum parse depth).");
  EXPECT_EQ(doc.FirstChild(), nullptr);
  EXPECT_EQ(ParseId(Nested(100, "<e/>")), kXmlTooDeep);
  // Siblings at the deepest level, entered again and again, are fine.
  EXPECT_EQ(ParseId("<r>" + Repeat(Nested(99, "x"), 50) + "</r>"), 0);
}

TEST(XmlDepth, EveryNodeBeginningWithAnAngleBracketCountsAsALevel) {
  for (const std::string inner : {"<!-- comment -->", "<![CDATA[data]]>", "<?xml version='1.0'?>",
                                  "<!DOCTYPE thing>", "<?pi x?>", "< spaced>"}) {
    EXPECT_EQ(ParseId(Nested(99, inner)), 0) << inner;
    EXPECT_EQ(ParseId(Nested(100, inner)), kXmlTooDeep) << inner;
  }
  EXPECT_EQ(ParseId(Nested(100, "plain text &amp; more")), 0);
}

TEST(XmlDepth, MarkupInsideValuesCommentsAndCdataIsNoNesting) {
  const std::string deep = Repeat("<e>", 300);
  EXPECT_EQ(ParseId("<r a='" + deep + "' b=\"" + deep + "\"/>"), 0);
  EXPECT_EQ(ParseId("<r><!-- " + deep + " --></r>"), 0);
  EXPECT_EQ(ParseId("<r><![CDATA[" + deep + "]]></r>"), 0);
  EXPECT_EQ(ParseId("<!-- " + deep + " --><r/>"), 0);
}

TEST(XmlDepth, AMillionLevelsAreRefusedQuickly) {
  for (const std::string level : {"<e>", "<e a='<e>'>", "<e><!-- x -->", "<e>text"}) {
    const std::string text = Repeat(level, 1000000);
    const auto start = Clock::now();
    EXPECT_EQ(ParseId(text), kXmlTooDeep) << level;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << level;
  }
}

TEST(XmlDepth, AnErrorMetBeforeTheLimitIsReportedInstead) {
  // In the root's start tag.
  EXPECT_EQ(ParseId("<r a>" + Repeat("<e>", 1000)), dv::kXmlAttributes);
  // Halfway down the chain that goes too deep.
  EXPECT_EQ(ParseId(Repeat("<e>", 50) + "<x/ >" + Repeat("<e>", 100)), dv::kXmlEmptyTag);
  // In text at the deepest allowed level, just before the refused node.
  EXPECT_EQ(ParseId(Repeat("<e>", 100) + "&#z;<e>"), dv::kXmlElementValue);
  // In an earlier branch that was already closed.
  EXPECT_EQ(ParseId("<r><a></b>" + Repeat("<e>", 1000)), dv::kXmlEndTag);
  // A repeated attribute in the chain: the walk passes it, TinyXML does not.
  EXPECT_EQ(ParseId(Repeat("<e>", 10) + "<e a='1' a='2'>" + Repeat("<e>", 1000)),
            dv::kXmlParsingElement);
  // Errors after the refused node do not matter.
  EXPECT_EQ(ParseId(Repeat("<e>", 101) + "</wrong>"), kXmlTooDeep);
  EXPECT_EQ(ParseId(Repeat("<e>", 100) + "<e a>"), kXmlTooDeep);
}

TEST(XmlDepth, TheDeclaredEncodingDecidesWhatIsMarkup) {
  // In UTF-8 TinyXML reads 0xE2 and the two bytes after it as one
  // character, so "<e" after it is text; in other encodings it is markup.
  const std::string body = "<r>" + Repeat("\xE2<e>", 150) + "</r>";
  EXPECT_EQ(ParseId("<?xml version='1.0' encoding='UTF-8'?>" + body), 0);
  EXPECT_EQ(ParseId("\xEF\xBB\xBF" + body), 0);
  EXPECT_EQ(ParseId("<?xml version='1.0' encoding='ISO-8859-1'?>" + body), kXmlTooDeep);
  EXPECT_EQ(ParseId(body), kXmlTooDeep);
}

// Random documents built from awkward pieces, each parsed by TinyXML alone
// (they are shallow, so that is safe) and through the guard with a small
// limit: the guard must refuse exactly the documents in which TinyXML went
// beyond the limit, and otherwise agree with TinyXML on error and content.
TEST(XmlDepth, AgreesWithTinyXmlOnRandomDocuments) {
  const char* const pieces[] = {
      "<a>", "<b>", "</a>", "</b>", "<a/>", "<b x='1'>", "<b x='<a>'>", "<a y=\"</a>\">",
      "<!--", "-->", "<!-- <a> -->", "<![CDATA[", "]]>", "<![CDATA[<a>]]>",
      "<?xml version='1.0'?>", "<?xml encoding='UTF-8'?>", "<?xml encoding='latin1'?>",
      "<!DOCTYPE x>", "<!x", "<?pi <a> ?>", ">", "/>", "text", " ", "\n", "\r", "&#12;",
      "&#z;", "&amp;", "&", "\xC3\xA9", "\xC3", "\xE2\x82", "\xF0", "\xEF\xBB\xBF", "'", "\"",
      "<", "=", "<c/>", "</c>", "<c>", "</a >", "< a>", "<a b=c>", "<a b='1' b='2'>", "</",
      "<_x>", "</_x>", "<a b=<c>>", "<?XML version='1'?>", "<!---->", "<!-->", "<b\xC3>"};
  std::mt19937 random(20240611);
  int refused = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (int n = 1 + static_cast<int>(random() % 40); n > 0; --n) {
      text += pieces[random() % std::size(pieces)];
    }
    const int limit = 1 + static_cast<int>(random() % 4);
    TiXmlDocument reference;
    reference.Parse(dv::PaddedXmlText(text).c_str());
    const bool too_deep = DeepestLevel(reference) > limit;
    refused += too_deep;
    TiXmlDocument doc;
    XmlStatus status;
    const bool ok = dv::ParseXmlLimited(&doc, text, limit, &status);
    ASSERT_EQ(status.id, too_deep ? kXmlTooDeep : StatusIdOfTinyXml(reference))
        << "limit " << limit << " text [" << text << "]";
    ASSERT_EQ(ok, status.id == 0);
    if (ok) {
      ASSERT_EQ(PrintXml(doc, false), PrintXml(reference, false)) << text;
    }
  }
  EXPECT_GT(refused, 1000);
}

// --- Saving -----------------------------------------------------------------

TEST_F(XmlFiles, SavedBytesAreExactlyThePrintedDocument) {
  UmaskGuard mask(077);
  const TiXmlDocument doc = MakeDocument("settings", 20);
  const std::string printed = PrintXml(doc, true);
  const std::string target = Path("settings.xml");
  XmlStatus status;
  ASSERT_TRUE(SaveXmlFile(doc, target, &status)) << status.description;
  EXPECT_EQ(status.id, 0);
  EXPECT_EQ(status.description, "No error");
  const std::string bytes = ReadBytes(target);
  EXPECT_EQ(bytes, printed);
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes.front(), '<');
  EXPECT_EQ(bytes.find('\0'), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(Exists(target + ".pending"));

  TiXmlDocument loaded;
  ASSERT_TRUE(LoadXmlFile(&loaded, target, &status)) << status.description;
  EXPECT_EQ(PrintXml(loaded, true), printed);
  EXPECT_EQ(loaded.ValueStr(), target);
}

TEST_F(XmlFiles, SaveIntoADirectoryWithoutWritePermissionFailsAtCreate) {
  const std::string dir = Path("locked");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
  const std::string target = dir + "/core.xml";
  WriteBytes(target, "<old/>\n");
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  const TiXmlDocument doc = MakeDocument("core", 3);
  // Root may write anywhere: the save runs as an ordinary user then.
  const std::string outcome = RunInChild(
      [&] {
        XmlStatus status;
        const bool ok = SaveXmlFile(doc, target, &status);
        return std::string(ok ? "saved" : "failed") + "|" + std::to_string(status.id) + "|" +
               status.description;
      },
      geteuid() == 0);
  chmod(dir.c_str(), 0755);
  EXPECT_EQ(outcome, "failed|2|create error " + ErrnoText(EACCES));
  EXPECT_EQ(ReadBytes(target), "<old/>\n");
  EXPECT_FALSE(Exists(target + ".pending"));
}

// A file size limit makes the writes fail for real, in a child process:
// a large document fails in fwrite, a small one only when the buffer is
// flushed. Either way the side file goes and the target stays as it was.
TEST_F(XmlFiles, AFailedWriteOrFlushRemovesTheSideFileAndKeepsTheTarget) {
  const std::string target = Path("core.xml");
  const std::string old_text = PrintXml(MakeDocument("old", 1), true);
  for (const int items : {2000, 20}) {
    const TiXmlDocument doc = MakeDocument("new", items);
    ASSERT_GT(PrintXml(doc, true).size(), 200u);
    WriteBytes(target, old_text);
    const std::string outcome = RunInChild(
        [&] {
          signal(SIGXFSZ, SIG_IGN);
          const rlimit cap{200, 200};
          if (setrlimit(RLIMIT_FSIZE, &cap) != 0) return std::string("no limit");
          XmlStatus status;
          const bool ok = SaveXmlFile(doc, target, &status);
          return std::string(ok ? "saved" : "failed") + "|" + std::to_string(status.id) + "|" +
                 status.description;
        },
        false);
    EXPECT_EQ(outcome, "failed|2|write error " + ErrnoText(EFBIG)) << items << " items";
    EXPECT_EQ(ReadBytes(target), old_text);
    EXPECT_FALSE(Exists(target + ".pending"));
  }
}

TEST_F(XmlFiles, ALinkPlantedAtTheSideFileIsNotWrittenThrough) {
  const std::string target = Path("core.xml");
  const std::string victim = Path("victim.txt");
  const std::string elsewhere = Path("made-through-a-link");
  WriteBytes(victim, "keep me");
  const TiXmlDocument doc = MakeDocument("core", 3);
  XmlStatus status;
  for (const std::string& pointee : {victim, elsewhere}) {
    ASSERT_EQ(symlink(pointee.c_str(), (target + ".pending").c_str()), 0);
    ASSERT_TRUE(SaveXmlFile(doc, target, &status)) << status.description;
    EXPECT_EQ(ReadBytes(victim), "keep me");
    EXPECT_FALSE(Exists(elsewhere));
    EXPECT_EQ(ReadBytes(target), PrintXml(doc, true));
    EXPECT_FALSE(Exists(target + ".pending"));
  }
}

TEST_F(XmlFiles, AFailedRenameKeepsTheSideFileForTheNextLoad) {
  const std::string target = Path("core.xml");
  ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
  WriteBytes(target + "/occupant", "x");
  const TiXmlDocument doc = MakeDocument("core", 5);
  XmlStatus status;
  EXPECT_FALSE(SaveXmlFile(doc, target, &status));
  EXPECT_EQ(status.id, 2);
  EXPECT_EQ(status.description, "Failed to rename .xml.pending to .xml file " + ErrnoText(EISDIR));
  EXPECT_EQ(ReadBytes(target + ".pending"), PrintXml(doc, true));

  std::filesystem::remove_all(target);
  TiXmlDocument loaded;
  ASSERT_TRUE(LoadXmlFile(&loaded, target, &status)) << status.description;
  EXPECT_EQ(PrintXml(loaded, true), PrintXml(doc, true));
  EXPECT_EQ(ReadBytes(target), PrintXml(doc, true));
  EXPECT_FALSE(Exists(target + ".pending"));
}

// Another process loading the name may move the side file into place
// between the write and the rename; a thread deleting it stands in for
// that. Every save must still succeed.
TEST_F(XmlFiles, ASideFileGoneBeforeItsRenameStillCountsAsSaved) {
  const std::string target = Path("core.xml");
  const std::string side = target + ".pending";
  const TiXmlDocument doc = MakeDocument("core", 5);
  std::atomic<bool> stop{false};
  std::thread remover([&] {
    while (!stop.load()) unlink(side.c_str());
  });
  int vanished = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  for (int round = 0; round < 300 && vanished < 5 && Clock::now() < deadline; ++round) {
    unlink(target.c_str());
    XmlStatus status;
    EXPECT_TRUE(SaveXmlFile(doc, target, &status)) << status.description;
    if (!Exists(target)) ++vanished;
  }
  stop = true;
  remover.join();
  EXPECT_GT(vanished, 0) << "the rename never found its side file gone";
}

// --- Loading ----------------------------------------------------------------

TEST_F(XmlFiles, NothingToLoadIsAnOpenError) {
  TiXmlDocument doc;
  XmlStatus status;
  EXPECT_FALSE(LoadXmlFile(&doc, Path("missing.xml"), &status));
  EXPECT_EQ(status.id, 2);
  EXPECT_EQ(status.description, "Failed to open file");
  EXPECT_EQ(doc.FirstChild(), nullptr);

  ASSERT_EQ(mkdir(Path("directory.xml").c_str(), 0755), 0);
  EXPECT_FALSE(LoadXmlFile(&doc, Path("directory.xml"), &status));
  EXPECT_EQ(status.id, 2);

  WriteBytes(Path("empty.xml"), "");
  EXPECT_FALSE(LoadXmlFile(&doc, Path("empty.xml"), &status));
  EXPECT_EQ(status.id, dv::kXmlDocumentEmpty);
}

TEST_F(XmlFiles, LoadReportsParseErrorsAndTheNestingLimit) {
  TiXmlDocument doc;
  XmlStatus status;
  WriteBytes(Path("bad.xml"), "<a>\n  <b>\n</a>\n");
  EXPECT_FALSE(LoadXmlFile(&doc, Path("bad.xml"), &status));
  EXPECT_EQ(status.id, dv::kXmlEndTag);
  WriteBytes(Path("deep.xml"), Repeat("<e>", 1000000));
  EXPECT_FALSE(LoadXmlFile(&doc, Path("deep.xml"), &status));
  EXPECT_EQ(status.id, kXmlTooDeep);
  EXPECT_EQ(doc.FirstChild(), nullptr);
}

TEST_F(XmlFiles, CarriageReturnsReadAsNewlines) {
  WriteBytes(Path("crlf.xml"), "<a>\r\n<![CDATA[x\r\ny\rz]]>\r\n</a>\r\n");
  TiXmlDocument doc;
  XmlStatus status;
  ASSERT_TRUE(LoadXmlFile(&doc, Path("crlf.xml"), &status)) << status.description;
  EXPECT_EQ(doc.RootElement()->FirstChild()->ValueStr(), "x\ny\nz");
}

TEST_F(XmlFiles, AFailedLoadNeverShowsAnEarlierDocument) {
  const TiXmlDocument product = MakeDocument("product", 3);
  XmlStatus status;
  ASSERT_TRUE(SaveXmlFile(product, Path("product.xml"), &status));
  WriteBytes(Path("broken.xml"), "<core><x></core>");

  TiXmlDocument doc;
  ASSERT_TRUE(LoadXmlFile(&doc, Path("product.xml"), &status));
  ASSERT_NE(doc.RootElement(), nullptr);
  EXPECT_FALSE(LoadXmlFile(&doc, Path("core.xml"), &status));
  EXPECT_EQ(status.id, 2);
  EXPECT_EQ(doc.FirstChild(), nullptr);
  EXPECT_FALSE(doc.Error());

  ASSERT_TRUE(LoadXmlFile(&doc, Path("product.xml"), &status));
  EXPECT_FALSE(LoadXmlFile(&doc, Path("broken.xml"), &status));
  EXPECT_EQ(status.id, dv::kXmlEndTag);
  EXPECT_EQ(doc.FirstChild(), nullptr);

  // A successful load replaces what was there, too.
  const TiXmlDocument core = MakeDocument("core", 2);
  ASSERT_TRUE(SaveXmlFile(core, Path("core.xml"), &status));
  ASSERT_TRUE(LoadXmlFile(&doc, Path("product.xml"), &status));
  ASSERT_TRUE(LoadXmlFile(&doc, Path("core.xml"), &status));
  EXPECT_EQ(PrintXml(doc, true), PrintXml(core, true));
  EXPECT_EQ(doc.ValueStr(), Path("core.xml"));
}

TEST_F(XmlFiles, AValidSideFileWinsAndReplacesTheTarget) {
  const std::string target = Path("core.xml");
  const std::string newer = PrintXml(MakeDocument("newer", 4), true);
  WriteBytes(target, PrintXml(MakeDocument("older", 2), true));
  WriteBytes(target + ".pending", newer);
  TiXmlDocument doc;
  XmlStatus status;
  ASSERT_TRUE(LoadXmlFile(&doc, target, &status)) << status.description;
  EXPECT_EQ(PrintXml(doc, true), newer);
  EXPECT_EQ(ReadBytes(target), newer);
  EXPECT_FALSE(Exists(target + ".pending"));
}

TEST_F(XmlFiles, ASideFileThatDoesNotParseIsIgnoredAndKept) {
  const std::string target = Path("core.xml");
  const std::string older = PrintXml(MakeDocument("older", 2), true);
  WriteBytes(target, older);
  WriteBytes(target + ".pending", "<core><x></core>");
  TiXmlDocument doc;
  XmlStatus status;
  ASSERT_TRUE(LoadXmlFile(&doc, target, &status)) << status.description;
  EXPECT_EQ(PrintXml(doc, true), older);
  EXPECT_EQ(ReadBytes(target + ".pending"), "<core><x></core>");
}

// Every prefix of a saved document, as a save killed in its write leaves
// it: the load returns the whole new document or the old one, never a part.
// TinyXML itself accepts some of them (a declaration or a comment cut short).
TEST_F(XmlFiles, ASideFileCutShortIsNeverTaken) {
  const std::string target = Path("core.xml");
  const std::string older = PrintXml(MakeDocument("older", 2), true);
  const std::string newer = PrintXml(MakeDocument("newer", 3), true);
  for (size_t length = 0; length < newer.size(); ++length) {
    WriteBytes(target, older);
    WriteBytes(target + ".pending", newer.substr(0, length));
    TiXmlDocument doc;
    XmlStatus status;
    ASSERT_TRUE(LoadXmlFile(&doc, target, &status)) << length << ": " << status.description;
    const std::string loaded = PrintXml(doc, true);
    ASSERT_TRUE(loaded == older || loaded == newer) << "prefix of " << length << " bytes";
  }
  // A trailing comment cut short.
  TiXmlDocument with_trailer = MakeDocument("newer", 1);
  with_trailer.LinkEndChild(new TiXmlComment(" end "));
  const std::string trailer = PrintXml(with_trailer, true);
  WriteBytes(target, older);
  WriteBytes(target + ".pending", trailer.substr(0, trailer.size() - 4));
  TiXmlDocument doc;
  ASSERT_TRUE(LoadXmlFile(&doc, target, nullptr));
  EXPECT_EQ(PrintXml(doc, true), older);
}

TEST_F(XmlFiles, ASideFileThatIsALinkIsNotFollowed) {
  const std::string target = Path("core.xml");
  const std::string older = PrintXml(MakeDocument("older", 2), true);
  WriteBytes(target, older);
  WriteBytes(Path("elsewhere.xml"), PrintXml(MakeDocument("elsewhere", 2), true));
  ASSERT_EQ(symlink(Path("elsewhere.xml").c_str(), (target + ".pending").c_str()), 0);
  TiXmlDocument doc;
  ASSERT_TRUE(LoadXmlFile(&doc, target, nullptr));
  EXPECT_EQ(PrintXml(doc, true), older);
  EXPECT_FALSE(Exists(target + ".pending"));
  EXPECT_TRUE(Exists(Path("elsewhere.xml")));
}

std::vector<std::string> g_logged;
int32_t RecordLog(_EventParmsIn* in, _EventParmsOut* out) {
  if ((in->flags & DV_FLAG_LOG_MESSAGE) != 0) {
    g_logged.push_back(std::to_string(in->level) + " " + static_cast<const char*>(in->data));
  }
  out->result = 0;
  return 0;
}

// A side file the process did not leave itself is never taken: another
// user's, one with a second name, and another user's in a sticky folder
// that others may write, where it cannot even be removed. Every save then
// fails, and the first says why.
TEST_F(XmlFiles, ASideFileThisProcessDidNotLeaveIsNeverTaken) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant another user's files";
  const std::string eperm = std::strerror(EPERM);
  struct Case {
    const char* what;
    bool sticky;  // in a sticky folder, the core running as 65534
    std::vector<std::string> logged;
  };
  const std::vector<Case> cases = {
      {"another user's", false, {"50 side file DIR/core.xml.pending not taken (owned by user 54321, not 0): removed"}},
      {"a hard link", false, {"50 side file DIR/core.xml.pending not taken (2 links): removed"}},
      {"a sticky folder's", true,
       {"50 side file DIR/core.xml.pending not taken (owned by user 54321, not 65534), and left "
        "in place: " + eperm,
        "100 cannot remove DIR/core.xml.pending, so no save can replace it: " + eperm}},
  };
  const std::string older = PrintXml(MakeDocument("older", 2), true);
  const std::string planted = PrintXml(MakeDocument("planted", 2), true);
  for (const Case& c : cases) {
    const std::string dir = Path(std::to_string(&c - cases.data()));
    ASSERT_EQ(mkdir(dir.c_str(), c.sticky ? 01777 : 0700), 0);
    ASSERT_EQ(chmod(dir.c_str(), c.sticky ? 01777 : 0700), 0);  // whatever the umask
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    const std::string target = dir + "/core.xml", side = target + ".pending";
    WriteBytes(target, older);
    ASSERT_EQ(chown(target.c_str(), c.sticky ? 65534 : 0, 0), 0);
    if (std::string(c.what) == "a hard link") {
      WriteBytes(Path("mine.xml"), planted);
      ASSERT_EQ(link(Path("mine.xml").c_str(), side.c_str()), 0);
    } else {
      WriteBytes(side, planted);
      ASSERT_EQ(chown(side.c_str(), 54321, 54321), 0);
    }
    const std::string outcome = RunInChild(
        [&] {
          dv::SetCoreSink(RecordLog);
          TiXmlDocument doc;
          std::string result = LoadXmlFile(&doc, target, nullptr) && PrintXml(doc, true) == older
                                   ? "loaded the target\n"
                                   : "loaded something else\n";
          for (int save = 0; save < 2; ++save) {
            result += SaveXmlFile(doc, target, nullptr) ? "saved\n" : "not saved\n";
          }
          for (const std::string& line : g_logged) result += line + "\n";
          return result;
        },
        c.sticky);
    std::string expected = c.sticky ? "loaded the target\nnot saved\nnot saved\n"
                                     : "loaded the target\nsaved\nsaved\n";
    for (std::string line : c.logged) expected += line.replace(line.find("DIR"), 3, dir) + "\n";
    EXPECT_EQ(outcome, expected) << c.what;
    EXPECT_EQ(Exists(side), c.sticky) << c.what;
  }
}

// Plants a second name of `source` at `side` right after the first look at
// that name and before the first open of it, whichever the load makes.
class PlantingPlatform : public dv::Platform {
 public:
  PlantingPlatform(std::string side, std::string source)
      : side_(std::move(side)), source_(std::move(source)) {}

  int FactsOf(const std::string& path, FileFacts* facts) const override {
    const int error = Platform::FactsOf(path, facts);
    PlantAt(path);
    return error;
  }
  std::unique_ptr<dv::ReadableFile> OpenForReading(const std::string& path,
                                                   int* error) const override {
    PlantAt(path);
    return Platform::OpenForReading(path, error);
  }
  int ReadFile(const std::string& path, bool followLinks, std::string* bytes) const override {
    PlantAt(path);
    return Platform::ReadFile(path, followLinks, bytes);
  }

 private:
  void PlantAt(const std::string& path) const {
    if (path == side_ && !planted_) planted_ = link(source_.c_str(), side_.c_str()) == 0;
  }
  const std::string side_, source_;
  mutable bool planted_ = false;
};

// A file planted at the side file's name between any look at the name and
// the read is judged itself: a second name of another file is not taken.
TEST_F(XmlFiles, ASideFilePlantedJustBeforeItIsOpenedIsJudgedItself) {
  const std::string target = Path("core.xml"), side = target + ".pending";
  const std::string older = PrintXml(MakeDocument("older", 2), true);
  WriteBytes(target, older);
  WriteBytes(Path("mine.xml"), PrintXml(MakeDocument("planted", 2), true));
  const PlantingPlatform planting(side, Path("mine.xml"));
  const std::string outcome = RunInChild(
      [&] {
        dv::SetCoreSink(RecordLog);
        TiXmlDocument doc;
        std::string result = LoadXmlFile(&doc, target, nullptr, planting) &&
                                     PrintXml(doc, true) == older
                                 ? "loaded the target\n"
                                 : "loaded " + PrintXml(doc, true) + "\n";
        for (const std::string& line : g_logged) result += line + "\n";
        return result;
      },
      false);
  EXPECT_EQ(outcome, "loaded the target\n50 side file " + side + " not taken (2 links): removed\n");
  EXPECT_FALSE(Exists(side));
  EXPECT_EQ(ReadBytes(target), older);
}

// The platform's side file is made afresh: never an existing file opened
// again, never a file made or written through a symbolic link.
TEST_F(XmlFiles, APlatformNewFileIsCreatedExclusivelyAndNeverThroughALink) {
  const dv::Platform& platform = dv::Platform::Default();
  WriteBytes(Path("existing"), "old");
  WriteBytes(Path("pointee"), "old");
  ASSERT_EQ(symlink(Path("pointee").c_str(), Path("to-existing").c_str()), 0);
  ASSERT_EQ(symlink(Path("absent").c_str(), Path("to-absent").c_str()), 0);
  for (const char* name : {"existing", "to-existing", "to-absent"}) {
    int error = 0;
    EXPECT_EQ(platform.NewWritableFile(Path(name), &error), nullptr) << name;
    EXPECT_EQ(error, EEXIST) << name;
  }
  EXPECT_EQ(ReadBytes(Path("existing")), "old");
  EXPECT_EQ(ReadBytes(Path("pointee")), "old");
  EXPECT_FALSE(Exists(Path("absent")));
}

TEST_F(XmlFiles, MemoryRunningOutIsReported) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers reserve more address space than any limit allows";
  const std::string huge = Path("huge.xml");
  WriteBytes(huge, "");
  ASSERT_EQ(truncate(huge.c_str(), 1LL << 30), 0);  // sparse: one GiB of nothing
  const std::string outcome = RunInChild(
      [&] {
        std::ifstream statm("/proc/self/statm");
        unsigned long pages = 0;
        statm >> pages;
        const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (256u << 20);
        const rlimit cap{limit, limit};
        if (setrlimit(RLIMIT_AS, &cap) != 0) return std::string("no limit");
        TiXmlDocument doc;
        XmlStatus status;
        LoadXmlFile(&doc, huge, &status);
        return std::to_string(status.id) + "|" + status.description;
      },
      false);
  EXPECT_EQ(outcome, "3|Memory allocation failed.");
}

// --- Concurrency and crashes ------------------------------------------------

TEST_F(XmlFiles, TwoThreadsSavingOneNameBothSucceedEveryTime) {
  const std::string target = Path("core.xml");
  const TiXmlDocument first = MakeDocument("first", 200);
  const TiXmlDocument second = MakeDocument("second", 300);
  const std::string first_text = PrintXml(first, true);
  const std::string second_text = PrintXml(second, true);
  std::atomic<int> failed_saves{0};
  std::atomic<int> odd_loads{0};
  std::atomic<bool> saving{true};
  auto saver = [&](const TiXmlDocument& doc) {
    for (int i = 0; i < 100; ++i) {
      XmlStatus status;
      if (!SaveXmlFile(doc, target, &status)) ++failed_saves;
    }
  };
  std::thread loader([&] {
    while (saving.load()) {
      TiXmlDocument doc;
      if (!LoadXmlFile(&doc, target, nullptr)) continue;  // before the first save
      const std::string text = PrintXml(doc, true);
      if (text != first_text && text != second_text) ++odd_loads;
    }
  });
  std::thread a(saver, std::cref(first));
  std::thread b(saver, std::cref(second));
  a.join();
  b.join();
  saving = false;
  loader.join();
  EXPECT_EQ(failed_saves.load(), 0);
  EXPECT_EQ(odd_loads.load(), 0);
  const std::string final_text = ReadBytes(target);
  EXPECT_TRUE(final_text == first_text || final_text == second_text);
  EXPECT_FALSE(Exists(target + ".pending"));
}

// A child process saves two documents in turn, as fast as it can, and is
// killed at a random moment, a few hundred times. Whatever it left behind,
// a side file cut short included, loads as one of the two documents whole.
TEST_F(XmlFiles, AProcessKilledWhileSavingLeavesAWholeDocument) {
  const std::string target = Path("core.xml");
  const TiXmlDocument alpha = MakeDocument("alpha", 2000);  // several pages each
  const TiXmlDocument beta = MakeDocument("beta", 3000);
  const std::string alpha_text = PrintXml(alpha, true);
  const std::string beta_text = PrintXml(beta, true);

  const auto timing_start = Clock::now();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(SaveXmlFile(i % 2 ? beta : alpha, target, nullptr));
  const auto per_save =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - timing_start) / 5;
  std::filesystem::remove(target);

  std::mt19937 random(7);
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  int kills = 0;
  for (; kills < 300 && Clock::now() < deadline; ++kills) {
    int firstSaved[2];
    ASSERT_EQ(pipe(firstSaved), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
      close(firstSaved[0]);
      for (unsigned i = 0;; ++i) {
        SaveXmlFile(i % 2 ? beta : alpha, target, nullptr);
        if (i == 0) close(firstSaved[1]);  // a child may start slowly (sanitizers)
      }
    }
    close(firstSaved[1]);
    char none;
    ASSERT_EQ(read(firstSaved[0], &none, 1), 0);  // the first save has ended
    close(firstSaved[0]);
    const auto delay = std::chrono::microseconds(random() % (3 * per_save.count() + 500));
    std::this_thread::sleep_for(delay);
    kill(pid, SIGKILL);
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);

    TiXmlDocument doc;
    XmlStatus status;
    ASSERT_TRUE(LoadXmlFile(&doc, target, &status)) << "kill " << kills << ": "
                                                    << status.description;
    const std::string text = PrintXml(doc, true);
    ASSERT_TRUE(text == alpha_text || text == beta_text) << "kill " << kills;
  }
  EXPECT_GE(kills, 50);
}

}  // namespace
