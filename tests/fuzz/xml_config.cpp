// Fuzz target: the XML loaders and the nesting guard in front of TinyXML.
//
// Input: [mode][small limit][text]. The mode picks the path the text takes:
//   0  core.xml, loaded by LoadConfiguration (product.xml valid beside it);
//   1  product.xml, loaded by LoadConfiguration (no core.xml), its version
//      then saved in a status report that must load back;
//   2  core.xml.pending beside a valid core.xml, loaded by LoadConfiguration;
//   3  a configuration update, applied by ApplyConfigurationUpdate.
// Files go to one temporary folder per process, the current directory.
//
// Whatever the mode, the text is also checked against TinyXML itself. The
// guard (ScanXmlShape) must agree with the depth of the document TinyXML
// builds when it reads the text unguarded (the input size is capped with
// -max_len, so that its recursion stays on the stack):
//   - a text the guard refuses at limit L is one TinyXML fails on or
//     reads deeper than L; a text it lets through is never deeper than L;
//   - what TinyXML parses in place of a refused text (the part before the
//     refused node, open elements closed) is never deeper than L;
//   - ParseXmlLimited succeeds only with a document at most L deep, and
//     refuses for depth only a text whose document is deeper than L.
// L is 100 (the real limit) and a small limit from the input, under which
// the fuzzer reaches refusals easily. Depth counts as the guard's contract
// says: every top-level node is level 1, each node inside an element of
// level n is level n + 1, and text (but not CDATA) opens no level.
#include <sys/stat.h>
#include <unistd.h>

#include <tinyxml.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/configuration.h"
#include "config/status_report.h"
#include "config/xml_depth.h"
#include "config/xml_file.h"
#include "fuzz_support.h"
#include "log/levels.h"

namespace {

const char kValidCore[] =
    "<?xml ?>\n<Orvel Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n"
    "    <Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
    "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"3.1.4\">\n"
    "            <Plugin ID=\"393216\" Filename=\"first.so\" LogLevel=\"40\" LogLevelDefault=\"55\" />\n"
    "        </Module>\n    </Modules>\n</Orvel>\n";
const char kValidProduct[] =
    "<?xml version=\"1.0\" ?>\n<Products>\n    <Product Family=\"Vantora\" Version=\"9.9.9\" />\n"
    "</Products>\n";

// The level of a node as the guard counts it: text other than CDATA
// opens none.
bool OpensLevel(const TiXmlNode& node) {
  const TiXmlText* text = node.ToText();
  return text == nullptr || text->CDATA();
}

// The deepest level in `doc`, walked without recursion.
int DepthOf(const TiXmlDocument& doc) {
  int deepest = 0;
  std::vector<std::pair<const TiXmlNode*, int>> pending;
  for (const TiXmlNode* node = doc.FirstChild(); node; node = node->NextSibling()) {
    pending.emplace_back(node, 1);
  }
  while (!pending.empty()) {
    const auto [node, level] = pending.back();
    pending.pop_back();
    if (!OpensLevel(*node)) continue;
    if (level > deepest) deepest = level;
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
      pending.emplace_back(child, level + 1);
    }
  }
  return deepest;
}

// TinyXML's own reading of `padded`, with no guard in front.
int UnguardedDepth(const std::string& padded, bool* error) {
  TiXmlDocument doc;
  doc.Parse(padded.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  *error = doc.Error();
  return DepthOf(doc);
}

void Report(const char* what, int limit, const dv::XmlShape& shape, int tinyDepth,
            const std::string& text) {
  std::fprintf(stderr,
               "nesting guard and TinyXML disagree: %s\n  limit %d, guard: too_deep %d at offset "
               "%zu, deepest %d; TinyXML depth %d\n  text (%zu bytes): %.400s\n",
               what, limit, shape.too_deep, shape.offset, shape.deepest, tinyDepth, text.size(),
               text.c_str());
  dv::fuzz::Fail(__FILE__, __LINE__, what);
}

void CheckDepth(const std::string& text, int limit) {
  const std::string padded = dv::PaddedXmlText(text);
  const dv::XmlShape shape = dv::ScanXmlShape(padded.c_str(), limit);
  bool error = false;
  const int depth = UnguardedDepth(padded, &error);
  // TinyXML may stop at an error the guard reads past (a repeated
  // attribute): such a text is refused either way.
  if (shape.too_deep && !error && depth <= limit) {
    Report("refused, yet within the limit", limit, shape, depth, text);
  }
  if (!shape.too_deep && depth > limit) Report("let through, yet too deep", limit, shape, depth, text);
  if (shape.too_deep) {
    bool closedError = false;
    const int closedDepth =
        UnguardedDepth(dv::PaddedXmlText(dv::CloseOpenElements(padded.c_str(), shape)), &closedError);
    if (closedDepth > limit) Report("the closed prefix is too deep", limit, shape, closedDepth, text);
  }

  TiXmlDocument doc;
  dv::XmlStatus status;
  const bool parsed = dv::ParseXmlLimited(&doc, text, limit, &status);
  if (parsed && DepthOf(doc) > limit) Report("parsed beyond the limit", limit, shape, depth, text);
  if (status.id == dv::kXmlTooDeep && depth <= limit) {
    Report("ParseXmlLimited refused a text within the limit", limit, shape, depth, text);
  }
  FUZZ_CHECK(parsed == (status.id == dv::kXmlNoError));
  FUZZ_CHECK(parsed || doc.FirstChild() == nullptr);
}

void WriteFile(const char* name, const std::string& bytes) {
  FILE* file = std::fopen(name, "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  FUZZ_CHECK(std::fclose(file) == 0);
}

void RemoveFiles() {
  for (const char* name : {"core.xml", "core.xml.pending", "product.xml", "product.xml.pending"}) {
    unlink(name);
  }
}

void CheckLevels(const dv::LogLevelTable& table) {
  for (uint32_t kind = 0; kind < DV_LOG_KINDS; ++kind) {
    const int level = table.Get(kind);
    FUZZ_CHECK(level >= -1 && level <= 100);
  }
}

std::string g_folder;

void RemoveFolder() {
  if (chdir("/") == 0) {
    // Only the files this target writes can be there.
    for (const char* name : {"core.xml", "core.xml.pending", "product.xml", "product.xml.pending"}) {
      unlink((g_folder + "/" + name).c_str());
    }
    rmdir(g_folder.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/devovor-fuzz-xml-XXXXXX";
  FUZZ_CHECK(mkdtemp(folder) != nullptr);
  g_folder = folder;
  FUZZ_CHECK(chdir(folder) == 0);
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dv::fuzz::Reader reader(data, size);
  const int mode = reader.Byte() % 4;
  const int smallLimit = 1 + reader.Byte() % 8;
  size_t length = 0;
  const uint8_t* bytes = reader.Take(reader.left(), &length);
  const std::string text(reinterpret_cast<const char*>(bytes), length);

  CheckDepth(text, dv::kXmlMaxDepth);
  CheckDepth(text, smallLimit);

  std::string family = "Vantora";
  std::string version = "21.09.7.0";
  std::atomic<bool> throttling{true};
  dv::LogLevelTable levels;
  const dv::ConfigurationTargets targets{&family, &version, &throttling, &levels};
  switch (mode) {
    case 0:
      WriteFile("product.xml", kValidProduct);
      WriteFile("core.xml", text);
      dv::LoadConfiguration(targets);
      FUZZ_CHECK(family == "Vantora" && version == "9.9.9");
      break;
    case 1: {
      WriteFile("product.xml", text);
      dv::LoadConfiguration(targets);
      FUZZ_CHECK(throttling.load());
      // The product's version goes into the status report, which must load
      // back whatever bytes the version holds (product.xml may declare a
      // legacy encoding, core.xml is read as UTF-8).
      dv::LogLevelTable defaults;
      levels.Set(0, 42);
      dv::StatusFigures figures;
      figures.coreVersion = version;
      figures.coreFileName = family;
      figures.plugins = std::make_shared<const std::vector<dv::PluginList::Record>>();
      figures.logLevel = &levels;
      figures.logLevelDefault = &defaults;
      // What SaveXmlFile writes, without its sync to disk.
      WriteFile("core.xml", dv::PrintXml(*dv::BuildStatusReport(figures), true));
      dv::LogLevelTable loaded;
      dv::LoadConfiguration({&family, &version, &throttling, &loaded});
      FUZZ_CHECK(loaded.Get(0) == 42);
      break;
    }
    case 2: {
      WriteFile("core.xml", kValidCore);
      WriteFile("core.xml.pending", text);
      dv::LoadConfiguration(targets);
      // Either the side file was complete and took the place of core.xml,
      // or it stayed and core.xml was read.
      struct stat st;
      const bool sideLeft = stat("core.xml.pending", &st) == 0;
      FUZZ_CHECK(sideLeft || stat("core.xml", &st) == 0);
      if (sideLeft) FUZZ_CHECK(levels.Get(6) == 40 && !throttling.load());
      break;
    }
    default: {
      dv::LogLevelTable defaults;
      defaults.Set(4, 60);
      defaults.Set(6, 10);
      levels.Set(4, 30);
      int before[DV_LOG_KINDS];
      for (uint32_t kind = 0; kind < DV_LOG_KINDS; ++kind) before[kind] = levels.Get(kind);
      const bool changed = dv::ApplyConfigurationUpdate(text, levels, defaults);
      bool differs = false;
      for (uint32_t kind = 0; kind < DV_LOG_KINDS; ++kind) differs |= before[kind] != levels.Get(kind);
      // "Changed" exactly when some threshold now differs, except that an
      // update may set a kind and later set it back within one text.
      FUZZ_CHECK(!differs || changed);
      break;
    }
  }
  CheckLevels(levels);
  RemoveFiles();
  return 0;
}
