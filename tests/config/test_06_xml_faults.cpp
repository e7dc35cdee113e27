// Saves and side-file recovery on a disk that fails or loses power
// (support/fault_injection_platform.h): each save failure has its message,
// and a power loss at any step leaves the old or the new document.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "config/xml_file.h"
#include "support/fault_injection_platform.h"

namespace {

using dv::LoadXmlFile;
using dv::PrintXml;
using dv::SaveXmlFile;
using dv::XmlStatus;
using dv::test::FaultInjectionPlatform;
using dv::test::FileOp;

std::string ErrnoText(int error) { return std::to_string(error) + " - " + std::strerror(error); }

TiXmlDocument Document(const std::string& root, int items) {
  TiXmlDocument doc;
  auto* element = new TiXmlElement(root);
  for (int i = 0; i < items; ++i) element->LinkEndChild(new TiXmlElement("item"));
  doc.LinkEndChild(element);
  return doc;
}

class XmlDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dv-xml-disk-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    target_ = root_ + "/core.xml";
    side_ = target_ + ".pending";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // A fresh disk whose target holds the old document, durably.
  std::unique_ptr<FaultInjectionPlatform> DiskWithOldDocument() {
    std::filesystem::remove(side_);
    std::ofstream(target_, std::ios::binary | std::ios::trunc) << oldText_;
    auto disk = std::make_unique<FaultInjectionPlatform>();
    disk->MarkDurable(target_);
    return disk;
  }

  // What a load finds now, "" when it finds nothing.
  std::string Loaded(const dv::Platform& disk) {
    TiXmlDocument doc;
    return LoadXmlFile(&doc, target_, nullptr, disk) ? PrintXml(doc, true) : "";
  }

  bool SideFileExists() const {
    struct stat st;
    return lstat(side_.c_str(), &st) == 0;
  }

  std::string root_, target_, side_;
  const TiXmlDocument new_ = Document("new", 3);
  const std::string oldText_ = PrintXml(Document("old", 2), true);
  const std::string newText_ = PrintXml(new_, true);
};

TEST_F(XmlDisk, EachFailedStepOfASaveHasItsMessageAndKeepsTheTarget) {
  const std::string length = std::to_string(newText_.size());
  const struct {
    FileOp op;
    int error;
    std::string message;
  } cases[] = {
      {FileOp::kCreate, EACCES, "create error " + ErrnoText(EACCES)},
      {FileOp::kAppend, ENOSPC, "write error " + ErrnoText(ENOSPC)},
      {FileOp::kAppend, 0, "only wrote 5 of " + length + " bytes"},
      {FileOp::kFlush, EIO, "write error " + ErrnoText(EIO)},
      {FileOp::kSync, EIO, "write error " + ErrnoText(EIO)},
      {FileOp::kClose, EDQUOT, "close error " + ErrnoText(EDQUOT)},
      {FileOp::kRename, EXDEV, "Failed to rename .xml.pending to .xml file " + ErrnoText(EXDEV)},
  };
  for (const auto& c : cases) {
    auto disk = DiskWithOldDocument();
    if (c.error == 0) {
      disk->ShortenNextAppend(5);
    } else {
      disk->FailNext(c.op, c.error);
    }
    XmlStatus status;
    EXPECT_FALSE(SaveXmlFile(new_, target_, &status, *disk)) << c.message;
    EXPECT_EQ(status.id, 2);
    EXPECT_EQ(status.description, c.message);
    // Only a side file that failed to move is kept, for the next load.
    EXPECT_EQ(SideFileExists(), c.op == FileOp::kRename) << c.message;
    std::filesystem::remove(side_);
    EXPECT_EQ(Loaded(dv::Platform::Default()), oldText_) << c.message;
  }
}

// The power goes after 0, 1, 2, ... file operations of a save, until the
// save completes: then the new document must survive a power loss.
TEST_F(XmlDisk, APowerLossAtAnyStepOfASaveLeavesTheOldOrTheNewDocument) {
  for (int steps = 0;; ++steps) {
    auto disk = DiskWithOldDocument();
    disk->CrashAfter(steps);
    const bool saved = SaveXmlFile(new_, target_, nullptr, *disk);
    const bool completed = !disk->crashed();
    const std::string trace = disk->Trace();
    disk->PowerLoss();
    const std::string after = Loaded(*disk);
    if (completed) {
      EXPECT_TRUE(saved);
      EXPECT_EQ(after, newText_) << "a completed save was lost: " << trace;
      break;
    }
    EXPECT_TRUE(after == oldText_ || after == newText_) << "power lost after: " << trace;
    ASSERT_LT(steps, 50);
  }
}

// A save killed after writing its side file and before syncing it leaves a
// complete side file in the system's cache only. The load that finishes the
// save is cut by a power loss after each of its steps in turn.
TEST_F(XmlDisk, APowerLossAtAnyStepOfSideFileRecoveryLeavesTheOldOrTheNewDocument) {
  for (int steps = 0;; ++steps) {
    auto disk = DiskWithOldDocument();
    {
      int error = 0;
      std::unique_ptr<dv::WritableFile> killed = disk->NewWritableFile(side_, &error);
      ASSERT_TRUE(killed) << ErrnoText(error);
      killed->Append(newText_.data(), newText_.size(), &error);
      ASSERT_EQ(killed->Close(), 0);
    }
    disk->CrashAfter(steps);
    TiXmlDocument doc;
    const bool loaded = LoadXmlFile(&doc, target_, nullptr, *disk);
    const bool completed = !disk->crashed();
    const std::string trace = disk->Trace();
    disk->PowerLoss();
    const std::string after = Loaded(*disk);
    if (completed) {
      ASSERT_TRUE(loaded);
      EXPECT_EQ(PrintXml(doc, true), newText_);
      EXPECT_EQ(after, newText_) << "the document the load returned was lost: " << trace;
      break;
    }
    EXPECT_TRUE(after == oldText_ || after == newText_) << "power lost after: " << trace;
    ASSERT_LT(steps, 50);
  }
}

}  // namespace
