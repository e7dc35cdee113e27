// The library search paths of what the build makes: no ELF file in the
// build folder names an empty or relative entry (which the loader reads from
// the current folder, also for a set-user-ID program). The reader itself is
// checked on a 32-bit file too, the appliance's kind.
#include <gtest/gtest.h>

#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/elf_search_path.h"
#include "support/setuid_copy.h"

namespace dvtest {
namespace {

namespace fs = std::filesystem;
using dv::ElfSearchPath;

TEST(SearchPaths, EveryElfFileTheBuildMakesNamesOnlyAbsoluteOrOriginEntries) {
  int elfFiles = 0;
  for (const auto& entry : fs::recursive_directory_iterator(BINARY_DIR)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    ElfSearchPath path;
    std::string error;
    ASSERT_TRUE(dv::ReadElfSearchPath(entry.path().string(), &path, &error))
        << entry.path() << ": " << error;
    if (!path.elf) continue;
    ++elfFiles;
    EXPECT_EQ(dv::UnsafeSearchPath(path), "") << entry.path();
  }
  EXPECT_GT(elfFiles, 20);
}

// A minimal 32-bit little-endian shared object: one PT_LOAD over the whole
// file, a PT_DYNAMIC, and the string table the entries point into.
std::string ElfWithSearchPaths(const std::string& rpath, const std::string& runpath) {
  const std::string strings = std::string("\0", 1) + rpath + '\0' + runpath + '\0';
  const uint32_t phoff = sizeof(Elf32_Ehdr), dynoff = phoff + 2 * sizeof(Elf32_Phdr);
  const Elf32_Dyn dyn[] = {{DT_STRTAB, {dynoff + 5 * sizeof(Elf32_Dyn)}},
                           {DT_STRSZ, {uint32_t(strings.size())}},
                           {DT_RPATH, {1}},
                           {DT_RUNPATH, {uint32_t(2 + rpath.size())}},
                           {DT_NULL, {0}}};
  const uint32_t size = dynoff + sizeof dyn + uint32_t(strings.size());
  Elf32_Ehdr header = {};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS32;
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_type = ET_DYN;
  header.e_machine = EM_ARM;
  header.e_phoff = phoff;
  header.e_phentsize = sizeof(Elf32_Phdr);
  header.e_phnum = 2;
  const Elf32_Phdr phdrs[] = {{PT_LOAD, 0, 0x10000, 0x10000, size, size, PF_R, 0x1000},
                              {PT_DYNAMIC, dynoff, 0x10000 + dynoff, 0, sizeof dyn, sizeof dyn, PF_R, 4}};
  std::string file(reinterpret_cast<const char*>(&header), sizeof header);
  file.append(reinterpret_cast<const char*>(phdrs), sizeof phdrs);
  // The loader finds the string table by address: 0x10000 + its offset.
  Elf32_Dyn placed[5];
  std::memcpy(placed, dyn, sizeof dyn);
  placed[0].d_un.d_ptr += 0x10000;
  file.append(reinterpret_cast<const char*>(placed), sizeof placed);
  return file + strings;
}

TEST(SearchPaths, TheReaderSplitsBothTagsOfA32BitFileAndJudgesEachEntry) {
  const fs::path file = fs::temp_directory_path() / ("dv-elf32-" + std::to_string(getpid()));
  std::ofstream(file, std::ios::binary) << ElfWithSearchPaths("$ORIGIN/lib::/usr/lib", "lib:${ORIGIN}");
  ElfSearchPath path;
  std::string error;
  ASSERT_TRUE(dv::ReadElfSearchPath(file.string(), &path, &error)) << error;
  fs::remove(file);
  EXPECT_TRUE(path.elf);
  EXPECT_EQ(path.rpath, (std::vector<std::string>{"$ORIGIN/lib", "", "/usr/lib"}));
  EXPECT_EQ(path.runpath, (std::vector<std::string>{"lib", "${ORIGIN}"}));
  EXPECT_EQ(dv::UnsafeSearchPath(path),
            "DT_RPATH entry 2 is empty (\"$ORIGIN/lib::/usr/lib\")");
  for (const char* unsafe : {"", "lib", ".", "$ORIGINAL/lib", "$LIB"}) {
    EXPECT_FALSE(dv::IsSafeSearchEntry(unsafe)) << unsafe;
  }
  for (const char* safe : {"/usr/lib", "$ORIGIN", "$ORIGIN/../lib", "${ORIGIN}/lib"}) {
    EXPECT_TRUE(dv::IsSafeSearchEntry(safe)) << safe;
  }
}

// Each unsafe copy is refused with its reason and left as it was; the safe
// one becomes set-user-ID root.
TEST(SetUserIdCopy, RefusesEachUnsafeCopyChangingNothingAndMakesTheSafeOne) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const fs::path dir = fs::temp_directory_path() / ("dv-setuid-copy-" + std::to_string(getpid()));
  fs::remove_all(dir);
  for (const char* sub : {"safe", "open", "nobodys"}) fs::create_directories(dir / sub);
  fs::permissions(dir, fs::perms(0755));
  fs::permissions(dir / "safe", fs::perms(0755));
  fs::permissions(dir / "open", fs::perms(0777));
  ASSERT_EQ(chown((dir / "nobodys").c_str(), 65534, 65534), 0);
  const std::string safe = ElfWithSearchPaths("$ORIGIN/lib", "/usr/lib");
  auto place = [&](const fs::path& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
    fs::permissions(file, fs::perms(0755));
    return file.string();
  };
  const std::string linked = place(dir / "safe/linked", safe);
  fs::create_hard_link(linked, dir / "safe/second-name");
  fs::create_symlink(dir / "safe/linked", dir / "safe/symlink");
  struct Case {
    std::string file, reason;
  } const cases[] = {
      {place(dir / "safe/padded", ElfWithSearchPaths("$ORIGIN/lib::", "")),
       "its library search path is unsafe: DT_RPATH entry 2 is empty"},
      {place(dir / "safe/relative", ElfWithSearchPaths("/usr/lib", "lib")),
       "its library search path is unsafe: DT_RUNPATH entry 1 is relative"},
      {place(dir / "open/core", safe), (dir / "open").string() + " is writable by group or others"},
      {place(dir / "nobodys/core", safe), (dir / "nobodys").string() + " is owned by user 65534, not root"},
      {linked, " has 2 links"},
      {(dir / "safe/symlink").string(), "(a symbolic link is refused)"},
  };
  for (const Case& c : cases) {
    const std::string reason = MakeSetUserIdRoot(c.file);
    EXPECT_NE(reason.find(c.reason), std::string::npos) << c.file << ": " << reason;
    struct stat st;
    ASSERT_EQ(lstat(c.file.c_str(), &st), 0);
    if (!S_ISLNK(st.st_mode)) {
      EXPECT_EQ(st.st_mode & 07777, 0755u) << c.file;
    }
  }
  const std::string core = place(dir / "safe/core", safe);
  EXPECT_EQ(MakeSetUserIdRoot(core), "");
  struct stat st;
  ASSERT_EQ(stat(core.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04755u);
  EXPECT_EQ(st.st_uid, 0u);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace dvtest
