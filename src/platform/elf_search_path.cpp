#include "platform/elf_search_path.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace dv {
namespace {

// The 32- and 64-bit layouts under one name each.
struct Elf32 {
  using Ehdr = Elf32_Ehdr;
  using Phdr = Elf32_Phdr;
  using Dyn = Elf32_Dyn;
};
struct Elf64 {
  using Ehdr = Elf64_Ehdr;
  using Phdr = Elf64_Phdr;
  using Dyn = Elf64_Dyn;
};

// Bounds on what a well-formed file holds, so that a forged size cannot
// make the reader allocate without limit.
constexpr uint64_t kMaxDynamicBytes = 1 << 20;
constexpr uint64_t kMaxNameBytes = 1 << 16;

// Every field is read in the host's order: the project builds on and for
// little-endian machines only, and big-endian files are refused.
bool ReadAt(int fd, uint64_t offset, void* into, size_t size) {
  auto* bytes = static_cast<char*>(into);
  while (size > 0) {
    const ssize_t got = pread(fd, bytes, size, off_t(offset));
    if (got <= 0) return false;
    bytes += got;
    offset += uint64_t(got);
    size -= size_t(got);
  }
  return true;
}

std::vector<std::string> SplitOnColons(const std::string& text) {
  std::vector<std::string> entries;
  size_t from = 0;
  for (size_t at; (at = text.find(':', from)) != std::string::npos; from = at + 1) {
    entries.push_back(text.substr(from, at - from));
  }
  entries.push_back(text.substr(from));
  return entries;
}

template <typename Elf>
class DynamicReader {
 public:
  DynamicReader(int fd, ElfSearchPath* out, std::string* error) : fd_(fd), out_(out), error_(error) {}

  bool Read() {
    typename Elf::Ehdr header;
    if (!ReadAt(fd_, 0, &header, sizeof header)) return Fail("truncated ELF header");
    if (header.e_phnum == 0) return true;  // nothing to load: no search path
    if (header.e_phentsize != sizeof(typename Elf::Phdr)) return Fail("odd program header size");
    phdrs_.resize(header.e_phnum);
    if (!ReadAt(fd_, header.e_phoff, phdrs_.data(), phdrs_.size() * sizeof phdrs_[0])) {
      return Fail("truncated program headers");
    }
    for (const auto& phdr : phdrs_) {
      if (phdr.p_type == PT_DYNAMIC && !ReadDynamic(phdr)) return false;
    }
    return true;
  }

 private:
  bool Fail(const char* why) {
    *error_ = why;
    return false;
  }

  bool ReadDynamic(const typename Elf::Phdr& segment) {
    if (segment.p_filesz > kMaxDynamicBytes) return Fail("oversized dynamic segment");
    std::vector<typename Elf::Dyn> entries(segment.p_filesz / sizeof(typename Elf::Dyn));
    if (!ReadAt(fd_, segment.p_offset, entries.data(), entries.size() * sizeof entries[0])) {
      return Fail("truncated dynamic segment");
    }
    uint64_t strtab = 0, strsz = 0;
    std::vector<std::pair<int64_t, uint64_t>> named;  // (tag, offset in the string table)
    for (const auto& entry : entries) {
      const int64_t tag = int64_t(entry.d_tag);
      if (tag == DT_NULL) break;
      if (tag == DT_STRTAB) strtab = entry.d_un.d_ptr;
      if (tag == DT_STRSZ) strsz = entry.d_un.d_val;
      if (tag == DT_RPATH || tag == DT_RUNPATH || tag == DT_NEEDED) named.emplace_back(tag, entry.d_un.d_val);
    }
    if (named.empty()) return true;
    const std::optional<uint64_t> table = FileOffsetOf(strtab);
    if (!table) return Fail("the string table lies outside every loaded segment");
    for (const auto& [tag, offset] : named) {
      std::string text;
      if (!ReadString(*table, strsz, offset, &text)) return Fail("a name outside the string table");
      if (tag == DT_NEEDED) {
        out_->needed.push_back(text);
      } else {
        auto& list = tag == DT_RPATH ? out_->rpath : out_->runpath;
        for (std::string& entry : SplitOnColons(text)) list.push_back(std::move(entry));
      }
    }
    return true;
  }

  // Where the loader finds address `address`: in the file part of a PT_LOAD.
  std::optional<uint64_t> FileOffsetOf(uint64_t address) const {
    for (const auto& phdr : phdrs_) {
      if (phdr.p_type == PT_LOAD && address >= phdr.p_vaddr && address - phdr.p_vaddr < phdr.p_filesz) {
        return address - phdr.p_vaddr + phdr.p_offset;
      }
    }
    return std::nullopt;
  }

  bool ReadString(uint64_t table, uint64_t size, uint64_t offset, std::string* text) const {
    if (offset >= size) return false;
    std::string bytes(size_t(std::min(size - offset, kMaxNameBytes)), '\0');
    if (!ReadAt(fd_, table + offset, bytes.data(), bytes.size())) return false;
    const size_t end = bytes.find('\0');
    if (end == std::string::npos) return false;
    *text = bytes.substr(0, end);
    return true;
  }

  const int fd_;
  ElfSearchPath* const out_;
  std::string* const error_;
  std::vector<typename Elf::Phdr> phdrs_;
};

std::string Quoted(const std::vector<std::string>& entries) {
  std::string joined;
  for (size_t i = 0; i < entries.size(); ++i) joined += (i ? ":" : "") + entries[i];
  return "\"" + joined + "\"";
}

std::string FirstUnsafe(const char* tag, const std::vector<std::string>& entries) {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (IsSafeSearchEntry(entries[i])) continue;
    return std::string(tag) + " entry " + std::to_string(i + 1) +
           (entries[i].empty() ? " is empty (" : " is relative (") + Quoted(entries) + ")";
  }
  return "";
}

bool StartsWithToken(const std::string& entry, const char* token) {
  const size_t n = std::strlen(token);
  return entry.compare(0, n, token) == 0 && (entry.size() == n || entry[n] == '/');
}

}  // namespace

bool ReadElfSearchPath(int fd, ElfSearchPath* out, std::string* error) {
  *out = ElfSearchPath();
  unsigned char ident[EI_NIDENT];
  if (!ReadAt(fd, 0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
    return true;  // shorter than an ELF header, or not ELF
  }
  out->elf = true;
  if (ident[EI_DATA] != ELFDATA2LSB) {
    *error = "not a little-endian ELF file";
    return false;
  }
  if (ident[EI_CLASS] == ELFCLASS32) return DynamicReader<Elf32>(fd, out, error).Read();
  if (ident[EI_CLASS] == ELFCLASS64) return DynamicReader<Elf64>(fd, out, error).Read();
  *error = "an ELF class neither 32- nor 64-bit";
  return false;
}

bool ReadElfSearchPath(const std::string& file, ElfSearchPath* out, std::string* error) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + file + ": " + std::strerror(errno);
    return false;
  }
  const bool read = ReadElfSearchPath(fd, out, error);
  close(fd);
  return read;
}

bool IsSafeSearchEntry(const std::string& entry) {
  return (!entry.empty() && entry[0] == '/') || StartsWithToken(entry, "$ORIGIN") ||
         StartsWithToken(entry, "${ORIGIN}");
}

bool AllSafeSearchEntries(const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    if (!IsSafeSearchEntry(entry)) return false;
  }
  return true;
}

std::string UnsafeSearchPath(const ElfSearchPath& path) {
  const std::string rpath = FirstUnsafe("DT_RPATH", path.rpath);
  return rpath.empty() ? FirstUnsafe("DT_RUNPATH", path.runpath) : rpath;
}

}  // namespace dv
